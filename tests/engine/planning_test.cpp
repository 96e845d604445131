// The planning pass over a real folder of the platform.
#include "engine/planning.h"
#include "tests/engine/test_support.h"

#include <gtest/gtest.h>

namespace ket::test {
namespace {

using V = std::vector<std::u16string>;

TEST(CutLine, FieldsAsPlanningCutsThem) {
  const auto cut = [](std::u16string_view line) {
    const LineFields f = CutLine(line);
    return std::make_pair(std::u16string(f.name), std::u16string(f.flags));
  };
  using P = std::pair<std::u16string, std::u16string>;
  EXPECT_EQ(cut(u"Ketro.exe|P|#|main"), (P{u"Ketro.exe", u"P"}));
  EXPECT_EQ(cut(u"old\\*.tmp|K|"), (P{u"old\\*.tmp", u"K"}));
  EXPECT_EQ(cut(u"x.dat|K"), (P{u"x.dat", u""})); // no closing "|"
  EXPECT_EQ(cut(u"no bars"), (P{u"", u""}));
  EXPECT_EQ(cut(u""), (P{u"", u""}));
  EXPECT_EQ(cut(u"||#|"), (P{u"", u""}));
  // A flags field counts only when a second "|" closes it within 50 characters.
  const std::u16string f49(49, u'F'), f50(50, u'F');
  EXPECT_EQ(cut(u"n|" + f49 + u"|#|"), (P{u"n", f49}));
  EXPECT_EQ(cut(u"n|" + f50 + u"|#|"), (P{u"n", u""}));
}

struct Planning : ::testing::Test {
  TempFolder dir;
  std::unique_ptr<FileSystem> files = MakePlatformFileSystem();
  SetupState state;
  Payload payload;

