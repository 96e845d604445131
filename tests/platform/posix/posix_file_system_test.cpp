// PosixFileSystem: Windows' answers on a POSIX file system, where the engine relies on them.
#include "base/error.h"
#include "base/text.h"
#include "platform/posix/mapped_file.h"
#include "platform/posix/posix_file_system.h"
#include "tests/engine/test_support_platform.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::span<const std::uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A new file with these bytes under a name of its own.
void PutNew(PosixFileSystem& fs, std::u16string_view path, std::string_view bytes) {
  auto file = fs.CreateNewFile(path);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->Write(AsBytes(bytes)));
  ASSERT_TRUE(file->Close());
}

void Link(std::u16string_view target, std::u16string_view link) {
  ASSERT_EQ(::symlink(NativePath(target).c_str(), NativePath(link).c_str()), 0);
}

TEST_F(Posix, ReadOnlyFilesRefuseReplacementAndDeletionUntilCleared) {
  PutFile(dir / u"ro", "keep");
  SetReadOnly(dir / u"ro", true);
  EXPECT_EQ(fs.GetAttributes(dir / u"ro"), kAttrReadOnly);
  PutNew(fs, dir / u"new", "new");
  EXPECT_FALSE(fs.MoveOver(dir / u"new", dir / u"ro", false));
  EXPECT_FALSE(fs.RemoveFile(dir / u"ro"));
  EXPECT_EQ(*GetFile(dir / u"ro"), "keep");
  EXPECT_EQ(*GetFile(dir / u"new"), "new");
  EXPECT_TRUE(fs.SetAttributes(dir / u"ro", 0));
  EXPECT_FALSE(IsReadOnly(dir / u"ro"));
  EXPECT_TRUE(fs.SetAttributes(dir / u"ro", kAttrReadOnly));
  EXPECT_TRUE(IsReadOnly(dir / u"ro"));
  EXPECT_TRUE(fs.SetAttributes(dir / u"ro", 0));
  EXPECT_TRUE(fs.MoveOver(dir / u"new", dir / u"ro", false));
  EXPECT_EQ(*GetFile(dir / u"ro"), "new");
  EXPECT_FALSE(PathExists(dir / u"new"));
  EXPECT_TRUE(fs.RemoveFile(dir / u"ro"));
  EXPECT_FALSE(fs.SetAttributes(dir / u"ro", 0)); // no such file
}

TEST_F(Posix, NewFilesTakeOnlyFreeNamesAndMoveOverInOneStep) {
  PutFile(dir / u"taken", "old and long");
  MakeFolders(dir / u"d");
  Link(dir / u"taken", dir / u"link");
  Link(dir / u"nowhere", dir / u"dangling");
  // A name that is taken in any way is refused, and nothing there changes.
  for (const auto name : {u"taken", u"d", u"link", u"dangling"}) {
    EXPECT_EQ(fs.CreateNewFile(dir / name), nullptr) << Utf16ToUtf8(name);
  }
  EXPECT_FALSE(PathExists(dir / u"nowhere")) << "the dangling link was not followed";
  EXPECT_EQ(fs.CreateNewFile(dir / u"no\\such\\folder\\f"), nullptr);

  auto file = fs.CreateNewFile(dir / u"f.tmp");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->Write(AsBytes("new")));
  EXPECT_TRUE(file->Flush());
  EXPECT_TRUE(file->Close());
  EXPECT_TRUE(file->Close());
  EXPECT_FALSE(file->Write(std::span<const std::uint8_t>()));
  EXPECT_FALSE(file->Flush());

  // Held by another writer, or a folder: the move is refused and both stay.
  {
    const auto held = HoldOpen(dir / u"taken");
    EXPECT_FALSE(fs.MoveOver(dir / u"f.tmp", dir / u"taken", false));
  }
  EXPECT_FALSE(fs.MoveOver(dir / u"f.tmp", dir / u"d", false));
  EXPECT_FALSE(fs.MoveOver(dir / u"missing", dir / u"taken", false));
  EXPECT_EQ(*GetFile(dir / u"taken"), "old and long");
  EXPECT_EQ(*GetFile(dir / u"f.tmp"), "new");

  EXPECT_TRUE(fs.MoveOver(dir / u"f.tmp", dir / u"taken", true));
  EXPECT_EQ(*GetFile(dir / u"taken"), "new");
  EXPECT_FALSE(PathExists(dir / u"f.tmp"));
  // A link at the name is replaced by the file; what it pointed at stays as it was.
  PutFile(dir / u"outside", "precious");
  Link(dir / u"outside", dir / u"pointer");
  PutNew(fs, dir / u"g.tmp", "mine");
  EXPECT_TRUE(fs.MoveOver(dir / u"g.tmp", dir / u"pointer", false));
  EXPECT_EQ(*GetFile(dir / u"outside"), "precious");
  EXPECT_EQ(fs.GetAttributes(dir / u"pointer"), kAttrNormal);
  EXPECT_EQ(*GetFile(dir / u"pointer"), "mine");
}

