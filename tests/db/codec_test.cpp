// The encrypted database through the connection object and the codec entry points: the stored
// form, the re-key's cases, and what the codec layer must get right inside the engine.
#include "base/text.h"
#include "db/city_database_rekeyer.h"
#include "db/codec.h"
#include "db/ket_database.h"
#include "db/page_codec.h"
#include "tests/db/test_db.h"

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace ket {
namespace {

using test::Db;
using test::TempDir;

constexpr std::string_view kMagic("SQLite format 3\0", 16);

std::u16string U(const std::string& s) {
  return Utf8ToUtf16(s);
}

bool StartsWithMagic(const std::vector<std::uint8_t>& file) {
  return file.size() >= 16 && std::memcmp(file.data(), kMagic.data(), 16) == 0;
}

// Runs `fn`, expecting EKetDatabase; returns it.
template <class Fn> EKetDatabase Raised(Fn fn) {
  try {
    fn();
  } catch (const EKetDatabase& e) {
    return e;
  }
  ADD_FAILURE() << "no EKetDatabase raised";
  return EKetDatabase(u"none");
}

void Rekey(const std::string& path, std::string_view oldPassword, std::string_view newPassword) {
  TKetDatabase db;
  db.SetDatabaseName(U(path));
  db.SetPassword(oldPassword);
  db.Open();
  db.ReKey(newPassword);
  db.Close();
}

// Writes to the database file or its journal while `fn` runs.
template <class Fn> int CountWrites(Fn fn) {
  int writes = 0;
  test::IoHookScope hook([&](const IoEvent& e) {
    if (e.op == IoOp::kWrite && e.file != IoFile::kOther) {
      ++writes;
    }
    return 0;
  });
  fn();
  return writes;
}

class Encrypted : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("Ketro.cts");
    test::MakeDatabase(path_, 200);
    plain_ = test::ReadBytes(path_);
    test::Db db = test::OpenDb(path_);
    digest_ = test::ContentDigest(db.get());
  }

  std::string Digest(std::string_view key) {
    test::Db db = test::OpenDb(path_, key, SQLITE_OPEN_READWRITE);
    return test::ContentDigest(db.get());
  }

  TempDir dir_;
  std::string path_;
  std::vector<std::uint8_t> plain_;
  std::string digest_;
};

// ---- stored form ----

TEST_F(Encrypted, RekeyWritesEveryPageInTheStoredForm) {
  Rekey(path_, "", test::kInstallerPassword);
  const auto file = test::ReadBytes(path_);
  EXPECT_EQ(file.size(), plain_.size());
  EXPECT_FALSE(StartsWithMagic(file));
  EXPECT_TRUE(test::SameExceptCommitFields(test::DecipherFile(file, test::kInstallerPassword, 4096),
                                           plain_));
  EXPECT_FALSE(test::Exists(path_ + "-journal"));
  EXPECT_EQ(test::Integrity(path_, test::kInstallerPassword), "ok");
  EXPECT_EQ(Digest(test::kInstallerPassword), digest_);
}

TEST_F(Encrypted, WithoutOrWithAWrongKeyTheFileIsNotADatabase) {
  Rekey(path_, "", "right");
  for (const std::string_view key : {std::string_view(), std::string_view("wrong")}) {
    test::Db db = test::OpenDb(path_, key, SQLITE_OPEN_READWRITE); // opening succeeds
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db.get(), "SELECT count(*) FROM items", -1, &stmt, nullptr),
              SQLITE_NOTADB);
    sqlite3_finalize(stmt);
    EXPECT_STREQ(sqlite3_errmsg(db.get()), "file is not a database");
  }
  EXPECT_EQ(Digest("right"), digest_);
}

TEST(StoredForm, EveryPageSizeRoundTrips) {
  for (const int pageSize : {512, 1024, 8192, 65536}) {
    TempDir dir;
    const std::string path = dir.File("p.db");
    test::MakeDatabase(path, 40, pageSize);
    const auto plain = test::ReadBytes(path);
    Rekey(path, "", "k");
    const auto file = test::ReadBytes(path);
    EXPECT_EQ(file.size(), plain.size()) << pageSize;
    EXPECT_TRUE(test::SameExceptCommitFields(test::DecipherFile(file, "k", pageSize), plain))
        << pageSize;
    // Reading the header before the page size is known: the engine guesses 4096 first.
    EXPECT_EQ(test::Integrity(path, "k"), "ok") << pageSize;
  }
}

// ---- the re-key's cases ----

TEST_F(Encrypted, SameKeyIsANoOp) {
  Rekey(path_, "", "k1");
  const auto before = test::ReadBytes(path_);
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.SetPassword("k1");
  db.Open();
  EXPECT_EQ(CountWrites([&] { db.ReKey("k1"); }), 0);
  EXPECT_EQ(db.Password(), "k1");
  db.Close();
  EXPECT_EQ(test::ReadBytes(path_), before);
}

TEST_F(Encrypted, EmptyToEmptyIsANoOp) {
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.Open();
  EXPECT_EQ(CountWrites([&] { db.ReKey(""); }), 0);
  EXPECT_EQ(db.Password(), "");
  db.Close();
  EXPECT_EQ(test::ReadBytes(path_), plain_);
}

TEST_F(Encrypted, NewKeyReplacesTheOldOne) {
  Rekey(path_, "", "old");
  Rekey(path_, "old", "new");
  EXPECT_TRUE(test::SameExceptCommitFields(test::DecipherFile(test::ReadBytes(path_), "new", 4096),
                                           plain_));
  EXPECT_EQ(Digest("new"), digest_);
  EXPECT_NE(Digest("old"), digest_);
}

TEST_F(Encrypted, EmptyPasswordMakesTheFilePlainAgain) {
  Rekey(path_, "", "k");
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.SetPassword("k");
  db.Open();
  db.ReKey("");
  const void* key = nullptr;
  int length = 1;
  codec_get_key(db.Handle(), 0, &key, &length);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(length, 0);
  db.Close();
  EXPECT_TRUE(test::SameExceptCommitFields(test::ReadBytes(path_), plain_));
  EXPECT_EQ(Digest(""), digest_);
}

