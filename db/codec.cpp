#include "db/codec.h"

#include "db/codec_vfs.h"
#include "db/page_codec.h"
#include "db/sqlite_bridge.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace ket {
namespace {

constexpr int kDefaultPageSize = 4096;
constexpr std::int64_t kDefaultRekeyCacheBudget = 64 * 1024 * 1024;
std::atomic<std::int64_t> gRekeyCacheBudget{kDefaultRekeyCacheBudget};
// Pages beyond the database's own that the pass may hold at once.
constexpr std::int64_t kRekeyCacheSlack = 16;

// The connection's mutex and all its B-trees, held for a whole key operation.
class ConnectionLock {
 public:
  explicit ConnectionLock(sqlite3* db) : db_(db) {
    sqlite3_mutex_enter(sqlite3_db_mutex(db_));
    ket_sqlite3_btree_enter_all(db_);
  }
  ~ConnectionLock() {
    ket_sqlite3_btree_leave_all(db_);
    sqlite3_mutex_leave(sqlite3_db_mutex(db_));
  }
  ConnectionLock(const ConnectionLock&) = delete;
  ConnectionLock& operator=(const ConnectionLock&) = delete;

 private:
  sqlite3* db_;
};

int UnknownDatabase(sqlite3* db, const char* name) {
  ket_sqlite3_set_error_message(db, SQLITE_ERROR,
                                (std::string("unknown database ") + name).c_str());
  return SQLITE_ERROR;
}

int ForeignFile(sqlite3* db) {
  ket_sqlite3_set_error_message(db, SQLITE_ERROR,
                                "database file was not opened through the page codec");
  return SQLITE_ERROR;
}

std::string Quoted(const char* name) {
  std::string out = "\"";
  for (const char* p = name; *p; ++p) {
    out += *p;
    if (*p == '"') {
      out += '"';
    }
  }
  return out + "\"";
}

// A prepared statement, finalized when it goes.
struct FinalizeStatement {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// `sql` prepared; null when the engine refuses it (its result in `rc`).
Statement Prepare(sqlite3* db, const char* sql, int& rc) {
  sqlite3_stmt* stmt = nullptr;
  rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  Statement owned(stmt);
  if (rc != SQLITE_OK) {
    owned.reset();
  }
  return owned;
}

// The pragma's statement, stepped to its first row; null when there is none.
Statement PragmaRow(sqlite3* db, const char* name, const char* pragma) {
  const std::string sql = "PRAGMA " + Quoted(name) + "." + pragma;
  int rc = SQLITE_OK;
  Statement stmt = Prepare(db, sql.c_str(), rc);
  if (stmt && sqlite3_step(stmt.get()) == SQLITE_ROW) {
    return stmt;
  }
  return nullptr;
}

// The integer a pragma of database `name` reports, or nullopt.
std::optional<std::int64_t> PragmaValue(sqlite3* db, const char* name, const char* pragma) {
  if (const Statement stmt = PragmaRow(db, name, pragma)) {
    return sqlite3_column_int64(stmt.get(), 0);
  }
  return std::nullopt;
}

std::string PragmaText(sqlite3* db, const char* name, const char* pragma) {
  std::string value;
  if (const Statement stmt = PragmaRow(db, name, pragma)) {
    if (const unsigned char* text = sqlite3_column_text(stmt.get(), 0)) {
      value = reinterpret_cast<const char*>(text);
    }
  }
  return value;
}

// The outcome of a pass: a result code, and the engine's own message when an engine call
// failed (kept, as it says more than the code's standard text).
struct Outcome {
  int rc = SQLITE_OK;
  std::string message;

  void FromEngine(sqlite3* db, int code) {
    rc = code;
    message = sqlite3_errmsg(db);
  }
};

// Connection settings the pass changes, put back whatever happens.
class PassSettings {
 public:
  PassSettings(sqlite3* db, const char* name) : db_(db), name_(name) {
    // The pass calls the progress handler itself, at its own rhythm; the statements it runs
    // must not.
    ket_sqlite3_get_progress(db_, &progress_, &progressArg_, &progressOps_);
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    // The page table refuses writes in defensive mode.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, -1, &defensive_);
    if (defensive_) {
      sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 0, nullptr);
    }
  }

  ~PassSettings() {
    if (cacheSize_) {
      const std::string sql =
          "PRAGMA " + Quoted(name_) + ".cache_size = " + std::to_string(*cacheSize_);
      sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    }
    if (defensive_) {
      sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    }
    sqlite3_progress_handler(db_, static_cast<int>(progressOps_), progress_, progressArg_);
  }

  PassSettings(const PassSettings&) = delete;
  PassSettings& operator=(const PassSettings&) = delete;

