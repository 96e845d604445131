// Crash safety: a child process is killed (it ends at once, as a killed process would: nothing
// after that point reaches the files) at chosen I/O operations of the codec layer, during a
// re-key or a normal transaction; the parent then checks what the files restore to.
#include "base/text.h"
#include "db/codec.h"
#include "db/ket_database.h"
#include "db/page_codec.h"
#include "tests/db/test_support.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ket {
namespace {

constexpr int kCrashed = 77;
constexpr int kFinished = 78;

// Whether a rollback journal begins with its magic number, plain.
bool PlainJournalHeader(const std::vector<std::uint8_t>& journal) {
  const std::uint8_t magic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
  return journal.size() >= 8 && std::memcmp(journal.data(), magic, 8) == 0;
}

// Runs `body` in a child that dies at the first event `crashAt` picks.
int RunChild(const std::function<void()>& body,
             const std::function<bool(const IoEvent&)>& crashAt) {
  const pid_t pid = fork();
  if (pid == 0) {
    test::IoHookScope hook([&](const IoEvent& e) {
      if (crashAt(e)) {
        _exit(kCrashed);
      }
      return 0;
    });
    try {
      body();
    } catch (...) {
    }
    _exit(kFinished);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The nth event of one kind.
std::function<bool(const IoEvent&)> Nth(IoFile file, IoOp op, int n) {
  auto seen = std::make_shared<int>(0);
  return [=](const IoEvent& e) { return e.file == file && e.op == op && ++*seen == n; };
}

void RekeyWithSmallCache(const std::string& path, std::string_view from, std::string_view to,
                         int cachePages) {
  SetRekeyCacheBudget(cachePages * 4096);
  TKetDatabase db;
  db.SetDatabaseName(Utf8ToUtf16(path));
  db.SetPassword(from);
  db.Open();
  test::Exec(db.Handle(), "PRAGMA cache_size = " + std::to_string(cachePages));
  db.ReKey(to);
  db.Close();
}

// The first statement that reads the database; its result code.
int FirstRead(const std::string& path, std::string_view key) {
  test::Db db = test::OpenDb(path, key, SQLITE_OPEN_READWRITE);
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db.get(), "SELECT count(*) FROM items", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(stmt) == SQLITE_ROW ? SQLITE_OK : sqlite3_errcode(db.get());
  }
  sqlite3_finalize(stmt);
  return rc;
}

class Crash : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("Ketro.cts");
    test::MakeDatabase(path_, 250);
    plain_ = test::ReadBytes(path_);
  }
  void TearDown() override { SetRekeyCacheBudget(64 * 1024 * 1024); }

  void Reset(std::string_view key) {
    test::WriteBytes(path_, plain_);
    std::filesystem::remove(path_ + "-journal");
    std::filesystem::remove(path_ + "-wal");
    std::filesystem::remove(path_ + "-shm");
    if (!key.empty()) {
      TKetDatabase db;
      db.SetDatabaseName(Utf8ToUtf16(path_));
      db.Open();
      db.ReKey(key);
      db.Close();
    }
  }

  test::TempDir dir_;
  std::string path_;
  std::vector<std::uint8_t> plain_;
};

struct Point {
  const char* name;
  IoFile file;
  IoOp op;
  int n;
};

