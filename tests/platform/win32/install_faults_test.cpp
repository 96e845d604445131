// The installation run on the Windows file system where only the host can set the scene up
// (install_faults_check.sh does): real symbolic links in the prefix, and a drive that is a small
// file system of its own, filled up. The city database is re-keyed for real. Without the scene
// (KET_LINKS_DIR, KET_FULL_DRIVE unset) the cases are skipped.
#include "base/wide.h"
#include "db/city_database_rekeyer.h"
#include "db/codec.h"
#include "engine/commit.h"
#include "engine/run.h"
#include "platform/win32/win32_file_system.h"
#include "tests/engine/test_support.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <windows.h>

namespace ket::test {
namespace {

using Names = std::vector<std::u16string>;

std::u16string Environment(const wchar_t* name) {
  wchar_t value[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
  return n == 0 || n >= MAX_PATH ? std::u16string() : std::u16string(value, value + n);
}

// The bytes of a plain city database of `rows` rows, made in `scratch` and removed again.
std::string PlainDatabase(const std::u16string& scratch, int rows) {
  const std::string path = Utf16ToUtf8(scratch);
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
            SQLITE_OK);
  const std::string sql =
      "create table cities (id integer primary key, name text);"
      "with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
      std::to_string(rows) +
      ") insert into cities (name) select 'city ' || i || ' ' || hex(zeroblob(100)) from n;";
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  std::string bytes = GetFile(scratch).value_or("");
  DeleteFileW(ToWide(scratch).c_str());
  return bytes;
}

// The rows of an installed database read with the product's password; -1 when it does not open
// so.
int Rows(const std::u16string& path) {
  sqlite3* db = nullptr;
  int rows = -1;
  if (sqlite3_open_v2(Utf16ToUtf8(path).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      codec_set_key(db, "main", kCityDatabasePassword.data(),
                    static_cast<int>(kCityDatabasePassword.size())) == SQLITE_OK) {
    sqlite3_stmt* count = nullptr;
    if (sqlite3_prepare_v2(db, "select count(*) from cities", -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW) {
      rows = sqlite3_column_int(count, 0);
    }
    sqlite3_finalize(count);
  }
  sqlite3_close(db);
  return rows;
}

struct Scene : ::testing::Test {
  Win32FileSystem files;
  RecordingWindow window;
  SetupState state;
  Payload payload;
  RunOutcome outcome;

  void Install(const std::vector<std::string>& manifest, const std::vector<FileSpec>& entries,
               const std::u16string& folder, DatabaseRekeyer* rekeyer, bool force = false) {
    state = SetupState();
    payload = Payload();
    LoadScenario(state, payload, manifest, entries);
    window.choices = Choices{folder, force, false, false};
    outcome = DoCopy(state, payload, {files, window, nullptr, rekeyer});
  }

  // Every name in the folder (one level) that is the run's own.
  Names Temporaries(const std::u16string& folder) {
    Names found;
    ForEachFound(files, folder + u"*", [&](const FindEntry& e) {
      if (IsRunOwnName(e.name)) {
        found.push_back(e.name);
      }
      return true;
    });
    return found;
  }
};

// The links the host made (install_faults_check.sh), in KET_LINKS_DIR:
//   inst\linked      -> out             (a folder)
//   inst\file.txt    -> out\target.txt  (a read-only file)
//   inst\old         -> out\old         (a folder holding a.tmp)
//   inst\mask\dir    -> out\d           (an empty folder, matched by a mask)
TEST_F(Scene, RealSymbolicLinksInThePrefixAreNotFollowed) {
  const std::u16string root = Environment(L"KET_LINKS_DIR");
  if (root.empty()) {
    GTEST_SKIP() << "no links prepared (run through install_faults_check.sh)";
  }
  const std::u16string inst = root + u"inst\\";
  const std::u16string out = root + u"out\\";
  // What Windows programs see of a Linux link here: Wine 8 shows a link to a folder as a
  // reparse point, a link to a file as the file itself.
  const auto seen = [&](std::u16string_view name) {
    return files.GetAttributes(inst + std::u16string(name)).value_or(0) & kAttrReparsePoint;
  };
  ASSERT_TRUE(seen(u"linked") && seen(u"old") && seen(u"mask\\dir"))
      << "a link to a folder is not seen as a reparse point";
  const bool fileLinksSeen = seen(u"file.txt") != 0;
  std::printf("note: a link to a file is %s here\n",
              fileLinksSeen ? "a reparse point" : "not told apart from a file");
  // The file system itself gives a seen link no attributes: SetFileAttributesW would give them
  // to its target.
  EXPECT_FALSE(files.SetAttributes(inst + u"linked", kAttrHidden));
  EXPECT_EQ(files.GetAttributes(root + u"out").value_or(0) & kAttrHidden, 0u);

  // File lines through a link, or onto one the system shows as such: the run is undone.
  Install({"linked\\a.txt||#|", "linked\\new\\b.txt||#|"},
          {{"linked\\a.txt", "escaped"}, {"linked\\new\\b.txt", "escaped"}}, inst, nullptr, true);
  EXPECT_EQ(outcome.exitCode, ExitCode::kUndone);
  // A link to a file that Wine shows as a plain file cannot be set aside (renaming it would move
  // what it points at): it is taken for a file in use, and the run is cancelled.
  Install({"file.txt||#|"}, {{"file.txt", "F"}}, inst, nullptr, true);
  EXPECT_EQ(outcome.exitCode, fileLinksSeen ? ExitCode::kUndone : ExitCode::kClosed);
  // Masks through links or onto them: reported, nothing deleted outside.
  Install({"old\\*.tmp|K|", "old|K|", "mask\\*|K|", "linked\\*.*|K|"}, {}, inst, nullptr, true);
  EXPECT_EQ(outcome.failures, (Names{u"old\\*.tmp", u"old", u"mask\\dir", u"linked\\*.*"}));

  // Outside, nothing was written, cleared or deleted.
  EXPECT_FALSE(PathExists(out + u"a.txt"));
  EXPECT_FALSE(PathExists(out + u"new"));
  EXPECT_EQ(GetFile(out + u"target.txt"), "outside");
  EXPECT_TRUE(IsReadOnly(out + u"target.txt"));
  EXPECT_EQ(GetFile(out + u"old\\a.tmp"), "outside");
  EXPECT_TRUE(FolderExists(out + u"d")) << "RemoveDirectoryW through the link removes its target";
  EXPECT_TRUE(seen(u"linked") && seen(u"old") && seen(u"mask\\dir"));
  EXPECT_EQ(GetFile(inst + u"file.txt"), "outside"); // the link, still pointing there
  EXPECT_TRUE(Temporaries(inst).empty());
}

TEST_F(Scene, OnAFullDriveTheUpdateIsRefusedAndTheOldVersionStays) {
  const std::u16string drive = Environment(L"KET_FULL_DRIVE");
  if (drive.empty()) {
    GTEST_SKIP() << "no small drive prepared (run through install_faults_check.sh as root)";
  }
  const std::u16string inst = drive + u"inst\\";
  const std::u16string filler = drive + u"filler";
  const auto leaveFree = [&](std::uint64_t bytes) {
    DeleteFileW(ToWide(filler).c_str());
    ULARGE_INTEGER free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(ToWide(drive).c_str(), &free, nullptr, nullptr));
    ASSERT_GT(free.QuadPart, bytes);
    PutFile(filler, std::string(static_cast<std::size_t>(free.QuadPart - bytes), '\0'));
  };
  const std::vector<std::string> manifest{"a.txt||#|", "Ketro.cts||#|", "small.txt||#|"};
  const std::string db1 = PlainDatabase(drive + u"scratch.db", 100);
  const std::string db2 = PlainDatabase(drive + u"scratch.db", 300);
  const std::vector<FileSpec> v1{
      {"a.txt", std::string(8000, 'a')}, {"Ketro.cts", db1}, {"small.txt", "1"}};
  const std::vector<FileSpec> v2{
      {"a.txt", std::string(100000, 'b')}, {"Ketro.cts", db2}, {"small.txt", "22"}};
  {
    CityDatabaseRekeyer rekeyer;
    Install(manifest, v1, inst, &rekeyer);
    ASSERT_EQ(outcome.failures, Names{});
    ASSERT_EQ(Rows(inst + u"Ketro.cts"), 100);
  }
  const auto oldDatabase = GetFile(inst + u"Ketro.cts");

  // Too little room: refused before anything is written, the first version byte for byte; the
  // same with room for the database but not for its re-key's journal.
  for (const std::uint64_t room :
       {std::uint64_t{16 * 1024}, std::uint64_t{db2.size() + 8 * 1024}}) {
    leaveFree(room);
    CityDatabaseRekeyer rekeyer;
    Install(manifest, v2, inst, &rekeyer);
    EXPECT_EQ(outcome.exitCode, ExitCode::kUndone);
    EXPECT_EQ(window.Count("ShowNotEnoughSpace"), 1);
    EXPECT_EQ(GetFile(inst + u"a.txt"), std::string(8000, 'a'));
    EXPECT_EQ(GetFile(inst + u"Ketro.cts"), oldDatabase);
    EXPECT_EQ(GetFile(inst + u"small.txt"), "1");
    EXPECT_TRUE(Temporaries(inst).empty());
    window.calls.clear();
  }
  // With room, and no connection of the failed re-key left open, the next run completes the
  // update and leaves no temporary file.
  DeleteFileW(ToWide(filler).c_str());
  CityDatabaseRekeyer rekeyer;
  Install(manifest, v2, inst, &rekeyer);
  EXPECT_EQ(outcome.failures, Names{});
  EXPECT_EQ(GetFile(inst + u"a.txt"), std::string(100000, 'b'));
  EXPECT_EQ(Rows(inst + u"Ketro.cts"), 300);
  EXPECT_TRUE(Temporaries(inst).empty());
}

} // namespace
} // namespace ket::test