  // A cache that holds the whole database (within the budget): the pass then writes every page
  // once, at commit, after a single journal sync.
  void SizeCache(std::int64_t pages, std::int64_t pageSize) {
    const std::optional<std::int64_t> current = PragmaValue(db_, name_, "cache_size");
    if (!current) {
      return;
    }
    const std::int64_t currentPages = *current >= 0 ? *current : -*current * 1024 / pageSize;
    // The page cache starts spilling once 90% of its pages are dirty.
    const std::int64_t wanted =
        std::min((pages + kRekeyCacheSlack) * 10 / 9 + 1,
                 std::max<std::int64_t>(gRekeyCacheBudget.load() / pageSize, 1));
    if (wanted <= currentPages) {
      return;
    }
    const std::string sql = "PRAGMA " + Quoted(name_) + ".cache_size = " + std::to_string(wanted);
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
      cacheSize_ = *current;
    }
  }

  int (*progress_)(void*) = nullptr;
  void* progressArg_ = nullptr;
  unsigned progressOps_ = 0;

 private:
  sqlite3* db_;
  const char* name_;
  int defensive_ = 0;
  std::optional<std::int64_t> cacheSize_;
};

// The engine clears a connection's interrupt flag whenever a statement starts while none is
// running; the pass's own statements (and the schema reads the first of them makes) would lose
// an interrupt that arrives between them. The pass counts as a running statement while it
// lasts, as the engine's interrupt is meant for everything running: the flag stays set and
// every later step of the pass sees it.
class CountedAsRunning {
 public:
  explicit CountedAsRunning(sqlite3* db) : db_(db) { ket_sqlite3_count_running(db_, 1); }
  ~CountedAsRunning() { ket_sqlite3_count_running(db_, -1); }
  CountedAsRunning(const CountedAsRunning&) = delete;
  CountedAsRunning& operator=(const CountedAsRunning&) = delete;

 private:
  sqlite3* db_;
};

// What the pass rewrites: the database's pages, counted inside its transaction.
struct PassPages {
  std::int64_t count = 0;
  std::int64_t pageSize = 0;
};

// Calls the connection's progress handler every `progressOps_` pages, as the engine calls it
// every so many steps; true when the handler asks to stop.
class PassProgress {
 public:
  explicit PassProgress(const PassSettings& settings) : settings_(settings) {}

  bool Stop() {
    if (settings_.progress_ == nullptr || settings_.progressOps_ == 0) {
      return false;
    }
    if (counter_ == settings_.progressOps_) {
      if (settings_.progress_(settings_.progressArg_) != 0) {
        return true;
      }
      counter_ = 0;
    }
    ++counter_;
    return false;
  }

 private:
  const PassSettings& settings_;
  unsigned counter_ = 0;
};

// A log that still holds frames in the old form would be unreadable under the new key after the
// pass (recovery checks every frame), so the pass starts on an empty log. The log is read and
// merged into the file before anything takes the new form: its frames, and the pages the merge
// writes, are in the old one. Sets `mode` to the database's journal mode.
Outcome EmptyLog(sqlite3* db, const char* name, std::string& mode) {
  const CountedAsRunning running(db);
  Outcome out;
  mode = PragmaText(db, name, "journal_mode");
  if (mode == "wal") {
    const int rc =
        sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      out.FromEngine(db, rc);
    }
  }
  return out;
}

// Takes the database for the pass: a cache sized to the database (unless it has no journal,
// whose spills cost no sync), the exclusive transaction, and the page count inside it.
Outcome BeginPass(sqlite3* db, const char* name, const std::string& mode, CodecFile& file,
                  PassSettings& settings, PassPages& pages) {
  Outcome out;
  const std::optional<std::int64_t> pageSize = PragmaValue(db, name, "page_size");
  const std::optional<std::int64_t> pageCount = PragmaValue(db, name, "page_count");
  if (!pageSize || !pageCount) {
    out.FromEngine(db, sqlite3_errcode(db) != SQLITE_OK ? sqlite3_errcode(db) : SQLITE_ERROR);
    return out;
  }
  if (mode != "off") {
    settings.SizeCache(*pageCount, *pageSize);
  }
  if (const int rc = sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
      rc != SQLITE_OK) {
    out.FromEngine(db, rc);
    return out;
  }
  if (mode == "wal" && WalFileSize(file) > 0) {
    out.rc = SQLITE_BUSY; // another connection wrote between the checkpoint and the lock
    return out;
  }
  // Counted again inside the transaction: the database cannot change from here on.
  const std::optional<std::int64_t> count = PragmaValue(db, name, "page_count");
  if (!count) {
    out.FromEngine(db, sqlite3_errcode(db));
    return out;
  }
  pages = {*count, *pageSize};
  return out;
}

