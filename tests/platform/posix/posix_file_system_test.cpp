// PosixFileSystem: Windows' answers on a POSIX file system, where the engine relies on them.
#include "base/error.h"
#include "base/text.h"
#include "platform/posix/mapped_file.h"
#include "platform/posix/posix_file_system.h"
#include "tests/engine/test_support_platform.h"

#include <gtest/gtest.h>

namespace ket::test {
namespace {

std::vector<std::u16string> Search(FileSystem& fs, std::u16string_view pattern) {
  std::vector<std::u16string> names;
  ForEachFound(fs, pattern, [&](const FindEntry& e) {
    names.push_back(e.name);
    return true;
  });
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

// The contract's cases are tests/engine/file_system_test.cpp's; these are POSIX's own.
TEST_F(Posix, SearchGivesTheDotsFirstThenNamesInOrderWithExactAttributes) {
  PutFile(dir / u"b.tmp", "1");
  PutFile(dir / u"a.tmp", "22");
  PutFile(dir / u"c.txt", "");
  MakeFolders(dir / u"sub.tmp");
  EXPECT_EQ(Search(fs, dir / u"*.*"), (V{u".", u"..", u"a.tmp", u"b.tmp", u"c.txt", u"sub.tmp"}));
  auto found = fs.FindFirst(dir / u"a.tmp");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->first.attributes, kAttrNormal);
  auto folder = fs.FindFirst(dir / u"sub.tmp");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->first.attributes, kAttrDirectory);
  SetReadOnly(dir / u"c.txt", true);
  EXPECT_EQ(fs.GetAttributes(dir / u"c.txt"), kAttrReadOnly);
  EXPECT_EQ(NativePath(u"C:\\a\\b"), "C:/a/b");
}

TEST_F(Posix, NewFilesAndMovesTakeALinksNameWithoutFollowingIt) {
  PutFile(dir / u"taken", "old");
  ASSERT_TRUE(MakeLink(dir / u"link", dir / u"taken", false));
  ASSERT_TRUE(MakeLink(dir / u"dangling", dir / u"nowhere", false));
  for (const auto name : {u"link", u"dangling"}) {
    EXPECT_EQ(fs.CreateNewFile(dir / name), nullptr) << Utf16ToUtf8(name);
  }
  EXPECT_FALSE(PathExists(dir / u"nowhere")) << "the dangling link was not followed";
  // A link at the name is replaced by the file; what it pointed at stays as it was.
  PutFile(dir / u"outside", "precious");
  ASSERT_TRUE(MakeLink(dir / u"pointer", dir / u"outside", false));
  PutFile(dir / u"g.tmp", "mine");
  EXPECT_TRUE(fs.MoveOver(dir / u"g.tmp", dir / u"pointer", false));
  EXPECT_EQ(*GetFile(dir / u"outside"), "precious");
  EXPECT_EQ(fs.GetAttributes(dir / u"pointer"), kAttrNormal);
  EXPECT_EQ(*GetFile(dir / u"pointer"), "mine");
}

TEST_F(Posix, LinksAnswerAsReparsePointsAndAreNeverFollowed) {
  PutFile(dir / u"target.txt", "outside");
  SetReadOnly(dir / u"target.txt", true);
  MakeFolders(dir / u"folder");
  ASSERT_TRUE(MakeLink(dir / u"file-link", dir / u"target.txt", false));
  ASSERT_TRUE(MakeLink(dir / u"folder-link", dir / u"folder", false));
  ASSERT_TRUE(MakeLink(dir / u"dangling", dir / u"nowhere", false));
  EXPECT_EQ(fs.GetAttributes(dir / u"file-link"), kAttrReparsePoint);
  EXPECT_EQ(fs.GetAttributes(dir / u"folder-link"), kAttrReparsePoint | kAttrDirectory);
  EXPECT_EQ(fs.GetAttributes(dir / u"dangling"), kAttrReparsePoint);
  // Through a linked folder, the path is the folder's: checking each component is the caller's.
  EXPECT_EQ(fs.GetAttributes(dir / u"folder-link\\"), kAttrDirectory);

  auto found = fs.FindFirst(dir / u"*-link");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->first.name, u"file-link");
  EXPECT_EQ(found->first.attributes, kAttrReparsePoint);
  EXPECT_EQ(found->first.size, 0u);
  const auto second = found->second->Next();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->attributes, kAttrReparsePoint | kAttrDirectory);

  // Attributes and times are refused on a link; its target keeps its own.
  EXPECT_FALSE(fs.SetAttributes(dir / u"file-link", 0));
  EXPECT_TRUE(IsReadOnly(dir / u"target.txt"));
  EXPECT_FALSE(fs.SetCreationTime(dir / u"file-link", {2025, 1, 1, 0, 0, 0, 0}));
  // Deleting a link removes the link alone; a linked folder is no folder to remove.
  EXPECT_FALSE(fs.RemoveFolder(dir / u"folder-link"));
  EXPECT_TRUE(fs.RemoveFile(dir / u"file-link"));
  EXPECT_TRUE(fs.RemoveFile(dir / u"folder-link"));
  EXPECT_TRUE(fs.RemoveFile(dir / u"dangling"));
  EXPECT_EQ(*GetFile(dir / u"target.txt"), "outside");
  EXPECT_TRUE(FolderExists(dir / u"folder"));
  SetReadOnly(dir / u"target.txt", false);
}

TEST_F(Posix, SecondNamesAreHardLinksAndNoLinkIsRead) {
  PutFile(dir / u"c", "A");
  PutFile(dir / u"b", "B");
  // A second name of the same file, never over a taken one nor for a link.
  EXPECT_TRUE(fs.LinkNew(dir / u"c", dir / u"c2"));
  EXPECT_EQ(GetFile(dir / u"c2"), "A");
  EXPECT_FALSE(fs.LinkNew(dir / u"c", dir / u"b"));
  ASSERT_TRUE(MakeLink(dir / u"link", dir / u"b", false));
  EXPECT_FALSE(fs.LinkNew(dir / u"link", dir / u"link2"));
  EXPECT_EQ(fs.ReadSmallFile(dir / u"link", 100), std::nullopt);
  // A taken name is never replaced by a rename, a link's included.
  EXPECT_FALSE(fs.MoveNew(dir / u"c", dir / u"link", false));
  EXPECT_EQ(GetFile(dir / u"c"), "A");
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
