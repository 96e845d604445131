// Helpers of the Windows test programs: temporary folders (the engine's, test_support_platform.h),
// child processes, registry values.
#pragma once

#include "tests/engine/test_support_platform.h"

#include <optional>
#include <string>
#include <vector>
#include <windows.h>

namespace ket::test {

// A product path (TempFolder::Path) as the Win32 calls take it.
inline std::wstring Wide(std::u16string_view path) {
  return std::wstring(path.begin(), path.end());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::optional<std::string> ReadFileBytes(const std::wstring& path);
bool Exists(const std::wstring& path);

// A child process started with CreateProcessW; its standard output goes to a file.
class ChildProcess {
 public:
  // commandLine includes the program. extraEnvironment entries are "NAME=value" and are added
  // to (or replace in) this process's environment for the child.
  ChildProcess(const std::wstring& commandLine, const std::vector<std::wstring>& extraEnvironment);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  bool Started() const { return process_ != nullptr; }
  // The exit code, or nullopt when the child is still running after timeoutMs.
  std::optional<DWORD> Wait(DWORD timeoutMs);
  bool Running() const;
  // What the child wrote to its standard output so far.
  std::string Output() const;

 private:
  HANDLE process_ = nullptr;
  std::wstring outputPath_;
};

// The folder of this test program, ending in "\": helper programs lie beside it.
std::wstring ProgramFolder();

// Runs "reg.exe ARGS" of the prefix and returns its exit code.
DWORD RunReg(const std::wstring& args);

// Handles window messages until predicate() holds or timeoutMs pass; true when it held.
template <typename Predicate> bool PumpUntil(Predicate predicate, DWORD timeoutMs) {
  const ULONGLONG end = ::GetTickCount64() + timeoutMs;
  while (!predicate()) {
    if (::GetTickCount64() >= end) {
      return false;
    }
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

} // namespace ket::test
