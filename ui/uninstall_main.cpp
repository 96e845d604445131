// Uninstall Ketro.exe: removes the installation it lies in. Small: it carries no product, only
// the record of what the setup installed ("Uninstall Ketro.lst") beside it tells what to remove.
//
//   "Uninstall Ketro.exe" [/VERYSILENT | /SILENT] [/SUPPRESSMSGBOXES] [/LANG=en|ru]
//
// Asks first unless silent. Removes the installed files (the user's files and settings files
// stay), the folders that became empty, the shortcuts Ketro.lnk on the desktop and in the Start
// menu when they start a program in the folder, and the Apps & features entry when it is this
// folder's. Its own file
// cannot go while it runs: a copy in the temporary folder, started at the end with
// /REMOVE=PATH /WAIT=PID, waits for this process to end and removes it and the folder once
// empty. Exit codes as the setup's: 0 done, 1 no record, 5 something stayed (named in a box
// unless suppressed), 6 declined, 8 a setup works on the folder.
#include "base/text.h"
#include "base/wide.h"
#include "engine/commit.h"
#include "engine/exit_code.h"
#include "engine/run.h"
#include "engine/startup.h"
#include "engine/switches.h"
#include "engine/uninstall.h"
#include "platform/win32/handle.h"
#include "platform/win32/registry.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_startup_platform.h"
#include "ui/apps_entry.h"

#include <cwchar>
#include <objbase.h>
#include <shlobj.h>
#include <string>
#include <windows.h>

namespace {

using ket::ExitCode;

constexpr std::u16string_view kQuestionEnglish = u"Remove Ketro FULL and its shortcuts?";
constexpr std::u16string_view kQuestionRussian =
    u"\u0423\u0434\u0430\u043B\u0438\u0442\u044C Ketro FULL \u0438 \u0435\u0433\u043E "
    u"\u044F\u0440\u043B\u044B\u043A\u0438?";
constexpr std::u16string_view kLeftEnglish = u"These could not be removed:";
constexpr std::u16string_view kLeftRussian =
    u"\u041D\u0435 \u0443\u0434\u0430\u043B\u043E\u0441\u044C "
    u"\u0443\u0434\u0430\u043B\u0438\u0442\u044C:";
constexpr std::u16string_view kBusyEnglish =
    u"A setup is working on this installation. Try again when it has finished.";
constexpr std::u16string_view kBusyRussian =
    u"\u0423\u0441\u0442\u0430\u043D\u043E\u0432\u043A\u0430 \u0435\u0449\u0451 "
    u"\u0440\u0430\u0431\u043E\u0442\u0430\u0435\u0442. "
    u"\u041F\u043E\u0432\u0442\u043E\u0440\u0438\u0442\u0435 \u043F\u043E\u0437\u0436\u0435.";
constexpr std::u16string_view kNoRecordEnglish =
    u"This folder holds no record of an installation of Ketro FULL: nothing was removed.";
constexpr std::u16string_view kNoRecordRussian =
    u"\u0412 \u043F\u0430\u043F\u043A\u0435 \u043D\u0435\u0442 "
    u"\u0441\u043F\u0438\u0441\u043A\u0430 "
    u"\u0443\u0441\u0442\u0430\u043D\u043E\u0432\u043B\u0435\u043D\u043D\u044B\u0445 "
    u"\u0444\u0430\u0439\u043B\u043E\u0432: \u043D\u0438\u0447\u0435\u0433\u043E \u043D\u0435 "
    u"\u0443\u0434\u0430\u043B\u0435\u043D\u043E.";

int Box(const ket::SetupSwitches& s, std::u16string_view text, UINT flags, int answer) {
  if (s.suppressMessageBoxes)
    return answer;
  return ::MessageBoxW(nullptr, ket::ToWide(text).c_str(), L"Ketro FULL", flags | MB_SETFOREGROUND);
}

// The setup's own choice, so that the uninstaller speaks the language the setup spoke.
bool Russian(const ket::SetupSwitches& s) {
  return ket::InitialLanguageIndex(s, ket::OemCodePageFrom(ket::ReadOemCodePageText())) == 1;
}

// Whether `path` lies below `folder` (ends in "\"), letter case ignored.
bool Below(const std::wstring& path, const std::wstring& folder) {
  return path.size() > folder.size() &&
         ::CompareStringOrdinal(path.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

// Removes the shortcut at `link` when it starts a program in `folder`; one that the user pointed
// elsewhere is the user's.
void RemoveShortcut(const std::wstring& link, const std::wstring& folder) {
  IShellLinkW* shell = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&shell))))
    return;
  IPersistFile* file = nullptr;
  wchar_t target[MAX_PATH + 1] = {};
  bool ours = false;
  if (SUCCEEDED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    ours = SUCCEEDED(file->Load(link.c_str(), STGM_READ)) &&
           SUCCEEDED(shell->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH)) &&
           Below(target, folder);
    file->Release();
  }
  shell->Release();
  if (ours)
    ::DeleteFileW(link.c_str());
}

