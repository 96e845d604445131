#include "tests/platform/win32/test_support.h"

#include <algorithm>
#include <cwctype>

namespace ket::test {

namespace {

std::wstring TempRoot() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, n);
}

std::wstring UpperName(const std::wstring& entry) {
  std::wstring name = entry.substr(0, entry.find(L'='));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
  return name;
}

// This process's environment with `extra` added or replacing entries of the same name, as
// CreateProcessW wants it: NUL-separated, ending in two NULs.
std::wstring Environment(const std::vector<std::wstring>& extra) {
  std::vector<std::wstring> entries;
  if (wchar_t* block = ::GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) {
      entries.emplace_back(p);
    }
    ::FreeEnvironmentStringsW(block);
  }
  for (const auto& e : extra) {
    const std::wstring name = UpperName(e);
    std::erase_if(entries, [&](const std::wstring& x) { return UpperName(x) == name; });
    entries.push_back(e);
  }
  std::wstring out;
  for (const auto& e : entries) {
    out += e;
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

} // namespace

std::optional<std::string> ReadFileBytes(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::string out;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    out.append(buffer, got);
  }
  ::CloseHandle(h);
  return out;
}

ChildProcess::ChildProcess(const std::wstring& commandLine,
                           const std::vector<std::wstring>& extraEnvironment) {
  static unsigned counter = 0;
  outputPath_ = TempRoot() + L"ket-child-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter) + L".txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = ::CreateFileW(outputPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nullptr;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = commandLine;
  std::wstring env = Environment(extraEnvironment);
  if (::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                       env.data(), nullptr, &si, &pi)) {
    ::CloseHandle(pi.hThread);
    process_ = pi.hProcess;
  }
  if (out != INVALID_HANDLE_VALUE) {
    ::CloseHandle(out);
  }
}

ChildProcess::~ChildProcess() {
  if (process_ != nullptr) {
    if (Running()) {
      ::TerminateProcess(process_, 99);
      ::WaitForSingleObject(process_, 5000);
    }
    ::CloseHandle(process_);
  }
  ::DeleteFileW(outputPath_.c_str());
}

std::optional<DWORD> ChildProcess::Wait(DWORD timeoutMs) {
  if (process_ == nullptr || ::WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  return code;
}

bool ChildProcess::Running() const {
  return process_ != nullptr && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

std::string ChildProcess::Output() const {
  return ReadFileBytes(outputPath_).value_or("");
}

std::wstring ProgramFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH + 1);
  std::wstring path(buffer, n);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

DWORD RunReg(const std::wstring& args) {
  ChildProcess reg(L"reg.exe " + args, {});
  return reg.Wait(60000).value_or(0xFFFFFFFF);
}

} // namespace ket::test