TEST_F(Encrypted, WrongOrMissingKeyFailsWithNotADatabaseAndChangesNothing) {
  Rekey(path_, "", "k");
  const auto before = test::ReadBytes(path_);
  for (const std::string_view key : {std::string_view(), std::string_view("wrong")}) {
    TKetDatabase db;
    db.SetDatabaseName(U(path_));
    db.SetPassword(key);
    db.Open();
    const EKetDatabase e = Raised([&] { db.ReKey("other"); });
    EXPECT_EQ(e.ErrorCode(), SQLITE_NOTADB);
    EXPECT_STREQ(e.what(), "SQLite3 Error 26 - file is not a database");
    EXPECT_EQ(db.Password(), key);
    const void* material = nullptr;
    int length = 0;
    codec_get_key(db.Handle(), 0, &material, &length);
    // Without a key no record remains; with one the database goes on in it.
    EXPECT_EQ(material != nullptr, !key.empty());
    db.Close();
    EXPECT_EQ(test::ReadBytes(path_), before);
  }
}

TEST(Connection, ReKeyOnAClosedObjectMakesNoEngineCall) {
  TKetDatabase db;
  const EKetDatabase e = Raised([&] { db.ReKey("k"); });
  EXPECT_STREQ(e.what(), "Cannot perform this operation on a closed database");
  EXPECT_EQ(e.ErrorCode(), 0);
  EXPECT_TRUE(e.ErrorMessage().empty());
  db.SetName(u"CityDb");
  const EKetDatabase named = Raised([&] { db.ReKey("k"); });
  EXPECT_STREQ(named.what(),
               "SQLite3 Error 1 - CityDb: Cannot perform this operation on a closed database");
  EXPECT_EQ(named.ErrorCode(), 1);
}

TEST_F(Encrypted, InsideAnExplicitTransactionTheReKeyIsBusy) {
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.Open();
  test::Exec(db.Handle(), "BEGIN; INSERT INTO items(name) VALUES('x');");
  const EKetDatabase e = Raised([&] { db.ReKey("k"); });
  EXPECT_EQ(e.ErrorCode(), SQLITE_BUSY);
  EXPECT_STREQ(e.what(), "SQLite3 Error 5 - database is locked");
  EXPECT_EQ(db.Password(), "");
  test::Exec(db.Handle(), "ROLLBACK");
  db.Close();
  EXPECT_EQ(test::ReadBytes(path_), plain_);
}

TEST_F(Encrypted, InterruptStopsThePassAndRollsBack) {
  Rekey(path_, "", "k");
  const auto before = test::ReadBytes(path_);
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.SetPassword("k");
  db.Open();
  // A handler that interrupts the connection and lets it go on: the pass sees the flag.
  sqlite3_progress_handler(
      db.Handle(), 50,
      [](void* arg) {
        auto* d = static_cast<TKetDatabase*>(arg);
        sqlite3_interrupt(d->Handle());
        return 0;
      },
      &db);
  const EKetDatabase e = Raised([&] { db.ReKey("new"); });
  EXPECT_EQ(e.ErrorCode(), SQLITE_INTERRUPT);
  EXPECT_STREQ(e.what(), "SQLite3 Error 9 - interrupted");
  EXPECT_EQ(db.Password(), "k");
  sqlite3_progress_handler(db.Handle(), 0, nullptr, nullptr);
  EXPECT_EQ(test::QueryText(db.Handle(), "PRAGMA integrity_check"), "ok");
  db.Close();
  EXPECT_EQ(test::ReadBytes(path_), before);
}

// The engine reports running out of memory from wherever it happens: a page it cannot read in,
// a journal record or a page it cannot write out. The re-key then fails with 7 and the file keeps
// its old form, with no journal left behind.
TEST_F(Encrypted, OutOfMemoryDuringThePassFailsWithSevenAndChangesNothing) {
  struct Case {
    const char* where;
    std::string from;
    IoFile file;
    IoOp op;
    int failAt;
    std::int64_t budgetPages; // the re-key's cache; small ones spill pages during the pass
  };
  // With the whole database in the cache the pass writes no page before its commit.
  for (const Case& c : {Case{"page read", "", IoFile::kDatabase, IoOp::kRead, 60, 1000},
                        Case{"page read", "old", IoFile::kDatabase, IoOp::kRead, 60, 1000},
                        Case{"journal record", "old", IoFile::kJournal, IoOp::kWrite, 90, 1000},
                        Case{"commit", "", IoFile::kDatabase, IoOp::kWrite, 120, 1000},
                        Case{"commit", "old", IoFile::kDatabase, IoOp::kWrite, 120, 1000},
                        Case{"spill", "old", IoFile::kDatabase, IoOp::kWrite, 30, 16}}) {
    SCOPED_TRACE(std::string(c.where) + "/" + c.from + "/" + std::to_string(c.failAt));
    test::WriteBytes(path_, plain_);
    if (!c.from.empty()) {
      Rekey(path_, "", c.from);
    }
    const auto before = test::ReadBytes(path_);
    SetRekeyCacheBudget(c.budgetPages * 4096);
    TKetDatabase db;
    db.SetDatabaseName(U(path_));
    db.SetPassword(c.from);
    db.Open();
    if (c.budgetPages < 200) {
      test::Exec(db.Handle(), "PRAGMA cache_size = " + std::to_string(c.budgetPages));
    }
    int seen = 0;
    {
      test::IoHookScope hook([&](const IoEvent& e) {
        if (e.file == c.file && e.op == c.op && ++seen == c.failAt) {
          return SQLITE_NOMEM;
        }
        return 0;
      });
      const EKetDatabase e = Raised([&] { db.ReKey("new"); });
      EXPECT_EQ(e.ErrorCode(), SQLITE_NOMEM);
      EXPECT_STREQ(e.what(), "SQLite3 Error 7 - out of memory");
    }
    SetRekeyCacheBudget(64 * 1024 * 1024);
    EXPECT_GE(seen, c.failAt); // the fault did happen inside the pass
    EXPECT_EQ(db.Password(), c.from);
    EXPECT_FALSE(test::Exists(path_ + "-journal"));
    EXPECT_EQ(test::QueryText(db.Handle(), "PRAGMA integrity_check"), "ok");
    db.Close();
    EXPECT_EQ(test::ReadBytes(path_), before);
    EXPECT_FALSE(test::Exists(path_ + "-journal"));
    EXPECT_EQ(test::Integrity(path_, c.from), "ok");
    EXPECT_EQ(Digest(c.from), digest_);
  }
}

