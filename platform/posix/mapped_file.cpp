#include "platform/posix/mapped_file.h"

#include "base/error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ket {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int err) {
  throw Error("Cannot " + what + " " + path + ": " + std::strerror(err));
}

} // namespace

MappedFileBytes::MappedFileBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail("open", path, errno);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    Fail("read", path, err);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw Error("Cannot read " + path + ": not a regular file");
  }
  size_ = static_cast<std::size_t>(st.st_size);
  // A file of length 0 cannot be mapped; it is an empty archive.
  if (size_ > 0) {
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      const int err = errno;
      ::close(fd);
      Fail("map", path, err);
    }
    data_ = static_cast<const std::uint8_t*>(p);
  }
  // The mapping stays valid without the descriptor.
  ::close(fd);
}

MappedFileBytes::~MappedFileBytes() {
  if (data_) {
    ::munmap(const_cast<std::uint8_t*>(data_), size_);
  }
}

} // namespace ket