// One "UPDATE sqlite_dbpage SET data = data" per page, stopped by the progress handler (4) or
// an interrupt (9). The statement is finalized on return, before the commit.
Outcome RewritePages(sqlite3* db, const char* name, const PassPages& pages,
                     const PassSettings& settings) {
  Outcome out;
  int prepared = SQLITE_OK;
  const Statement stmt =
      Prepare(db, "UPDATE sqlite_dbpage SET data = data WHERE pgno = ?1 AND schema = ?2", prepared);
  if (!stmt) {
    out.FromEngine(db, prepared);
    return out;
  }
  sqlite3_bind_text(stmt.get(), 2, name, -1, SQLITE_STATIC);
  // The page that holds the engine's lock byte never holds database content.
  const std::int64_t lockPage = ket_sqlite3_pending_byte() / pages.pageSize + 1;
  PassProgress progress(settings);
  for (std::int64_t pgno = 1; pgno <= pages.count; ++pgno) {
    if (pgno == lockPage) {
      continue;
    }
    if (progress.Stop()) {
      out.rc = SQLITE_ABORT;
      break;
    }
    if (sqlite3_is_interrupted(db)) {
      out.rc = SQLITE_INTERRUPT;
      break;
    }
    sqlite3_bind_int64(stmt.get(), 1, pgno);
    const int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_DONE) {
      out.FromEngine(db, rc);
      break;
    }
    sqlite3_reset(stmt.get());
  }
  return out;
}

Outcome CommitPass(sqlite3* db, const char* name, const PassPages& pages) {
  Outcome out;
  // Bytes past the database's last page are no database content (the engine neither reads
  // them nor keeps them when the database grows), but left there they would stay plain. The
  // file is cut to the database's pages the way the engine cuts a shrunken database: once the
  // transaction has committed, so that a failure before keeps every byte.
  if (pages.count > 0 &&
      ket_sqlite3_truncate_image(db, name, static_cast<unsigned>(pages.count)) != SQLITE_OK) {
    out.rc = SQLITE_ERROR;
  } else if (const int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
             rc != SQLITE_OK) {
    out.FromEngine(db, rc);
  }
  return out;
}

// The pages are rewritten through the engine's public page table, sqlite_dbpage: inside one
// exclusive transaction, "UPDATE sqlite_dbpage SET data = data" on a page makes the pager fetch
// it (deciphered by the codec layer in its old form), journal its image (in the old form) and
// write it again at commit or when the cache spills (in the new form, the codec's write side).
// That keeps the engine's own journaling, commit and rollback, so the re-key is all or nothing
// and a crash leaves a hot journal that restores the old form. Only the progress handler, the
// connection's error state and the B-tree mutexes are reached through engine internals
// (sqlite_bridge.c); the page steps themselves need none.
Outcome RunPass(sqlite3* db, const char* name, const std::string& mode, CodecFile& file,
                PassSettings& settings) {
  const CountedAsRunning running(db);
  if (sqlite3_is_interrupted(db)) {
    Outcome out;
    out.rc = SQLITE_INTERRUPT;
    return out;
  }
  PassPages pages;
  if (Outcome out = BeginPass(db, name, mode, file, settings, pages); out.rc != SQLITE_OK) {
    return out;
  }
  if (Outcome out = RewritePages(db, name, pages, settings); out.rc != SQLITE_OK) {
    return out;
  }
  return CommitPass(db, name, pages);
}

// The database `name` names for a re-key, or null: with out.rc set when the re-key cannot be
// made, with SQLITE_OK for an in-memory database (its pages are never transformed).
CodecFile* RekeyTarget(sqlite3* db, const char* name, Outcome& out) {
  if (ket_sqlite3_find_db(db, name) < 0) {
    out.rc = UnknownDatabase(db, name);
    out.message = sqlite3_errmsg(db);
    return nullptr;
  }
  if (!sqlite3_get_autocommit(db)) {
    out.rc = SQLITE_BUSY;
    return nullptr;
  }
  // An interrupt asked for before the re-key ends it here, before anything has changed.
  if (sqlite3_is_interrupted(db)) {
    out.rc = SQLITE_INTERRUPT;
    return nullptr;
  }
  bool foreign = false;
  CodecFile* file = FindCodecFile(db, name, &foreign);
  if (file == nullptr && foreign) {
    out.rc = ForeignFile(db);
    out.message = sqlite3_errmsg(db);
  }
  return file;
}

