// The FileSystem contract, written once and run against the platform's own: PosixFileSystem
// natively, Win32FileSystem under Wine. What only one platform has (links on POSIX, attributes,
// share modes and times on Windows) stays in tests/platform.
#include "engine/file_system.h"
#include "tests/engine/test_support_platform.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <set>

namespace ket::test {
namespace {

using Names = std::set<std::u16string>;

std::span<const std::uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

struct FileSystemContract : ::testing::Test {
  Names Search(std::u16string_view pattern) {
    Names names;
    ForEachFound(*fs, dir / pattern, [&](const FindEntry& e) {
      names.insert(e.name);
      return true;
    });
    return names;
  }

  TempFolder dir;
  std::unique_ptr<FileSystem> fs = MakePlatformFileSystem();
};

TEST_F(FileSystemContract, SearchReturnsTheDotEntriesAndMatchesAsWindowsDoes) {
  PutFile(dir / u"b.tmp", "1");
  PutFile(dir / u"a.tmp", "22");
  PutFile(dir / u"noext", "");
  MakeFolders(dir / u"sub.tmp");
  EXPECT_EQ(Search(u"*"), (Names{u".", u"..", u"a.tmp", u"b.tmp", u"noext", u"sub.tmp"}));
  EXPECT_EQ(Search(u"*.*"), Search(u"*")) << "*.* matches names without a dot";
  EXPECT_EQ(Search(u"*.tmp"), (Names{u"a.tmp", u"b.tmp", u"sub.tmp"}));
  EXPECT_EQ(Search(u"?.TMP"), (Names{u"a.tmp", u"b.tmp"}));
  EXPECT_EQ(Search(u"noext"), Names{u"noext"});
  EXPECT_TRUE(Search(u"x?z").empty());
  EXPECT_TRUE(Search(u"missing").empty());
  EXPECT_FALSE(fs->FindFirst(dir / u"nofolder\\*"));
  EXPECT_FALSE(fs->FindFirst(dir / u"sub.tmp\\")) << "a path ending in \\ matches nothing";

  auto found = fs->FindFirst(dir / u"a.tmp");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->first.size, 2u);
  EXPECT_EQ(found->first.attributes & kAttrDirectory, 0u);
  EXPECT_FALSE(found->second->Next());
  auto folder = fs->FindFirst(dir / u"sub.tmp");
  ASSERT_TRUE(folder);
  EXPECT_NE(folder->first.attributes & kAttrDirectory, 0u);
}

TEST_F(FileSystemContract, LastWriteTimeComesBackAsLocalClockTime) {
  PutFile(dir / u"t", "x");
  const CalendarTime when{2019, 7, 1, 12, 30, 45, 120};
  SetLastWriteLocal(dir / u"t", when);
  auto found = fs->FindFirst(dir / u"t");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->first.lastWriteLocal, when);
}

TEST_F(FileSystemContract, FoldersOneLevelAtATimeAndOnlyEmptyOnesRemoved) {
  EXPECT_EQ(fs->GetAttributes(dir / u"a"), std::nullopt);
  EXPECT_TRUE(fs->CreateFolder(dir / u"a"));
  EXPECT_FALSE(fs->CreateFolder(dir / u"a")) << "an existing folder is a failure";
  EXPECT_FALSE(fs->CreateFolder(dir / u"x\\y")) << "parents are not created";
  EXPECT_NE(fs->GetAttributes(dir / u"a").value_or(0) & kAttrDirectory, 0u);
  PutFile(dir / u"a\\f", "");
  EXPECT_FALSE(fs->RemoveFolder(dir / u"a")) << "only an empty folder is removed";
  EXPECT_FALSE(fs->RemoveFile(dir / u"a")) << "DeleteFileW removes no folder";
  EXPECT_TRUE(fs->SetCreationTime(dir / u"a\\f", {2025, 1, 1, 0, 0, 0, 0}));
  EXPECT_FALSE(fs->SetCreationTime(dir / u"a\\g", {2025, 1, 1, 0, 0, 0, 0}));
  EXPECT_FALSE(PathExists(dir / u"a\\g")) << "OPEN_EXISTING creates nothing";
  EXPECT_TRUE(fs->RemoveFile(dir / u"a\\f"));
  EXPECT_FALSE(fs->RemoveFile(dir / u"a\\f"));
  EXPECT_TRUE(fs->RemoveFolder(dir / u"a"));
  EXPECT_EQ(fs->GetAttributes(dir / u"a"), std::nullopt);
}

