#include "base/error.h"
#include "base/text.h"
#include "platform/posix/shell_link.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace ket {
namespace {

namespace fs = std::filesystem;

// The fields lnkinfo prints for a link ("Local path", "Working directory", ...), an
// implementation of the format independent of ours. Empty when it cannot read the file.
std::map<std::string, std::string> LnkInfo(const fs::path& link) {
  std::map<std::string, std::string> fields;
  const std::string command = std::string(KET_LNKINFO) + " '" + link.string() + "' 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    return fields;
  }
  std::string out;
  std::array<char, 4096> chunk{};
  size_t n = 0;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) {
    out.append(chunk.data(), n);
  }
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) {
      end = out.size();
    }
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) {
      continue;
    }
    std::string key = line.substr(0, colon);
    key.erase(0, key.find_first_not_of(" \t"));
    key.erase(key.find_last_not_of(" \t") + 1);
    fields[key] = line.substr(colon + 2);
  }
  return fields;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "ket-lnk-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::uint32_t U32At(const std::vector<std::uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// Non-ASCII paths survive in the Unicode copy.
TEST(ShellLink, LnkinfoReadsBackTargetAndWorkingDirectory) {
  TempDir tmp;
  for (const std::u16string folder :
       {u"C:\\!KetroNew\\", u"D:\\\x041A\x0435\x0442\x0440\x043E\\"}) {
    const fs::path link = tmp.path() / (std::string(1, static_cast<char>(folder[0])) + ".lnk");
    ASSERT_TRUE(WriteShellLink(link, folder + u"Ketro", folder));
    auto info = LnkInfo(link);
    EXPECT_EQ(info["Local path"], Utf16ToUtf8(folder + u"Ketro"));
    EXPECT_EQ(info["Working directory"], Utf16ToUtf8(folder));
    EXPECT_EQ(info.count("Icon location"), 0u);
    EXPECT_EQ(info.count("Command line arguments"), 0u);
  }
}

TEST(ShellLink, HeaderAndLinkInfoFollowTheFormat) {
  const auto bytes = BuildShellLink(u"C:\\a\\Ketro", u"C:\\a\\");
  ASSERT_GE(bytes.size(), 0x4Cu + 0x24u);
  EXPECT_EQ(U32At(bytes, 0), 0x4Cu);
  const std::array<std::uint8_t, 16> clsid = {0x01, 0x14, 0x02, 0, 0, 0, 0, 0,
                                              0xC0, 0,    0,    0, 0, 0, 0, 0x46};
  EXPECT_TRUE(std::equal(clsid.begin(), clsid.end(), bytes.begin() + 4));
  // HasLinkInfo | HasWorkingDir | IsUnicode; no ID list, name, arguments or icon location.
  EXPECT_EQ(U32At(bytes, 0x14), 0x92u);
  EXPECT_EQ(U32At(bytes, 0x3C), 1u); // SW_SHOWNORMAL
  // LinkInfoSize covers exactly the LinkInfo: the working directory's count follows it.
  const std::uint32_t infoSize = U32At(bytes, 0x4C);
  const size_t sd = 0x4C + infoSize;
  ASSERT_LT(sd + 2, bytes.size());
  EXPECT_EQ(bytes[sd] | (bytes[sd + 1] << 8), 5);
  // The file ends with the terminal block.
  EXPECT_EQ(bytes.size(), sd + 2 + 5 * 2 + 4);
  EXPECT_EQ(U32At(bytes, bytes.size() - 4), 0u);
}

TEST(ShellLink, RefusesTextsTooLongForTheFormatAndUnwritablePaths) {
  EXPECT_THROW(BuildShellLink(std::u16string(70000, u'a'), u"C:\\"), Error);
  TempDir tmp;
  EXPECT_FALSE(WriteShellLink(tmp.path() / "missing" / "x.lnk", u"C:\\x", u"C:\\"));
  EXPECT_FALSE(fs::exists(tmp.path() / "missing"));
}