  V Plan(const std::vector<std::string>& manifest, const std::vector<FileSpec>& entries,
         bool force = false, char16_t edition = u'P') {
    SetupState fresh;
    state = fresh;
    payload = Payload();
    LoadScenario(state, payload, manifest, entries);
    state.InstallDir = dir.Path();
    state.ForceInstall = force;
    state.EditionCode = edition;
    Comp(state, payload, *files);
    return *state.ManifestLines;
  }
};

// Runs of dropped lines ("F", "FL"; "F", "L" at the end) are each examined.
TEST_F(Planning, EditionRuleCountsCapitalLettersOnly) {
  const std::vector<FileSpec> entries{{"x.dat", "data"}};
  EXPECT_EQ(Plan({"x.dat|P|#|d", "x.dat|F|#|d", "x.dat|FL|#|d", "x.dat||#|d", "x.dat|LP|#|d",
                  "x.dat|p|#|d", "x.dat|F|#|d", "x.dat|L|#|d"},
                 entries),
            (V{u"x.dat|P|#|d", u"x.dat||#|d", u"x.dat|LP|#|d", u"x.dat|p|#|d"}));
}

TEST_F(Planning, KeepRuleSparesTheUsersFileButNotAFolder) {
  const std::vector<FileSpec> entries{{"x.ini", "[x]"}, {"x", "file"}};
  EXPECT_EQ(Plan({"x.ini|PO|#|d"}, entries), (V{u"x.ini|PO|#|d"}));
  PutFile(dir / u"x.ini", "mine, changed");
  MakeFolders(dir / u"x");
  EXPECT_EQ(Plan({"x.ini|PO|#|d", "x|O|#|d"}, entries), (V{u"x|O|#|d"}));
  EXPECT_EQ(*GetFile(dir / u"x.ini"), "mine, changed");
  // Forced, the user's copy is replaced too.
  EXPECT_EQ(Plan({"x.ini|PO|#|d", "x|O|#|d"}, entries, true), (V{u"x.ini|PO|#|d", u"x|O|#|d"}));
}

TEST_F(Planning, UpToDateRuleComparesSizeAndTime) {
  const std::vector<FileSpec> entries{
      {"same.dat", "1234"}, {"older.dat", "1234"}, {"size.dat", "1234"}};
  PutFile(dir / u"same.dat", "abcd");
  SetLastWriteLocal(dir / u"same.dat", kEntryTime);
  PutFile(dir / u"older.dat", "abcd");
  CalendarTime earlier = kEntryTime;
  earlier.second = 49;
  SetLastWriteLocal(dir / u"older.dat", earlier);
  PutFile(dir / u"size.dat", "abcde");
  SetLastWriteLocal(dir / u"size.dat", {2030, 1, 1, 0, 0, 0, 0});
  const std::vector<std::string> manifest{"same.dat||#|", "older.dat||#|", "size.dat||#|"};
  EXPECT_EQ(Plan(manifest, entries), (V{u"older.dat||#|", u"size.dat||#|"}));
  EXPECT_EQ(Plan(manifest, entries, true).size(), 3u);
}

TEST_F(Planning, DeletionLinesAlwaysStay) {
  PutFile(dir / u"old\\a.tmp", "");
  EXPECT_EQ(Plan({"old\\*.tmp|K|", "old|K|", "gone|K|"}, {}),
            (V{u"old\\*.tmp|K|", u"old|K|", u"gone|K|"}));
  EXPECT_EQ(Plan({"x|KO|#|"}, {}), (V{u"x|KO|#|"}));
  PutFile(dir / u"x", ""); // the keep rule comes before the "K" exemption
  EXPECT_EQ(Plan({"x|KO|#|"}, {}), V{});
}

TEST_F(Planning, LinesWithoutAnEntryAreDroppedWhenNothingIsThere) {
  const std::vector<std::string> manifest{"absent.dat||#|", "absent.dat|K", "empty.dat||#|",
                                          "full.dat||#|"};
  PutFile(dir / u"empty.dat", "");
  PutFile(dir / u"full.dat", "x");
  // "absent.dat|K" has empty flags and is a file line; with no entry, no file: 0 = 0.
  EXPECT_EQ(Plan(manifest, {}), (V{u"full.dat||#|"}));
  // With an entry, the same malformed line is an ordinary file line.
  EXPECT_EQ(Plan({"x.dat|K"}, {{"x.dat", "data"}}), (V{u"x.dat|K"}));
}

TEST_F(Planning, EmptyLinesGoAndNamesThatLeaveTheFolderStayForTheRunToReport) {
  // Nameless and escaping lines stay whatever the folder holds, forced or not; another
  // edition's line goes all the same.
  const std::vector<std::string> manifest{"",
                                          "just text",
                                          "|P|#|no name",
                                          "..\\up.dat||#|",
                                          "..\\up.dat|F|#|",
                                          "*\\x|K|",
                                          "C:\\abs.dat|O|#|",
                                          ""};
  const V expected{u"just text", u"|P|#|no name", u"..\\up.dat||#|", u"*\\x|K|",
                   u"C:\\abs.dat|O|#|"};
  EXPECT_EQ(Plan(manifest, {}), expected);
  EXPECT_EQ(Plan(manifest, {}, true), expected);
}

TEST_F(Planning, AMillionLinesThatNeedNoWorkArePlannedInOnePass) {
  // Lines of another edition and empty lines, with the few real ones among them, in order. The
  // list is thinned in one pass: removing lines one by one took minutes here.
  std::vector<std::string> manifest;
  manifest.reserve(1'000'003);
  for (int i = 0; i < 500'000; ++i) {
    manifest.push_back("f|F|#|");
    manifest.push_back(i == 250'000 ? "mid|P|#|" : "");
  }
  manifest.insert(manifest.begin(), "first|P|#|");
  manifest.push_back("last|P|#|");
  EXPECT_EQ(Plan(manifest, {}, true), (V{u"first|P|#|", u"mid|P|#|", u"last|P|#|"}));
}

TEST_F(Planning, OtherEditionsSeeTheirOwnLines) {
  EXPECT_EQ(Plan({"a|P|#|", "b|F|#|", "c||#|", "d|FL|#|"},
                 {{"a", "1"}, {"b", "1"}, {"c", "1"}, {"d", "1"}}, false, u'F'),
            (V{u"b|F|#|", u"c||#|", u"d|FL|#|"}));
}

TEST_F(Planning, FileStampOfFilesFoldersAndNothing) {
  PutFile(dir / u"f.bin", "12345");
  SetLastWriteLocal(dir / u"f.bin", {2024, 2, 29, 23, 59, 58, 250});
  DateTime stamp = -1;
  std::int32_t size = -1;
  GetFileStamp(*files, dir / u"f.bin", stamp, size);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(DecodeDateTime(stamp), (CalendarTime{2024, 2, 29, 23, 59, 58, 250}));

  GetFileStamp(*files, dir.Path(), stamp, size); // ends in "\"
  EXPECT_EQ(stamp, 0);
  EXPECT_EQ(size, 0);
  GetFileStamp(*files, dir / u"missing\\f.bin", stamp, size);
  EXPECT_EQ(size, 0);
  MakeFolders(dir / u"sub");
  GetFileStamp(*files, dir / u"sub", stamp, size);
  EXPECT_GT(stamp, 0);
  EXPECT_EQ(size, 0);
}

// A search that reports one entry of a given size: sizes past 4 GiB without writing them.
class OneEntryFileSystem final : public FileSystem {
 public:
  std::uint64_t size = 0;
  std::optional<std::uint32_t> GetAttributes(std::u16string_view) override { return std::nullopt; }
  bool CreateFolder(std::u16string_view) override { return false; }
  bool SetAttributes(std::u16string_view, std::uint32_t) override { return false; }
  std::unique_ptr<WritableFile> CreateNewFile(std::u16string_view) override { return nullptr; }
  bool MoveOver(std::u16string_view, std::u16string_view, bool) override { return false; }
  bool SetCreationTime(std::u16string_view, const CalendarTime&) override { return false; }
  std::optional<std::pair<FindEntry, std::unique_ptr<FileSearch>>>
  FindFirst(std::u16string_view) override {
    FindEntry e;
    e.name = u"big";
    e.size = size;
    e.lastWriteLocal = {2025, 1, 1, 0, 0, 0, 0};
    return std::make_pair(e, std::unique_ptr<FileSearch>());
  }
  bool RemoveFile(std::u16string_view) override { return false; }
  bool RemoveFolder(std::u16string_view) override { return false; }
  bool MoveNew(std::u16string_view, std::u16string_view, bool) override { return false; }
  bool LinkNew(std::u16string_view, std::u16string_view) override { return false; }
  std::optional<std::string> ReadSmallFile(std::u16string_view, std::size_t) override {
    return std::nullopt;
  }
  std::optional<std::uint64_t> FreeSpace(std::u16string_view) override { return std::nullopt; }
  std::pair<LockStatus, std::unique_ptr<FolderLock>> LockFolder(std::u16string_view) override {
    return {LockStatus::kUnavailable, nullptr};
  }
  bool SameName(std::u16string_view a, std::u16string_view b) const override { return a == b; }
};

TEST(FileStamp, SizeIsTheLow32BitsReadAsSigned) {
  OneEntryFileSystem fs;
  DateTime stamp = 0;
  std::int32_t size = 0;
  fs.size = 0x1'0000'0005ULL;
  GetFileStamp(fs, u"big", stamp, size);
  EXPECT_EQ(size, 5);
  fs.size = 0xFFFF'FFFEULL;
  GetFileStamp(fs, u"big", stamp, size);
  EXPECT_EQ(size, -2);
  EXPECT_EQ(stamp, EncodeDate(2025, 1, 1));
}

} // namespace
} // namespace ket::test