struct ProgressCount {
  int calls = 0;
  int stopAt = 0;
};

TEST_F(Encrypted, ProgressHandlerStopAbortsThePass) {
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.Open();
  ProgressCount count{0, 3};
  sqlite3_progress_handler(
      db.Handle(), 10,
      [](void* arg) {
        auto* c = static_cast<ProgressCount*>(arg);
        return ++c->calls == c->stopAt ? 1 : 0;
      },
      &count);
  const EKetDatabase e = Raised([&] { db.ReKey("new"); });
  EXPECT_EQ(e.ErrorCode(), SQLITE_ABORT);
  EXPECT_STREQ(e.what(), "SQLite3 Error 4 - query aborted");
  // Called before the 11th page and then every 10 pages: the third call comes before page 31.
  EXPECT_EQ(count.calls, 3);
  const void* key = nullptr;
  int length = 0;
  codec_get_key(db.Handle(), 0, &key, &length);
  EXPECT_EQ(key, nullptr); // a database that had no key is left without a record
  // The connection's own handler is back.
  count.stopAt = 0;
  const int before = count.calls;
  test::QueryText(db.Handle(), "SELECT count(*) FROM items a, items b WHERE a.id < 30");
  EXPECT_GT(count.calls, before);
  db.Close();
  EXPECT_EQ(test::ReadBytes(path_), plain_);
}

// Bytes past the header's page count are no database content: the engine never reads them and
// overwrites them as the database grows. A re-key must not leave them plain in the encrypted
// file, so the file ends where the database does; a re-key that fails keeps every byte.
TEST(ReKeyOfAFileWithATail, LeavesNoPlainByteAndAFailureKeepsEveryByte) {
  const std::string marker = "PLAIN-TAIL-MARKER-";
  struct Tail {
    const char* name;
    std::size_t bytes;
  };
  for (const char* journalMode : {"delete", "wal"}) {
    TempDir dir;
    const std::string path = dir.File("Ketro.cts");
    test::MakeDatabase(path, 120, 4096, journalMode);
    const auto plain = test::ReadBytes(path);
    for (const Tail& tail : {Tail{"a page and a part", 4096 + 100}, Tail{"a part", 100},
                             Tail{"two pages", 2 * 4096}}) {
      SCOPED_TRACE(std::string(journalMode) + " / " + tail.name);
      auto withTail = plain;
      for (std::size_t i = 0; i < tail.bytes; ++i) {
        withTail.push_back(static_cast<std::uint8_t>(marker[i % marker.size()]));
      }
      test::WriteBytes(path, withTail);
      // A failure as the pages are written (into the file, or into the log): the file as it
      // was, tail included.
      {
        TKetDatabase db;
        db.SetDatabaseName(U(path));
        db.Open();
        const IoFile written = std::string(journalMode) == "wal" ? IoFile::kWal : IoFile::kDatabase;
        int writes = 0;
        test::IoHookScope hook([&](const IoEvent& e) {
          return e.file == written && e.op == IoOp::kWrite && ++writes == 60 ? SQLITE_IOERR_WRITE
                                                                             : SQLITE_OK;
        });
        Raised([&] { db.ReKey(test::kInstallerPassword); });
      }
      EXPECT_EQ(test::ReadBytes(path), withTail);
      Rekey(path, "", test::kInstallerPassword);
      const auto file = test::ReadBytes(path);
      EXPECT_EQ(file.size(), plain.size());
      const std::string text(file.begin(), file.end());
      EXPECT_EQ(text.find(marker.substr(0, 10)), std::string::npos);
      EXPECT_TRUE(test::SameExceptCommitFields(
          test::DecipherFile(file, test::kInstallerPassword, 4096), plain));
      EXPECT_EQ(test::Integrity(path, test::kInstallerPassword), "ok");
      test::WriteBytes(path, plain);
    }
  }
}

// An interrupt asked for before the re-key starts ends it at once with 9 and changes nothing,
// also when the pass's own statements would otherwise have cleared it; one that arrives while
// those statements run ends it too. The connection works normally afterwards.
TEST_F(Encrypted, InterruptAskedForBeforeTheReKeyEndsItWithNine) {
  for (const std::string from : {"", "old"}) {
    for (const bool duringFirstRead : {false, true}) {
      SCOPED_TRACE(from + (duringFirstRead ? " / during the first read" : " / before"));
      test::WriteBytes(path_, plain_);
      if (!from.empty()) {
        Rekey(path_, "", from);
      }
      const auto before = test::ReadBytes(path_);
      TKetDatabase db;
      db.SetDatabaseName(U(path_));
      db.SetPassword(from);
      db.Open();
      sqlite3* handle = db.Handle();
      bool asked = false;
      int writes = 0;
      {
        test::IoHookScope hook([&](const IoEvent& e) {
          if (duringFirstRead && !asked && e.file == IoFile::kDatabase && e.op == IoOp::kRead) {
            asked = true;
            sqlite3_interrupt(handle);
          }
          writes += e.op == IoOp::kWrite ? 1 : 0;
          return 0;
        });
        if (!duringFirstRead) {
          sqlite3_interrupt(handle);
        }
        const EKetDatabase e = Raised([&] { db.ReKey("new"); });
        EXPECT_EQ(e.ErrorCode(), SQLITE_INTERRUPT);
        EXPECT_STREQ(e.what(), "SQLite3 Error 9 - interrupted");
      }
      EXPECT_EQ(asked, duringFirstRead);
      EXPECT_EQ(writes, 0);
      EXPECT_EQ(db.Password(), from);
      const void* key = nullptr;
      int length = 0;
      codec_get_key(handle, 0, &key, &length);
      EXPECT_EQ(key != nullptr, !from.empty());
      EXPECT_EQ(test::QueryText(handle, "PRAGMA integrity_check"), "ok");
      db.Close();
      EXPECT_EQ(test::ReadBytes(path_), before);
      EXPECT_FALSE(test::Exists(path_ + "-journal"));
    }
  }
}

