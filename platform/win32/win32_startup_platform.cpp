#include "platform/win32/win32_startup_platform.h"

#include "base/wide.h"
#include "engine/exit_code.h"
#include "engine/startup.h"
#include "platform/win32/registry.h"
#include "platform/win32/setup_messages.h"

#include <algorithm>
#include <windows.h>

namespace ket {

namespace {

constexpr DWORD kPathCapacity = 260;
constexpr wchar_t kLockName[] = L"ketro.tmp";
constexpr wchar_t kCodePageKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage";

// GetTempPathW into a buffer of the usual 260 characters, or a larger one when the platform
// asks for it.
std::wstring TempFolder() {
  std::wstring buffer(kPathCapacity, L'\0');
  DWORD n = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (n > buffer.size()) {
    buffer.assign(n, L'\0');
    n = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
  }
  if (n == 0 || n >= buffer.size()) {
    return {};
  }
  buffer.resize(n);
  return buffer;
}

// GetShortPathNameW in place, as a copy so that a failed call (a folder that does not exist,
// a volume without short names) leaves the long form to fall back on.
std::wstring ShortForm(const std::wstring& path) {
  std::wstring buffer(std::max<size_t>(kPathCapacity, path.size() + 1), L'\0');
  std::copy(path.begin(), path.end(), buffer.begin());
  DWORD n = ::GetShortPathNameW(buffer.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n >= buffer.size()) {
    std::wstring larger(n, L'\0');
    n = ::GetShortPathNameW(path.c_str(), larger.data(), static_cast<DWORD>(larger.size()));
    buffer = std::move(larger);
  }
  if (n == 0 || n >= buffer.size()) {
    return path;
  }
  buffer.resize(n);
  return buffer;
}

} // namespace

std::u16string LockFilePath() {
  std::wstring folder = ShortForm(TempFolder());
  if (!folder.empty() && folder.back() != L'\\') {
    folder.push_back(L'\\');
  }
  return FromWide(folder + kLockName);
}

std::vector<std::u16string> Win32StartupPlatform::Arguments() {
  // Not CommandLineToArgvW: it reads the "\"" that ends a quoted folder as an escaped quote.
  return CommandLineArguments(FromWide(::GetCommandLineW()));
}

LockResult Win32StartupPlatform::TryCreateLock() {
  if (lock_.Valid()) {
    return LockResult::kTaken;
  }
  const std::wstring path = ToWide(LockFilePath());
  lock_.Reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (lock_.Valid()) {
    return LockResult::kTaken;
  }
  // Only an open handle of another process refuses a file that could otherwise be made; a
  // folder that is missing or not writable, or a read-only file in the way, is no setup.
  const DWORD error = ::GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
             ? LockResult::kBusy
             : LockResult::kCannotCreate;
}

void Win32StartupPlatform::Sleep(unsigned milliseconds) {
  ::Sleep(milliseconds);
}

void Win32StartupPlatform::SignalRunningInstance() {
  if (HWND running = ::FindWindowW(kSetupWindowClass, nullptr)) {
    ::PostMessageW(running, WM_SETUP_ACTIVATE, 0, 0);
  }
  ::ExitProcess(static_cast<UINT>(ToInt(ExitCode::kHandedOver)));
}

void Win32StartupPlatform::SetThreadLocale(std::uint32_t lcid) {
  ::SetThreadLocale(lcid);
}

std::optional<std::u16string> ReadOemCodePageText() {
  UniqueKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCodePageKey, 0, KEY_READ, key.Receive()) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return ReadRegistryString(key.Get(), u"OEMCP");
}

std::optional<std::u16string> Win32StartupPlatform::ReadOemCodePage() {
  return ReadOemCodePageText();
}

} // namespace ket
