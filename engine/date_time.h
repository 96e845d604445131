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

// Proleptic Gregorian calendar.
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Whole days since 1899-12-30 for a valid date; throws ket::Error "Invalid argument to date
// encode" when the fields do not form one (years 1..9999).
DateTime EncodeDate(int year, int month, int day);
// The fraction of a day; throws "Invalid argument to time encode" unless hour < 24,
// minute < 60, second < 60 and millisecond < 1000.
DateTime EncodeTime(int hour, int minute, int second, int millisecond);
// Date plus time; before 1899-12-30 the time counts away from zero, as the scale has it.
DateTime EncodeDateTime(const CalendarTime& fields);

// Calendar fields of a value, rounded to the millisecond. Values outside years 1..9999 give
// all-zero fields.
CalendarTime DecodeDateTime(DateTime value);

// A DOS date-time (date in the high 16 bits, time in the low 16) as FDate: 0 stays 0, anything
// else must be a valid date and time or the encode errors above are thrown.
DateTime DosDateTimeToFDate(std::uint32_t dos);
// The other way, for the packer: seconds are halved (rounded down). Years outside 1980..2107
// cannot be stored; the result is then 0.
std::uint32_t CalendarToDosDateTime(const CalendarTime& fields);

} // namespace ket