// A disk that fills up while the re-key journals the pages: the engine's own "database or disk
// is full" (13) reaches the caller, not an I/O error; the file keeps its old form and no journal
// is left.
TEST_F(Encrypted, FullDiskWhileJournallingIsReportedAsFull) {
  for (const std::string from : {"", "old"}) {
    for (const std::int64_t limit : {0, 20000, 300000}) {
      SCOPED_TRACE(from + " / " + std::to_string(limit));
      test::WriteBytes(path_, plain_);
      if (!from.empty()) {
        Rekey(path_, "", from);
      }
      const auto before = test::ReadBytes(path_);
      TKetDatabase db;
      db.SetVfs(U(test::FullDiskVfs::Name()));
      db.SetDatabaseName(U(path_));
      db.SetPassword(from);
      db.Open();
      {
        const test::JournalLimitScope full(limit);
        const EKetDatabase e = Raised([&] { db.ReKey("new"); });
        EXPECT_EQ(e.ErrorCode(), SQLITE_FULL);
        EXPECT_STREQ(e.what(), "SQLite3 Error 13 - database or disk is full");
      }
      EXPECT_EQ(db.Password(), from);
      EXPECT_EQ(test::QueryText(db.Handle(), "PRAGMA integrity_check"), "ok");
      db.Close();
      EXPECT_EQ(test::ReadBytes(path_), before);
      EXPECT_FALSE(test::Exists(path_ + "-journal"));
      EXPECT_EQ(Digest(from), digest_);
    }
  }
}

TEST_F(Encrypted, ReopeningTheSameObjectAppliesTheNewPassword) {
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.Open();
  db.ReKey("fresh");
  db.Close();
  db.Open();
  EXPECT_EQ(test::ContentDigest(db.Handle()), digest_);
  db.Close();
}

TEST_F(Encrypted, PasswordsLongerThanAHashBlockCount) {
  const std::string longPassword(90, 'p');
  Rekey(path_, "", longPassword);
  EXPECT_EQ(Digest(longPassword), digest_);
  EXPECT_NE(Digest(longPassword.substr(0, 64)), digest_);
}

TEST_F(Encrypted, PasswordPropertyKeysAnOpenConnection) {
  Rekey(path_, "", "k");
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.Open();
  db.SetPassword("k");
  EXPECT_EQ(test::ContentDigest(db.Handle()), digest_);
  db.Close();
}

// ---- the connection object ----

TEST(Connection, DatabaseNameRules) {
  TempDir dir;
  TKetDatabase db;
  db.SetDatabaseName(u" \t ");
  EXPECT_STREQ(Raised([&] { db.Open(); }).what(), "Invalid DatabaseName");
  EXPECT_FALSE(db.Connected());
  db.SetName(u"db1");
  EXPECT_STREQ(Raised([&] { db.Open(); }).what(), "SQLite3 Error 1 - db1: Invalid DatabaseName");
  db.SetName(u"");
  const std::string path = dir.File("n.db");
  test::MakeDatabase(path, 10);
  db.SetDatabaseName(U(path));
  db.Open();
  EXPECT_STREQ(Raised([&] { db.SetDatabaseName(u"other"); }).what(),
               "Cannot perform this operation on an open database");
  EXPECT_EQ(db.DatabaseName(), U(path));
  db.Close();
}

TEST(Connection, OpenDoesNotCreateAMissingFile) {
  TempDir dir;
  TKetDatabase db;
  db.SetDatabaseName(U(dir.File("missing.db")));
  const EKetDatabase e = Raised([&] { db.Open(); });
  EXPECT_EQ(e.ErrorCode(), SQLITE_CANTOPEN);
  EXPECT_STREQ(e.what(), "SQLite3 Error 14 - unable to open database file");
  EXPECT_FALSE(db.Connected());
  EXPECT_FALSE(test::Exists(dir.File("missing.db")));
}

TEST(Connection, EventsComeInOrderAndAFailedConnectSkipsTheRest) {
  TempDir dir;
  const std::string path = dir.File("e.db");
  test::MakeDatabase(path, 10);
  std::vector<std::string> events;
  TKetDatabase db;
  db.BeforeConnect = [&](TKetDatabase& s) { events.push_back(s.Connected() ? "B+" : "B"); };
  db.InitDatabase = [&](TKetDatabase& s) { events.push_back(s.Connected() ? "I+" : "I"); };
  db.AfterConnect = [&](TKetDatabase&) { events.push_back("A"); };
  db.BeforeDisconnect = [&](TKetDatabase& s) { events.push_back(s.Connected() ? "BD+" : "BD"); };
  db.AfterDisconnect = [&](TKetDatabase& s) { events.push_back(s.Connected() ? "AD+" : "AD"); };
  db.SetDatabaseName(U(path));
  db.Open();
  db.Open(); // already open: nothing, events included
  db.Close();
  db.Close();
  EXPECT_EQ(events, (std::vector<std::string>{"B", "I+", "A", "BD+", "AD"}));
  events.clear();
  db.SetDatabaseName(U(dir.File("missing.db")));
  Raised([&] { db.Open(); });
  EXPECT_EQ(events, (std::vector<std::string>{"B"}));
}

TEST(Connection, WhileLoadingConnectedIsOnlyRemembered) {
  TempDir dir;
  const std::string path = dir.File("l.db");
  test::MakeDatabase(path, 10);
  TKetDatabase db;
  db.BeginLoading();
  db.SetConnected(true);
  db.SetDatabaseName(U(path)); // still allowed: nothing is open yet
  EXPECT_FALSE(db.Connected());
  db.Loaded();
  EXPECT_TRUE(db.Connected());
}

TEST(Connection, OpenFlagPropertiesKeepTheirOwnBits) {
  TKetDatabase db;
  db.SetAccess(TKetDbAccess::daReadOnly);
  db.SetCache(TKetDbCache::dcPrivate);
  db.SetMutex(TKetDbMutex::dmFullMutex);
  EXPECT_EQ(db.OpenFlags(), 0x1 | 0x40000 | 0x10000);
  db.SetCache(TKetDbCache::dcShared);
  EXPECT_EQ(db.Access(), TKetDbAccess::daReadOnly);
  EXPECT_EQ(db.Cache(), TKetDbCache::dcShared);
  EXPECT_EQ(db.OpenFlags(), 0x1 | 0x20000 | 0x10000);
}