// The pass with the write side on the new key (`material`, or none), and the record settled
// after it: all sides on the new key after a commit, the old key back after a failure.
void RunRekeyPass(sqlite3* db, const char* name, CodecFile& file,
                  const std::optional<KeyMaterial>& material, Outcome& out) {
  PassSettings settings(db, name);
  std::string mode;
  out = EmptyLog(db, name, mode);
  if (out.rc != SQLITE_OK) {
    return;
  }
  const int size = PageSizeOf(file);
  out.rc = BeginRekey(file, material, size > 0 ? size : kDefaultPageSize);
  if (out.rc != SQLITE_OK) {
    return;
  }
  out = RunPass(db, name, mode, file, settings);
  if (out.rc == SQLITE_OK) {
    // The commit's sync notice has handed every held page to the file, its failure failing the
    // COMMIT while the journal could still undo it, so nothing is left to fail here as the
    // engine works now. Should a run of pages have failed where the engine ignores the result
    // (a close, a file-control hint), the file holds a mix of forms: the re-key fails then and
    // ends as any failed one, putting back the old form.
    out.rc = CommitRekey(file);
  }
  if (out.rc == SQLITE_OK) {
    if (mode == "wal") {
      // Moves the new form into the database file; busy readers only delay that.
      sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    }
    return;
  }
  // The old key goes back on the write side first, so that the rollback writes the old
  // form; then whatever the rollback could not restore is.
  AbortRekey(file);
  if (!sqlite3_get_autocommit(db)) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  // After an I/O error the engine leaves its rollback (the journal's playback) for the
  // connection's next lock: that is taken now, while the layer still knows each page's form.
  PragmaValue(db, name, "schema_version");
  EndAbortedRekey(file);
}

int Rekey(sqlite3* db, const char* name, const void* key, int nKey, Outcome& out) {
  CodecFile* file = RekeyTarget(db, name, out);
  if (file == nullptr) {
    return out.rc;
  }
  const PageCodec* codec = CodecOf(*file);
  const bool hadKey = codec != nullptr && codec->HasWriteKey();
  std::optional<KeyMaterial> material;
  if (key != nullptr && nKey >= 1) {
    material =
        DeriveKeyMaterial({static_cast<const std::uint8_t*>(key), static_cast<std::size_t>(nKey)});
  }
  if ((hadKey && material && *material == codec->Material()) || (!hadKey && !material)) {
    return SQLITE_OK;
  }
  RunRekeyPass(db, name, *file, material, out);
  return out.rc;
}

} // namespace

void SetRekeyCacheBudget(std::int64_t bytes) {
  gRekeyCacheBudget.store(bytes);
}

int codec_install() {
  return CodecVfsOver(nullptr) != nullptr ? SQLITE_OK : SQLITE_ERROR;
}

int codec_set_key(sqlite3* db, const char* zDb, const void* key, int nKey) {
  codec_install();
  const ConnectionLock lock(db);
  const char* name = zDb ? zDb : "main";
  if (ket_sqlite3_find_db(db, name) < 0) {
    return UnknownDatabase(db, name);
  }
  bool foreign = false;
  CodecFile* file = FindCodecFile(db, name, &foreign);
  if (file == nullptr) {
    return foreign ? ForeignFile(db) : SQLITE_OK;
  }
  const std::optional<KeyMaterial> material = KeyFromArgument(key, nKey, true);
  if (!material) {
    AttachCodec(*file, nullptr);
  } else {
    try {
      const int size = PageSizeOf(*file);
      AttachCodec(*file, PageCodec::Keyed(*material, size > 0 ? size : kDefaultPageSize));
    } catch (const std::bad_alloc&) {
      AttachCodec(*file, nullptr);
      ket_sqlite3_set_error(db, SQLITE_NOMEM);
      return SQLITE_NOMEM;
    }
  }
  // Cached pages were read in the old form; from now on every page is read through the new key.
  sqlite3_db_release_memory(db);
  return SQLITE_OK;
}

void codec_get_key(sqlite3* db, int iDb, const void** key, int* nKey) {
  *key = nullptr;
  *nKey = 0;
  const ConnectionLock lock(db);
  const char* name = sqlite3_db_name(db, iDb);
  if (name == nullptr) {
    return;
  }
  bool foreign = false;
  CodecFile* file = FindCodecFile(db, name, &foreign);
  const PageCodec* codec = file ? CodecOf(*file) : nullptr;
  if (codec != nullptr) {
    *key = codec->Material().data();
    *nKey = kKeyMaterialLength;
  }
}

int codec_rekey(sqlite3* db, const char* zDb, const void* key, int nKey) {
  codec_install();
  const ConnectionLock lock(db);
  Outcome out;
  Rekey(db, zDb ? zDb : "main", key, nKey, out);
  if (out.rc != SQLITE_OK) {
    // Cleaning up ran statements of its own; the connection reports the pass's failure.
    if (out.message.empty()) {
      ket_sqlite3_set_error(db, out.rc);
    } else {
      ket_sqlite3_set_error_message(db, out.rc, out.message.c_str());
    }
  }
  return out.rc;
}

} // namespace ket
