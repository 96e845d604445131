#include "tests/db/test_support.h"

#include "db/codec.h"
#include "db/page_codec.h"
#include "db/sha256.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <random>

namespace ket::test {

TempDir::TempDir() {
  static std::atomic<int> serial{0};
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("ketdb-" + std::to_string(rd()) + "-" + std::to_string(serial++));
    if (std::filesystem::create_directory(path_)) {
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

namespace {

// Opens `path` with `flags` over the VFS named `vfs` (null: the default) and applies `key` when
// non-empty.
Db OpenOver(const char* vfs, const std::string& path, std::string_view key, int flags) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, vfs);
  Db db(raw);
  EXPECT_EQ(rc, SQLITE_OK) << (raw ? sqlite3_errmsg(raw) : "");
  if (!key.empty()) {
    EXPECT_EQ(codec_set_key(db.get(), "main", key.data(), static_cast<int>(key.size())), SQLITE_OK);
  }
  return db;
}

} // namespace

Db OpenDb(const std::string& path, std::string_view key, int flags) {
  codec_install();
  return OpenOver(nullptr, path, key, flags ? flags : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

int Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (error ? error : "");
  sqlite3_free(error);
  return rc;
}

std::string QueryText(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  std::string value;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
    value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  } else {
    value = std::string("error: ") + sqlite3_errmsg(db);
  }
  sqlite3_finalize(stmt);
  return value;
}

std::string ContentDigest(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT id, name, n, body FROM items ORDER BY id", -1, &stmt,
                         nullptr) != SQLITE_OK) {
    return std::string("error: ") + sqlite3_errmsg(db);
  }
  Sha256 hash;
  int rc;
  std::int64_t rows = 0;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    ++rows;
    for (int c = 0; c < 4; ++c) {
      const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, c));
      hash.Update({p, static_cast<std::size_t>(sqlite3_column_bytes(stmt, c))});
    }
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    return std::string("error: ") + sqlite3_errmsg(db);
  }
  std::string out = std::to_string(rows) + ":";
  for (const std::uint8_t b : hash.Finish()) {
    out += "0123456789abcdef"[b >> 4];
    out += "0123456789abcdef"[b & 15];
  }
  return out;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    return {};
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

IoHookScope::IoHookScope(std::function<int(const IoEvent&)> hook) : hook_(std::move(hook)) {
  SetCodecIoHook(
      [](void* context, const IoEvent& event) {
        return (*static_cast<std::function<int(const IoEvent&)>*>(context))(event);
      },
      &hook_);
}

IoHookScope::~IoHookScope() {
  SetCodecIoHook(nullptr, nullptr);
}

std::string Integrity(const std::string& path, std::string_view key) {
  Db db = OpenDb(path, key, SQLITE_OPEN_READWRITE);
  return QueryText(db.get(), "PRAGMA integrity_check");
}

Db OpenDbOver(const char* vfs, const std::string& path, std::string_view key) {
  const sqlite3_vfs* layer = CodecVfsOver(vfs);
  EXPECT_NE(layer, nullptr) << vfs;
  return OpenOver(layer != nullptr ? layer->zName : vfs, path, key, SQLITE_OPEN_READWRITE);
}

int ReKey(sqlite3* db, std::string_view password) {
  return codec_rekey(db, nullptr, password.data(), static_cast<int>(password.size()));
}

void RekeyFile(const std::string& path, std::string_view oldPassword,
               std::string_view newPassword) {
  Db db = OpenDb(path, oldPassword, SQLITE_OPEN_READWRITE);
  EXPECT_EQ(ReKey(db.get(), newPassword), SQLITE_OK) << sqlite3_errmsg(db.get());
}

bool KeyedWith(sqlite3* db, std::string_view password) {
  const void* key = nullptr;
  int length = 0;
  codec_get_key(db, 0, &key, &length);
  if (password.empty()) {
    return key == nullptr && length == 0;
  }
  const KeyMaterial material =
      DeriveKeyMaterial({reinterpret_cast<const std::uint8_t*>(password.data()), password.size()});
  return key != nullptr && length == kKeyMaterialLength &&
         std::memcmp(key, material.data(), material.size()) == 0;
}