TEST(Connection, ReadOnlyAccessAndUriNames) {
  TempDir dir;
  const std::string path = dir.File("r.db");
  test::MakeDatabase(path, 10);
  TKetDatabase db;
  db.SetAccess(TKetDbAccess::daReadOnly);
  db.SetDatabaseName(U(path));
  db.Open();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db.Handle(), "INSERT INTO items(name) VALUES('x')", -1, &stmt, nullptr);
  EXPECT_EQ(sqlite3_step(stmt), SQLITE_READONLY);
  sqlite3_finalize(stmt);
  db.Close();
  db.SetAccess(TKetDbAccess::daReadWrite);
  db.SetOptions({TKetDbOption::oUriFileName});
  db.SetDatabaseName(U("file:" + path + "?mode=ro"));
  db.Open();
  EXPECT_EQ(sqlite3_db_readonly(db.Handle(), "main"), 1);
  db.Close();
}

TEST(Connection, UnknownVfsIsTheEnginesError) {
  TempDir dir;
  const std::string path = dir.File("v.db");
  test::MakeDatabase(path, 10);
  TKetDatabase db;
  db.SetVfs(u"no-such-vfs");
  db.SetDatabaseName(U(path));
  const EKetDatabase e = Raised([&] { db.Open(); });
  EXPECT_EQ(e.ErrorCode(), SQLITE_ERROR);
  EXPECT_STREQ(e.what(), "SQLite3 Error 1 - no such vfs: no-such-vfs");
  EXPECT_FALSE(db.Connected());
}

TEST(Connection, StatementsAreDeactivatedBeforeCloseAndUnboundAtDestruction) {
  TempDir dir;
  const std::string path = dir.File("s.db");
  test::MakeDatabase(path, 10);
  auto db = std::make_unique<TKetDatabase>();
  db->SetDatabaseName(U(path));
  db->Open();
  TKetStatement count(*db, "SELECT count(*) FROM items");
  ASSERT_TRUE(count.Step());
  EXPECT_GT(count.ColumnInt(0), 0);
  EXPECT_TRUE(count.Active());
  db->Close(); // would fail with an unfinalized statement
  EXPECT_FALSE(count.Active());
  db.reset();
  EXPECT_EQ(count.Database(), nullptr);
}

TEST(Connection, AFailedCloseLeavesTheObjectClosedAndReportsTheCodeOnly) {
  TempDir dir;
  const std::string path = dir.File("c.db");
  test::MakeDatabase(path, 10);
  TKetDatabase db;
  db.SetDatabaseName(U(path));
  db.Open();
  sqlite3* handle = db.Handle();
  sqlite3_stmt* stray = nullptr; // not bound to the object, so Close cannot finalize it
  sqlite3_prepare_v2(handle, "SELECT 1", -1, &stray, nullptr);
  const EKetDatabase e = Raised([&] { db.Close(); });
  EXPECT_STREQ(e.what(), "SQLite3 Error 5");
  EXPECT_EQ(e.ErrorCode(), SQLITE_BUSY);
  EXPECT_FALSE(db.Connected());
  sqlite3_finalize(stray);
  EXPECT_EQ(sqlite3_close(handle), SQLITE_OK);
}

TEST(Connection, OwnerDestroysItsConnectionsAndClosesThem) {
  TempDir dir;
  const std::string path = dir.File("o.db");
  test::MakeDatabase(path, 10);
  std::vector<std::string> closed;
  {
    TKetComponentOwner owner;
    for (const char* name : {"first", "second"}) {
      TKetDatabase& db = TKetDatabase::Create(owner);
      EXPECT_EQ(db.Owner(), &owner);
      db.SetDatabaseName(U(path));
      db.AfterDisconnect = [&closed, name](TKetDatabase&) { closed.push_back(name); };
      db.Open();
    }
    EXPECT_EQ(owner.ComponentCount(), 2u);
  }
  EXPECT_EQ(closed, (std::vector<std::string>{"second", "first"}));
}

// The password is wiped when the object goes and when it is replaced. A short one lives inside
// the object itself, where what is left of it can be seen.
TEST(Connection, PasswordsLeaveNoTraceInTheObject) {
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced" : "destroyed");
    TempDir dir;
    const std::string path = dir.File("w.db");
    test::MakeDatabase(path, 10);
    const std::string secret = "s3cr3t-k3y";
    alignas(TKetDatabase) unsigned char storage[sizeof(TKetDatabase)];
    auto* db = ::new (storage) TKetDatabase();
    db->SetDatabaseName(U(path));
    db->Open();
    db->ReKey(secret);
    if (replaced) {
      db->ReKey("other-k3y");
      db->ReKey("");
    }
    std::destroy_at(db);
    const volatile unsigned char* left = storage;
    std::string remains(sizeof storage, '\0');
    for (std::size_t i = 0; i < remains.size(); ++i) {
      remains[i] = static_cast<char>(left[i]);
    }
    EXPECT_EQ(remains.find(secret), std::string::npos);
    EXPECT_EQ(remains.find("other-k3y"), std::string::npos);
  }
}

TEST(Exception, ConstructorsAndTheirMessages) {
  const EKetDatabase full(26, u"file is not a database");
  EXPECT_STREQ(full.what(), "SQLite3 Error 26 - file is not a database");
  EXPECT_EQ(full.ErrorCode(), 26);
  EXPECT_EQ(full.ErrorMessage(), u"file is not a database");
  const EKetDatabase code(5);
  EXPECT_STREQ(code.what(), "SQLite3 Error 5");
  EXPECT_TRUE(code.ErrorMessage().empty());
  const EKetDatabase text(u"\x0411\x0430\x0437\x0430");
  EXPECT_STREQ(text.what(), "\xD0\x91\xD0\xB0\xD0\xB7\xD0\xB0");
  EXPECT_EQ(text.ErrorCode(), 0);
  const Error& base = full; // the common base
  EXPECT_NE(std::string(base.what()).find("26"), std::string::npos);
}

