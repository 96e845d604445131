#include "platform/posix/posix_file_system.h"

#include "base/path.h"
#include "base/text.h"
#include "engine/name_comparer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace ket {

namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// Whether another process holds the file as Windows' share mode 0 would (its flock). A file
// that cannot be opened to ask is not held.
bool HeldByAnother(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return false;
  }
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

bool SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) {
    ::close(fd);
  }
  return synced;
}

bool HasWildcard(std::u16string_view s) {
  return s.find_first_of(u"*?") != std::u16string_view::npos;
}

bool GlobMatch(std::u16string_view p, std::u16string_view n) {
  // Iterative match with one back-tracking point: the last "*" seen.
  std::size_t pi = 0, ni = 0, star = std::u16string_view::npos, mark = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == u'?' || FoldCase(p[pi]) == FoldCase(n[ni]))) {
      ++pi;
      ++ni;
    } else if (pi < p.size() && p[pi] == u'*') {
      star = pi++;
      mark = ni;
    } else if (star != std::u16string_view::npos) {
      pi = star + 1;
      ni = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == u'*') {
    ++pi;
  }
  return pi == p.size();
}

std::uint32_t AttributesOf(const struct stat& st) {
  std::uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) {
    a |= kAttrDirectory;
  }
  if ((st.st_mode & kWriteBits) == 0) {
    a |= kAttrReadOnly;
  }
  return a == 0 ? kAttrNormal : a;
}

// The attributes of the name itself, as Windows reports a reparse point: a symbolic link is
// kAttrReparsePoint, with kAttrDirectory when it points at a folder. nullopt when nothing is
// there; st receives what lstat found.
std::optional<std::uint32_t> OwnAttributes(const std::string& path, struct stat& st) {
  if (::lstat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  if (!S_ISLNK(st.st_mode)) {
    return AttributesOf(st);
  }
  struct stat target {};
  const bool folder = ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  return kAttrReparsePoint | (folder ? kAttrDirectory : 0);
}

std::optional<FindEntry> EntryFor(const std::string& path, std::u16string name) {
  struct stat st {};
  const auto attributes = OwnAttributes(path, st);
  if (!attributes) {
    return std::nullopt;
  }
  FindEntry e;
  e.name = std::move(name);
  e.attributes = *attributes;
  e.lastWriteLocal = LocalCalendarTime(st.st_mtim);
  // A link's own size, as FindFirstFileW gives a reparse point's: 0.
  e.size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  return e;
}

// The folder of a native path, for syncing it after a rename; "." for a bare name.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The matches are collected when the search starts, so deleting them meanwhile is safe.
class ListedSearch final : public FileSearch {
 public:
  explicit ListedSearch(std::vector<FindEntry> rest) : rest_(std::move(rest)) {}
  std::optional<FindEntry> Next() override {
    if (next_ >= rest_.size()) {
      return std::nullopt;
    }
    return std::move(rest_[next_++]);
  }

 private:
  std::vector<FindEntry> rest_;
  std::size_t next_ = 0;
};

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  ~PosixWritableFile() override { Close(); }

  bool Write(std::span<const std::uint8_t> bytes) override {
    return fd_ >= 0 && WriteAll(fd_, bytes);
  }

  bool Flush() override { return fd_ >= 0 && ::fsync(fd_) == 0; }

  bool Close() override {
    if (fd_ < 0) {
      return true;
    }
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
  }

 private:
  int fd_;
};

} // namespace

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

CalendarTime LocalCalendarTime(const struct timespec& t) {
  struct tm local {};
  const time_t seconds = t.tv_sec;
  if (!localtime_r(&seconds, &local)) {
    return {};
  }
  CalendarTime f;
  f.year = static_cast<std::uint16_t>(local.tm_year + 1900);
  f.month = static_cast<std::uint16_t>(local.tm_mon + 1);
  f.day = static_cast<std::uint16_t>(local.tm_mday);
  f.hour = static_cast<std::uint16_t>(local.tm_hour);
  f.minute = static_cast<std::uint16_t>(local.tm_min);
  // A leap second (tm_sec 60) has no place in the fields.
  f.second = static_cast<std::uint16_t>(std::min(local.tm_sec, 59));
  f.millisecond = static_cast<std::uint16_t>(t.tv_nsec / 1'000'000);
  return f;
}

