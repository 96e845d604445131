// A second setup process for the start-up tests. What it does is chosen by the environment
// variable KET_HELPER_MODE, so that its command line can be exactly a setup's:
//   args    print the arguments, one per line
//   lock    take the lock; exit 0 when taken, 1 when busy; prints the lock path
//   hold    take the lock (exit 1 when busy), print "locked", keep it KET_HOLD_MS milliseconds
//   signal  hand over to the running setup (SignalRunningInstance)
// Output is UTF-8.
#include "engine/text.h"
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
    return platform.TryCreateLock() ? 0 : 1;
  }
  if (mode == "hold") {
    if (!platform.TryCreateLock()) {
      return 1;
    }
    Print(u"locked");
    ::Sleep(static_cast<DWORD>(std::atoi(Env("KET_HOLD_MS").c_str())));
    return 0;
  }
  if (mode == "signal") {
    platform.SignalRunningInstance();
  }
  return 64;
}
