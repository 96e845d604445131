#include "base/wide.h"
#include "platform/win32/file_time.h"
#include "platform/win32/win32_file_system.h"
#include "tests/engine/test_support_platform.h"

#include <stdexcept>
#include <string>
#include <windows.h>

namespace ket::test {

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    throw std::runtime_error(std::string(what) + " failed, error " +
                             std::to_string(GetLastError()));
  }
}

class HandleHeld final : public HeldFile {
 public:
  explicit HandleHeld(HANDLE h) : h_(h) {}
  ~HandleHeld() override { CloseHandle(h_); }

 private:
  HANDLE h_;
};

// Removes `folder` (with or without its final "\") and everything below it, read-only files
// too; a link goes as itself, since what it points at is not the test's to remove. Best effort:
// what cannot be removed stays.
void RemoveTree(FileSystem& files, std::u16string folder) {
  if (!folder.empty() && folder.back() == u'\\') {
    folder.pop_back();
  }
  ForEachFound(files, folder + u"\\*", [&](const FindEntry& entry) {
    if (entry.name == u"." || entry.name == u"..") {
      return true;
    }
    const std::u16string path = folder + u"\\" + entry.name;
    if (entry.attributes & kAttrReparsePoint) {
      if (!files.RemoveFile(path)) {
        files.RemoveFolder(path);
      }
      return true;
    }
    files.SetAttributes(path, kAttrNormal);
    if (entry.attributes & kAttrDirectory) {
      RemoveTree(files, path);
    } else {
      files.RemoveFile(path);
    }
    return true;
  });
  files.RemoveFolder(folder);
}

} // namespace

std::unique_ptr<FileSystem> MakePlatformFileSystem() {
  return std::make_unique<Win32FileSystem>();
}

TempFolder::TempFolder() {
  wchar_t temp[MAX_PATH + 1];
  Check(GetTempPathW(MAX_PATH + 1, temp) != 0, "GetTempPathW");
  static unsigned counter = 0;
  for (;;) {
    const std::wstring path = std::wstring(temp) + L"ket-engine-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++counter);
    if (CreateDirectoryW(path.c_str(), nullptr)) {
      path_.assign(path.begin(), path.end());
      path_ += u"\\";
      return;
    }
    Check(GetLastError() == ERROR_ALREADY_EXISTS, "CreateDirectoryW");
  }
}

TempFolder::~TempFolder() {
  Win32FileSystem files;
  RemoveTree(files, path_);
}

void MakeFolders(std::u16string_view path) {
  const std::wstring p = ToWide(path);
  for (std::size_t i = 3; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == L'\\') {
      CreateDirectoryW(p.substr(0, i).c_str(), nullptr);
    }
  }
}

void PutFile(std::u16string_view path, std::string_view bytes) {
  MakeFolders(path.substr(0, path.rfind(u'\\')));
  HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  Check(h != INVALID_HANDLE_VALUE, "CreateFileW");
  DWORD written = 0;
  const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  Check(ok && written == bytes.size(), "WriteFile");
}

std::optional<std::string> GetFile(std::u16string_view path) {
  HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::string out;
  char buf[65536];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) {
    out.append(buf, n);
  }
  CloseHandle(h);
  return out;
}

bool FolderExists(std::u16string_view path) {
  const DWORD a = GetFileAttributesW(ToWide(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathExists(std::u16string_view path) {
  return GetFileAttributesW(ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void SetLastWriteLocal(std::u16string_view path, const CalendarTime& local) {
  const std::optional<FILETIME> localTime = ToFileTime(local);
  FILETIME utc;
  Check(localTime && LocalFileTimeToFileTime(&*localTime, &utc), "time conversion");
  HANDLE h =
      CreateFileW(ToWide(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Check(h != INVALID_HANDLE_VALUE, "CreateFileW");
  const BOOL ok = SetFileTime(h, nullptr, nullptr, &utc);
  CloseHandle(h);
  Check(ok, "SetFileTime");
}

void SetReadOnly(std::u16string_view path, bool readOnly) {
  Check(SetFileAttributesW(ToWide(path).c_str(),
                           readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL),
        "SetFileAttributesW");
}

bool IsReadOnly(std::u16string_view path) {
  const DWORD a = GetFileAttributesW(ToWide(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
}

bool MakeLink(std::u16string_view link, std::u16string_view target, bool folder) {
  const DWORD flags =
      (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  // Some platforms answer success without making the link: look.
  return CreateSymbolicLinkW(ToWide(link).c_str(), ToWide(target).c_str(), flags) && IsLink(link);
}

bool IsLink(std::u16string_view path) {
  const DWORD a = GetFileAttributesW(ToWide(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::unique_ptr<HeldFile> HoldOpen(std::u16string_view path) {
  HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  Check(h != INVALID_HANDLE_VALUE, "CreateFileW");
  return std::make_unique<HandleHeld>(h);
}

} // namespace ket::test