// ---- codec entry points ----

TEST_F(Encrypted, KeyMaterialStandsForItsPassword) {
  Rekey(path_, "", "k");
  const KeyMaterial material = DeriveKeyMaterial({reinterpret_cast<const std::uint8_t*>("k"), 1});
  test::Db db = test::OpenDb(path_, {}, SQLITE_OPEN_READWRITE);
  EXPECT_EQ(codec_set_key(db.get(), nullptr, material.data(), kKeyMaterialLength), SQLITE_OK);
  EXPECT_EQ(test::ContentDigest(db.get()), digest_);
  const void* key = nullptr;
  int length = 0;
  codec_get_key(db.get(), 0, &key, &length);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(length, kKeyMaterialLength);
  EXPECT_EQ(std::memcmp(key, material.data(), material.size()), 0);
  // Any other length removes the key.
  EXPECT_EQ(codec_set_key(db.get(), "main", "k", -1), SQLITE_OK);
  codec_get_key(db.get(), 0, &key, &length);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(length, 0);
}

TEST(CodecEntryPoints, UnknownDatabaseNames) {
  test::Db db = test::OpenDb(":memory:");
  EXPECT_EQ(codec_set_key(db.get(), "nope", "k", 1), SQLITE_ERROR);
  EXPECT_STREQ(sqlite3_errmsg(db.get()), "unknown database nope");
  EXPECT_EQ(codec_rekey(db.get(), "other", "k", 1), SQLITE_ERROR);
  EXPECT_STREQ(sqlite3_errmsg(db.get()), "unknown database other");
}

TEST(CodecEntryPoints, InMemoryDatabasesStayPlain) {
  test::Db db = test::OpenDb(":memory:");
  test::Exec(db.get(), "CREATE TABLE t(x); INSERT INTO t VALUES(1)");
  EXPECT_EQ(codec_set_key(db.get(), "main", "k", 1), SQLITE_OK);
  const void* key = nullptr;
  int length = 0;
  codec_get_key(db.get(), 0, &key, &length);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(codec_rekey(db.get(), nullptr, "k", 1), SQLITE_OK);
  EXPECT_EQ(test::QueryInt(db.get(), "SELECT x FROM t"), 1);
}

// ---- what the codec layer must get right ----

// Pages that leave the cache during the pass are read again in the key they were written in
// (page 1 is fetched by every step of the pass and at commit).
TEST_F(Encrypted, PagesSpilledDuringThePassAreReadBackInTheirNewForm) {
  Rekey(path_, "", "old");
  SetRekeyCacheBudget(8 * 4096);
  int spilled = 0;
  {
    TKetDatabase db;
    db.SetDatabaseName(U(path_));
    db.SetPassword("old");
    db.Open();
    test::Exec(db.Handle(), "PRAGMA cache_size = 8");
    bool inPass = true;
    test::IoHookScope hook([&](const IoEvent& e) {
      if (inPass && e.file == IoFile::kDatabase && e.op == IoOp::kWrite) {
        ++spilled;
      }
      if (e.file == IoFile::kJournal && e.op == IoOp::kDelete) {
        inPass = false;
      }
      return 0;
    });
    db.ReKey("new");
    db.Close();
  }
  SetRekeyCacheBudget(64 * 1024 * 1024);
  EXPECT_GE(spilled, 200);
  EXPECT_TRUE(test::SameExceptCommitFields(test::DecipherFile(test::ReadBytes(path_), "new", 4096),
                                           plain_));
  EXPECT_EQ(test::Integrity(path_, "new"), "ok");
}

// An I/O error during the commit makes the engine roll back within the connection: the pages it
// puts back from the journal must be in the old form, byte for byte.
TEST_F(Encrypted, ARollbackPutsBackTheOldForm) {
  struct Case {
    std::string from;
    const char* journalMode;
    int failAtWrite;
  };
  for (const Case& c :
       {Case{"", "delete", 150}, Case{"old", "delete", 150}, Case{"old", "persist", 40},
        Case{"", "memory", 100}, Case{"old", "truncate", 199}}) {
    SCOPED_TRACE(c.from + "/" + c.journalMode + "/" + std::to_string(c.failAtWrite));
    test::WriteBytes(path_, plain_);
    if (!c.from.empty()) {
      Rekey(path_, "", c.from);
    }
    const auto before = test::ReadBytes(path_);
    SetRekeyCacheBudget(16 * 4096);
    TKetDatabase db;
    db.SetDatabaseName(U(path_));
    db.SetPassword(c.from);
    db.Open();
    test::Exec(db.Handle(), std::string("PRAGMA journal_mode = ") + c.journalMode);
    test::Exec(db.Handle(), "PRAGMA cache_size = 16");
    int writes = 0;
    {
      test::IoHookScope hook([&](const IoEvent& e) {
        if (e.file == IoFile::kDatabase && e.op == IoOp::kWrite && ++writes == c.failAtWrite) {
          return SQLITE_IOERR_WRITE;
        }
        return 0;
      });
      const EKetDatabase e = Raised([&] { db.ReKey("new"); });
      EXPECT_EQ(e.ErrorCode() & 0xff, SQLITE_IOERR);
    }
    SetRekeyCacheBudget(64 * 1024 * 1024);
    EXPECT_EQ(db.Password(), c.from);
    EXPECT_EQ(test::QueryText(db.Handle(), "PRAGMA integrity_check"), "ok");
    db.Close();
    EXPECT_EQ(test::ReadBytes(path_), before);
    EXPECT_EQ(Digest(c.from), digest_);
  }
}