TEST(ShellLink, WindowsPathForLinkPlacesPosixPathsOnDriveZ) {
  EXPECT_EQ(WindowsPathForLink(u"C:\\!KetroNew\\Ketro"), u"C:\\!KetroNew\\Ketro");
  EXPECT_EQ(WindowsPathForLink(u"\\\\server\\share\\Ketro"), u"\\\\server\\share\\Ketro");
  EXPECT_EQ(WindowsPathForLink(u"/opt/ketro\\Ketro"), u"Z:\\opt\\ketro\\Ketro");
  EXPECT_EQ(WindowsPathForLink(u"/opt/ketro\\"), u"Z:\\opt\\ketro\\");
  EXPECT_EQ(WindowsPathForLink(u"/opt/a/../ketro/"), u"Z:\\opt\\ketro\\");
  const std::u16string cwd = fs::current_path().generic_u16string();
  std::u16string expected = u"Z:" + cwd + u"/sub/Ketro";
  std::replace(expected.begin(), expected.end(), u'/', u'\\');
  EXPECT_EQ(WindowsPathForLink(u"sub\\Ketro"), expected);
}

class ShellLinkCreatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(desktop());
    fs::create_directories(programs());
    state.InstallDir = u"/opt/Ketro\\";
  }
  fs::path desktop() const { return tmp.path() / "Desktop"; }
  fs::path programs() const { return tmp.path() / "Programs"; }
  void Create(const fs::path& d, const fs::path& p) {
    ShellLinkShortcutCreator creator(state, d, p);
    creator.CreateShortcut(u"Ketro", u"Ketro");
  }

  TempDir tmp;
  SetupState state;
};

TEST_F(ShellLinkCreatorTest, WritesTheLinksAskedForAndNoOthers) {
  state.DesktopShortcut = true;
  state.StartMenuShortcut = true;
  Create(desktop(), programs());
  for (const auto& dir : {desktop(), programs()}) {
    auto info = LnkInfo(dir / "Ketro.lnk");
    EXPECT_EQ(info["Local path"], "Z:\\opt\\Ketro\\Ketro") << dir;
    EXPECT_EQ(info["Working directory"], "Z:\\opt\\Ketro\\") << dir;
  }

  fs::remove(desktop() / "Ketro.lnk");
  fs::remove(programs() / "Ketro.lnk");
  state.DesktopShortcut = false;
  Create(desktop(), programs());
  EXPECT_FALSE(fs::exists(desktop() / "Ketro.lnk"));
  EXPECT_TRUE(fs::exists(programs() / "Ketro.lnk"));

  fs::remove(programs() / "Ketro.lnk");
  state.StartMenuShortcut = false;
  Create(desktop(), programs());
  EXPECT_TRUE(fs::is_empty(desktop()));
  EXPECT_TRUE(fs::is_empty(programs()));
}

TEST_F(ShellLinkCreatorTest, ASecondRunReplacesTheLink) {
  state.DesktopShortcut = true;
  Create(desktop(), programs());
  state.InstallDir = u"/srv/Other\\";
  Create(desktop(), programs());
  EXPECT_EQ(LnkInfo(desktop() / "Ketro.lnk")["Local path"], "Z:\\srv\\Other\\Ketro");
  // Only the link itself: nothing of the replacement is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(desktop()), fs::directory_iterator()), 1);
}

TEST_F(ShellLinkCreatorTest, NoFolderOrAMissingFolderMeansNoLink) {
  state.DesktopShortcut = true;
  state.StartMenuShortcut = true;
  Create(fs::path(), tmp.path() / "nowhere");
  EXPECT_FALSE(fs::exists(tmp.path() / "nowhere"));
  EXPECT_TRUE(fs::is_empty(desktop()));
  // Empty folder texts must not fall back to the current folder.
  EXPECT_FALSE(fs::exists("Ketro.lnk"));
}

} // namespace
} // namespace ket