TEST_F(Posix, LinksAnswerAsReparsePointsAndAreNeverFollowed) {
  PutFile(dir / u"target.txt", "outside");
  SetReadOnly(dir / u"target.txt", true);
  MakeFolders(dir / u"folder");
  Link(dir / u"target.txt", dir / u"file-link");
  Link(dir / u"folder", dir / u"folder-link");
  Link(dir / u"nowhere", dir / u"dangling");
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

TEST_F(Posix, FoldersAndCreationTime) {
  EXPECT_TRUE(fs.CreateFolder(dir / u"a"));
  EXPECT_FALSE(fs.CreateFolder(dir / u"a"));
  EXPECT_FALSE(fs.CreateFolder(dir / u"x\\y"));
  PutFile(dir / u"a\\f", "");
  EXPECT_FALSE(fs.RemoveFolder(dir / u"a"));
  EXPECT_FALSE(fs.RemoveFile(dir / u"a"));
  EXPECT_TRUE(fs.SetCreationTime(dir / u"a\\f", {2025, 1, 1, 0, 0, 0, 0}));
  EXPECT_FALSE(fs.SetCreationTime(dir / u"a\\g", {2025, 1, 1, 0, 0, 0, 0}));
  EXPECT_TRUE(fs.RemoveFile(dir / u"a\\f"));
  EXPECT_TRUE(fs.RemoveFolder(dir / u"a"));
  EXPECT_EQ(fs.GetAttributes(dir / u"a"), std::nullopt);
  EXPECT_EQ(NativePath(u"C:\\a\\b"), "C:/a/b");
}

TEST_F(Posix, TheCommitsCallsRenameWithoutReplacingLinkReadAndLock) {
  PutFile(dir / u"a", "A");
  PutFile(dir / u"b", "B");
  // A taken name is never replaced; a free one is taken in one step.
  EXPECT_FALSE(fs.MoveNew(dir / u"a", dir / u"b", false));
  EXPECT_EQ(GetFile(dir / u"b"), "B");
  EXPECT_TRUE(fs.MoveNew(dir / u"a", dir / u"c", true));
  EXPECT_FALSE(PathExists(dir / u"a"));
  // A file held as with share mode 0 cannot be renamed either.
  {
    const auto held = HoldOpen(dir / u"c");
    EXPECT_FALSE(fs.MoveNew(dir / u"c", dir / u"d", false));
  }
  // A second name of the same file, never over a taken one nor for a link.
  EXPECT_TRUE(fs.LinkNew(dir / u"c", dir / u"c2"));
  EXPECT_EQ(GetFile(dir / u"c2"), "A");
  EXPECT_FALSE(fs.LinkNew(dir / u"c", dir / u"b"));
  ASSERT_TRUE(MakeLink(dir / u"link", dir / u"b", false));
  EXPECT_FALSE(fs.LinkNew(dir / u"link", dir / u"link2"));
  // Small files are read whole, within their limit, never through a link.
  EXPECT_EQ(fs.ReadSmallFile(dir / u"b", 1), std::optional<std::string>("B"));
  EXPECT_EQ(fs.ReadSmallFile(dir / u"b", 0), std::nullopt);
  EXPECT_EQ(fs.ReadSmallFile(dir / u"link", 100), std::nullopt);
  EXPECT_EQ(fs.ReadSmallFile(dir / u"none", 100), std::nullopt);
  EXPECT_GT(fs.FreeSpace(dir.Path()).value_or(0), 0u);
  // One holder of a folder's lock at a time; its file goes with the lock.
  auto [status, lock] = fs.LockFolder(dir / u"lock");
  ASSERT_EQ(status, LockStatus::kHeld);
  EXPECT_EQ(fs.LockFolder(dir / u"lock").first, LockStatus::kBusy);
  lock.reset();
  EXPECT_FALSE(PathExists(dir / u"lock"));
  EXPECT_EQ(fs.LockFolder(dir / u"none\\lock").first, LockStatus::kUnavailable);
  EXPECT_EQ(fs.LockFolder(dir / u"lock").first, LockStatus::kHeld);
  EXPECT_FALSE(PathExists(dir / u"lock")); // the temporary lock above went at once
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
