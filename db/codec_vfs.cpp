// The codec layer: registration over a base VFS, opening files, and the I/O methods that route
// each file's reads and writes to the part for its format (codec_vfs_database.cpp,
// codec_vfs_journal.cpp, codec_vfs_wal.cpp).
#include "db/codec_vfs.h"

#include "db/codec_vfs_internal.h"
#include "db/sqlite_bridge.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

namespace ket {
namespace codec_layer {

bool IsPageSize(std::int64_t n) {
  return n >= kSmallestPage && n <= kLargestPage && (n & (n - 1)) == 0;
}

std::int64_t RoundUpToBlock(std::int64_t n) {
  return (n + static_cast<std::int64_t>(kAesBlockSize) - 1) /
         static_cast<std::int64_t>(kAesBlockSize) * static_cast<std::int64_t>(kAesBlockSize);
}

DatabaseFile* DatabaseOf(const FileState& s) {
  return s.db != nullptr ? std::get_if<DatabaseFile>(&s.db->state->part) : nullptr;
}

std::uint32_t LockBytePage(std::int64_t pageSize) {
  return static_cast<std::uint32_t>(ket_sqlite3_pending_byte() / pageSize + 1);
}

int RealRead(FileState& s, void* buf, std::int64_t amt, std::int64_t ofst) {
  return s.real->pMethods->xRead(s.real, buf, static_cast<int>(amt), ofst);
}

int RealWrite(FileState& s, const void* buf, std::int64_t amt, std::int64_t ofst) {
  return s.real->pMethods->xWrite(s.real, buf, static_cast<int>(amt), ofst);
}

std::int64_t ValidAfterShortRead(FileState& s, std::int64_t ofst, std::int64_t amt) {
  sqlite3_int64 size = 0;
  if (s.real->pMethods->xFileSize(s.real, &size) != SQLITE_OK) {
    return 0;
  }
  return std::clamp<std::int64_t>(size - ofst, 0, amt);
}

void DecipherRegion(const AesDecryptSchedule* form, std::uint32_t pgno, std::uint8_t* p,
                    std::int64_t len, std::int64_t valid) {
  if (form == nullptr) {
    return;
  }
  const std::int64_t whole = std::min(len, std::max<std::int64_t>(valid, 0)) /
                             static_cast<std::int64_t>(kAesBlockSize) *
                             static_cast<std::int64_t>(kAesBlockSize);
  DecipherPage(*form, pgno, {p, static_cast<std::size_t>(whole)});
  if (whole < len) {
    std::memset(p + whole, 0, static_cast<std::size_t>(len - whole));
  }
}

std::uint8_t* HeldRoom(FileState& s, std::int64_t amt, std::int64_t ofst, int& rc) {
  rc = SQLITE_OK;
  HeldWrites& h = s.held;
  const auto n = static_cast<std::size_t>(amt);
  if (h.size > 0 && (ofst != h.End() || h.size + n > kHeldBytes)) {
    rc = FlushPending(s);
    if (rc != SQLITE_OK) {
      return nullptr;
    }
  }
  if (n > kHeldBytes) {
    return nullptr;
  }
  if (h.bytes.size() != kHeldBytes) {
    try {
      h.bytes.resize(kHeldBytes);
    } catch (const std::bad_alloc&) {
      rc = SQLITE_IOERR_NOMEM;
      return nullptr;
    }
  }
  if (h.size == 0) {
    h.offset = ofst;
  }
  std::uint8_t* room = h.bytes.data() + h.size;
  h.size += n;
  return room;
}

int FlushPending(FileState& s) {
  HeldWrites& h = s.held;
  if (h.size == 0) {
    return SQLITE_OK;
  }
  const std::size_t size = h.size;
  h.size = 0;
  const int rc = RealWrite(s, h.bytes.data(), static_cast<std::int64_t>(size), h.offset);
  if (rc != SQLITE_OK && s.kind == Kind::kDatabase) {
    HeldPagesFailed(s, h.offset, size, rc);
  }
  // The file system's own code: a full disk (SQLITE_FULL) stays one, not a mere I/O error.
  return rc;
}

int FlushPartner(FileState& s) {
  CodecFile* partner = s.kind == Kind::kDatabase  ? s.Database().journal
                       : s.kind == Kind::kJournal ? s.db
                                                  : nullptr;
  return partner != nullptr ? FlushPending(*partner->state) : SQLITE_OK;
}

namespace {

struct Layer {
  sqlite3_vfs vfs{};
  sqlite3_vfs* base = nullptr;
  std::string name;
};

constexpr std::size_t Align(std::size_t n) {
  return (n + 15) / 16 * 16;
}
// The engine allocates a file object with its own allocator, which promises 8-byte alignment
// only; the layer's parts of it ask for no more.
static_assert(alignof(CodecFile) <= 8 && alignof(FileState) <= 8);
constexpr std::size_t kStateOffset = Align(sizeof(CodecFile));
constexpr std::size_t kRealOffset = kStateOffset + Align(sizeof(FileState));

// Registered layers live until the process ends: the engine may use a VFS as long as it exists.
template <class T> class Immortal {
 public:
  Immortal() { new (storage_) T(); }
  T& Get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

std::mutex& LayerMutex() {
  static std::mutex mutex;
  return mutex;
}

std::list<Layer>& Layers() {
  static Immortal<std::list<Layer>> layers;
  return layers.Get();
}

std::atomic<IoHook> gHook{nullptr};
std::atomic<void*> gHookContext{nullptr};

IoFile FileOf(Kind kind) {
  switch (kind) {
  case Kind::kDatabase:
    return IoFile::kDatabase;
  case Kind::kJournal:
    return IoFile::kJournal;
  case Kind::kWal:
    return IoFile::kWal;
  case Kind::kOther:
    break;
  }
  return IoFile::kOther;
}

int Observe(IoFile file, IoOp op, std::int64_t offset, std::int64_t amount, int flags = 0) {
  const IoHook hook = gHook.load();
  return hook ? hook(gHookContext.load(), IoEvent{file, op, offset, amount, flags}) : SQLITE_OK;
}

FileState& StateOf(sqlite3_file* file) {
  return *reinterpret_cast<CodecFile*>(file)->state;
}

// ---- io methods ----

int FileClose(sqlite3_file* file) {
  auto* codecFile = reinterpret_cast<CodecFile*>(file);
  FileState& s = *codecFile->state;
  Observe(FileOf(s.kind), IoOp::kClose, 0, 0);
  int rc = FlushPartner(s);
  if (const int flushed = FlushPending(s); rc == SQLITE_OK) {
    rc = flushed;
  }
  if (s.real->pMethods != nullptr) {
    const int closed = s.real->pMethods->xClose(s.real);
    rc = rc != SQLITE_OK ? rc : closed;
  }
  if (DatabaseFile* db = DatabaseOf(s)) {
    if (db->wal == codecFile) {
      db->wal = nullptr;
    }
    if (db->journal == codecFile) {
      db->journal = nullptr;
    }
  }
  s.~FileState(); // a database file's codec record ends with its pager's file
  codecFile->state = nullptr;
  file->pMethods = nullptr;
  return rc;
}

int FileRead(sqlite3_file* file, void* buf, int amt, sqlite3_int64 ofst) {
  FileState& s = StateOf(file);
  if (const int rc = Observe(FileOf(s.kind), IoOp::kRead, ofst, amt); rc != SQLITE_OK) {
    return rc;
  }
  switch (s.kind) {
  case Kind::kDatabase:
    return DatabaseRead(s, buf, amt, ofst);
  case Kind::kJournal:
    return JournalRead(s, buf, amt, ofst);
  case Kind::kWal:
    return WalRead(s, buf, amt, ofst);
  case Kind::kOther:
    break;
  }
  return RealRead(s, buf, amt, ofst);
}

int FileWrite(sqlite3_file* file, const void* buf, int amt, sqlite3_int64 ofst) {
  FileState& s = StateOf(file);
  if (const int rc = Observe(FileOf(s.kind), IoOp::kWrite, ofst, amt); rc != SQLITE_OK) {
    return rc;
  }
  switch (s.kind) {
  case Kind::kDatabase:
    return DatabaseWrite(s, buf, amt, ofst);
  case Kind::kJournal:
    return JournalWrite(s, buf, amt, ofst);
  case Kind::kWal:
    return WalWrite(s, buf, amt, ofst);
  case Kind::kOther:
    break;
  }
  return RealWrite(s, buf, amt, ofst);
}

int FileTruncate(sqlite3_file* file, sqlite3_int64 size) {
  FileState& s = StateOf(file);
  if (const int rc = Observe(FileOf(s.kind), IoOp::kTruncate, size, 0); rc != SQLITE_OK) {
    return rc;
  }
  if (s.kind == Kind::kWal) {
    s.Wal().splitOffset = -1;
    s.Wal().lastFrameHeader = {};
  }
  if (const int rc = FlushPending(s); rc != SQLITE_OK) {
    return rc;
  }
  if (const int rc = FlushPartner(s); rc != SQLITE_OK) {
    return rc;
  }
  return s.real->pMethods->xTruncate(s.real, size);
}

int FileSync(sqlite3_file* file, int flags) {
  FileState& s = StateOf(file);
  if (const int rc = Observe(FileOf(s.kind), IoOp::kSync, 0, flags); rc != SQLITE_OK) {
    return rc;
  }
  if (const int rc = FlushPending(s); rc != SQLITE_OK) {
    return rc;
  }
  if (const int rc = FlushPartner(s); rc != SQLITE_OK) {
    return rc;
  }
  return s.real->pMethods->xSync(s.real, flags);
}

int FileSize(sqlite3_file* file, sqlite3_int64* size) {
  FileState& s = StateOf(file);
  if (const int rc = FlushPending(s); rc != SQLITE_OK) {
    return rc;
  }
  return s.real->pMethods->xFileSize(s.real, size);
}

// Another process sees the file once its lock changes: held writes go first.
int FileLock(sqlite3_file* file, int level) {
  FileState& s = StateOf(file);
  if (const int rc = FlushPending(s); rc != SQLITE_OK) {
    return rc;
  }
  return s.real->pMethods->xLock(s.real, level);
}

int FileUnlock(sqlite3_file* file, int level) {
  FileState& s = StateOf(file);
  if (const int rc = FlushPending(s); rc != SQLITE_OK) {
    return rc;
  }
  if (s.kind == Kind::kDatabase && level <= SQLITE_LOCK_SHARED) {
    s.Database().overwriting = false; // the transaction ended: a copy not synced was rolled back
  }
  return s.real->pMethods->xUnlock(s.real, level);
}

int FileCheckReservedLock(sqlite3_file* file, int* out) {
  FileState& s = StateOf(file);
  return s.real->pMethods->xCheckReservedLock(s.real, out);
}

int FileControl(sqlite3_file* file, int op, void* arg) {
  FileState& s = StateOf(file);
  if (const int rc = FlushPending(s); rc != SQLITE_OK) {
    return rc;
  }
  // VACUUM announces its copy over the file; the commit announces its sync (also when it will
  // not sync), after the last page is written and before the journal is finalized.
  if (s.kind == Kind::kDatabase && op == SQLITE_FCNTL_OVERWRITE) {
    CopyBegins(s);
  } else if (s.kind == Kind::kDatabase && op == SQLITE_FCNTL_SYNC) {
    if (const int rc = CopyWritten(s); rc != SQLITE_OK) {
      return rc;
    }
  }
  return s.real->pMethods->xFileControl(s.real, op, arg);
}

int FileSectorSize(sqlite3_file* file) {
  FileState& s = StateOf(file);
  return s.real->pMethods->xSectorSize(s.real);
}

int FileDeviceCharacteristics(sqlite3_file* file) {
  FileState& s = StateOf(file);
  const int caps = s.real->pMethods->xDeviceCharacteristics(s.real);
  // Reads of parts of pages (direct overflow reads) would need the rest of the page's chain.
  return s.kind == Kind::kDatabase ? caps & ~SQLITE_IOCAP_SUBPAGE_READ : caps;
}

int FileShmMap(sqlite3_file* file, int page, int size, int extend, void volatile** out) {
  FileState& s = StateOf(file);
  return s.real->pMethods->xShmMap(s.real, page, size, extend, out);
}

int FileShmLock(sqlite3_file* file, int offset, int n, int flags) {
  FileState& s = StateOf(file);
  return s.real->pMethods->xShmLock(s.real, offset, n, flags);
}

void FileShmBarrier(sqlite3_file* file) {
  FileState& s = StateOf(file);
  s.real->pMethods->xShmBarrier(s.real);
}

int FileShmUnmap(sqlite3_file* file, int deleteFlag) {
  FileState& s = StateOf(file);
  return s.real->pMethods->xShmUnmap(s.real, deleteFlag);
}

// Memory-mapped pages would bypass the cipher: the layer never maps.
int FileFetch(sqlite3_file*, sqlite3_int64, int, void** out) {
  *out = nullptr;
  return SQLITE_OK;
}

int FileUnfetch(sqlite3_file*, sqlite3_int64, void*) {
  return SQLITE_OK;
}

constexpr sqlite3_io_methods MakeMethods(int version) {
  sqlite3_io_methods m{};
  m.iVersion = version;
  m.xClose = FileClose;
  m.xRead = FileRead;
  m.xWrite = FileWrite;
  m.xTruncate = FileTruncate;
  m.xSync = FileSync;
  m.xFileSize = FileSize;
  m.xLock = FileLock;
  m.xUnlock = FileUnlock;
  m.xCheckReservedLock = FileCheckReservedLock;
  m.xFileControl = FileControl;
  m.xSectorSize = FileSectorSize;
  m.xDeviceCharacteristics = FileDeviceCharacteristics;
  if (version >= 2) {
    m.xShmMap = FileShmMap;
    m.xShmLock = FileShmLock;
    m.xShmBarrier = FileShmBarrier;
    m.xShmUnmap = FileShmUnmap;
  }
  if (version >= 3) {
    m.xFetch = FileFetch;
    m.xUnfetch = FileUnfetch;
  }
  return m;
}

// The layer's methods match the underlying file's version, so the engine sees the same
// capabilities (no write-ahead log without shared memory).
const sqlite3_io_methods kMethods[3] = {MakeMethods(1), MakeMethods(2), MakeMethods(3)};

bool IsCodecFile(const sqlite3_file* file) {
  return file != nullptr && file->pMethods != nullptr &&
         (file->pMethods == &kMethods[0] || file->pMethods == &kMethods[1] ||
          file->pMethods == &kMethods[2]);
}

Kind KindOf(int flags) {
  if (flags & SQLITE_OPEN_MAIN_DB) {
    return Kind::kDatabase;
  }
  if (flags & SQLITE_OPEN_MAIN_JOURNAL) {
    return Kind::kJournal;
  }
  if (flags & SQLITE_OPEN_WAL) {
    return Kind::kWal;
  }
  return Kind::kOther;
}

// ---- vfs methods ----

sqlite3_vfs* Base(sqlite3_vfs* vfs) {
  return static_cast<Layer*>(vfs->pAppData)->base;
}

int LayerOpen(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* file, int flags,
              int* outFlags) {
  auto* codecFile = reinterpret_cast<CodecFile*>(file);
  auto* block = reinterpret_cast<unsigned char*>(file);
  file->pMethods = nullptr;
  const Kind kind = KindOf(flags);
  if (const int rc = Observe(FileOf(kind), IoOp::kOpen, 0, 0, flags); rc != SQLITE_OK) {
    return rc;
  }
  FileState* s = new (block + kStateOffset) FileState();
  s->kind = kind;
  switch (kind) {
  case Kind::kDatabase:
    s->part.emplace<DatabaseFile>();
    break;
  case Kind::kJournal:
    s->part.emplace<JournalFile>();
    break;
  case Kind::kWal:
    s->part.emplace<WalFile>();
    break;
  case Kind::kOther:
    break;
  }
  s->real = reinterpret_cast<sqlite3_file*>(block + kRealOffset);
  s->real->pMethods = nullptr;
  sqlite3_vfs* base = Base(vfs);
  int rc = base->xOpen(base, name, s->real, flags, outFlags);
  if (rc != SQLITE_OK) {
    if (s->real->pMethods != nullptr) {
      s->real->pMethods->xClose(s->real);
    }
    s->~FileState();
    return rc;
  }
  codecFile->state = s;
  file->pMethods = &kMethods[std::clamp(s->real->pMethods->iVersion, 1, 3) - 1];
  if ((kind == Kind::kJournal || kind == Kind::kWal) && name != nullptr) {
    // The engine allocates these names behind its database's, so the database file is found
    // from them.
    sqlite3_file* dbFile = sqlite3_database_file_object(name);
    if (IsCodecFile(dbFile) &&
        std::holds_alternative<DatabaseFile>(reinterpret_cast<CodecFile*>(dbFile)->state->part)) {
      s->db = reinterpret_cast<CodecFile*>(dbFile);
      if (kind == Kind::kWal) {
        s->db->state->Database().wal = codecFile;
      } else {
        s->db->state->Database().journal = codecFile;
      }
    }
  }
  if (kind == Kind::kJournal && (flags & SQLITE_OPEN_CREATE) == 0) {
    rc = VerifyHotJournal(*s); // opened without "create": a hot journal about to be played back
    if (rc != SQLITE_OK) {
      FileClose(file);
      return rc;
    }
  }
  return SQLITE_OK;
}

int LayerDelete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  const std::string_view n = name ? name : "";
  const IoFile file = n.ends_with("-journal") ? IoFile::kJournal
                      : n.ends_with("-wal")   ? IoFile::kWal
                                              : IoFile::kOther;
  if (const int rc = Observe(file, IoOp::kDelete, 0, 0); rc != SQLITE_OK) {
    return rc;
  }
  return Base(vfs)->xDelete(Base(vfs), name, syncDir);
}

int LayerAccess(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return Base(vfs)->xAccess(Base(vfs), name, flags, out);
}

int LayerFullPathname(sqlite3_vfs* vfs, const char* name, int n, char* out) {
  return Base(vfs)->xFullPathname(Base(vfs), name, n, out);
}

void* LayerDlOpen(sqlite3_vfs* vfs, const char* name) {
  return Base(vfs)->xDlOpen(Base(vfs), name);
}

void LayerDlError(sqlite3_vfs* vfs, int n, char* out) {
  Base(vfs)->xDlError(Base(vfs), n, out);
}

void (*LayerDlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return Base(vfs)->xDlSym(Base(vfs), handle, symbol);
}

void LayerDlClose(sqlite3_vfs* vfs, void* handle) {
  Base(vfs)->xDlClose(Base(vfs), handle);
}

int LayerRandomness(sqlite3_vfs* vfs, int n, char* out) {
  return Base(vfs)->xRandomness(Base(vfs), n, out);
}

int LayerSleep(sqlite3_vfs* vfs, int microseconds) {
  return Base(vfs)->xSleep(Base(vfs), microseconds);
}

int LayerCurrentTime(sqlite3_vfs* vfs, double* out) {
  return Base(vfs)->xCurrentTime(Base(vfs), out);
}

int LayerGetLastError(sqlite3_vfs* vfs, int n, char* out) {
  return Base(vfs)->xGetLastError ? Base(vfs)->xGetLastError(Base(vfs), n, out) : 0;
}

int LayerCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return Base(vfs)->xCurrentTimeInt64(Base(vfs), out);
}

int LayerSetSystemCall(sqlite3_vfs* vfs, const char* name, sqlite3_syscall_ptr call) {
  return Base(vfs)->xSetSystemCall(Base(vfs), name, call);
}

sqlite3_syscall_ptr LayerGetSystemCall(sqlite3_vfs* vfs, const char* name) {
  return Base(vfs)->xGetSystemCall(Base(vfs), name);
}

const char* LayerNextSystemCall(sqlite3_vfs* vfs, const char* name) {
  return Base(vfs)->xNextSystemCall(Base(vfs), name);
}

bool IsLayer(const sqlite3_vfs* vfs) {
  return vfs != nullptr && vfs->xOpen == LayerOpen;
}

} // namespace
} // namespace codec_layer