void RemoveShortcuts(const std::wstring& folder) {
  ket::UniqueKey key;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER,
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", 0,
                      KEY_READ, key.Receive()) != ERROR_SUCCESS)
    return;
  for (const auto name : {u"Desktop", u"Programs"}) {
    const auto place = ket::ReadRegistryString(key.Get(), name, true);
    if (place && !place->empty())
      RemoveShortcut(ket::ToWide(*place) + L"\\Ketro.lnk", folder);
  }
}

// The Apps & features entry, when it is this installation's: after an install into another
// folder it describes that one.
void RemoveAppsEntry(const std::wstring& folder) {
  ket::UniqueKey key;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, ket::kAppsEntryKey, 0, KEY_READ, key.Receive()) !=
      ERROR_SUCCESS)
    return;
  const auto location = ket::ReadRegistryString(key.Get(), u"InstallLocation");
  key = ket::UniqueKey();
  const std::wstring wide = location ? ket::ToWide(*location) : std::wstring();
  if (::CompareStringOrdinal(wide.c_str(), -1, folder.c_str(), -1, TRUE) == CSTR_EQUAL)
    ::RegDeleteKeyW(HKEY_CURRENT_USER, ket::kAppsEntryKey);
}

// The second part, run from the temporary folder: once the uninstaller has ended, its file
// goes, and the folder with it when nothing else is left there.
int RemoveOriginal(const std::wstring& original, DWORD pid) {
  if (const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid)) {
    ::WaitForSingleObject(process, 60'000);
    ::CloseHandle(process);
  }
  const size_t cut = original.find_last_of(L'\\');
  const DWORD attributes = ::GetFileAttributesW(original.c_str());
  // Only the uninstaller's own name, and never a link standing there.
  if (cut == std::wstring::npos || original.substr(cut + 1) != ket::ToWide(ket::kUninstallerName) ||
      attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
    return ket::ToInt(ExitCode::kDone);
  for (int attempt = 0; attempt < 20 && !::DeleteFileW(original.c_str()); ++attempt)
    ::Sleep(250);
  ::RemoveDirectoryW(original.substr(0, cut).c_str());
  return ket::ToInt(ExitCode::kDone);
}

// A copy of this program in the temporary folder, started to remove `self` once this process
// has ended.
void StartRemover(const std::wstring& self) {
  wchar_t temp[MAX_PATH + 1] = {};
  wchar_t copy[MAX_PATH + 1] = {};
  if (::GetTempPathW(MAX_PATH + 1, temp) == 0 || ::GetTempFileNameW(temp, L"ket", 0, copy) == 0)
    return;
  if (!::CopyFileW(self.c_str(), copy, FALSE))
    return;
  std::wstring line = L"\"" + std::wstring(copy) + L"\" \"/REMOVE=" + self + L"\" /WAIT=" +
                      std::to_wstring(::GetCurrentProcessId());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (::CreateProcessW(copy, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, temp,
                       &startup, &info)) {
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
  }
  // The copy itself goes at the next start of Windows, where this user may ask for it.
  ::MoveFileExW(copy, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const auto args = ket::CommandLineArguments(ket::FromWide(::GetCommandLineW()));
  const ket::SetupSwitches s = ket::ParseSetupSwitches(args);
  std::u16string remove;
  DWORD pid = 0;
  for (const auto& a : args) {
    const std::u16string lower = ket::AsciiLower(a);
    if (lower.starts_with(u"/remove="))
      remove = a.substr(8);
    else if (lower.starts_with(u"/wait="))
      pid = static_cast<DWORD>(ket::ParseOemCodePage(a.substr(6)));
  }
  if (!remove.empty())
    return RemoveOriginal(ket::ToWide(remove), pid);

  const bool russian = Russian(s);
  wchar_t module[32768] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, module, 32768);
  std::wstring self(module, length);
  const std::wstring folder = self.substr(0, self.find_last_of(L'\\') + 1);
  const std::u16string folder16 = ket::FromWide(folder);

  if (!s.silent && Box(s, russian ? kQuestionRussian : kQuestionEnglish, MB_YESNO | MB_ICONQUESTION,
                       IDYES) != IDYES)
    return ket::ToInt(ExitCode::kClosed);

  ket::Win32FileSystem files;
  auto [status, lock] = files.LockFolder(folder16 + std::u16string(ket::kFolderLockName));
  if (status == ket::LockStatus::kBusy) {
    Box(s, russian ? kBusyRussian : kBusyEnglish, MB_OK | MB_ICONWARNING, IDOK);
    return ket::ToInt(ExitCode::kFolderBusy);
  }
  if (!files.GetAttributes(folder16 + std::u16string(ket::kUninstallRecordName))) {
    Box(s, russian ? kNoRecordRussian : kNoRecordEnglish, MB_OK | MB_ICONERROR, IDOK);
    return ket::ToInt(ExitCode::kCannotStart);
  }
  const auto left = ket::RemoveInstalled(files, folder16);
  lock.reset();
  if (SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    RemoveShortcuts(folder);
    ::CoUninitialize();
  }
  RemoveAppsEntry(folder);
  StartRemover(self);
  if (left.empty())
    return ket::ToInt(ExitCode::kDone);
  std::u16string text(russian ? kLeftRussian : kLeftEnglish);
  for (const auto& name : left)
    text += u"\n" + name;
  Box(s, text, MB_OK | MB_ICONWARNING, IDOK);
  return ket::ToInt(ExitCode::kIncomplete);
}