std::string NativePath(std::u16string_view path) {
  return Utf16ToUtf8(PlatformPath(path));
}

bool MatchesWildcard(std::u16string_view pattern, std::u16string_view name) {
  if (pattern == u"*" || pattern == u"*.*") {
    return true;
  }
  if (GlobMatch(pattern, name)) {
    return true;
  }
  return pattern.ends_with(u".*") && name.find(u'.') == std::u16string_view::npos &&
         GlobMatch(pattern.substr(0, pattern.size() - 2), name);
}

std::optional<std::uint32_t> PosixFileSystem::GetAttributes(std::u16string_view path) {
  struct stat st {};
  return OwnAttributes(NativePath(path), st);
}

bool PosixFileSystem::CreateFolder(std::u16string_view path) {
  return ::mkdir(NativePath(path).c_str(), 0777) == 0;
}

bool PosixFileSystem::SetAttributes(std::u16string_view path, std::uint32_t attributes) {
  const std::string p = NativePath(path);
  struct stat st {};
  // chmod would change what a link points at.
  if (::lstat(p.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) {
    return false;
  }
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly) {
    mode &= ~kWriteBits;
  } else if ((mode & kWriteBits) == 0) {
    mode |= S_IWUSR;
  }
  return mode == (st.st_mode & 07777) || ::chmod(p.c_str(), mode) == 0;
}

std::unique_ptr<WritableFile> PosixFileSystem::CreateNewFile(std::u16string_view path) {
  // O_EXCL fails for any name that is taken, a link (even a dangling one) included.
  const int fd =
      ::open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    return nullptr;
  }
  return std::make_unique<PosixWritableFile>(fd);
}

bool PosixFileSystem::MoveOver(std::u16string_view from, std::u16string_view to, bool durable) {
  const std::string source = NativePath(from);
  const std::string target = NativePath(to);
  struct stat st {};
  if (::lstat(source.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    return false;
  }
  // What MoveFileExW refuses, refused here too: a folder, a read-only file, a file another
  // writer holds (share mode 0, here its lock).
  int held = -1;
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      return false;
    }
    if (!S_ISLNK(st.st_mode)) {
      if ((st.st_mode & kWriteBits) == 0) {
        return false;
      }
      held = ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
      if (held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) != 0) {
        ::close(held);
        return false;
      }
    }
  }
  // rename replaces a link at the target, never what it points at.
  const bool moved = ::rename(source.c_str(), target.c_str()) == 0;
  if (held >= 0) {
    ::close(held);
  }
  if (!moved) {
    return false;
  }
  // The new name is on the disk once the folder that holds it is.
  return !durable || SyncFolder(FolderOf(target));
}

bool PosixFileSystem::SetCreationTime(std::u16string_view path, const CalendarTime&) {
  // Linux file systems keep a birth time but offer no call to set it, so there is nothing to
  // do; the answer says whether Windows could have opened the file for it (not a link).
  struct stat st {};
  return ::lstat(NativePath(path).c_str(), &st) == 0 && !S_ISLNK(st.st_mode);
}

std::optional<std::pair<FindEntry, std::unique_ptr<FileSearch>>>
PosixFileSystem::FindFirst(std::u16string_view pattern) {
  const std::string p = NativePath(pattern);
  if (p.empty() || p.back() == '/') {
    return std::nullopt; // a path ending in a separator matches nothing
  }
  const std::size_t slash = p.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
  const std::u16string base = Utf8ToUtf16(slash == std::string::npos ? p : p.substr(slash + 1));

  std::vector<FindEntry> found;
  // A plain name is looked up as the file system spells it (letter case counting, as files
  // are created); only masks are matched the Windows way.
  if (!HasWildcard(base)) {
    if (auto e = EntryFor(p, base)) {
      found.push_back(std::move(*e));
    }
  } else {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) {
      return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* d = ::readdir(dir)) {
      names.emplace_back(d->d_name);
    }
    ::closedir(dir);
    // "." and ".." first, then by name: a stable order, close to what NTFS returns.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      const bool da = a == "." || a == "..", db = b == "." || b == "..";
      return da != db ? da : a < b;
    });
    for (const auto& n : names) {
      std::u16string name = Utf8ToUtf16(n);
      if (!MatchesWildcard(base, name)) {
        continue;
      }
      if (auto e = EntryFor(folder + n, std::move(name))) {
        found.push_back(std::move(*e));
      }
    }
  }
  if (found.empty()) {
    return std::nullopt;
  }
  FindEntry first = std::move(found.front());
  found.erase(found.begin());
  return std::make_pair(std::move(first), std::unique_ptr<FileSearch>(
                                              std::make_unique<ListedSearch>(std::move(found))));
}