// Killed during the pass (pages spilling), while committing (the pages written, the sync of
// the database file, the journal's deletion): the next open under the old key restores the old
// form byte for byte; an open under the new key first is refused and leaves the journal alone.
TEST_F(Crash, KilledReKeyRestoresTheOldForm) {
  const Point points[] = {
      {"first spill", IoFile::kDatabase, IoOp::kWrite, 1},
      {"mid pass", IoFile::kDatabase, IoOp::kWrite, 120},
      {"late", IoFile::kDatabase, IoOp::kWrite, 240},
      {"journal write", IoFile::kJournal, IoOp::kWrite, 300},
      {"database sync", IoFile::kDatabase, IoOp::kSync, 1},
      {"journal deletion", IoFile::kJournal, IoOp::kDelete, 1},
  };
  for (const char* from : {"", "old"}) {
    for (const Point& point : points) {
      SCOPED_TRACE(std::string(from) + " / " + point.name);
      Reset(from);
      const auto before = test::ReadBytes(path_);
      ASSERT_EQ(RunChild([&] { RekeyWithSmallCache(path_, from, "new", 20); },
                         Nth(point.file, point.op, point.n)),
                kCrashed);
      ASSERT_TRUE(test::Exists(path_ + "-journal"));
      const auto crashed = test::ReadBytes(path_);
      EXPECT_NE(FirstRead(path_, "new"), SQLITE_OK);
      EXPECT_TRUE(test::Exists(path_ + "-journal"));
      EXPECT_EQ(test::ReadBytes(path_), crashed);
      EXPECT_EQ(test::Integrity(path_, from), "ok");
      EXPECT_FALSE(test::Exists(path_ + "-journal"));
      EXPECT_EQ(test::ReadBytes(path_), before);
    }
  }
}

// Killed while a VACUUM moves an encrypted database to another page size: pieces of the copy
// spilled, page 1 written, the copy re-enciphered in the new size (the sync after it), the
// journal's deletion. The journal gives back the old file byte for byte.
TEST_F(Crash, KilledVacuumToAnotherPageSize) {
  const Point points[] = {
      {"first spill", IoFile::kDatabase, IoOp::kWrite, 1},
      {"late", IoFile::kDatabase, IoOp::kWrite, 200},
      {"database sync", IoFile::kDatabase, IoOp::kSync, 1},
      {"journal deletion", IoFile::kJournal, IoOp::kDelete, 1},
  };
  for (const int size : {8192, 1024}) {
    for (const Point& point : points) {
      SCOPED_TRACE(std::to_string(size) + " / " + point.name);
      Reset("k");
      const auto before = test::ReadBytes(path_);
      ASSERT_EQ(RunChild(
                    [&] {
                      test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
                      test::Exec(db.get(), "PRAGMA cache_size = 20; PRAGMA page_size = " +
                                               std::to_string(size) + "; VACUUM");
                    },
                    Nth(point.file, point.op, point.n)),
                kCrashed);
      EXPECT_EQ(test::Integrity(path_, "k"), "ok");
      EXPECT_EQ(test::ReadBytes(path_), before);
    }
  }
}

// The same with the cache holding the whole database, as the installer runs: nothing reaches
// the database file before the commit.
TEST_F(Crash, KilledWhileCommittingAWholeCacheReKey) {
  for (const int n : {1, 100, 250}) {
    Reset("");
    ASSERT_EQ(RunChild([&] { RekeyWithSmallCache(path_, "", test::kInstallerPassword, 4096); },
                       Nth(IoFile::kDatabase, IoOp::kWrite, n)),
              kCrashed);
    EXPECT_NE(FirstRead(path_, test::kInstallerPassword), SQLITE_OK);
    EXPECT_EQ(test::Integrity(path_, {}), "ok");
    EXPECT_EQ(test::ReadBytes(path_), plain_);
  }
  // Past the commit point: KilledReKeyOfAFileWithATail.
}

