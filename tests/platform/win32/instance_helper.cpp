// A second setup process for the start-up tests. What it does is chosen by the environment
// variable KET_HELPER_MODE, so that its command line can be exactly a setup's:
//   args    print the arguments, one per line
//   lock    take the lock; exit 0 when taken, 1 when busy, 2 when it cannot be created; prints
//           the lock path
//   hold    take the lock (exit 1 when busy), print "locked", keep it KET_HOLD_MS milliseconds
//   signal  hand over to the running setup (SignalRunningInstance)
//   setup   start as the setup does: PrepareSetup (which may hand over and end the process),
//           print "folder=[...] language=N", then a window of class TKetSetup, print "ready",
//           print "activated" for each WM_SETUP_ACTIVATE, and end after KET_HOLD_MS.
// Output is UTF-8.
#include "base/text.h"
#include "engine/setup_state.h"
#include "engine/startup.h"
#include "platform/win32/setup_messages.h"
#include "platform/win32/win32_startup_platform.h"

#include <cstdlib>
#include <string>
#include <windows.h>

namespace {

void Print(const std::u16string& line) {
  const std::string text = ket::Utf16ToUtf8(line) + "\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

LRESULT CALLBACK SetupWindowProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  if (msg == ket::WM_SETUP_ACTIVATE) {
    Print(u"activated");
    return 0;
  }
  return ::DefWindowProcW(hwnd, msg, w, l);
}

int RunSetup(ket::StartupPlatform& platform) {
  const ket::StartupResult start = ket::PrepareSetup(ket::Setup(), platform);
  Print(u"folder=[" + start.folder.value_or(u"<none>") + u"] language=" +
        (start.languageIndex == 1 ? u"1" : u"0"));

  WNDCLASSW wc{};
  wc.lpfnWndProc = &SetupWindowProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = ket::kSetupWindowClass;
  ::RegisterClassW(&wc);
  HWND hwnd = ::CreateWindowExW(0, ket::kSetupWindowClass, L"Ketro FULL", WS_OVERLAPPEDWINDOW, 0, 0,
                                200, 100, nullptr, nullptr, wc.hInstance, nullptr);
  if (hwnd == nullptr) {
    return 2;
  }
  Print(u"ready");
  const ULONGLONG end = ::GetTickCount64() + std::strtoull(Env("KET_HOLD_MS").c_str(), nullptr, 10);
  while (::GetTickCount64() < end) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::DispatchMessageW(&msg);
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  ::DestroyWindow(hwnd);
  return 0;
}

} // namespace

int main() {
  ket::Win32StartupPlatform platform;
  const std::string mode = Env("KET_HELPER_MODE");
  if (mode == "args") {
    for (const auto& a : platform.Arguments()) {
      Print(u"[" + a + u"]");
    }
    return 0;
  }
  if (mode == "lock") {
    Print(ket::LockFilePath());
    switch (platform.TryCreateLock()) {
    case ket::LockResult::kTaken:
      return 0;
    case ket::LockResult::kBusy:
      return 1;
    case ket::LockResult::kCannotCreate:
      return 2;
    }
    return 64;
  }
  if (mode == "hold") {
    if (platform.TryCreateLock() != ket::LockResult::kTaken) {
      return 1;
    }
    Print(u"locked");
    ::Sleep(static_cast<DWORD>(std::atoi(Env("KET_HOLD_MS").c_str())));
    return 0;
  }
  if (mode == "signal") {
    platform.SignalRunningInstance();
  }
  if (mode == "setup") {
    return RunSetup(platform);
  }
  return 64;
}
