// PosixFileSystem: Windows' answers on a POSIX file system, where the engine relies on them.
#include "engine/error.h"
#include "engine/text.h"
#include "platform/posix/mapped_file.h"
#include "platform/posix/posix_file_system.h"
#include "tests/engine/test_platform.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace ket::test {
namespace {

std::vector<std::u16string> Search(FileSystem& fs, std::u16string_view pattern) {
  std::vector<std::u16string> names;
  auto found = fs.FindFirst(pattern);
  if (!found) {
    return names;
  }
  names.push_back(found->first.name);
  while (auto next = found->second->Next()) {
    names.push_back(next->name);
  }
  return names;
}

using V = std::vector<std::u16string>;

TEST(Wildcards, FollowWindowsRules) {
  EXPECT_TRUE(MatchesWildcard(u"*.*", u"noext"));
  EXPECT_TRUE(MatchesWildcard(u"*.*", u"."));
  EXPECT_TRUE(MatchesWildcard(u"*", u".."));
  EXPECT_TRUE(MatchesWildcard(u"*.tmp", u"a.TMP"));
  EXPECT_FALSE(MatchesWildcard(u"*.tmp", u"a.tmp2"));
  EXPECT_TRUE(MatchesWildcard(u"a?c", u"abc"));
  EXPECT_FALSE(MatchesWildcard(u"a?c", u"ac"));
  EXPECT_TRUE(MatchesWildcard(u"report.*", u"report"));
  EXPECT_TRUE(MatchesWildcard(u"*a*b*", u"xxaYYbzz"));
  EXPECT_FALSE(MatchesWildcard(u"*a*b", u"xxaYYbzz"));
  EXPECT_TRUE(MatchesWildcard(u"\x0424*", u"\x0444\x0430\x0439\x043B")); // Ф* matches файл
}

struct Posix : ::testing::Test {
  TempFolder dir;
  PosixFileSystem fs;
};

TEST_F(Posix, SearchReturnsDotsWhenThePatternMatchesThem) {
  PutFile(dir / u"b.tmp", "1");
  PutFile(dir / u"a.tmp", "22");
  PutFile(dir / u"c.txt", "");
  MakeFolders(dir / u"sub.tmp");
  EXPECT_EQ(Search(fs, dir / u"*.*"), (V{u".", u"..", u"a.tmp", u"b.tmp", u"c.txt", u"sub.tmp"}));
  EXPECT_EQ(Search(fs, dir / u"*.tmp"), (V{u"a.tmp", u"b.tmp", u"sub.tmp"}));
  EXPECT_EQ(Search(fs, dir / u"c.txt"), (V{u"c.txt"}));
  EXPECT_EQ(Search(fs, dir / u"missing"), V{});
  EXPECT_EQ(Search(fs, dir / u"nofolder\\*"), V{});
  EXPECT_EQ(Search(fs, dir.Path()), V{}); // ends in "\"

  auto found = fs.FindFirst(dir / u"a.tmp");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->first.size, 2u);
  EXPECT_EQ(found->first.attributes, kAttrNormal);
  auto folder = fs.FindFirst(dir / u"sub.tmp");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->first.attributes, kAttrDirectory);
}

TEST_F(Posix, LastWriteTimeIsLocalClockTime) {
  PutFile(dir / u"t", "x");
  const CalendarTime when{2019, 7, 1, 12, 30, 45, 120};
  SetLastWriteLocal(dir / u"t", when);
  auto found = fs.FindFirst(dir / u"t");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->first.lastWriteLocal, when);
}

TEST_F(Posix, ReadOnlyFilesRefuseReplacementAndDeletionUntilCleared) {
  PutFile(dir / u"ro", "keep");
  SetReadOnly(dir / u"ro", true);
  EXPECT_EQ(fs.GetAttributes(dir / u"ro"), kAttrReadOnly);
  EXPECT_EQ(fs.CreateFile(dir / u"ro"), nullptr);
  EXPECT_FALSE(fs.DeleteFile(dir / u"ro"));
  EXPECT_EQ(*GetFile(dir / u"ro"), "keep");
  EXPECT_TRUE(fs.SetAttributes(dir / u"ro", 0));
  EXPECT_FALSE(IsReadOnly(dir / u"ro"));
  EXPECT_TRUE(fs.SetAttributes(dir / u"ro", kAttrReadOnly));
  EXPECT_TRUE(IsReadOnly(dir / u"ro"));
  EXPECT_TRUE(fs.SetAttributes(dir / u"ro", 0));
  EXPECT_TRUE(fs.DeleteFile(dir / u"ro"));
  EXPECT_FALSE(fs.SetAttributes(dir / u"ro", 0)); // no such file
}

TEST_F(Posix, CreateTruncatesWritesAndHonoursAnotherWriter) {
  PutFile(dir / u"f", "old and long");
  {
    auto file = fs.CreateFile(dir / u"f");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(*GetFile(dir / u"f"), "");
    // A second writer is refused while the first holds the file.
    EXPECT_EQ(fs.CreateFile(dir / u"f"), nullptr);
    const std::string data = "new";
    EXPECT_TRUE(
        file->Write(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size())));
    EXPECT_TRUE(file->Close());
    EXPECT_TRUE(file->Close());
    EXPECT_FALSE(file->Write(std::span<const std::uint8_t>()));
  }
  EXPECT_EQ(*GetFile(dir / u"f"), "new");
  {
    const auto held = HoldOpen(dir / u"f");
    EXPECT_EQ(fs.CreateFile(dir / u"f"), nullptr);
  }
  EXPECT_EQ(*GetFile(dir / u"f"), "new");
  MakeFolders(dir / u"d");
  EXPECT_EQ(fs.CreateFile(dir / u"d"), nullptr);
  EXPECT_EQ(fs.CreateFile(dir / u"no\\such\\folder\\f"), nullptr);
}

TEST_F(Posix, FoldersAndCreationTime) {
  EXPECT_TRUE(fs.CreateFolder(dir / u"a"));
  EXPECT_FALSE(fs.CreateFolder(dir / u"a"));
  EXPECT_FALSE(fs.CreateFolder(dir / u"x\\y"));
  PutFile(dir / u"a\\f", "");
  EXPECT_FALSE(fs.RemoveFolder(dir / u"a"));
  EXPECT_FALSE(fs.DeleteFile(dir / u"a"));
  EXPECT_TRUE(fs.SetCreationTime(dir / u"a\\f", {2025, 1, 1, 0, 0, 0, 0}));
  EXPECT_FALSE(fs.SetCreationTime(dir / u"a\\g", {2025, 1, 1, 0, 0, 0, 0}));
  EXPECT_TRUE(fs.DeleteFile(dir / u"a\\f"));
  EXPECT_TRUE(fs.RemoveFolder(dir / u"a"));
  EXPECT_EQ(fs.GetAttributes(dir / u"a"), std::nullopt);
  EXPECT_EQ(NativePath(u"C:\\a\\b"), "C:/a/b");
}

TEST_F(Posix, MappedFileIsTheArchiveInPlace) {
  PutFile(dir / u"arch", "abc");
  PutFile(dir / u"empty", "");
  EXPECT_EQ(MappedFileBytes(NativePath(dir / u"arch")).Bytes().size(), 3u);
  EXPECT_TRUE(MappedFileBytes(NativePath(dir / u"empty")).Bytes().empty());
  EXPECT_THROW(MappedFileBytes(NativePath(dir / u"none")), Error);
  EXPECT_THROW(MappedFileBytes(NativePath(dir.Path())), Error);
}

} // namespace
} // namespace ket::test
