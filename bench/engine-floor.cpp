// The floor an installation is measured against: read the archive, inflate every entry but the
// manifest with zlib and write each file with one write, making folders as needed; then the city
// database's one encrypted rewrite: its key derived once, every page enciphered, the file
// written again with one write and flushed once. No planning, no lookups, no attributes, no
// times.
//   engine-floor ARCHIVE OUT_DIR
#include "base/product.h"
#include "base/text.h"
#include "db/page_codec.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The page size of a plain database header (bytes 16 and 17, big-endian; 1 means 65536), or 0.
std::size_t PageSize(const std::vector<std::uint8_t>& file) {
  if (file.size() < 100) {
    return 0;
  }
  const std::size_t size = (std::size_t{file[16]} << 8) | file[17];
  return size == 1 ? 65536 : size;
}

// Every page enciphered under the product's password, written over the file, flushed.
bool RewriteEnciphered(const std::string& path, std::vector<std::uint8_t>& file) {
  const std::size_t pageSize = PageSize(file);
  if (pageSize < 512 || file.size() % pageSize != 0) {
    return false;
  }
  const std::string_view password = ket::kCityDatabasePassword;
  const ket::KeyMaterial material = ket::DeriveKeyMaterial(
      {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()});
  const ket::AesEncryptSchedule schedule(std::span<const std::uint8_t, 32>(material.data(), 32));
  for (std::size_t at = 0; at < file.size(); at += pageSize) {
    const std::span<std::uint8_t> page(file.data() + at, pageSize);
    ket::EncipherPage(schedule, static_cast<std::uint32_t>(at / pageSize + 1), page, page);
  }
  const int fd = ::open(path.c_str(), O_WRONLY);
  const bool ok = fd >= 0 &&
                  ::pwrite(fd, file.data(), file.size(), 0) == static_cast<ssize_t>(file.size()) &&
                  ::fdatasync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

void MakeParents(const std::string& path) {
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] == '/') {
      ::mkdir(path.substr(0, i).c_str(), 0777);
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: engine-floor ARCHIVE OUT_DIR\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) {
    std::perror("mmap");
    return 1;
  }
  const auto* base = static_cast<const std::uint8_t*>(map);
  const std::string root = argv[2];
  std::size_t pos = 0;
  for (int index = 0; pos < size; ++index) {
    const std::size_t n = base[pos];
    std::string name(reinterpret_cast<const char*>(base + pos + 1), n);
    const std::uint32_t unpacked = Get32(base + pos + 1 + n);
    const std::uint32_t packed = Get32(base + pos + 9 + n);
    const std::uint8_t* data = base + pos + 13 + n;
    pos += 13 + n + packed;
    if (index == 0) {
      continue;
    }
    std::vector<std::uint8_t> out(unpacked);
    uLongf got = unpacked;
    if (uncompress(out.data(), &got, data, packed) != Z_OK || got != unpacked) {
      std::fprintf(stderr, "engine-floor: cannot inflate %s\n", name.c_str());
      return 1;
    }
    for (auto& c : name) {
      c = c == '\\' ? '/' : c;
    }
    const std::string path = root + "/" + name;
    MakeParents(path);
    const int out_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out_fd < 0 || ::write(out_fd, out.data(), out.size()) != static_cast<ssize_t>(out.size()) ||
        ::close(out_fd) != 0) {
      std::perror(path.c_str());
      return 1;
    }
    if (name == ket::Utf16ToUtf8(ket::kCityDatabaseName) && !RewriteEnciphered(path, out)) {
      std::fprintf(stderr, "engine-floor: cannot rewrite %s enciphered\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