TEST_F(Encrypted, StatementRollbackOnAKeyedDatabase) {
  Rekey(path_, "", "k");
  test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
  test::Exec(db.get(), "PRAGMA cache_size = 5; CREATE UNIQUE INDEX items_n ON items(id, n)");
  test::Exec(db.get(), "CREATE TABLE u(k INTEGER UNIQUE, pad BLOB); BEGIN");
  test::Exec(db.get(), "INSERT INTO u SELECT id, randomblob(900) FROM items");
  // Fails on its last row; the statement's earlier changes (many pages, spilled) are undone.
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db.get(),
                     "INSERT INTO u SELECT -id, randomblob(900) FROM items UNION ALL "
                     "SELECT 1, NULL",
                     -1, &stmt, nullptr);
  EXPECT_EQ(sqlite3_step(stmt), SQLITE_CONSTRAINT);
  sqlite3_finalize(stmt);
  test::Exec(db.get(), "COMMIT");
  EXPECT_EQ(test::QueryInt(db.get(), "SELECT count(*) FROM u WHERE k < 0"), 0);
  EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
  db.reset();
  test::Db again = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
  EXPECT_EQ(test::QueryInt(again.get(), "SELECT count(*) FROM u"),
            test::QueryInt(again.get(), "SELECT count(*) FROM items"));
  EXPECT_EQ(test::ContentDigest(again.get()), digest_);
}

TEST_F(Encrypted, NoTemporaryFileIsEverOpened) {
  Rekey(path_, "", "k");
  int temporary = 0;
  test::IoHookScope hook([&](const IoEvent& e) {
    if (e.op == IoOp::kOpen && e.file == IoFile::kOther) {
      ++temporary;
    }
    return 0;
  });
  test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
  test::Exec(db.get(), "PRAGMA cache_size = 5; PRAGMA mmap_size = 100000000");
  EXPECT_GT(
      test::QueryInt(db.get(), "SELECT count(*) FROM (SELECT body FROM items ORDER BY n, body)"),
      0);
  test::Exec(db.get(), "CREATE TEMP TABLE t AS SELECT * FROM items; "
                       "UPDATE items SET n = n + 1; VACUUM");
  EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(temporary, 0);
}

TEST_F(Encrypted, WriteAheadLogModeIsEncipheredToo) {
  Rekey(path_, "", "k");
  {
    test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
    EXPECT_EQ(test::QueryText(db.get(), "PRAGMA journal_mode = wal"), "wal");
    test::Exec(db.get(), "PRAGMA wal_autocheckpoint = 0; "
                         "INSERT INTO items(name, body) VALUES('marker', "
                         "'PLAINTEXT-MARKER-PLAINTEXT-MARKER')");
    const auto wal = test::ReadBytes(path_ + "-wal");
    EXPECT_GT(wal.size(), 4096u);
    const std::string text(wal.begin(), wal.end());
    EXPECT_EQ(text.find("PLAINTEXT-MARKER"), std::string::npos);
    // A second connection reads the frames through the log.
    test::Db reader = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
    EXPECT_EQ(test::QueryInt(reader.get(), "SELECT count(*) FROM items WHERE name = 'marker'"), 1);
  }
  EXPECT_EQ(test::Integrity(path_, "k"), "ok");
  // Re-key in write-ahead-log mode; afterwards only the new key opens it.
  Rekey(path_, "k", "k2");
  test::Db db = test::OpenDb(path_, "k2", SQLITE_OPEN_READWRITE);
  EXPECT_EQ(test::QueryText(db.get(), "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(test::QueryInt(db.get(), "SELECT count(*) FROM items WHERE name = 'marker'"), 1);
  EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
}

// Power-safe overwrite off: the engine pads the log to a sector and may split a page around its
// sync point.
TEST_F(Encrypted, LogPagesSplitAroundASyncPoint) {
  Rekey(path_, "", "k");
  test::Db db =
      test::OpenDb("file:" + path_ + "?psow=0", "k", SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI);
  test::Exec(db.get(), "PRAGMA journal_mode = wal; PRAGMA wal_autocheckpoint = 0");
  for (int i = 0; i < 20; ++i) {
    test::Exec(db.get(), "INSERT INTO items(name, body) VALUES('s', randomblob(700))");
  }
  db.reset();
  EXPECT_EQ(test::Integrity(path_, "k"), "ok");
}

// The main database file opened through the codec layer's own entry points, as the engine's
// pager opens it, so a test can make exactly the reads the engine makes.
class LayerFile {
 public:
  explicit LayerFile(const std::string& path) {
    codec_install();
    vfs_ = sqlite3_vfs_find(nullptr);
    name_ = sqlite3_create_filename(path.c_str(), "", "", 0, nullptr);
    // The engine's allocation for a file object is only 8-byte aligned; max_align_t is no less.
    block_.resize(static_cast<std::size_t>(vfs_->szOsFile) / sizeof(std::max_align_t) + 1);
    file_ = reinterpret_cast<sqlite3_file*>(block_.data());
    int outFlags = 0;
    openResult_ =
        vfs_->xOpen(vfs_, name_, file_, SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_READONLY, &outFlags);
  }
  ~LayerFile() {
    if (file_->pMethods != nullptr) {
      file_->pMethods->xClose(file_);
    }
    sqlite3_free_filename(name_);
  }
  LayerFile(const LayerFile&) = delete;
  LayerFile& operator=(const LayerFile&) = delete;

  int OpenResult() const { return openResult_; }
  // What codec_set_key gives a connection's file.
  CodecFile& Codec() { return *reinterpret_cast<CodecFile*>(file_); }
  std::vector<std::uint8_t> Read(std::int64_t offset, int amount) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(amount), 0xee);
    EXPECT_EQ(file_->pMethods->xRead(file_, out.data(), amount, offset), SQLITE_OK)
        << amount << "@" << offset;
    return out;
  }

 private:
  sqlite3_vfs* vfs_ = nullptr;
  sqlite3_filename name_ = nullptr;
  std::vector<std::max_align_t> block_;
  sqlite3_file* file_ = nullptr;
  int openResult_ = SQLITE_ERROR;
};

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& bytes, std::size_t from,
                                std::size_t count) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
          bytes.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