TEST_F(FileSystemContract, ReadOnlyFilesRefuseReplacementAndDeletionUntilCleared) {
  PutFile(dir / u"ro", "keep");
  SetReadOnly(dir / u"ro", true);
  EXPECT_EQ(fs->GetAttributes(dir / u"ro").value_or(0) & (kAttrReadOnly | kAttrDirectory),
            kAttrReadOnly);
  PutFile(dir / u"new", "new");
#ifdef _WIN32
  // Windows refuses to replace a read-only file; Wine replaces it all the same.
  if (fs->MoveOver(dir / u"new", dir / u"ro", false)) {
    std::printf("note: this platform replaces read-only files; their refusal is not checked\n");
    PutFile(dir / u"new", "new");
    SetReadOnly(dir / u"ro", false);
    PutFile(dir / u"ro", "keep");
    SetReadOnly(dir / u"ro", true);
  }
#else
  EXPECT_FALSE(fs->MoveOver(dir / u"new", dir / u"ro", false));
#endif
  EXPECT_FALSE(fs->RemoveFile(dir / u"ro"));
  EXPECT_EQ(*GetFile(dir / u"ro"), "keep");
  EXPECT_EQ(*GetFile(dir / u"new"), "new");
  EXPECT_TRUE(fs->SetAttributes(dir / u"ro", 0));
  EXPECT_FALSE(IsReadOnly(dir / u"ro"));
  EXPECT_TRUE(fs->SetAttributes(dir / u"ro", kAttrReadOnly));
  EXPECT_TRUE(IsReadOnly(dir / u"ro"));
  EXPECT_TRUE(fs->SetAttributes(dir / u"ro", 0));
  EXPECT_TRUE(fs->MoveOver(dir / u"new", dir / u"ro", false));
  EXPECT_EQ(*GetFile(dir / u"ro"), "new");
  EXPECT_FALSE(PathExists(dir / u"new"));
  EXPECT_TRUE(fs->RemoveFile(dir / u"ro"));
  EXPECT_FALSE(fs->SetAttributes(dir / u"ro", 0)) << "no such file";
}

TEST_F(FileSystemContract, NewFilesTakeOnlyFreeNamesAndMoveOverInOneStep) {
  PutFile(dir / u"taken", "old and long");
  MakeFolders(dir / u"d");
  // A name that is taken is refused, and nothing there changes.
  EXPECT_EQ(fs->CreateNewFile(dir / u"taken"), nullptr);
  EXPECT_EQ(fs->CreateNewFile(dir / u"d"), nullptr);
  EXPECT_EQ(fs->CreateNewFile(dir / u"no\\such\\folder\\f"), nullptr);

  auto file = fs->CreateNewFile(dir / u"f.tmp");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->Write(AsBytes(std::string_view("new\0\xFF", 5))));
  EXPECT_TRUE(file->Write({}));
  EXPECT_TRUE(file->Flush());
  EXPECT_TRUE(file->Close());
  EXPECT_TRUE(file->Close()) << "a second close does nothing";
  EXPECT_FALSE(file->Write(AsBytes("x"))) << "no writes after closing";
  EXPECT_FALSE(file->Flush());
  EXPECT_EQ(*GetFile(dir / u"f.tmp"), std::string("new\0\xFF", 5));

  // Held by another writer, or a folder, or no source: the move is refused and both stay.
  {
    const auto held = HoldOpen(dir / u"taken");
    EXPECT_FALSE(fs->MoveOver(dir / u"f.tmp", dir / u"taken", false));
  }
  EXPECT_FALSE(fs->MoveOver(dir / u"f.tmp", dir / u"d", false));
  EXPECT_FALSE(fs->MoveOver(dir / u"missing", dir / u"taken", false));
  EXPECT_EQ(*GetFile(dir / u"taken"), "old and long");
  EXPECT_EQ(GetFile(dir / u"f.tmp")->size(), 5u);

  EXPECT_TRUE(fs->MoveOver(dir / u"f.tmp", dir / u"taken", true));
  EXPECT_EQ(*GetFile(dir / u"taken"), std::string("new\0\xFF", 5));
  EXPECT_FALSE(PathExists(dir / u"f.tmp"));
  // To a free name as well.
  PutFile(dir / u"b.tmp", "b");
  EXPECT_TRUE(fs->MoveOver(dir / u"b.tmp", dir / u"b.txt", false));
  EXPECT_EQ(*GetFile(dir / u"b.txt"), "b");
}

TEST_F(FileSystemContract, TheCommitsCallsRenameToFreeNamesReadSmallFilesAndLock) {
  PutFile(dir / u"a", "A");
  PutFile(dir / u"b", "B");
  // A taken name is never replaced; a free one is taken in one step.
  EXPECT_FALSE(fs->MoveNew(dir / u"a", dir / u"b", false));
  EXPECT_EQ(GetFile(dir / u"b"), "B");
  // A file held as with share mode 0 cannot be renamed.
  {
    const auto held = HoldOpen(dir / u"a");
    EXPECT_FALSE(fs->MoveNew(dir / u"a", dir / u"c", false));
  }
  EXPECT_TRUE(fs->MoveNew(dir / u"a", dir / u"c", true));
  EXPECT_FALSE(PathExists(dir / u"a"));
  EXPECT_EQ(GetFile(dir / u"c"), "A");
  // Small files are read whole, within their limit.
  EXPECT_EQ(fs->ReadSmallFile(dir / u"b", 1), std::optional<std::string>("B"));
  EXPECT_EQ(fs->ReadSmallFile(dir / u"b", 0), std::nullopt);
  EXPECT_EQ(fs->ReadSmallFile(dir / u"none", 100), std::nullopt);
  EXPECT_GT(fs->FreeSpace(dir.Path()).value_or(0), 0u);
  // One holder of a folder's lock at a time; its file goes with the lock.
  auto [status, lock] = fs->LockFolder(dir / u"lock");
  ASSERT_EQ(status, LockStatus::kHeld);
  EXPECT_EQ(fs->LockFolder(dir / u"lock").first, LockStatus::kBusy);
  lock.reset();
  EXPECT_FALSE(PathExists(dir / u"lock"));
  EXPECT_EQ(fs->LockFolder(dir / u"none\\lock").first, LockStatus::kUnavailable);
  EXPECT_EQ(fs->LockFolder(dir / u"lock").first, LockStatus::kHeld);
  EXPECT_FALSE(PathExists(dir / u"lock")) << "the temporary lock above went at once";
}

} // namespace
} // namespace ket::test
