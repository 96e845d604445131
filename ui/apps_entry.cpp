#include "ui/apps_entry.h"

#include "base/text.h"
#include "base/wide.h"
#include "engine/uninstall.h"
#include "ket_version.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_file_system.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <windows.h>

namespace ket {

namespace {

bool SetString(HKEY key, const wchar_t* name, std::u16string_view value) {
  const std::wstring text = ToWide(value);
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool SetNumber(HKEY key, const wchar_t* name, DWORD value) {
  return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

// The bytes of the files below `folder` (ends in "\"); links are counted as themselves and
// never followed.
std::uint64_t FolderBytes(FileSystem& files, const std::u16string& folder) {
  std::uint64_t total = 0;
  ForEachFound(files, folder + u"*", [&](const FindEntry& entry) {
    if (entry.name == u"." || entry.name == u"..") {
      return true;
    }
    if ((entry.attributes & kAttrDirectory) && !(entry.attributes & kAttrReparsePoint)) {
      total += FolderBytes(files, folder + entry.name + u"\\");
    } else {
      total += entry.size;
    }
    return true;
  });
  return total;
}

} // namespace

bool WriteAppsEntry(std::u16string_view folder, std::u16string_view program) {
  UniqueKey key;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, kAppsEntryKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, key.Receive(),
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  SYSTEMTIME today{};
  ::GetLocalTime(&today);
  char date[16];
  std::snprintf(date, sizeof date, "%04u%02u%02u", today.wYear, today.wMonth, today.wDay);
  const std::u16string location(folder);
  Win32FileSystem files;
  const std::uint64_t kilobytes = (FolderBytes(files, location) + 1023) / 1024;
  const std::u16string uninstaller = location + std::u16string(kUninstallerName);
  const DWORD attributes = ::GetFileAttributesW(ToWide(uninstaller).c_str());
  const bool canUninstall =
      attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  bool ok = SetString(key.Get(), L"DisplayName", Utf8ToUtf16(KET_PRODUCT_NAME)) &&
            SetString(key.Get(), L"DisplayVersion", Utf8ToUtf16(KET_VERSION_TEXT)) &&
            SetString(key.Get(), L"Publisher", Utf8ToUtf16(KET_COMPANY_NAME)) &&
            SetString(key.Get(), L"InstallLocation", location) &&
            SetString(key.Get(), L"InstallDate", Utf8ToUtf16(date)) &&
            SetString(key.Get(), L"DisplayIcon", location + std::u16string(program)) &&
            SetNumber(key.Get(), L"EstimatedSize",
                      static_cast<DWORD>(kilobytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : kilobytes)) &&
            SetNumber(key.Get(), L"NoModify", 1) && SetNumber(key.Get(), L"NoRepair", 1);
  if (canUninstall) {
    const std::u16string quoted = u"\"" + uninstaller + u"\"";
    ok = ok && SetString(key.Get(), L"UninstallString", quoted) &&
         SetString(key.Get(), L"QuietUninstallString", quoted + u" /VERYSILENT");
  } else {
    // An entry left from an installation that had one would point at nothing now.
    ::RegDeleteValueW(key.Get(), L"UninstallString");
    ::RegDeleteValueW(key.Get(), L"QuietUninstallString");
  }
  return ok;
}

} // namespace ket
