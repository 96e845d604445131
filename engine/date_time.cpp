#include "engine/date_time.h"

#include "base/error.h"

#include <cmath>

namespace ket {

namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;
// Days from 0001-01-01 to 1899-12-30 (day 0 of the scale).
constexpr std::int64_t kDay0 = 693'593;

// Days since 0001-01-01 of a valid date.
std::int64_t DaysFromCivil(int year, int month, int day) {
  static constexpr int kBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const std::int64_t y = year - 1;
  std::int64_t days = y * 365 + y / 4 - y / 100 + y / 400 + kBefore[month - 1] + (day - 1);
  if (month > 2 && IsLeapYear(year)) {
    ++days;
  }
  return days;
}

} // namespace

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) {
    return 0;
  }
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

DateTime EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    throw Error("Invalid argument to date encode");
  }
  return static_cast<DateTime>(DaysFromCivil(year, month, day) - kDay0);
}

DateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || second < 0 || second >= 60 ||
      millisecond < 0 || millisecond >= 1000) {
    throw Error("Invalid argument to time encode");
  }
  // One division of exact integers, so equal clock times always give equal values.
  const std::int64_t ms = ((hour * 60 + minute) * 60 + second) * 1000LL + millisecond;
  return static_cast<DateTime>(ms) / static_cast<DateTime>(kMsPerDay);
}

DateTime EncodeDateTime(const CalendarTime& f) {
  const DateTime date = EncodeDate(f.year, f.month, f.day);
  const DateTime time = EncodeTime(f.hour, f.minute, f.second, f.millisecond);
  return date < 0 ? date - time : date + time;
}

CalendarTime DecodeDateTime(DateTime value) {
  // Years 1..9999 lie within these bounds; anything else (and NaN) has no calendar form.
  if (!(value > -693'594.0 && value < 2'958'466.0)) {
    return {};
  }
  // The whole part counts days (towards zero), the fraction's magnitude is the time of day.
  double whole = 0;
  const double fraction = std::modf(value, &whole);
  auto days = static_cast<std::int64_t>(whole);
  auto ms = static_cast<std::int64_t>(std::llround(std::fabs(fraction) * kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++days;
  }
  // Civil date from days since 0001-01-01 (400-year cycles of 146097 days).
  std::int64_t n = days + kDay0;
  if (n < 0) {
    return {};
  }
  const std::int64_t cycles = n / 146'097;
  n %= 146'097;
  std::int64_t centuries = n / 36'524;
  if (centuries == 4) {
    centuries = 3;
  }
  n -= centuries * 36'524;
  const std::int64_t quads = n / 1461;
  n %= 1461;
  std::int64_t years = n / 365;
  if (years == 4) {
    years = 3;
  }
  n -= years * 365;
  const int year = static_cast<int>(cycles * 400 + centuries * 100 + quads * 4 + years + 1);
  int month = 1;
  while (n >= DaysInMonth(year, month)) {
    n -= DaysInMonth(year, month);
    ++month;
  }
  CalendarTime f;
  f.year = static_cast<std::uint16_t>(year);
  f.month = static_cast<std::uint16_t>(month);
  f.day = static_cast<std::uint16_t>(n + 1);
  f.hour = static_cast<std::uint16_t>(ms / 3'600'000);
  f.minute = static_cast<std::uint16_t>(ms / 60'000 % 60);
  f.second = static_cast<std::uint16_t>(ms / 1000 % 60);
  f.millisecond = static_cast<std::uint16_t>(ms % 1000);
  return f;
}

DateTime DosDateTimeToFDate(std::uint32_t dos) {
  if (dos == 0) {
    return 0;
  }
  const int year = static_cast<int>(dos >> 25) + 1980;
  const int month = static_cast<int>((dos >> 21) & 0x0F);
  const int day = static_cast<int>((dos >> 16) & 0x1F);
  const int hour = static_cast<int>((dos >> 11) & 0x1F);
  const int minute = static_cast<int>((dos >> 5) & 0x3F);
  const int second = static_cast<int>(dos & 0x1F) * 2;
  const DateTime date = EncodeDate(year, month, day);
  return date + EncodeTime(hour, minute, second, 0);
}

std::uint32_t CalendarToDosDateTime(const CalendarTime& f) {
  if (f.year < 1980 || f.year > 2107) {
    return 0;
  }
  return static_cast<std::uint32_t>(f.year - 1980) << 25 |
         static_cast<std::uint32_t>(f.month) << 21 | static_cast<std::uint32_t>(f.day) << 16 |
         static_cast<std::uint32_t>(f.hour) << 11 | static_cast<std::uint32_t>(f.minute) << 5 |
         static_cast<std::uint32_t>(f.second / 2);
}

} // namespace ket
