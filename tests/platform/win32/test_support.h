// Helpers of the Windows test programs: temporary folders (the engine's, test_support_platform.h),
// child processes, registry values.
#pragma once

#include "base/wide.h"
#include "tests/engine/test_support_platform.h"

#include <optional>
#include <string>
#include <vector>
#include <windows.h>

namespace ket::test {

// The engine's helpers (test_support_platform.h) for Win32 paths.
inline void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  PutFile(FromWide(path), bytes);
}
inline bool Exists(const std::wstring& path) {
  return PathExists(FromWide(path));
}
// The whole file, read with any sharing: a child process may still be writing it.
std::optional<std::string> ReadFileBytes(const std::wstring& path);

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