// Before it knows the page size the engine reads the 100-byte header on its own, and the 16
// bytes at offset 24 (change counter and the fields after it) to see whether its cache is stale.
// Both are parts of page 1, which is enciphered as a whole: the layer must hand back the plain
// bytes, in either order, and learn the page size from them.
TEST(StoredForm, HeaderReadsBeforeThePageSizeIsKnownGiveThePlainBytes) {
  enum class Form { kKeyed, kPlain, kPlainWithEmptyRecord };
  for (const int pageSize : {512, 1024, 4096, 65536}) {
    for (const Form form : {Form::kKeyed, Form::kPlain, Form::kPlainWithEmptyRecord}) {
      SCOPED_TRACE(std::to_string(pageSize) + "/" + std::to_string(static_cast<int>(form)));
      TempDir dir;
      const std::string path = dir.File("h.db");
      test::MakeDatabase(path, 40, pageSize);
      const auto original = test::ReadBytes(path);
      if (form == Form::kKeyed) {
        Rekey(path, "", "k");
      }
      const auto file = test::ReadBytes(path);
      ASSERT_EQ(file.size(), original.size());
      ASSERT_EQ(StartsWithMagic(file), form != Form::kKeyed);
      // Page 1 as the stored form says it reads: deciphered whole, or the file's own bytes.
      const auto plain = form == Form::kKeyed ? test::DecipherFile(file, "k", pageSize) : file;
      ASSERT_TRUE(test::SameExceptCommitFields(plain, original));
      for (const bool headerFirst : {true, false}) {
        LayerFile layer(path);
        ASSERT_EQ(layer.OpenResult(), SQLITE_OK);
        if (form == Form::kKeyed) {
          AttachCodec(
              layer.Codec(),
              PageCodec::Keyed(DeriveKeyMaterial({reinterpret_cast<const std::uint8_t*>("k"), 1}),
                               4096)); // the size codec_set_key assumes
        } else if (form == Form::kPlainWithEmptyRecord) {
          AttachCodec(layer.Codec(), PageCodec::Empty(4096));
        }
        ASSERT_EQ(PageSizeOf(layer.Codec()), 0);
        std::vector<std::uint8_t> header;
        std::vector<std::uint8_t> versions;
        if (headerFirst) {
          header = layer.Read(0, 100);
          versions = layer.Read(24, 16);
        } else {
          versions = layer.Read(24, 16);
          header = layer.Read(0, 100);
        }
        EXPECT_EQ(header, Slice(plain, 0, 100));
        EXPECT_EQ(versions, Slice(plain, 24, 16));
        // Against the database before the re-key: only the fields a commit updates may differ.
        EXPECT_EQ(Slice(header, 0, 24), Slice(original, 0, 24));
        EXPECT_EQ(Slice(header, 28, 64), Slice(original, 28, 64));
        EXPECT_EQ(Slice(versions, 4, 12), Slice(original, 28, 12));
        EXPECT_EQ(PageSizeOf(layer.Codec()), pageSize);
      }
    }
  }
}

TEST(CityDatabaseRekeyer, OwnsOneConnectionPerCall) {
  TempDir dir;
  const std::string path = dir.File("Ketro.cts");
  test::MakeDatabase(path, 30);
  const auto plain = test::ReadBytes(path);
  CityDatabaseRekeyer rekeyer;
  rekeyer.RekeyDatabase(U(path), test::kInstallerPassword);
  EXPECT_TRUE(test::SameExceptCommitFields(
      test::DecipherFile(test::ReadBytes(path), test::kInstallerPassword, 4096), plain));
  const EKetDatabase e =
      Raised([&] { rekeyer.RekeyDatabase(U(dir.File("gone.cts")), test::kInstallerPassword); });
  EXPECT_EQ(e.ErrorCode(), SQLITE_CANTOPEN);
}

// The installer re-keys its database under a temporary name and decides by the result code
// what to do: 26 (not a database) puts the file in place as extracted, anything else keeps the
// old database. The rekeyer re-keys whatever path it is given and passes the engine's code on.
TEST(CityDatabaseRekeyer, ReKeysAnyPathAndPassesTheEnginesCodeOn) {
  TempDir dir;
  std::filesystem::create_directory(dir.Path() / "sub");
  // A temporary name in a folder, spelled as the product spells paths.
  const std::string path = (dir.Path() / "sub" / "Ketro.cts.~new").string();
  const std::u16string productPath = U(dir.Path().string()) + u"\\sub\\Ketro.cts.~new";
  test::MakeDatabase(path, 40);
  const auto plain = test::ReadBytes(path);
  struct Case {
    const char* what;
    int code;
    const char* message;
    IoFile file;
    IoOp op;
    int injected;
  };
  for (const Case& c :
       {Case{"disk full", SQLITE_FULL, "SQLite3 Error 13 - database or disk is full",
             IoFile::kJournal, IoOp::kWrite, SQLITE_FULL},
        Case{"out of memory", SQLITE_NOMEM, "SQLite3 Error 7 - out of memory", IoFile::kDatabase,
             IoOp::kRead, SQLITE_NOMEM},
        Case{"I/O error", SQLITE_IOERR, "SQLite3 Error 10 - disk I/O error", IoFile::kJournal,
             IoOp::kWrite, SQLITE_IOERR_WRITE}}) {
    SCOPED_TRACE(c.what);
    CityDatabaseRekeyer rekeyer;
    int seen = 0;
    const test::IoHookScope hook([&](const IoEvent& e) {
      return e.file == c.file && e.op == c.op && ++seen == 3 ? c.injected : SQLITE_OK;
    });
    const EKetDatabase e =
        Raised([&] { rekeyer.RekeyDatabase(productPath, test::kInstallerPassword); });
    EXPECT_EQ(e.ErrorCode(), c.code);
    EXPECT_STREQ(e.what(), c.message);
  }
  EXPECT_EQ(test::ReadBytes(path), plain);
  {
    CityDatabaseRekeyer rekeyer;
    rekeyer.RekeyDatabase(productPath, test::kInstallerPassword);
  }
  EXPECT_TRUE(test::SameExceptCommitFields(
      test::DecipherFile(test::ReadBytes(path), test::kInstallerPassword, 4096), plain));
  // Encrypted already: the rekeyer's connection has no key, so the file is not a database.
  const auto encrypted = test::ReadBytes(path);
  CityDatabaseRekeyer again;
  const EKetDatabase e =
      Raised([&] { again.RekeyDatabase(productPath, test::kInstallerPassword); });
  EXPECT_EQ(e.ErrorCode(), SQLITE_NOTADB);
  EXPECT_STREQ(e.what(), "SQLite3 Error 26 - file is not a database");
  EXPECT_EQ(test::ReadBytes(path), encrypted);
  EXPECT_FALSE(test::Exists(path + "-journal"));
}

} // namespace
} // namespace ket
