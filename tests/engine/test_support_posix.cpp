#include "base/text.h"
#include "platform/posix/posix_file_system.h"
#include "tests/engine/test_support_platform.h"

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <iterator>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ket::test {

namespace {

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

void Check(bool ok, const std::string& what) {
  if (!ok) {
    throw std::runtime_error(what);
  }
}

} // namespace

std::unique_ptr<FileSystem> MakePlatformFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

TempFolder::TempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/ket-engine-XXXXXX";
  Check(::mkdtemp(templ.data()) != nullptr, "mkdtemp");
  path_ = Utf8ToUtf16(templ) + u"\\";
}

TempFolder::~TempFolder() {
  ::nftw(NativePath(path_).c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

void MakeFolders(std::u16string_view path) {
  const std::string p = NativePath(path);
  for (std::size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      ::mkdir(p.substr(0, i).c_str(), 0777);
    }
  }
}

void PutFile(std::u16string_view path, std::string_view bytes) {
  const std::string p = NativePath(path);
  MakeFolders(Utf8ToUtf16(p.substr(0, p.rfind('/'))));
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Check(out.good(), "write " + p);
}

std::optional<std::string> GetFile(std::u16string_view path) {
  std::ifstream in(NativePath(path), std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FolderExists(std::u16string_view path) {
  struct stat st {};
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(std::u16string_view path) {
  struct stat st {};
  return ::lstat(NativePath(path).c_str(), &st) == 0;
}

void SetLastWriteLocal(std::u16string_view path, const CalendarTime& local) {
  struct tm t {};
  t.tm_year = local.year - 1900;
  t.tm_mon = local.month - 1;
  t.tm_mday = local.day;
  t.tm_hour = local.hour;
  t.tm_min = local.minute;
  t.tm_sec = local.second;
  t.tm_isdst = -1;
  const time_t seconds = ::mktime(&t);
  struct timespec times[2];
  times[0].tv_sec = seconds;
  times[0].tv_nsec = 0;
  times[1].tv_sec = seconds;
  times[1].tv_nsec = static_cast<long>(local.millisecond) * 1'000'000;
  Check(::utimensat(AT_FDCWD, NativePath(path).c_str(), times, 0) == 0, "utimensat");
}

void SetReadOnly(std::u16string_view path, bool readOnly) {
  Check(::chmod(NativePath(path).c_str(), readOnly ? 0444 : 0644) == 0, "chmod");
}

bool IsReadOnly(std::u16string_view path) {
  struct stat st {};
  return ::stat(NativePath(path).c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

bool MakeLink(std::u16string_view link, std::u16string_view target, bool) {
  return ::symlink(NativePath(target).c_str(), NativePath(link).c_str()) == 0;
}

bool IsLink(std::u16string_view path) {
  struct stat st {};
  return ::lstat(NativePath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

namespace {

// Another writer's lock: PosixFileSystem::CreateNewFile honours it as Windows honours share
// mode 0.
class FlockHeld final : public HeldFile {
 public:
  explicit FlockHeld(int fd) : fd_(fd) {}
  ~FlockHeld() override { ::close(fd_); }

 private:
  int fd_;
};

} // namespace

std::unique_ptr<HeldFile> HoldOpen(std::u16string_view path) {
  const int fd = ::open(NativePath(path).c_str(), O_RDWR | O_CLOEXEC);
  Check(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0, "flock");
  return std::make_unique<FlockHeld>(fd);
}

} // namespace ket::test
