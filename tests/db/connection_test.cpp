// The connection object (TKetDatabase, EKetDatabase, TKetStatement, TKetComponentOwner) and
// the installer's CityDatabaseRekeyer on top of it: names, events, flags, statements, closing,
// the password's life, and how a re-key through the object reports the engine's result.
#include "base/text.h"
#include "db/city_database_rekeyer.h"
#include "db/codec.h"
#include "db/ket_database.h"
#include "tests/db/test_support.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace ket {
namespace {

using test::Encrypted;
using test::TempDir;

std::u16string U(const std::string& s) {
  return Utf8ToUtf16(s);
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

// A plain database of 10 pages in a folder of its own.
class Connection : public ::testing::Test {
 protected:
  Connection() { test::MakeDatabase(path_, 10); }

  TempDir dir_;
  const std::string path_ = dir_.File("c.db");
};

// ---- re-keys through the object ----

TEST_F(Connection, ReKeyOnAClosedObjectMakesNoEngineCall) {
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

// The connection object's ReKey is codec_rekey with the object's password around it: a failure
// raises the engine's code and message and leaves the password as it was; a success replaces it.
TEST_F(Encrypted, ReKeyRaisesTheEnginesCodeAndKeepsThePasswordOnFailure) {
  test::RekeyFile(path_, "", "k");
  const auto before = test::ReadBytes(path_);
  {
    TKetDatabase db;
    db.SetDatabaseName(U(path_));
    db.SetPassword("wrong");
    db.Open();
    const EKetDatabase e = Raised([&] { db.ReKey("other"); });
    EXPECT_EQ(e.ErrorCode(), SQLITE_NOTADB);
    EXPECT_STREQ(e.what(), "SQLite3 Error 26 - file is not a database");
    EXPECT_EQ(db.Password(), "wrong");
  }
  EXPECT_EQ(test::ReadBytes(path_), before);
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.SetPassword("k");
  db.Open();
  test::Exec(db.Handle(), "BEGIN; INSERT INTO items(name) VALUES('x');");
  const EKetDatabase busy = Raised([&] { db.ReKey("new"); });
  EXPECT_EQ(busy.ErrorCode(), SQLITE_BUSY);
  EXPECT_STREQ(busy.what(), "SQLite3 Error 5 - database is locked");
  EXPECT_EQ(db.Password(), "k");
  test::Exec(db.Handle(), "ROLLBACK");
  sqlite3_interrupt(db.Handle());
  const EKetDatabase interrupted = Raised([&] { db.ReKey("new"); });
  EXPECT_EQ(interrupted.ErrorCode(), SQLITE_INTERRUPT);
  EXPECT_STREQ(interrupted.what(), "SQLite3 Error 9 - interrupted");
  EXPECT_EQ(db.Password(), "k");
  // The next statement clears the interrupt, as the engine's interrupt is meant.
  EXPECT_EQ(test::QueryText(db.Handle(), "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(test::ReadBytes(path_), before);
  db.ReKey("new");
  EXPECT_EQ(db.Password(), "new");
  EXPECT_TRUE(test::KeyedWith(db.Handle(), "new"));
  db.Close();
  EXPECT_EQ(Digest("new"), digest_);
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

TEST_F(Encrypted, PasswordPropertyKeysAnOpenConnection) {
  test::RekeyFile(path_, "", "k");
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
  db.Open();
  db.SetPassword("k");
  EXPECT_EQ(test::ContentDigest(db.Handle()), digest_);
  db.Close();
}

// ---- the connection object ----

TEST_F(Connection, DatabaseNameRules) {
  TKetDatabase db;
  db.SetDatabaseName(u" \t ");
  EXPECT_STREQ(Raised([&] { db.Open(); }).what(), "Invalid DatabaseName");
  EXPECT_FALSE(db.Connected());
  db.SetName(u"db1");
  EXPECT_STREQ(Raised([&] { db.Open(); }).what(), "SQLite3 Error 1 - db1: Invalid DatabaseName");
  db.SetName(u"");
  db.SetDatabaseName(U(path_));
  db.Open();
  EXPECT_STREQ(Raised([&] { db.SetDatabaseName(u"other"); }).what(),
               "Cannot perform this operation on an open database");
  EXPECT_EQ(db.DatabaseName(), U(path_));
  db.Close();
}

TEST_F(Connection, OpenDoesNotCreateAMissingFile) {
  TKetDatabase db;
  db.SetDatabaseName(U(dir_.File("missing.db")));
  const EKetDatabase e = Raised([&] { db.Open(); });
  EXPECT_EQ(e.ErrorCode(), SQLITE_CANTOPEN);
  EXPECT_STREQ(e.what(), "SQLite3 Error 14 - unable to open database file");
  EXPECT_FALSE(db.Connected());
  EXPECT_FALSE(test::Exists(dir_.File("missing.db")));
}

TEST_F(Connection, EventsComeInOrderAndAFailedConnectSkipsTheRest) {
  std::vector<std::string> events;
  TKetDatabase db;
  db.BeforeConnect = [&](TKetDatabase& s) { events.push_back(s.Connected() ? "B+" : "B"); };
  db.InitDatabase = [&](TKetDatabase& s) { events.push_back(s.Connected() ? "I+" : "I"); };
  db.AfterConnect = [&](TKetDatabase&) { events.push_back("A"); };
  db.BeforeDisconnect = [&](TKetDatabase& s) { events.push_back(s.Connected() ? "BD+" : "BD"); };
  db.AfterDisconnect = [&](TKetDatabase& s) { events.push_back(s.Connected() ? "AD+" : "AD"); };
  db.SetDatabaseName(U(path_));
  db.Open();
  db.Open(); // already open: nothing, events included
  db.Close();
  db.Close();
  EXPECT_EQ(events, (std::vector<std::string>{"B", "I+", "A", "BD+", "AD"}));
  events.clear();
  db.SetDatabaseName(U(dir_.File("missing.db")));
  Raised([&] { db.Open(); });
  EXPECT_EQ(events, (std::vector<std::string>{"B"}));
}

TEST_F(Connection, WhileLoadingConnectedIsOnlyRemembered) {
  TKetDatabase db;
  db.BeginLoading();
  db.SetConnected(true);
  db.SetDatabaseName(U(path_)); // still allowed: nothing is open yet
  EXPECT_FALSE(db.Connected());
  db.Loaded();
  EXPECT_TRUE(db.Connected());
}

TEST_F(Connection, OpenFlagPropertiesKeepTheirOwnBits) {
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

TEST_F(Connection, ReadOnlyAccessAndUriNames) {
  TKetDatabase db;
  db.SetAccess(TKetDbAccess::daReadOnly);
  db.SetDatabaseName(U(path_));
  db.Open();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db.Handle(), "INSERT INTO items(name) VALUES('x')", -1, &stmt, nullptr);
  EXPECT_EQ(sqlite3_step(stmt), SQLITE_READONLY);
  sqlite3_finalize(stmt);
  db.Close();
  db.SetAccess(TKetDbAccess::daReadWrite);
  db.SetOptions({TKetDbOption::oUriFileName});
  db.SetDatabaseName(U("file:" + path_ + "?mode=ro"));
  db.Open();
  EXPECT_EQ(sqlite3_db_readonly(db.Handle(), "main"), 1);
  db.Close();
}

TEST_F(Connection, UnknownVfsIsTheEnginesError) {
  TKetDatabase db;
  db.SetVfs(u"no-such-vfs");
  db.SetDatabaseName(U(path_));
  const EKetDatabase e = Raised([&] { db.Open(); });
  EXPECT_EQ(e.ErrorCode(), SQLITE_ERROR);
  EXPECT_STREQ(e.what(), "SQLite3 Error 1 - no such vfs: no-such-vfs");
  EXPECT_FALSE(db.Connected());
}

TEST_F(Connection, StatementsAreDeactivatedBeforeCloseAndUnboundAtDestruction) {
  auto db = std::make_unique<TKetDatabase>();
  db->SetDatabaseName(U(path_));
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

TEST_F(Connection, AFailedCloseLeavesTheObjectClosedAndReportsTheCodeOnly) {
  TKetDatabase db;
  db.SetDatabaseName(U(path_));
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

TEST_F(Connection, OwnerDestroysItsConnectionsAndClosesThem) {
  std::vector<std::string> closed;
  {
    TKetComponentOwner owner;
    for (const char* name : {"first", "second"}) {
      TKetDatabase& db = TKetDatabase::Create(owner);
      EXPECT_EQ(db.Owner(), &owner);
      db.SetDatabaseName(U(path_));
      db.AfterDisconnect = [&closed, name](TKetDatabase&) { closed.push_back(name); };
      db.Open();
    }
    EXPECT_EQ(owner.ComponentCount(), 2u);
  }
  EXPECT_EQ(closed, (std::vector<std::string>{"second", "first"}));
}

// The password is wiped when the object goes and when it is replaced. A short one lives inside
// the object itself, where what is left of it can be seen.
TEST_F(Connection, PasswordsLeaveNoTraceInTheObject) {
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced" : "destroyed");
    const std::string path = dir_.File(replaced ? "replaced.db" : "destroyed.db");
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

// The messages as given, shown in UTF-8 through the common base; the codes and what() of the
// engine's errors are the cases above.
TEST(Exception, KeepsItsMessageAndShowsItInUtf8) {
  EXPECT_EQ(EKetDatabase(26, u"file is not a database").ErrorMessage(), u"file is not a database");
  EXPECT_TRUE(EKetDatabase(5).ErrorMessage().empty());
  const EKetDatabase text(u"\x0411\x0430\x0437\x0430");
  const Error& base = text;
  EXPECT_STREQ(base.what(), "\xD0\x91\xD0\xB0\xD0\xB7\xD0\xB0");
  EXPECT_EQ(text.ErrorCode(), 0);
}

// ---- the installer's rekeyer ----

// The rekeyer's file is a fresh temporary nobody else uses: no rollback journal, and the
// database file flushed once, by the commit.
TEST(CityDatabaseRekeyer, OwnsOneConnectionPerCallAndRekeysWithoutAJournal) {
  TempDir dir;
  const std::string path = dir.File("Ketro.cts");
  test::MakeDatabase(path, 30);
  const auto plain = test::ReadBytes(path);
  CityDatabaseRekeyer rekeyer;
  int journalOpens = 0;
  int databaseSyncs = 0;
  {
    const test::IoHookScope hook([&](const IoEvent& e) {
      journalOpens += e.file == IoFile::kJournal && e.op == IoOp::kOpen;
      databaseSyncs += e.file == IoFile::kDatabase && e.op == IoOp::kSync;
      return SQLITE_OK;
    });
    EXPECT_EQ(rekeyer.RekeyDatabase(U(path), test::kInstallerPassword), RekeyResult::kDone);
  }
  EXPECT_EQ(journalOpens, 0);
  EXPECT_EQ(databaseSyncs, 1);
  EXPECT_TRUE(test::SameExceptCommitFields(
      test::DecipherFile(test::ReadBytes(path), test::kInstallerPassword, 4096), plain));
  EXPECT_EQ(rekeyer.RekeyDatabase(U(dir.File("gone.cts")), test::kInstallerPassword),
            RekeyResult::kFailed);
  EXPECT_EQ(rekeyer.LastError().ErrorCode(), SQLITE_CANTOPEN);
}

// The installer re-keys its database under a temporary name and decides by the result code
// what to do: "not a database" (26) is a damaged payload, anything else a failure to write it.
// The rekeyer re-keys whatever path it is given and passes the engine's code on; a failure
// leaves no file beside the database.
TEST(CityDatabaseRekeyer, ReKeysAnyPathAndPassesTheEnginesCodeOn) {
  TempDir dir;
  std::filesystem::create_directory(dir.Path() / "sub");
  // A temporary name in a folder, spelled as the product spells paths.
  const std::string path = (dir.Path() / "sub" / "Ketro.cts.~new").string();
  const std::u16string productPath = U(dir.Path().string()) + u"\\sub\\Ketro.cts.~new";
  test::MakeDatabase(path, 40);
  const auto plain = test::ReadBytes(path);
  auto onlyTheDatabase = [&] {
    return std::distance(std::filesystem::directory_iterator(dir.Path() / "sub"),
                         std::filesystem::directory_iterator()) == 1;
  };
  struct Case {
    const char* what;
    int code;
    const char* message;
    IoOp op;
    int injected;
  };
  for (const Case& c :
       {Case{"disk full", SQLITE_FULL, "SQLite3 Error 13 - database or disk is full", IoOp::kWrite,
             SQLITE_FULL},
        Case{"out of memory", SQLITE_NOMEM, "SQLite3 Error 7 - out of memory", IoOp::kRead,
             SQLITE_NOMEM},
        Case{"I/O error", SQLITE_IOERR, "SQLite3 Error 10 - disk I/O error", IoOp::kWrite,
             SQLITE_IOERR_WRITE}}) {
    SCOPED_TRACE(c.what);
    test::WriteBytes(path, plain);
    CityDatabaseRekeyer rekeyer;
    int seen = 0;
    const test::IoHookScope hook([&](const IoEvent& e) {
      return e.file == IoFile::kDatabase && e.op == c.op && ++seen == 3 ? c.injected : SQLITE_OK;
    });
    EXPECT_EQ(rekeyer.RekeyDatabase(productPath, test::kInstallerPassword), RekeyResult::kFailed);
    EXPECT_EQ(rekeyer.LastError().ErrorCode(), c.code);
    EXPECT_STREQ(rekeyer.LastError().what(), c.message);
    EXPECT_TRUE(onlyTheDatabase());
  }
  test::WriteBytes(path, plain);
  {
    CityDatabaseRekeyer rekeyer;
    EXPECT_EQ(rekeyer.RekeyDatabase(productPath, test::kInstallerPassword), RekeyResult::kDone);
    EXPECT_EQ(rekeyer.LastError().ErrorCode(), 0);
  }
  EXPECT_TRUE(test::SameExceptCommitFields(
      test::DecipherFile(test::ReadBytes(path), test::kInstallerPassword, 4096), plain));
  // Not a database: encrypted already (the rekeyer's connection has no key), or a header whose
  // page size is none (768). Neither is changed.
  auto badPageSize = plain;
  badPageSize[16] = 0x03;
  badPageSize[17] = 0x00;
  for (const auto& bytes : {test::ReadBytes(path), badPageSize}) {
    test::WriteBytes(path, bytes);
    CityDatabaseRekeyer again;
    EXPECT_EQ(again.RekeyDatabase(productPath, test::kInstallerPassword),
              RekeyResult::kNotADatabase);
    EXPECT_EQ(again.LastError().ErrorCode(), SQLITE_NOTADB);
    EXPECT_STREQ(again.LastError().what(), "SQLite3 Error 26 - file is not a database");
    EXPECT_EQ(test::ReadBytes(path), bytes);
    EXPECT_TRUE(onlyTheDatabase());
  }
}

} // namespace
} // namespace ket
