#include "platform/win32/win32_file_system.h"

#include "base/wide.h"
#include "platform/win32/file_time.h"
#include "platform/win32/handle.h"

#include <algorithm>
#include <windows.h>

namespace ket {

namespace {

class Win32WritableFile final : public WritableFile {
 public:
  explicit Win32WritableFile(UniqueHandle handle) : handle_(std::move(handle)) {}

  bool Write(std::span<const std::uint8_t> bytes) override {
    if (!handle_.Valid()) {
      return false;
    }
    // WriteFile takes a 32-bit count; larger spans go in pieces.
    constexpr size_t kChunk = 0x40000000;
    while (!bytes.empty()) {
      const DWORD wanted = static_cast<DWORD>(std::min(bytes.size(), kChunk));
      DWORD written = 0;
      if (!::WriteFile(handle_.Get(), bytes.data(), wanted, &written, nullptr) ||
          written != wanted) {
        return false;
      }
      bytes = bytes.subspan(written);
    }
    return true;
  }

  bool Flush() override { return handle_.Valid() && ::FlushFileBuffers(handle_.Get()) != 0; }

  bool Close() override {
    if (!handle_.Valid()) {
      return true;
    }
    return handle_.Reset();
  }

 private:
  UniqueHandle handle_;
};

FindEntry ToEntry(const WIN32_FIND_DATAW& data) {
  FindEntry entry;
  entry.name = FromWide(data.cFileName);
  entry.attributes = data.dwFileAttributes;
  entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  FILETIME local{};
  // A stamp that cannot be converted stays all zero, which the planning pass reads as no date.
  if (::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local)) {
    entry.lastWriteLocal = ToCalendarTime(local).value_or(CalendarTime{});
  }
  return entry;
}

class Win32FileSearch final : public FileSearch {
 public:
  explicit Win32FileSearch(HANDLE h) : handle_(h) {}
  Win32FileSearch(const Win32FileSearch&) = delete;
  Win32FileSearch& operator=(const Win32FileSearch&) = delete;
  ~Win32FileSearch() override { ::FindClose(handle_); }

  std::optional<FindEntry> Next() override {
    WIN32_FIND_DATAW data{};
    if (!::FindNextFileW(handle_, &data)) {
      return std::nullopt;
    }
    return ToEntry(data);
  }

 private:
  HANDLE handle_;
};

} // namespace

std::optional<std::uint32_t> Win32FileSystem::GetAttributes(std::u16string_view path) {
  const DWORD attributes = ::GetFileAttributesW(ToWide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return std::nullopt;
  }
  return attributes;
}

bool Win32FileSystem::CreateFolder(std::u16string_view path) {
  return ::CreateDirectoryW(ToWide(path).c_str(), nullptr) != 0;
}

