// Calendar fields and Windows file times (100 ns units since 1601-01-01), both ways. The fields
// are taken as they stand: a file time is UTC or local clock time as its fields are, and moving
// between the two (FileTimeToLocalFileTime, LocalFileTimeToFileTime) is the caller's.
#pragma once

#include "engine/date_time.h"

#include <cstdint>
#include <optional>
#include <windows.h>

namespace ket {

// The file time of the fields; nullopt for fields Windows' SystemTimeToFileTime refuses: a
// field out of range, a day its month does not have, a year before 1601 or after 30827. They
// are checked here first, since some implementations of the call are more lenient (29 February
// of any year, years before 1601 wrapped round to a time centuries away): every platform gives
// Windows' answer.
std::optional<FILETIME> ToFileTime(const CalendarTime& fields);

// The fields of a file time; nullopt for one FileTimeToSystemTime refuses (0x8000000000000000,
// in the year 30828, and later).
std::optional<CalendarTime> ToCalendarTime(const FILETIME& time);

// The file time as one count.
constexpr std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

} // namespace ket
