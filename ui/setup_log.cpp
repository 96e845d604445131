#include "ui/setup_log.h"

#include "base/text.h"
#include "base/wide.h"

#include <cstdio>

namespace ket {

namespace {

// Numbers for the default name are tried up to this one.
constexpr int kMostLogsADay = 999;

HANDLE Create(const std::u16string& path, DWORD disposition) {
  return ::CreateFileW(ToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

FileRunLog::~FileRunLog() {
  ::CloseHandle(file_);
}

void FileRunLog::Write(std::u16string_view line) {
  const std::string bytes = Utf16ToUtf8(line) + "\r\n";
  DWORD written = 0;
  ::WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::u16string DefaultLogName(const SYSTEMTIME& date, int number) {
  char text[64];
  std::snprintf(text, sizeof text, "Ketro Setup Log %04u-%02u-%02u #%03d.txt", date.wYear,
                date.wMonth, date.wDay, number);
  return Utf8ToUtf16(text);
}

std::unique_ptr<FileRunLog> OpenSetupLog(const std::optional<std::u16string>& file) {
  if (file) {
    const HANDLE handle = Create(*file, CREATE_ALWAYS);
    return handle == INVALID_HANDLE_VALUE ? nullptr : std::make_unique<FileRunLog>(handle);
  }
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) {
    return nullptr;
  }
  SYSTEMTIME today{};
  ::GetLocalTime(&today);
  for (int number = 1; number <= kMostLogsADay; ++number) {
    const HANDLE handle = Create(FromWide(temp) + DefaultLogName(today, number), CREATE_NEW);
    if (handle != INVALID_HANDLE_VALUE) {
      return std::make_unique<FileRunLog>(handle);
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) {
      return nullptr;
    }
  }
  return nullptr;
}

} // namespace ket
