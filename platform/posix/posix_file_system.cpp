#include "platform/posix/posix_file_system.h"

#include "engine/name_comparer.h"
#include "engine/text.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ket {

namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

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

std::optional<FindEntry> EntryFor(const std::string& path, std::u16string name) {
  struct stat st {};
  // A dangling link is still an entry of the folder.
  if (::stat(path.c_str(), &st) != 0 && ::lstat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  FindEntry e;
  e.name = std::move(name);
  e.attributes = AttributesOf(st);
  e.lastWriteLocal = LocalCalendarTime(st.st_mtim);
  e.size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
  return e;
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
    if (fd_ < 0) {
      return false;
    }
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
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

  bool Close() override {
    if (fd_ < 0) {
      return true;
    }
    // Closing the descriptor also releases the lock.
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
  }

 private:
  int fd_;
};

} // namespace

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
  std::string out = Utf16ToUtf8(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
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
  if (::stat(NativePath(path).c_str(), &st) != 0) {
    return std::nullopt;
  }
  return AttributesOf(st);
}

bool PosixFileSystem::CreateFolder(std::u16string_view path) {
  return ::mkdir(NativePath(path).c_str(), 0777) == 0;
}

bool PosixFileSystem::SetAttributes(std::u16string_view path, std::uint32_t attributes) {
  const std::string p = NativePath(path);
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) {
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

std::unique_ptr<WritableFile> PosixFileSystem::CreateFile(std::u16string_view path) {
  const std::string p = NativePath(path);
  struct stat st {};
  // Like Windows, a read-only file is not replaced, also not for a user whom POSIX would let.
  if (::stat(p.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || (st.st_mode & kWriteBits) == 0)) {
    return nullptr;
  }
  const int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    return nullptr;
  }
  // Share mode 0: a second writer that locks the same way (another setup, a test holding
  // the file) makes this one fail, and the lock is taken before anything is truncated.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixWritableFile>(fd);
}

bool PosixFileSystem::SetCreationTime(std::u16string_view path, const CalendarTime&) {
  // Linux file systems keep a birth time but offer no call to set it, so there is nothing to
  // do; the answer says whether Windows could have opened the file for it.
  struct stat st {};
  return ::stat(NativePath(path).c_str(), &st) == 0;
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

bool PosixFileSystem::DeleteFile(std::u16string_view path) {
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

} // namespace ket
