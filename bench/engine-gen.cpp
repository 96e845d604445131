// Writes a product shaped like the shipped one into a folder: a manifest "list" and 295 files,
// one of them a 24,416,256-byte database-like Ketro.cts, the rest small and medium files, 239
// of them in folders. The contents mix random and repetitive bytes so that deflate packs them
// about as well as the real product (about 26.7 MB in all). Deterministic.
//   engine-gen OUT_DIR
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr std::size_t kDatabaseSize = 24'416'256; // 5961 pages of 4096 bytes
constexpr int kFiles = 295;
constexpr int kInFolders = 239;

std::uint64_t state = 0x9E3779B97F4A7C15ULL;
std::uint64_t Next() {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

const char* const kWords[] = {"Moscow", "street",  "avenue", "square", "bridge",   "station",
                              "museum", "theatre", "park",   "river",  "Kazan",    "Samara",
                              "Tula",   "house",   "north",  "south",  "district", "metro"};

// `random` bytes of noise then text to the end, block by block.
void Fill(std::vector<std::uint8_t>& out, std::size_t size, std::size_t block, std::size_t random) {
  out.clear();
  out.reserve(size);
  while (out.size() < size) {
    const std::size_t end = std::min(size, out.size() + block);
    for (std::size_t i = 0; i < random && out.size() < end; ++i) {
      out.push_back(static_cast<std::uint8_t>(Next()));
    }
    while (out.size() < end) {
      const char* w = kWords[Next() % std::size(kWords)];
      for (; *w && out.size() < end; ++w) {
        out.push_back(static_cast<std::uint8_t>(*w));
      }
      if (out.size() < end) {
        out.push_back(Next() % 5 == 0 ? '\n' : ' ');
      }
    }
  }
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    return false;
  }
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: engine-gen OUT_DIR\n");
    return 2;
  }
  const std::string root = argv[1];
  const char* const kFolders[] = {"data",    "data\\maps", "help",
                                  "plugins", "lang",       "skins\\default"};
  for (const std::string f :
       {"data", "data/maps", "help", "plugins", "lang", "skins", "skins/default"}) {
    ::mkdir((root + "/" + f).c_str(), 0777);
  }
  std::string manifest;
  std::vector<std::uint8_t> data;
  for (int i = 0; i < kFiles; ++i) {
    std::string name;
    std::size_t size = 0;
    std::string flags;
    if (i == 0) {
      name = "Ketro.cts";
      Fill(data, kDatabaseSize, 4096, 1406);
    } else {
      name = i <= kInFolders ? std::string(kFolders[i % std::size(kFolders)]) + "\\" : "";
      name += "file" + std::to_string(i) + (i % 3 == 0 ? ".dat" : ".txt");
      // Mostly small, every tenth medium.
      size = i % 10 == 0 ? 205'000 + Next() % 600'000 : 1'000 + Next() % 40'000;
      Fill(data, size, 1024, 700);
      flags = i % 17 == 0 ? "O" : i % 5 == 0 ? "P" : i % 23 == 0 ? "PO" : "";
    }
    std::string path = root + "/" + name;
    for (auto& c : path) {
      c = c == '\\' ? '/' : c;
    }
    if (!WriteFile(path, data)) {
      std::perror(path.c_str());
      return 1;
    }
    manifest += name + "|" + flags + "|#|generated\r\n";
  }
  manifest += "data\\old\\*.tmp|K|\r\ndata\\old|K|\r\n";
  return WriteFile(root + "/list", std::vector<std::uint8_t>(manifest.begin(), manifest.end())) ? 0
                                                                                                : 1;
}