bool Win32FileSystem::SetAttributes(std::u16string_view path, std::uint32_t attributes) {
  const std::wstring p = ToWide(path);
  // SetFileAttributesW acts on what a link points at.
  const DWORD current = ::GetFileAttributesW(p.c_str());
  if (current == INVALID_FILE_ATTRIBUTES || (current & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  return ::SetFileAttributesW(p.c_str(), attributes) != 0;
}

std::unique_ptr<WritableFile> Win32FileSystem::CreateNewFile(std::u16string_view path) {
  // CREATE_NEW fails for a name that is taken, a link included, so nothing is followed.
  UniqueHandle h(::CreateFileW(ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.Valid()) {
    return nullptr;
  }
  return std::make_unique<Win32WritableFile>(std::move(h));
}

bool Win32FileSystem::MoveOver(std::u16string_view from, std::u16string_view to, bool durable) {
  const std::wstring target = ToWide(to);
  const DWORD existing = ::GetFileAttributesW(target.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY)) {
    return false; // a folder, or a link that stands for one
  }
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
  return ::MoveFileExW(ToWide(from).c_str(), target.c_str(), flags) != 0;
}

bool Win32FileSystem::SetCreationTime(std::u16string_view path, const CalendarTime& utc) {
  // The link itself is opened, never what it points at, and then refused.
  UniqueHandle h(::CreateFileW(ToWide(path).c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.Valid()) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h.Get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  // The fields are UTC as they stand: no time-zone conversion.
  const std::optional<FILETIME> created = ToFileTime(utc);
  if (!created) {
    return false;
  }
  const bool set = ::SetFileTime(h.Get(), &*created, nullptr, nullptr) != 0;
  return h.Reset() && set;
}

std::optional<std::pair<FindEntry, std::unique_ptr<FileSearch>>>
Win32FileSystem::FindFirst(std::u16string_view pattern) {
  WIN32_FIND_DATAW data{};
  const HANDLE h = ::FindFirstFileW(ToWide(pattern).c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  return std::make_pair(ToEntry(data), std::make_unique<Win32FileSearch>(h));
}

bool Win32FileSystem::RemoveFile(std::u16string_view path) {
  return ::DeleteFileW(ToWide(path).c_str()) != 0;
}

bool Win32FileSystem::RemoveFolder(std::u16string_view path) {
  return ::RemoveDirectoryW(ToWide(path).c_str()) != 0;
}

namespace {

// The final path of what `path` opens (links followed); empty when it cannot be told.
std::wstring FinalPath(const std::wstring& path) {
  UniqueHandle h(::CreateFileW(path.c_str(), 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.Valid()) {
    return {};
  }
  wchar_t buffer[1024];
  const DWORD n = ::GetFinalPathNameByHandleW(h.Get(), buffer, 1024, FILE_NAME_NORMALIZED);
  return n == 0 || n >= 1024 ? std::wstring() : std::wstring(buffer, n);
}

// Whether the file is where its name says, not a link to somewhere else that the system does
// not show as one (Wine shows a host's symbolic link to a file as a plain file, and renaming it
// moves what it points at). True when it cannot be told.
bool IsWhereItsNameSays(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) {
    return true;
  }
  const std::wstring file = FinalPath(path);
  const std::wstring folder = FinalPath(path.substr(0, slash));
  if (file.empty() || folder.empty()) {
    return true;
  }
  const std::wstring expected = folder + L"\\" + path.substr(slash + 1);
  return ::CompareStringOrdinal(file.c_str(), static_cast<int>(file.size()), expected.c_str(),
                                static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

bool Win32FileSystem::MoveNew(std::u16string_view from, std::u16string_view to, bool durable) {
  const std::wstring source = ToWide(from);
  if (!IsWhereItsNameSays(source)) {
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING a taken name fails the call (ERROR_ALREADY_EXISTS).
  return ::MoveFileExW(source.c_str(), ToWide(to).c_str(), durable ? MOVEFILE_WRITE_THROUGH : 0) !=
         0;
}

bool Win32FileSystem::LinkNew(std::u16string_view, std::u16string_view) {
  // CreateHardLinkW would give a running program's file a second name that could then be
  // neither replaced nor removed; renaming it aside is what Windows allows.
  return false;
}

std::optional<std::string> Win32FileSystem::ReadSmallFile(std::u16string_view path,
                                                          std::size_t maxBytes) {
  UniqueHandle h(::CreateFileW(ToWide(path).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.Valid()) {
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h.Get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      info.nFileSizeHigh != 0 || info.nFileSizeLow > maxBytes) {
    return std::nullopt;
  }
  std::string bytes(info.nFileSizeLow, '\0');
  DWORD read = 0;
  if (!bytes.empty() &&
      (!::ReadFile(h.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
       read != bytes.size())) {
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::uint64_t> Win32FileSystem::FreeSpace(std::u16string_view folder) {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(ToWide(folder).c_str(), &available, nullptr, nullptr)) {
    return std::nullopt;
  }
  return available.QuadPart;
}

namespace {

class Win32FolderLock final : public FolderLock {
 public:
  explicit Win32FolderLock(UniqueHandle handle) : handle_(std::move(handle)) {}

 private:
  UniqueHandle handle_; // closing it deletes the file
};

} // namespace

std::pair<LockStatus, std::unique_ptr<FolderLock>>
Win32FileSystem::LockFolder(std::u16string_view path) {
  const std::wstring p = ToWide(path);
  UniqueHandle h(::CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                               nullptr));
  if (h.Valid()) {
    return {LockStatus::kHeld, std::make_unique<Win32FolderLock>(std::move(h))};
  }
  const DWORD error = ::GetLastError();
  // Held: a sharing violation, or access denied while the holder's file is about to go.
  const bool busy =
      error == ERROR_SHARING_VIOLATION ||
      (error == ERROR_ACCESS_DENIED && ::GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES);
  return {busy ? LockStatus::kBusy : LockStatus::kUnavailable, nullptr};
}

std::uint32_t Win32FileSystem::LastError() const {
  return ::GetLastError();
}

bool Win32FileSystem::SameName(std::u16string_view a, std::u16string_view b) const {
  return ::CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()),
                                static_cast<int>(a.size()),
                                reinterpret_cast<const wchar_t*>(b.data()),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

} // namespace ket