bool PosixFileSystem::RemoveFile(std::u16string_view path) {
  const std::string p = NativePath(path);
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    return false;
  }
  if (!S_ISLNK(st.st_mode) && (st.st_mode & kWriteBits) == 0) {
    return false; // read-only, as DeleteFileW refuses it
  }
  return ::unlink(p.c_str()) == 0;
}

bool PosixFileSystem::RemoveFolder(std::u16string_view path) {
  return ::rmdir(NativePath(path).c_str()) == 0;
}

bool PosixFileSystem::MoveNew(std::u16string_view from, std::u16string_view to, bool durable) {
  const std::string source = NativePath(from);
  const std::string target = NativePath(to);
  struct stat st {};
  if (::lstat(source.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    return false;
  }
  // A file held as with share mode 0 cannot be renamed on Windows either.
  if (!S_ISLNK(st.st_mode) && HeldByAnother(source)) {
    return false;
  }
  // RENAME_NOREPLACE where the file system has it; elsewhere a second name and the first one
  // removed, which refuses a taken name as well.
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) {
      return false;
    }
    if (::link(source.c_str(), target.c_str()) != 0) {
      return false;
    }
    if (::unlink(source.c_str()) != 0) {
      ::unlink(target.c_str());
      return false;
    }
  }
  return !durable || (SyncFolder(FolderOf(target)) &&
                      (FolderOf(source) == FolderOf(target) || SyncFolder(FolderOf(source))));
}

bool PosixFileSystem::LinkNew(std::u16string_view from, std::u16string_view to) {
  const std::string source = NativePath(from);
  struct stat st {};
  // A link's own name is not linked (link would follow it on some systems).
  if (::lstat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  return ::link(source.c_str(), NativePath(to).c_str()) == 0;
}

std::optional<std::string> PosixFileSystem::ReadSmallFile(std::u16string_view path,
                                                          std::size_t maxBytes) {
  const int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 || bytes.size() + static_cast<std::size_t>(n) > maxBytes) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

std::optional<std::uint64_t> PosixFileSystem::FreeSpace(std::u16string_view folder) {
  struct statvfs vfs {};
  if (::statvfs(NativePath(folder).c_str(), &vfs) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

namespace {

// The flock of an open lock file; the file goes while the lock is still held, so that the next
// holder never locks a name that is about to vanish (it checks that its file is the one there).
class PosixFolderLock final : public FolderLock {
 public:
  PosixFolderLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  PosixFolderLock(const PosixFolderLock&) = delete;
  PosixFolderLock& operator=(const PosixFolderLock&) = delete;
  ~PosixFolderLock() override {
    ::unlink(path_.c_str());
    ::close(fd_);
  }

 private:
  int fd_;
  std::string path_;
};

} // namespace

std::pair<LockStatus, std::unique_ptr<FolderLock>>
PosixFileSystem::LockFolder(std::u16string_view path) {
  const std::string p = NativePath(path);
  // A holder that releases removes the file it locked; a file locked after it was removed is
  // no lock, so the name is checked to be that file, and tried again otherwise.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      return {LockStatus::kUnavailable, nullptr};
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const bool busy = errno == EWOULDBLOCK;
      ::close(fd);
      return {busy ? LockStatus::kBusy : LockStatus::kUnavailable, nullptr};
    }
    struct stat held {
    }, named{};
    if (::fstat(fd, &held) == 0 && ::lstat(p.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      return {LockStatus::kHeld, std::make_unique<PosixFolderLock>(fd, p)};
    }
    ::close(fd);
  }
  return {LockStatus::kBusy, nullptr};
}

} // namespace ket
