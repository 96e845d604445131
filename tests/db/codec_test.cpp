// The codec entry points (codec_set_key, codec_get_key, codec_rekey) on the engine's own
// connections: the stored form, the re-key's cases and their faults. The connection object is
// tested apart (connection_test.cpp), as is what the codec layer must get right inside the
// engine (codec_layer_test.cpp).
#include "db/codec.h"
#include "db/page_codec.h"
#include "tests/db/test_support.h"

#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace ket {
namespace {

using test::Encrypted;
using test::TempDir;

// ---- stored form ----

TEST_F(Encrypted, RekeyWritesEveryPageInTheStoredForm) {
  test::RekeyFile(path_, "", test::kInstallerPassword);
  const auto file = test::ReadBytes(path_);
  EXPECT_EQ(file.size(), plain_.size());
  EXPECT_FALSE(test::StartsWithMagic(file));
  EXPECT_TRUE(test::SameExceptCommitFields(test::DecipherFile(file, test::kInstallerPassword, 4096),
                                           plain_));
  EXPECT_FALSE(test::Exists(path_ + "-journal"));
  EXPECT_EQ(test::Integrity(path_, test::kInstallerPassword), "ok");
  EXPECT_EQ(Digest(test::kInstallerPassword), digest_);
}

// ---- the re-key's cases ----

// The plain file first (empty to empty), then the same file keyed (a key to itself).
TEST_F(Encrypted, ReKeyToTheSamePasswordIsANoOp) {
  for (const std::string_view key : {"", "k1"}) {
    if (!key.empty()) {
      test::RekeyFile(path_, "", key);
    }
    const auto before = test::ReadBytes(path_);
    {
      test::Db db = test::OpenDb(path_, key, SQLITE_OPEN_READWRITE);
      EXPECT_EQ(test::CountWrites([&] { EXPECT_EQ(test::ReKey(db.get(), key), SQLITE_OK); }), 0);
      EXPECT_TRUE(test::KeyedWith(db.get(), key));
    }
    EXPECT_EQ(test::ReadBytes(path_), before) << key;
  }
}

TEST_F(Encrypted, NewKeyReplacesTheOldOne) {
  test::RekeyFile(path_, "", "old");
  test::RekeyFile(path_, "old", "new");
  EXPECT_TRUE(test::SameExceptCommitFields(test::DecipherFile(test::ReadBytes(path_), "new", 4096),
                                           plain_));
  EXPECT_EQ(Digest("new"), digest_);
  EXPECT_NE(Digest("old"), digest_);
}

TEST_F(Encrypted, EmptyPasswordMakesTheFilePlainAgain) {
  test::RekeyFile(path_, "", "k");
  {
    test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
    EXPECT_EQ(test::ReKey(db.get(), ""), SQLITE_OK);
    const void* key = nullptr;
    int length = 1;
    codec_get_key(db.get(), 0, &key, &length);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(length, 0);
  }
  EXPECT_TRUE(test::SameExceptCommitFields(test::ReadBytes(path_), plain_));
  EXPECT_EQ(Digest(""), digest_);
}

// Opening succeeds; reading and re-keying fail, and nothing changes.
TEST_F(Encrypted, WrongOrMissingKeyFailsWithNotADatabaseAndChangesNothing) {
  test::RekeyFile(path_, "", "k");
  const auto before = test::ReadBytes(path_);
  for (const std::string_view key : {std::string_view(), std::string_view("wrong")}) {
    {
      test::Db db = test::OpenDb(path_, key, SQLITE_OPEN_READWRITE);
      sqlite3_stmt* stmt = nullptr;
      EXPECT_EQ(sqlite3_prepare_v2(db.get(), "SELECT count(*) FROM items", -1, &stmt, nullptr),
                SQLITE_NOTADB);
      sqlite3_finalize(stmt);
      EXPECT_STREQ(sqlite3_errmsg(db.get()), "file is not a database");
      EXPECT_EQ(test::ReKey(db.get(), "other"), SQLITE_NOTADB);
      EXPECT_STREQ(sqlite3_errmsg(db.get()), "file is not a database");
      // Without a key no record remains; with one the database goes on in it.
      EXPECT_TRUE(test::KeyedWith(db.get(), key));
    }
    EXPECT_EQ(test::ReadBytes(path_), before);
  }
  EXPECT_EQ(Digest("k"), digest_);
}

TEST_F(Encrypted, InsideAnExplicitTransactionTheReKeyIsBusy) {
  {
    test::Db db = test::OpenDb(path_, {}, SQLITE_OPEN_READWRITE);
    test::Exec(db.get(), "BEGIN; INSERT INTO items(name) VALUES('x');");
    EXPECT_EQ(test::ReKey(db.get(), "k"), SQLITE_BUSY);
    EXPECT_STREQ(sqlite3_errmsg(db.get()), "database is locked");
    EXPECT_TRUE(test::KeyedWith(db.get(), ""));
    test::Exec(db.get(), "ROLLBACK");
  }
  EXPECT_EQ(test::ReadBytes(path_), plain_);
}

TEST_F(Encrypted, InterruptStopsThePassAndRollsBack) {
  test::RekeyFile(path_, "", "k");
  const auto before = test::ReadBytes(path_);
  {
    test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
    // A handler that interrupts the connection and lets it go on: the pass sees the flag.
    sqlite3_progress_handler(
        db.get(), 50,
        [](void* arg) {
          sqlite3_interrupt(static_cast<sqlite3*>(arg));
          return 0;
        },
        db.get());
    EXPECT_EQ(test::ReKey(db.get(), "new"), SQLITE_INTERRUPT);
    EXPECT_STREQ(sqlite3_errmsg(db.get()), "interrupted");
    EXPECT_TRUE(test::KeyedWith(db.get(), "k"));
    sqlite3_progress_handler(db.get(), 0, nullptr, nullptr);
    EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
  }
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
    const auto before = Restore(c.from);
    SetRekeyCacheBudget(c.budgetPages * 4096);
    test::Db db = test::OpenDb(path_, c.from, SQLITE_OPEN_READWRITE);
    if (c.budgetPages < 200) {
      test::Exec(db.get(), "PRAGMA cache_size = " + std::to_string(c.budgetPages));
    }
    int seen = 0;
    {
      test::IoHookScope hook([&](const IoEvent& e) {
        if (e.file == c.file && e.op == c.op && ++seen == c.failAt) {
          return SQLITE_NOMEM;
        }
        return 0;
      });
      EXPECT_EQ(test::ReKey(db.get(), "new"), SQLITE_NOMEM);
      EXPECT_STREQ(sqlite3_errmsg(db.get()), "out of memory");
    }
    SetRekeyCacheBudget(64 * 1024 * 1024);
    EXPECT_GE(seen, c.failAt); // the fault did happen inside the pass
    EXPECT_TRUE(test::KeyedWith(db.get(), c.from));
    EXPECT_FALSE(test::Exists(path_ + "-journal"));
    EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
    db.reset();
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
  {
    test::Db db = test::OpenDb(path_, {}, SQLITE_OPEN_READWRITE);
    ProgressCount count{0, 3};
    sqlite3_progress_handler(
        db.get(), 10,
        [](void* arg) {
          auto* c = static_cast<ProgressCount*>(arg);
          return ++c->calls == c->stopAt ? 1 : 0;
        },
        &count);
    EXPECT_EQ(test::ReKey(db.get(), "new"), SQLITE_ABORT);
    EXPECT_STREQ(sqlite3_errmsg(db.get()), "query aborted");
    // Called before the 11th page and then every 10 pages: the third call comes before page 31.
    EXPECT_EQ(count.calls, 3);
    const void* key = nullptr;
    int length = 0;
    codec_get_key(db.get(), 0, &key, &length);
    EXPECT_EQ(key, nullptr); // a database that had no key is left without a record
    // The connection's own handler is back.
    count.stopAt = 0;
    const int before = count.calls;
    test::QueryText(db.get(), "SELECT count(*) FROM items a, items b WHERE a.id < 30");
    EXPECT_GT(count.calls, before);
  }
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
        test::Db db = test::OpenDb(path, {}, SQLITE_OPEN_READWRITE);
        const IoFile written = std::string(journalMode) == "wal" ? IoFile::kWal : IoFile::kDatabase;
        int writes = 0;
        test::IoHookScope hook([&](const IoEvent& e) {
          return e.file == written && e.op == IoOp::kWrite && ++writes == 60 ? SQLITE_IOERR_WRITE
                                                                             : SQLITE_OK;
        });
        EXPECT_NE(test::ReKey(db.get(), test::kInstallerPassword), SQLITE_OK);
      }
      EXPECT_EQ(test::ReadBytes(path), withTail);
      test::RekeyFile(path, "", test::kInstallerPassword);
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
      const auto before = Restore(from);
      test::Db db = test::OpenDb(path_, from, SQLITE_OPEN_READWRITE);
      sqlite3* handle = db.get();
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
        EXPECT_EQ(test::ReKey(handle, "new"), SQLITE_INTERRUPT);
        EXPECT_STREQ(sqlite3_errmsg(handle), "interrupted");
      }
      EXPECT_EQ(asked, duringFirstRead);
      EXPECT_EQ(writes, 0);
      EXPECT_TRUE(test::KeyedWith(handle, from));
      EXPECT_EQ(test::QueryText(handle, "PRAGMA integrity_check"), "ok");
      db.reset();
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
      const auto before = Restore(from);
      test::Db db = test::OpenDbOver(test::FullDiskVfs::Name(), path_, from);
      {
        const test::JournalLimitScope full(limit);
        EXPECT_EQ(test::ReKey(db.get(), "new"), SQLITE_FULL);
        EXPECT_STREQ(sqlite3_errmsg(db.get()), "database or disk is full");
      }
      EXPECT_TRUE(test::KeyedWith(db.get(), from));
      EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
      db.reset();
      EXPECT_EQ(test::ReadBytes(path_), before);
      EXPECT_FALSE(test::Exists(path_ + "-journal"));
      EXPECT_EQ(Digest(from), digest_);
    }
  }
}

TEST_F(Encrypted, PasswordsLongerThanAHashBlockCount) {
  const std::string longPassword(90, 'p');
  test::RekeyFile(path_, "", longPassword);
  EXPECT_EQ(Digest(longPassword), digest_);
  EXPECT_NE(Digest(longPassword.substr(0, 64)), digest_);
}

// ---- codec entry points ----

TEST_F(Encrypted, KeyMaterialStandsForItsPassword) {
  test::RekeyFile(path_, "", "k");
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

} // namespace
} // namespace ket
