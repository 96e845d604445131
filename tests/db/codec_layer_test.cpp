// What the codec layer (the VFS shim) must get right inside the engine: pages spilled and
// rolled back during a re-key, statement journals, temporary files, the write-ahead log, and
// the reads the engine makes of page 1 before it knows the page size. On the engine's own
// connections, apart from the connection object.
#include "db/codec.h"
#include "db/codec_vfs.h"
#include "db/page_codec.h"
#include "tests/db/test_support.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ket {
namespace {

using test::Encrypted;
using test::TempDir;

// Pages that leave the cache during the pass are read again in the key they were written in
// (page 1 is fetched by every step of the pass and at commit).
TEST_F(Encrypted, PagesSpilledDuringThePassAreReadBackInTheirNewForm) {
  test::RekeyFile(path_, "", "old");
  SetRekeyCacheBudget(8 * 4096);
  int spilled = 0;
  {
    test::Db db = test::OpenDb(path_, "old", SQLITE_OPEN_READWRITE);
    test::Exec(db.get(), "PRAGMA cache_size = 8");
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
    EXPECT_EQ(test::ReKey(db.get(), "new"), SQLITE_OK);
    db.reset();
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
    const auto before = Restore(c.from);
    SetRekeyCacheBudget(16 * 4096);
    test::Db db = test::OpenDb(path_, c.from, SQLITE_OPEN_READWRITE);
    test::Exec(db.get(), std::string("PRAGMA journal_mode = ") + c.journalMode);
    test::Exec(db.get(), "PRAGMA cache_size = 16");
    int writes = 0;
    {
      test::IoHookScope hook([&](const IoEvent& e) {
        if (e.file == IoFile::kDatabase && e.op == IoOp::kWrite && ++writes == c.failAtWrite) {
          return SQLITE_IOERR_WRITE;
        }
        return 0;
      });
      EXPECT_EQ(test::ReKey(db.get(), "new") & 0xff, SQLITE_IOERR);
    }
    SetRekeyCacheBudget(64 * 1024 * 1024);
    EXPECT_TRUE(test::KeyedWith(db.get(), c.from));
    EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
    db.reset();
    EXPECT_EQ(test::ReadBytes(path_), before);
    EXPECT_EQ(Digest(c.from), digest_);
  }
}

TEST_F(Encrypted, StatementRollbackOnAKeyedDatabase) {
  test::RekeyFile(path_, "", "k");
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
  test::RekeyFile(path_, "", "k");
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

// A VACUUM to another page size copies a temporary database of the new size over the file, in
// pieces of the old size (spilled before page 1 when the cache is small). The encrypted file
// ends up as the plain VACUUM's result with every page enciphered whole in the new size. In log
// mode the engine keeps the page size.
TEST_F(Encrypted, VacuumToAnotherPageSize) {
  for (const int size : {8192, 1024}) {
    for (const int cache : {2000, 10}) {
      SCOPED_TRACE(std::to_string(size) + " / cache " + std::to_string(cache));
      std::vector<std::vector<std::uint8_t>> files;
      for (const std::string key : {"", "k"}) {
        Restore(key);
        test::Db db = test::OpenDb(path_, key, SQLITE_OPEN_READWRITE);
        test::Exec(db.get(), "PRAGMA cache_size = " + std::to_string(cache) +
                                 "; PRAGMA page_size = " + std::to_string(size) + "; VACUUM");
        db.reset();
        EXPECT_EQ(Digest(key), digest_);
        EXPECT_EQ(test::Integrity(path_, key), "ok");
        files.push_back(test::ReadBytes(path_));
      }
      EXPECT_FALSE(test::StartsWithMagic(files[1]));
      EXPECT_TRUE(test::SameExceptCommitFields(test::DecipherFile(files[1], "k", size), files[0]));
      test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
      test::QueryInt(db.get(), "SELECT count(*) FROM sqlite_schema"); // reads page 1
      EXPECT_EQ(test::QueryInt(db.get(), "PRAGMA page_size"), size);
    }
  }
  Restore("k");
  test::Db db = test::OpenDb(path_, "k", SQLITE_OPEN_READWRITE);
  test::Exec(db.get(), "PRAGMA journal_mode = wal; PRAGMA page_size = 8192; VACUUM");
  EXPECT_EQ(test::QueryInt(db.get(), "PRAGMA page_size"), 4096);
  EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(test::ContentDigest(db.get()), digest_);
}

TEST_F(Encrypted, WriteAheadLogModeIsEncipheredToo) {
  test::RekeyFile(path_, "", "k");
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
  test::RekeyFile(path_, "k", "k2");
  test::Db db = test::OpenDb(path_, "k2", SQLITE_OPEN_READWRITE);
  EXPECT_EQ(test::QueryText(db.get(), "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(test::QueryInt(db.get(), "SELECT count(*) FROM items WHERE name = 'marker'"), 1);
  EXPECT_EQ(test::QueryText(db.get(), "PRAGMA integrity_check"), "ok");
}

// Power-safe overwrite off: the engine pads the log to a sector and may split a page around its
// sync point.
TEST_F(Encrypted, LogPagesSplitAroundASyncPoint) {
  test::RekeyFile(path_, "", "k");
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
  // Over the file system `base` (null: the platform's), read-only unless `flags` say otherwise.
  explicit LayerFile(const std::string& path, const char* base = nullptr,
                     int flags = SQLITE_OPEN_READONLY) {
    codec_install();
    vfs_ = CodecVfsOver(base);
    name_ = sqlite3_create_filename(path.c_str(), "", "", 0, nullptr);
    // The engine's allocation for a file object is only 8-byte aligned; max_align_t is no less.
    block_.resize(static_cast<std::size_t>(vfs_->szOsFile) / sizeof(std::max_align_t) + 1);
    file_ = reinterpret_cast<sqlite3_file*>(block_.data());
    int outFlags = 0;
    openResult_ = vfs_->xOpen(vfs_, name_, file_, SQLITE_OPEN_MAIN_DB | flags, &outFlags);
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
  int Write(std::int64_t offset, const std::vector<std::uint8_t>& bytes) {
    return file_->pMethods->xWrite(file_, bytes.data(), static_cast<int>(bytes.size()), offset);
  }
  int Control(int op, void* arg) { return file_->pMethods->xFileControl(file_, op, arg); }

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
// bytes, in either order, and learn the page size from them. Every page size round-trips.
TEST(StoredForm, HeaderReadsBeforeThePageSizeIsKnownGiveThePlainBytes) {
  enum class Form { kKeyed, kPlain, kPlainWithEmptyRecord };
  for (const int pageSize : {512, 1024, 4096, 8192, 65536}) {
    for (const Form form : {Form::kKeyed, Form::kPlain, Form::kPlainWithEmptyRecord}) {
      SCOPED_TRACE(std::to_string(pageSize) + "/" + std::to_string(static_cast<int>(form)));
      TempDir dir;
      const std::string path = dir.File("h.db");
      test::MakeDatabase(path, 40, pageSize);
      const auto original = test::ReadBytes(path);
      if (form == Form::kKeyed) {
        test::RekeyFile(path, "", "k");
      }
      const auto file = test::ReadBytes(path);
      ASSERT_EQ(file.size(), original.size());
      ASSERT_EQ(test::StartsWithMagic(file), form != Form::kKeyed);
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
      // And the engine itself, which guesses 4096 before it has read the header.
      EXPECT_EQ(test::Integrity(path, form == Form::kKeyed ? "k" : ""), "ok");
    }
  }
}

// A re-key's pages handed to the file where the engine ignores the result (a file-control hint)
// and failing there: the commit of the re-key fails instead of taking the new key, and the end
// of the failed re-key leaves every page readable in the old form.
TEST(StoredForm, ReKeyPagesLostWhereTheEngineIgnoresTheResultFailItsCommit) {
  TempDir dir;
  const std::string path = dir.File("h.db");
  test::MakeDatabase(path, 40, 4096);
  test::RekeyFile(path, "", "old");
  const auto material = [](const char* password) {
    return DeriveKeyMaterial(
        {reinterpret_cast<const std::uint8_t*>(password), std::strlen(password)});
  };
  LayerFile layer(path, test::FullDiskVfs::Name(), SQLITE_OPEN_READWRITE);
  ASSERT_EQ(layer.OpenResult(), SQLITE_OK);
  AttachCodec(layer.Codec(), PageCodec::Keyed(material("old"), 4096));
  const auto page = layer.Read(4096, 4096);
  ASSERT_EQ(BeginRekey(layer.Codec(), material("new"), 4096), SQLITE_OK);
  ASSERT_EQ(layer.Write(4096, page), SQLITE_OK); // held
  test::FullDiskVfs::FailNextDatabaseWrite();
  sqlite3_int64 hint = 40 * 4096;
  EXPECT_EQ(layer.Control(SQLITE_FCNTL_SIZE_HINT, &hint), SQLITE_IOERR_WRITE);
  EXPECT_EQ(CommitRekey(layer.Codec()), SQLITE_IOERR_WRITE);
  AbortRekey(layer.Codec());
  EXPECT_EQ(EndAbortedRekey(layer.Codec()), SQLITE_OK);
  EXPECT_EQ(layer.Read(4096, 4096), page);
  EXPECT_EQ(test::Integrity(path, "old"), "ok");
}

} // namespace
} // namespace ket