// A file that holds bytes past its database's last page, killed while re-keyed: before the
// commit point the journal gives back the file as it was, tail included; once the re-key has
// committed, the new form is complete and the file ends where the database does.
TEST_F(Crash, KilledReKeyOfAFileWithATail) {
  auto withTail = plain_;
  withTail.resize(plain_.size() + 4096 + 300, 0x5a);
  for (const Point& point : {Point{"mid pass", IoFile::kDatabase, IoOp::kWrite, 100},
                             Point{"database sync", IoFile::kDatabase, IoOp::kSync, 1},
                             Point{"journal deletion", IoFile::kJournal, IoOp::kDelete, 1}}) {
    SCOPED_TRACE(point.name);
    Reset("");
    test::WriteBytes(path_, withTail);
    ASSERT_EQ(RunChild([&] { RekeyWithSmallCache(path_, "", "new", 20); },
                       Nth(point.file, point.op, point.n)),
              kCrashed);
    EXPECT_EQ(test::Integrity(path_, {}), "ok");
    EXPECT_EQ(test::ReadBytes(path_), withTail);
  }
  Reset("");
  test::WriteBytes(path_, withTail);
  ASSERT_EQ(RunChild([&] { RekeyWithSmallCache(path_, "", "new", 4096); },
                     [](const IoEvent& e) {
                       return e.op == IoOp::kClose && e.file == IoFile::kDatabase;
                     }),
            kCrashed);
  EXPECT_FALSE(test::Exists(path_ + "-journal"));
  const auto file = test::ReadBytes(path_);
  EXPECT_EQ(file.size(), plain_.size());
  EXPECT_TRUE(test::SameExceptCommitFields(test::DecipherFile(file, "new", 4096), plain_));
}

// A normal transaction on an encrypted database killed half way: its journal holds the page
// images in the stored form (header and framing plain), and only the right key plays it back.
// Without syncs the engine writes pages right after their journal records: those records must
// have reached the system first.
TEST_F(Crash, InterruptedTransactionOnAnEncryptedDatabase) {
  for (const auto& [synchronous, n] :
       {std::pair{"full", 3}, std::pair{"full", 20}, std::pair{"off", 3}, std::pair{"off", 20}}) {
    SCOPED_TRACE(std::string(synchronous) + " " + std::to_string(n));
    Reset("k");
    const auto before = test::ReadBytes(path_);
    std::string digest;
    {
      test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
      digest = test::ContentDigest(db.get());
    }
    ASSERT_EQ(RunChild(
                  [&] {
                    test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
                    test::Exec(db.get(), std::string("PRAGMA synchronous = ") + synchronous +
                                             "; PRAGMA cache_size = 10; BEGIN; "
                                             "UPDATE items SET body = randomblob(length(body)); "
                                             "COMMIT");
                  },
                  Nth(IoFile::kDatabase, IoOp::kWrite, n)),
              kCrashed);
    const auto journal = test::ReadBytes(path_ + "-journal");
    ASSERT_GT(journal.size(), 4096u);
    EXPECT_TRUE(PlainJournalHeader(journal));
    const std::size_t sector =
        (std::size_t{journal[20]} << 24) | (journal[21] << 16) | (journal[22] << 8) | journal[23];
    const std::uint32_t pgno = (std::uint32_t{journal[sector]} << 24) |
                               (journal[sector + 1] << 16) | (journal[sector + 2] << 8) |
                               journal[sector + 3];
    ASSERT_GE(pgno, 1u);
    const std::vector<std::uint8_t> stored(
        journal.begin() + static_cast<std::ptrdiff_t>(sector + 4),
        journal.begin() + static_cast<std::ptrdiff_t>(sector + 4 + 4096));
    const std::vector<std::uint8_t> original(before.begin() + (pgno - 1) * 4096,
                                             before.begin() + pgno * 4096);
    EXPECT_EQ(stored, original); // exactly as the database file held the page
    for (const std::string_view key : {std::string_view(), std::string_view("wrong")}) {
      EXPECT_NE(FirstRead(path_, key), SQLITE_OK);
      EXPECT_EQ(test::ReadBytes(path_ + "-journal"), journal);
    }
    test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
    EXPECT_EQ(test::ContentDigest(db.get()), digest);
    db.reset();
    EXPECT_EQ(test::ReadBytes(path_), before);
  }
}

