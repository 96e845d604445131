// The file-system operations the planning pass and the installation run use, one per platform
// call they name. Paths are UTF-16 with "\" between folders, as the product spells them;
// an implementation maps them to its own form.
//
// No operation follows a link (a symbolic link, a junction: a reparse point) at the last
// component of its path: it acts on the link itself or refuses. Links in the folders above are
// the caller's to check, through GetAttributes of each component.
#pragma once

#include "engine/date_time.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace ket {

// Attribute bits, with the values Windows gives them.
inline constexpr std::uint32_t kAttrReadOnly = 0x01;
inline constexpr std::uint32_t kAttrHidden = 0x02;
inline constexpr std::uint32_t kAttrSystem = 0x04;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;
inline constexpr std::uint32_t kAttrNormal = 0x80;
inline constexpr std::uint32_t kAttrReparsePoint = 0x400; // a link: symbolic link, junction

// One entry of a search (WIN32_FIND_DATAW, reduced to what the callers read).
struct FindEntry {
  std::u16string name; // the name alone, without its folder
  std::uint32_t attributes = 0;
  CalendarTime lastWriteLocal; // last-write time, UTC converted to local clock time
  std::uint64_t size = 0;
};

// An open search (FindFirstFileW .. FindClose); destroying it ends the search.
class FileSearch {
 public:
  virtual ~FileSearch() = default;
  // The next entry after the first (FindNextFileW); nullopt when there are no more.
  virtual std::optional<FindEntry> Next() = 0;
};

// A file created by CreateNewFile (CreateFileW); destroying it closes the handle (CloseHandle).
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // WriteFile of all the bytes; false when the platform reports a failure or a short write.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
  // FlushFileBuffers (fsync): what was written is on the disk; false on failure.
  virtual bool Flush() = 0;
  // CloseHandle now; false on failure. Later calls do nothing.
  virtual bool Close() = 0;
};

// The exclusive lock of an installation folder (FileSystem::LockFolder); destroying it releases
// the lock and removes its file. A process that dies releases it too.
class FolderLock {
 public:
  virtual ~FolderLock() = default;
};

enum class LockStatus {
  kHeld,       // this process holds the lock
  kBusy,       // another process holds it
  kUnavailable // the lock file cannot be made (a folder without write rights): no one can hold it
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // GetFileAttributesW: nullopt when the path names nothing (INVALID_FILE_ATTRIBUTES). A link
  // answers for itself: kAttrReparsePoint, with kAttrDirectory when it stands for a folder.
  virtual std::optional<std::uint32_t> GetAttributes(std::u16string_view path) = 0;
  // CreateDirectoryW of one folder whose parent exists; false on failure (also when it exists).
  virtual bool CreateFolder(std::u16string_view path) = 0;
  // SetFileAttributesW; 0 means a plain file (FILE_ATTRIBUTE_NORMAL). False for a link.
  virtual bool SetAttributes(std::u16string_view path, std::uint32_t attributes) = 0;
  // CreateFileW(GENERIC_READ | GENERIC_WRITE, share mode 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL):
  // a new file; null when the name is taken (by anything, a link included) or the file cannot be
  // created.
  virtual std::unique_ptr<WritableFile> CreateNewFile(std::u16string_view path) = 0;
  // MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING, and MOVEFILE_WRITE_THROUGH when durable):
  // the file `from` takes the name `to` in one step, replacing what had it (a link there is
  // replaced, not followed). False, with both left as they were, when it cannot: `to` is a
  // folder, read-only, or held open by another program. Durable: the move itself is on the disk
  // when the call returns.
  virtual bool MoveOver(std::u16string_view from, std::u16string_view to, bool durable) = 0;
  // Opens the file for its attributes only (FILE_WRITE_ATTRIBUTES, share read and write,
  // OPEN_EXISTING, not through a link), converts the fields with SystemTimeToFileTime (read as
  // UTC) and sets the creation time alone. False when any step fails; nothing is set then.
  virtual bool SetCreationTime(std::u16string_view path, const CalendarTime& utc) = 0;
  // FindFirstFileW over every attribute; "." and ".." are returned like any other name, and a
  // link as itself (kAttrReparsePoint). nullopt and no search when nothing matches. ForEachFound
  // (below) walks a whole search.
  virtual std::optional<std::pair<FindEntry, std::unique_ptr<FileSearch>>>
  FindFirst(std::u16string_view pattern) = 0;
  // DeleteFileW (fails for a read-only file; a link goes itself) and RemoveDirectoryW (only an
  // empty folder).
  virtual bool RemoveFile(std::u16string_view path) = 0;
  virtual bool RemoveFolder(std::u16string_view path) = 0;

