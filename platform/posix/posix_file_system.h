// The engine's file system on POSIX systems. Product paths are UTF-16 with "\" between folders;
// here they become UTF-8 with "/". What Windows does that POSIX has no word for is imitated
// where the engine relies on it: read-only files (no write bit) refuse to be replaced or
// deleted, a file another writer holds (its flock) refuses to be replaced, searches follow
// Windows' wildcard rules, and a symbolic link answers as a reparse point.
#pragma once

#include "engine/file_system.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <time.h>

namespace ket {

// A file time as local clock time in calendar fields; all zero when it cannot be converted.
CalendarTime LocalCalendarTime(const struct timespec& t);

// Writes all of bytes to fd, again after an interruption; false on the first failure (errno
// says why where write set it).
bool WriteAll(int fd, std::span<const std::uint8_t> bytes);

// The native form of a product path.
std::string NativePath(std::u16string_view path);

// Windows' wildcard match of one name: "*" any run, "?" one character, letter case ignored
// (the letters engine/name_comparer.h folds); "*" and "*.*" match every name, and a pattern
// ending in ".*" also matches the names without a dot that match what comes before it.
bool MatchesWildcard(std::u16string_view pattern, std::u16string_view name);

class PosixFileSystem final : public FileSystem {
 public:
  std::optional<std::uint32_t> GetAttributes(std::u16string_view path) override;
  bool CreateFolder(std::u16string_view path) override;
  bool SetAttributes(std::u16string_view path, std::uint32_t attributes) override;
  std::unique_ptr<WritableFile> CreateNewFile(std::u16string_view path) override;
  bool MoveOver(std::u16string_view from, std::u16string_view to, bool durable) override;
  bool SetCreationTime(std::u16string_view path, const CalendarTime& utc) override;
  std::optional<std::pair<FindEntry, std::unique_ptr<FileSearch>>>
  FindFirst(std::u16string_view pattern) override;
  bool RemoveFile(std::u16string_view path) override;
  bool RemoveFolder(std::u16string_view path) override;
  bool MoveNew(std::u16string_view from, std::u16string_view to, bool durable) override;
  bool LinkNew(std::u16string_view from, std::u16string_view to) override;
  std::optional<std::string> ReadSmallFile(std::u16string_view path, std::size_t maxBytes) override;
  std::optional<std::uint64_t> FreeSpace(std::u16string_view folder) override;
  std::pair<LockStatus, std::unique_ptr<FolderLock>> LockFolder(std::u16string_view path) override;
  // Letter case counts: a case-sensitive file system is assumed.
  bool SameName(std::u16string_view a, std::u16string_view b) const override { return a == b; }
  std::uint32_t LastError() const override { return static_cast<std::uint32_t>(errno); }
};

} // namespace ket