bool StartsWithMagic(const std::vector<std::uint8_t>& file) {
  static constexpr std::string_view kMagic("SQLite format 3\0", 16);
  return file.size() >= kMagic.size() &&
         std::memcmp(file.data(), kMagic.data(), kMagic.size()) == 0;
}

void Encrypted::SetUp() {
  path_ = dir_.File("Ketro.cts");
  MakeDatabase(path_, 200);
  plain_ = ReadBytes(path_);
  Db db = OpenDb(path_);
  digest_ = ContentDigest(db.get());
}

std::vector<std::uint8_t> Encrypted::Restore(std::string_view key) {
  WriteBytes(path_, plain_);
  if (!key.empty()) {
    RekeyFile(path_, "", key);
  }
  return ReadBytes(path_);
}

std::string Encrypted::Digest(std::string_view key) {
  Db db = OpenDb(path_, key, SQLITE_OPEN_READWRITE);
  return ContentDigest(db.get());
}

namespace {

std::atomic<std::int64_t> gJournalLimit{-1};
std::atomic<bool> gFailDatabaseWrite{false};

struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real;
  bool journal;
  bool database;
};

constexpr std::size_t kShimRealOffset = (sizeof(ShimFile) + 15) / 16 * 16;

sqlite3_file* Real(sqlite3_file* f) {
  return reinterpret_cast<ShimFile*>(f)->real;
}

int ShimClose(sqlite3_file* f) {
  sqlite3_file* real = Real(f);
  const int rc = real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
  f->pMethods = nullptr;
  return rc;
}
int ShimWrite(sqlite3_file* f, const void* buf, int amt, sqlite3_int64 ofst) {
  if (reinterpret_cast<ShimFile*>(f)->database && gFailDatabaseWrite.exchange(false)) {
    return SQLITE_IOERR_WRITE;
  }
  const std::int64_t limit = gJournalLimit.load();
  if (reinterpret_cast<ShimFile*>(f)->journal && limit >= 0 && ofst + amt > limit) {
    if (ofst < limit) {
      Real(f)->pMethods->xWrite(Real(f), buf, static_cast<int>(limit - ofst), ofst);
    }
    return SQLITE_FULL;
  }
  return Real(f)->pMethods->xWrite(Real(f), buf, amt, ofst);
}

sqlite3_vfs* Base(sqlite3_vfs* shim) {
  return static_cast<sqlite3_vfs*>(shim->pAppData);
}

// The file or file system below the shim's, and its methods.
sqlite3_file* Below(sqlite3_file* f) {
  return Real(f);
}
sqlite3_vfs* Below(sqlite3_vfs* vfs) {
  return Base(vfs);
}
const sqlite3_io_methods* MethodsOf(sqlite3_file* f) {
  return f->pMethods;
}
sqlite3_vfs* MethodsOf(sqlite3_vfs* vfs) {
  return vfs;
}

// A method of the shim that makes the same call on the file or file system below.
template <auto Method> struct Forward;
template <class Table, class R, class Self, class... A, R (*Table::*Method)(Self*, A...)>
struct Forward<Method> {
  static R Call(Self* self, A... args) {
    Self* below = Below(self);
    return (MethodsOf(below)->*Method)(below, args...);
  }
};

// Version 1 only: no shared memory, so connections over this layer keep rollback journals.
constexpr sqlite3_io_methods MakeShimMethods() {
  sqlite3_io_methods m{};
  m.iVersion = 1;
  m.xClose = ShimClose;
  m.xRead = Forward<&sqlite3_io_methods::xRead>::Call;
  m.xWrite = ShimWrite;
  m.xTruncate = Forward<&sqlite3_io_methods::xTruncate>::Call;
  m.xSync = Forward<&sqlite3_io_methods::xSync>::Call;
  m.xFileSize = Forward<&sqlite3_io_methods::xFileSize>::Call;
  m.xLock = Forward<&sqlite3_io_methods::xLock>::Call;
  m.xUnlock = Forward<&sqlite3_io_methods::xUnlock>::Call;
  m.xCheckReservedLock = Forward<&sqlite3_io_methods::xCheckReservedLock>::Call;
  m.xFileControl = Forward<&sqlite3_io_methods::xFileControl>::Call;
  m.xSectorSize = Forward<&sqlite3_io_methods::xSectorSize>::Call;
  m.xDeviceCharacteristics = Forward<&sqlite3_io_methods::xDeviceCharacteristics>::Call;
  return m;
}
constexpr sqlite3_io_methods kShimMethods = MakeShimMethods();