  // MoveFileExW(from, to, 0, and MOVEFILE_WRITE_THROUGH when durable): the file `from` takes
  // the free name `to` in one step. False, with both left as they were, when `to` is taken (by
  // anything, a link included) or `from` cannot be renamed (held open without delete sharing).
  // A running program's file can be renamed so: this is how the run sets an old file aside.
  virtual bool MoveNew(std::u16string_view from, std::u16string_view to, bool durable) = 0;
  // A second name `to` for the file `from` (a hard link), both names staying; false, with
  // nothing changed, when `to` is taken or the file system cannot. Where a second name is
  // possible, an old file keeps its own until the new one replaces it in one step. Windows'
  // implementation always answers false: a running program's file can be renamed there but
  // never replaced, so the run renames old files aside instead.
  virtual bool LinkNew(std::u16string_view from, std::u16string_view to) = 0;
  // The whole content of a file of at most maxBytes bytes (CreateFileW, ReadFile); nullopt when
  // there is no such file, it cannot be read, it is larger, or it is a link.
  virtual std::optional<std::string> ReadSmallFile(std::u16string_view path,
                                                   std::size_t maxBytes) = 0;
  // GetDiskFreeSpaceExW: the bytes this user may still write on the volume that holds
  // `folder`; nullopt when the platform cannot tell.
  virtual std::optional<std::uint64_t> FreeSpace(std::u16string_view folder) = 0;
  // The exclusive lock whose file is `path`: CreateFileW(OPEN_ALWAYS, share mode 0,
  // FILE_FLAG_DELETE_ON_CLOSE) on Windows, an flock(LOCK_EX) elsewhere. It never outlives the
  // process that holds it, so a killed run leaves no stale lock. kHeld comes with the lock.
  virtual std::pair<LockStatus, std::unique_ptr<FolderLock>>
  LockFolder(std::u16string_view path) = 0;
  // Whether two names relative to one folder name the same file, as the platform's file system
  // compares them: letter case ignored on Windows, counted elsewhere.
  virtual bool SameName(std::u16string_view a, std::u16string_view b) const = 0;
  // The platform's code for why the last call that failed failed (GetLastError on Windows), for
  // the log; 0 where the platform tells none.
  virtual std::uint32_t LastError() const { return 0; }
};

// Hands every entry that files.FindFirst(pattern) and its Next find to visit, in the platform's
// order, until visit returns false. Entries come as the search gives them: "." and ".." included,
// a link as itself, never followed; what to skip is visit's to decide. The search stays open
// while visit runs (visit may change the folder: the platform then decides whether later entries
// show the change) and ends before ForEachFound returns. True when the walk reached the end,
// also when nothing matched; false when visit stopped it. visit's exceptions pass through.
template <typename Visit>
bool ForEachFound(FileSystem& files, std::u16string_view pattern, Visit&& visit) {
  auto found = files.FindFirst(pattern);
  if (!found) {
    return true;
  }
  auto& [first, search] = *found;
  for (std::optional<FindEntry> entry = std::move(first); entry;
       entry = search ? search->Next() : std::nullopt) {
    if (!visit(static_cast<const FindEntry&>(*entry))) {
      return false;
    }
  }
  return true;
}

} // namespace ket