// An I/O error makes the engine roll the re-key back within the connection. The pages it puts
// back from the journal must be in the old form already when the rollback ends: killed right
// there, before anything else could mend the file, it is as before.
TEST_F(Crash, RollbackWithinTheConnectionWritesTheOldForm) {
  for (const char* from : {"", "old"}) {
    for (const int failAt : {60, 200, 249}) {
      SCOPED_TRACE(std::string(from) + " " + std::to_string(failAt));
      Reset(from);
      const auto before = test::ReadBytes(path_);
      int writes = 0;
      ASSERT_EQ(RunChild(
                    [&] {
                      test::IoHookScope inject([&](const IoEvent& e) {
                        if (e.file == IoFile::kJournal && e.op == IoOp::kDelete) {
                          _exit(kCrashed);
                        }
                        return e.file == IoFile::kDatabase && e.op == IoOp::kWrite &&
                                       ++writes == failAt
                                   ? SQLITE_IOERR_WRITE
                                   : SQLITE_OK;
                      });
                      RekeyWithSmallCache(path_, from, "new", 30);
                    },
                    [](const IoEvent&) { return false; }),
                kCrashed);
      EXPECT_EQ(test::ReadBytes(path_), before);
    }
  }
}

// With 512-byte pages the journal header is as long as a page; it is told from a page image by
// its place, not its length, and stays plain.
TEST_F(Crash, JournalHeaderOfAPagesLengthStaysPlain) {
  std::filesystem::remove(path_);
  test::MakeDatabase(path_, 300, 512);
  plain_ = test::ReadBytes(path_);
  Reset("k");
  const auto before = test::ReadBytes(path_);
  ASSERT_EQ(RunChild(
                [&] {
                  test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
                  test::Exec(db.get(), "PRAGMA cache_size = 10; BEGIN; "
                                       "UPDATE items SET body = randomblob(length(body)); COMMIT");
                },
                Nth(IoFile::kDatabase, IoOp::kWrite, 20)),
            kCrashed);
  const auto journal = test::ReadBytes(path_ + "-journal");
  ASSERT_GT(journal.size(), 1024u);
  EXPECT_TRUE(PlainJournalHeader(journal));
  EXPECT_EQ(test::Integrity(path_, "k"), "ok");
  EXPECT_EQ(test::ReadBytes(path_), before);
}

// A log with committed transactions, left by a killed process: a wrong key is refused and the
// log kept; the right key recovers the transactions.
TEST_F(Crash, CommittedLogSurvivesAWrongKey) {
  Reset("k");
  {
    test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
    test::Exec(db.get(), "PRAGMA journal_mode = wal");
  }
  ASSERT_EQ(RunChild(
                [&] {
                  test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
                  test::Exec(db.get(), "PRAGMA wal_autocheckpoint = 0");
                  for (int i = 0; i < 5; ++i) {
                    test::Exec(db.get(), "INSERT INTO items(name, body) VALUES('late', "
                                         "randomblob(3000))");
                  }
                  _exit(kCrashed);
                },
                [](const IoEvent&) { return false; }),
            kCrashed);
  const auto wal = test::ReadBytes(path_ + "-wal");
  ASSERT_GT(wal.size(), 32u);
  for (const std::string_view key : {std::string_view(), std::string_view("wrong")}) {
    EXPECT_NE(FirstRead(path_, key), SQLITE_OK);
    EXPECT_EQ(test::ReadBytes(path_ + "-wal"), wal);
  }
  test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
  EXPECT_EQ(test::QueryInt(db.get(), "SELECT count(*) FROM items WHERE name = 'late'"), 5);
  EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
}

// A re-key in log mode killed during the pass leaves uncommitted frames in the new form; the
// old key reads the database as before.
TEST_F(Crash, KilledReKeyInLogMode) {
  Reset("old");
  std::string digest;
  {
    test::Db db = test::OpenDb(path_, "old", SQLITE_OPEN_READWRITE);
    test::Exec(db.get(), "PRAGMA journal_mode = wal");
    digest = test::ContentDigest(db.get());
  }
  ASSERT_EQ(RunChild([&] { RekeyWithSmallCache(path_, "old", "new", 20); },
                     Nth(IoFile::kWal, IoOp::kWrite, 100)),
            kCrashed);
  test::Db db = test::OpenDb(path_, "old", SQLITE_OPEN_READWRITE);
  EXPECT_EQ(test::ContentDigest(db.get()), digest);
  EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
}

} // namespace
} // namespace ket
