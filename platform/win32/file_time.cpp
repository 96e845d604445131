#include "platform/win32/file_time.h"

namespace ket {

std::optional<FILETIME> ToFileTime(const CalendarTime& fields) {
  const CalendarTime& t = fields;
  if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour > 23 || t.minute > 59 || t.second > 59 ||
      t.millisecond > 999) {
    return std::nullopt;
  }
  SYSTEMTIME st{};
  st.wYear = t.year;
  st.wMonth = t.month;
  st.wDay = t.day;
  st.wHour = t.hour;
  st.wMinute = t.minute;
  st.wSecond = t.second;
  st.wMilliseconds = t.millisecond;
  FILETIME time{};
  if (!::SystemTimeToFileTime(&st, &time)) {
    return std::nullopt;
  }
  return time;
}

std::optional<CalendarTime> ToCalendarTime(const FILETIME& time) {
  SYSTEMTIME st{};
  if (!::FileTimeToSystemTime(&time, &st)) {
    return std::nullopt;
  }
  return CalendarTime{st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                      st.wMinute, st.wSecond, st.wMilliseconds};
}

} // namespace ket
