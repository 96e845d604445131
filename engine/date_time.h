// Date-time values: days since 1899-12-30 00:00 plus the time of day as a fraction of a day.
#pragma once

#include <cstdint>

namespace ket {

using DateTime = double;

// Calendar fields, as SYSTEMTIME holds them (no day of the week).
struct CalendarTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t millisecond = 0;
  friend bool operator==(const CalendarTime&, const CalendarTime&) = default;
};

} // namespace ket