using namespace codec_layer;

sqlite3_vfs* CodecVfsOver(const char* baseName) {
  if (sqlite3_initialize() != SQLITE_OK) {
    return nullptr;
  }
  const std::lock_guard lock(LayerMutex());
  sqlite3_vfs* base = sqlite3_vfs_find(baseName && *baseName ? baseName : nullptr);
  if (base == nullptr || IsLayer(base)) {
    return base;
  }
  for (Layer& layer : Layers()) {
    if (layer.base == base) {
      return &layer.vfs;
    }
  }
  const bool makeDefault = base == sqlite3_vfs_find(nullptr);
  Layer& layer = Layers().emplace_back();
  layer.base = base;
  layer.name = std::string("ketcodec-") + base->zName;
  sqlite3_vfs& v = layer.vfs;
  v.iVersion = std::min(base->iVersion, 3);
  v.szOsFile = static_cast<int>(kRealOffset) + base->szOsFile;
  v.mxPathname = base->mxPathname;
  v.zName = layer.name.c_str();
  v.pAppData = &layer;
  v.xOpen = LayerOpen;
  v.xDelete = LayerDelete;
  v.xAccess = LayerAccess;
  v.xFullPathname = LayerFullPathname;
  v.xDlOpen = LayerDlOpen;
  v.xDlError = LayerDlError;
  v.xDlSym = LayerDlSym;
  v.xDlClose = LayerDlClose;
  v.xRandomness = LayerRandomness;
  v.xSleep = LayerSleep;
  v.xCurrentTime = LayerCurrentTime;
  v.xGetLastError = LayerGetLastError;
  if (v.iVersion >= 2) {
    v.xCurrentTimeInt64 = LayerCurrentTimeInt64;
  }
  if (v.iVersion >= 3) {
    v.xSetSystemCall = LayerSetSystemCall;
    v.xGetSystemCall = LayerGetSystemCall;
    v.xNextSystemCall = LayerNextSystemCall;
  }
  sqlite3_vfs_register(&v, makeDefault ? 1 : 0);
  return &v;
}

CodecFile* FindCodecFile(sqlite3* db, const char* name, bool* foreign) {
  sqlite3_file* file = nullptr;
  *foreign = false;
  if (sqlite3_file_control(db, name, SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr) {
    return nullptr;
  }
  if (!IsCodecFile(file)) {
    *foreign = true;
    return nullptr;
  }
  return reinterpret_cast<CodecFile*>(file);
}

PageCodec* CodecOf(const CodecFile& file) {
  return file.state->Database().keys.Codec();
}

int PageSizeOf(const CodecFile& file) {
  return static_cast<int>(file.state->Database().pageSize);
}

void AttachCodec(CodecFile& file, std::unique_ptr<PageCodec> codec) {
  file.state->Database().keys.Attach(std::move(codec));
}

void SetCodecIoHook(IoHook hook, void* context) {
  gHookContext.store(context);
  gHook.store(hook);
}

} // namespace ket