sqlite3_vfs* PlatformVfs() {
#ifdef _WIN32
  return sqlite3_vfs_find("win32");
#else
  return sqlite3_vfs_find("unix");
#endif
}

int ShimOpen(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  auto* shim = reinterpret_cast<ShimFile*>(f);
  f->pMethods = nullptr;
  shim->real =
      reinterpret_cast<sqlite3_file*>(reinterpret_cast<unsigned char*>(f) + kShimRealOffset);
  shim->real->pMethods = nullptr;
  shim->journal = (flags & SQLITE_OPEN_MAIN_JOURNAL) != 0;
  shim->database = (flags & SQLITE_OPEN_MAIN_DB) != 0;
  const int rc = Base(vfs)->xOpen(Base(vfs), name, shim->real, flags, outFlags);
  if (rc == SQLITE_OK) {
    f->pMethods = &kShimMethods;
  } else if (shim->real->pMethods != nullptr) {
    shim->real->pMethods->xClose(shim->real);
  }
  return rc;
}

sqlite3_vfs* FullDisk() {
  static sqlite3_vfs* vfs = [] {
    sqlite3_initialize();
    static sqlite3_vfs v{};
    sqlite3_vfs* base = PlatformVfs();
    v.iVersion = 2;
    v.szOsFile = static_cast<int>(kShimRealOffset) + base->szOsFile;
    v.mxPathname = base->mxPathname;
    v.zName = "ket-test-full-disk";
    v.pAppData = base;
    v.xOpen = ShimOpen;
    v.xDelete = Forward<&sqlite3_vfs::xDelete>::Call;
    v.xAccess = Forward<&sqlite3_vfs::xAccess>::Call;
    v.xFullPathname = Forward<&sqlite3_vfs::xFullPathname>::Call;
    v.xRandomness = Forward<&sqlite3_vfs::xRandomness>::Call;
    v.xSleep = Forward<&sqlite3_vfs::xSleep>::Call;
    v.xCurrentTime = Forward<&sqlite3_vfs::xCurrentTime>::Call;
    v.xGetLastError = Forward<&sqlite3_vfs::xGetLastError>::Call;
    v.xCurrentTimeInt64 = Forward<&sqlite3_vfs::xCurrentTimeInt64>::Call;
    sqlite3_vfs_register(&v, 0);
    return &v;
  }();
  return vfs;
}

} // namespace

const char* FullDiskVfs::Name() {
  return FullDisk()->zName;
}

void FullDiskVfs::SetJournalLimit(std::int64_t bytes) {
  FullDisk();
  gJournalLimit.store(bytes);
}

void FullDiskVfs::FailNextDatabaseWrite() {
  FullDisk();
  gFailDatabaseWrite.store(true);
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

std::vector<std::uint8_t> DecipherFile(const std::vector<std::uint8_t>& file,
                                       std::string_view password, int pageSize) {
  const KeyMaterial material =
      DeriveKeyMaterial({reinterpret_cast<const std::uint8_t*>(password.data()), password.size()});
  const AesDecryptSchedule schedule(std::span<const std::uint8_t, 32>(material.data(), 32));
  std::vector<std::uint8_t> plain = file;
  const auto size = static_cast<std::size_t>(pageSize);
  for (std::size_t off = 0; off + size <= plain.size(); off += size) {
    DecipherPage(schedule, static_cast<std::uint32_t>(off / size + 1), {plain.data() + off, size});
  }
  return plain;
}

bool SameExceptCommitFields(const std::vector<std::uint8_t>& a,
                            const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    const bool commitField = (i >= 24 && i < 28) || (i >= 92 && i < 100);
    if (!commitField && a[i] != b[i]) {
      return false;
    }
  }
  return true;
}

} // namespace ket::test
