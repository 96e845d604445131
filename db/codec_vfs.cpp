#include "db/codec_vfs.h"

#include "db/sqlite_bridge.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace ket {
namespace {

constexpr std::array<std::uint8_t, 16> kDatabaseMagic = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                                         'o', 'r', 'm', 'a', 't', ' ', '3', 0};
constexpr std::array<std::uint8_t, 8> kJournalMagic = {0xd9, 0xd5, 0x05, 0xf9,
                                                       0x20, 0xa1, 0x63, 0xd7};
constexpr std::int64_t kJournalHeaderFields = 28;
constexpr std::uint32_t kJournalNoSyncCount = 0xffffffff;
// With synced journals every counted record is durable before the database is touched, so a
// few of them can be checked; without, only the first one is sure to be whole.
constexpr int kCheckedJournalRecords = 8;
constexpr std::int64_t kWalHeaderSize = 32;
constexpr std::int64_t kWalFrameHeaderSize = 24;
constexpr std::uint32_t kWalMagic = 0x377f0682;
constexpr std::uint32_t kWalVersion = 3007000;
constexpr std::int64_t kMaxSectorSize = 65536;
// Page 1 has at least this many bytes whatever the page size.
constexpr std::int64_t kSmallestPage = 512;

bool IsPageSize(std::int64_t n) {
  return n >= 512 && n <= 65536 && (n & (n - 1)) == 0;
}

std::int64_t RoundUpToBlock(std::int64_t n) {
  return (n + static_cast<std::int64_t>(kAesBlockSize) - 1) /
         static_cast<std::int64_t>(kAesBlockSize) * static_cast<std::int64_t>(kAesBlockSize);
}

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

std::uint32_t Le32(const std::uint8_t* p) {
  return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) |
         std::uint32_t{p[0]};
}

// The engine's page number of its lock-byte page for a page size; never a journal record's.
std::uint32_t LockBytePage(std::int64_t pageSize) {
  return static_cast<std::uint32_t>(ket_sqlite3_pending_byte() / pageSize + 1);
}

enum class Kind { kDatabase, kJournal, kWal, kOther };

struct Last4 {
  std::int64_t offset = -1;
  std::uint32_t value = 0;
};

// Buffers of the layer that hold page images (plain ones among them) wipe themselves when freed
// (SecretBytes), as do the schedules.
struct RekeyState {
  PageForm newForm;
  std::vector<bool> newPages; // by page number: the file holds the page in the new form
  // The page image the rollback journal gave the engine last; writing those same bytes back to
  // the database is a rollback restoring the page, which keeps the journal's form.
  bool tokenValid = false;
  std::uint32_t tokenPage = 0;
  SecretBytes tokenStored;
  SecretBytes tokenPlain;
};

struct Layer;

struct FileState {
  Kind kind = Kind::kOther;
  sqlite3_file* real = nullptr;
  CodecFile* db = nullptr; // journal and log: the database they belong to
  // Database file.
  std::unique_ptr<PageCodec> codec;
  std::int64_t pageSize = 0;
  CodecFile* wal = nullptr;
  CodecFile* journal = nullptr;
  std::unique_ptr<RekeyState> rekey;
  // Rollback journal: the last 4-byte read and write, a record's page number; appends not yet
  // handed to the file.
  Last4 lastRead;
  Last4 lastWrite;
  SecretBytes pending;
  std::int64_t pendingOffset = 0;
  // Write-ahead log.
  std::int64_t walPageSize = 0;
  Last4 lastFrameHeader;
  bool walHeaderJustRead = false;
  std::array<std::uint8_t, kWalHeaderSize> walHeader{};
  SecretBytes split; // leading part of a page the engine wrote in two pieces
  std::int64_t splitOffset = -1;
};

struct Layer {
  sqlite3_vfs vfs{};
  sqlite3_vfs* base = nullptr;
  std::string name;
};

} // namespace

// What the engine allocates for a file of a codec layer: this header, then the FileState, then
// the underlying VFS's own file object.
struct CodecFile {
  sqlite3_file base; // first: the engine's view of the file
  FileState* state;  // constructed in place in the same allocation
};

namespace {

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

int RealRead(FileState& s, void* buf, std::int64_t amt, std::int64_t ofst) {
  return s.real->pMethods->xRead(s.real, buf, static_cast<int>(amt), ofst);
}

int RealWrite(FileState& s, const void* buf, std::int64_t amt, std::int64_t ofst) {
  return s.real->pMethods->xWrite(s.real, buf, static_cast<int>(amt), ofst);
}

// A journal is written record by record in three small pieces; consecutive appends are handed to
// the file together. Held-back bytes go to the file before anything else is done with the
// journal and before any write to its database, so the order in which bytes reach the system
// is the engine's (a killed process loses nothing the engine had written).
// Batches stay well below what one write of the platform's VFS takes (the Unix VFS's limit is
// just under 128 KiB).
constexpr std::size_t kJournalBatch = 64 * 1024;

int FlushPending(FileState& s) {
  if (s.pending.empty()) {
    return SQLITE_OK;
  }
  const int rc =
      RealWrite(s, s.pending.data(), static_cast<std::int64_t>(s.pending.size()), s.pendingOffset);
  s.pending.clear();
  // The file system's own code: a full disk (SQLITE_FULL) stays one, not a mere I/O error.
  return rc;
}

// Before the database file is changed, its journal's bytes are written.
int FlushJournalOf(FileState& db) {
  return db.journal != nullptr ? FlushPending(*db.journal->state) : SQLITE_OK;
}

int JournalAppend(FileState& s, const void* buf, std::int64_t amt, std::int64_t ofst) {
  const auto end = s.pendingOffset + static_cast<std::int64_t>(s.pending.size());
  const auto size = static_cast<std::size_t>(amt);
  const bool append = s.pending.empty() || ofst == end;
  if (!append || s.pending.size() + size > kJournalBatch) {
    if (const int rc = FlushPending(s); rc != SQLITE_OK) {
      return rc;
    }
  }
  // Anything but an append (the header's record count, a committing header) goes at once.
  if (!append || size > kJournalBatch) {
    return RealWrite(s, buf, amt, ofst);
  }
  if (s.pending.empty()) {
    s.pendingOffset = ofst;
  }
  try {
    const auto* p = static_cast<const std::uint8_t*>(buf);
    s.pending.insert(s.pending.end(), p, p + amt);
  } catch (const std::bad_alloc&) {
    s.pending.clear();
    return SQLITE_IOERR_NOMEM;
  }
  return SQLITE_OK;
}

// How many bytes a read of `amt` at `ofst` that came back short really got.
std::int64_t ValidAfterShortRead(FileState& s, std::int64_t ofst, std::int64_t amt) {
  sqlite3_int64 size = 0;
  if (s.real->pMethods->xFileSize(s.real, &size) != SQLITE_OK) {
    return 0;
  }
  return std::clamp<std::int64_t>(size - ofst, 0, amt);
}

// Deciphers `len` bytes at the start of page `pgno` (or its leading part); bytes the file did not
// have (beyond `valid`) read as zeros, as the engine expects of a short read.
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

// The form the database file holds page `pgno` in, as the schedule to decipher it, or null.
const AesDecryptSchedule* StoredForm(const FileState& db, std::uint32_t pgno) {
  const PageCodec* codec = db.codec.get();
  if (codec == nullptr) {
    return nullptr;
  }
  if (db.rekey && pgno < db.rekey->newPages.size() && db.rekey->newPages[pgno]) {
    return db.rekey->newForm.keyed ? &db.rekey->newForm.decrypt : nullptr;
  }
  return codec->decryptKeySet ? &codec->decryptSchedule : nullptr;
}

// Pages in the log: written in the write form. Outside a re-key that is the key the file is
// stored in; a re-key starts on an empty log, so during it every frame is in the new form.
const AesDecryptSchedule* WalForm(const FileState& db) {
  const PageCodec* codec = db.codec.get();
  if (codec == nullptr) {
    return nullptr;
  }
  if (db.rekey) {
    return db.rekey->newForm.keyed ? &db.rekey->newForm.decrypt : nullptr;
  }
  return codec->decryptKeySet ? &codec->decryptSchedule : nullptr;
}

void LearnPageSize(FileState& db, const std::uint8_t* header, std::int64_t len) {
  if (len < 18 || std::memcmp(header, kDatabaseMagic.data(), kDatabaseMagic.size()) != 0) {
    return;
  }
  std::int64_t size = (std::int64_t{header[16]} << 8) | header[17];
  if (size == 1) {
    size = 65536;
  }
  if (IsPageSize(size)) {
    db.pageSize = size;
  }
}

int EnsureBuffer(PageCodec& codec, std::int64_t size) {
  if (codec.pageSize == size && codec.pageBuffer.size() == static_cast<std::size_t>(size)) {
    return SQLITE_OK;
  }
  try {
    codec.SetPageSize(static_cast<int>(size));
  } catch (const std::bad_alloc&) {
    return SQLITE_IOERR_NOMEM;
  }
  return SQLITE_OK;
}

// ---- database file ----

int DatabaseRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst) {
  auto* p = static_cast<std::uint8_t*>(buf);
  if (!s.codec) {
    const int rc = RealRead(s, buf, amt, ofst);
    if (rc == SQLITE_OK && ofst == 0) {
      LearnPageSize(s, p, amt);
    }
    return rc;
  }
  const std::int64_t known = s.pageSize;
  const bool pages = known > 0 && ofst % known == 0 && amt % known == 0;
  // Before the page size is known the engine reads page 1 with the size it assumes; any leading
  // part of a page deciphers on its own, so that read is taken as one page of its own size.
  const bool onePage = !pages && IsPageSize(amt) && ofst % amt == 0;
  if (pages || onePage) {
    int rc = RealRead(s, buf, amt, ofst);
    if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ) {
      return rc;
    }
    const std::int64_t valid = rc == SQLITE_OK ? amt : ValidAfterShortRead(s, ofst, amt);
    const std::int64_t size = pages ? known : amt;
    for (std::int64_t k = 0; k < amt; k += size) {
      const auto pgno = static_cast<std::uint32_t>((ofst + k) / size + 1);
      DecipherRegion(StoredForm(s, pgno), pgno, p + k, size, valid - k);
    }
    if (ofst == 0) {
      LearnPageSize(s, p, amt);
    }
    return rc;
  }
  // A part of a page (the header fields the engine reads on their own): read from the page's
  // start, which the CBC chain needs, and decipher up to the end of the last block wanted.
  const std::int64_t unit = known > 0 ? known : kSmallestPage;
  const std::int64_t start = ofst / unit * unit;
  if (ofst + amt > start + unit || (known == 0 && start != 0)) {
    return SQLITE_IOERR_READ;
  }
  const std::int64_t len = RoundUpToBlock(ofst + amt - start);
  SecretBytes part;
  try {
    part.resize(static_cast<std::size_t>(len));
  } catch (const std::bad_alloc&) {
    return SQLITE_IOERR_NOMEM;
  }
  int rc = RealRead(s, part.data(), len, start);
  if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ) {
    return rc;
  }
  const std::int64_t valid = rc == SQLITE_OK ? len : ValidAfterShortRead(s, start, len);
  const auto pgno = static_cast<std::uint32_t>(start / unit + 1);
  DecipherRegion(StoredForm(s, pgno), pgno, part.data(), len, valid);
  if (start == 0) {
    LearnPageSize(s, part.data(), len);
  }
  std::memcpy(p, part.data() + (ofst - start), static_cast<std::size_t>(amt));
  return valid >= ofst + amt - start ? SQLITE_OK : SQLITE_IOERR_SHORT_READ;
}

int DatabaseWrite(FileState& s, const void* buf, int amt, sqlite3_int64 ofst) {
  if (const int rc = FlushJournalOf(s); rc != SQLITE_OK) {
    return rc;
  }
  const auto* p = static_cast<const std::uint8_t*>(buf);
  if (ofst == 0) {
    LearnPageSize(s, p, amt);
  }
  PageCodec* codec = s.codec.get();
  RekeyState* rekey = s.rekey.get();
  if (codec == nullptr || (!codec->writeKeySet && rekey == nullptr)) {
    return RealWrite(s, buf, amt, ofst);
  }
  if (s.pageSize == 0 && IsPageSize(amt) && ofst % amt == 0) {
    s.pageSize = amt;
  }
  const std::int64_t size = s.pageSize;
  if (size == 0 || ofst % size != 0 || amt % size != 0) {
    return SQLITE_IOERR_WRITE; // never asked for: the engine writes whole pages
  }
  if (const int rc = EnsureBuffer(*codec, size); rc != SQLITE_OK) {
    return rc;
  }
  int rc = SQLITE_OK;
  for (std::int64_t k = 0; k < amt && rc == SQLITE_OK; k += size) {
    const auto pgno = static_cast<std::uint32_t>((ofst + k) / size + 1);
    const std::uint8_t* src = p + k;
    const std::uint8_t* out = src;
    bool newForm = true;
    if (rekey && rekey->tokenValid && rekey->tokenPage == pgno &&
        rekey->tokenPlain.size() == static_cast<std::size_t>(size) &&
        std::memcmp(src, rekey->tokenPlain.data(), static_cast<std::size_t>(size)) == 0) {
      out = rekey->tokenStored.data();
      newForm = false;
    } else if (codec->writeKeySet) {
      EncipherPage(codec->writeSchedule, pgno, {src, static_cast<std::size_t>(size)},
                   {codec->pageBuffer.data(), static_cast<std::size_t>(size)});
      out = codec->pageBuffer.data();
    }
    rc = RealWrite(s, out, size, ofst + k);
    if (rc == SQLITE_OK && rekey) {
      try {
        if (pgno >= rekey->newPages.size()) {
          rekey->newPages.resize(pgno + 1);
        }
        rekey->newPages[pgno] = newForm;
      } catch (const std::bad_alloc&) {
        rc = SQLITE_IOERR_NOMEM;
      }
    }
  }
  if (rekey) {
    rekey->tokenValid = false;
  }
  return rc;
}

// ---- rollback journal ----

bool IsRecordPage(std::uint32_t pgno, std::int64_t pageSize) {
  return pgno >= 1 && pgno != LockBytePage(pageSize);
}

int JournalRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst) {
  if (const int flushed = FlushPending(s); flushed != SQLITE_OK) {
    return flushed;
  }
  const int rc = RealRead(s, buf, amt, ofst);
  auto* p = static_cast<std::uint8_t*>(buf);
  const Last4 before = s.lastRead;
  s.lastRead = {};
  if (rc != SQLITE_OK) {
    return rc;
  }
  if (amt == 4) {
    s.lastRead = {ofst, Be32(p)};
    return rc;
  }
  if (!IsPageSize(amt) || before.offset != ofst - 4 || !IsRecordPage(before.value, amt) ||
      s.db == nullptr) {
    return rc;
  }
  FileState& db = *s.db->state;
  PageCodec* codec = db.codec.get();
  if (codec == nullptr) {
    return rc;
  }
  RekeyState* rekey = db.rekey.get();
  const auto size = static_cast<std::size_t>(amt);
  bool keepToken = rekey != nullptr;
  if (keepToken && rekey->tokenStored.size() != size) {
    try {
      rekey->tokenStored.resize(size);
      rekey->tokenPlain.resize(size);
    } catch (const std::bad_alloc&) {
      keepToken = false; // then the re-key's end puts the page back
    }
  }
  if (keepToken) {
    std::memcpy(rekey->tokenStored.data(), p, size);
  }
  if (codec->decryptKeySet) {
    DecipherPage(codec->decryptSchedule, before.value, {p, size});
  }
  if (keepToken) {
    std::memcpy(rekey->tokenPlain.data(), p, size);
    rekey->tokenPage = before.value;
    rekey->tokenValid = true;
  }
  return rc;
}

int JournalWrite(FileState& s, const void* buf, int amt, sqlite3_int64 ofst) {
  const auto* p = static_cast<const std::uint8_t*>(buf);
  const Last4 before = s.lastWrite;
  s.lastWrite = {};
  if (amt == 4) {
    s.lastWrite = {ofst, Be32(p)};
    return JournalAppend(s, buf, amt, ofst);
  }
  PageCodec* codec = s.db ? s.db->state->codec.get() : nullptr;
  if (codec == nullptr || !codec->readKeySet || !IsPageSize(amt) || before.offset != ofst - 4 ||
      !IsRecordPage(before.value, amt)) {
    return JournalAppend(s, buf, amt, ofst);
  }
  if (const int rc = EnsureBuffer(*codec, amt); rc != SQLITE_OK) {
    return rc;
  }
  // The image goes into the journal as the database file holds the page: in the read key.
  const auto size = static_cast<std::size_t>(amt);
  EncipherPage(codec->readSchedule, before.value, {p, size}, {codec->pageBuffer.data(), size});
  return JournalAppend(s, codec->pageBuffer.data(), amt, ofst);
}

// A hot journal is checked before the engine plays it back. The engine's record checksums are
// over plain pages, so under a wrong key (or none) every record would look torn: the engine would
// delete the journal and leave a half re-keyed or half written file for good. A journal whose
// first records do not check out under this connection's key is refused with an I/O error and
// left in place for a connection with the right key.
int VerifyHotJournal(FileState& s) {
  if (s.db == nullptr) {
    return SQLITE_OK;
  }
  FileState& db = *s.db->state;
  sqlite3_int64 size = 0;
  if (const int rc = s.real->pMethods->xFileSize(s.real, &size); rc != SQLITE_OK) {
    return rc;
  }
  if (size < kJournalHeaderFields) {
    return SQLITE_OK;
  }
  std::array<std::uint8_t, kJournalHeaderFields> header{};
  if (const int rc = RealRead(s, header.data(), header.size(), 0); rc != SQLITE_OK) {
    return rc;
  }
  if (std::memcmp(header.data(), kJournalMagic.data(), kJournalMagic.size()) != 0) {
    return SQLITE_OK; // not a journal the engine would play back
  }
  const std::uint32_t count = Be32(header.data() + 8);
  const std::uint32_t checksumInit = Be32(header.data() + 12);
  const std::uint32_t originalPages = Be32(header.data() + 16);
  const std::int64_t sector = Be32(header.data() + 20);
  const std::int64_t pageSize = Be32(header.data() + 24);
  if (!IsPageSize(pageSize) || sector < 32 || sector > kMaxSectorSize ||
      (sector & (sector - 1)) != 0) {
    return SQLITE_OK;
  }
  const std::int64_t recordSize = pageSize + 8;
  const bool counted = count != kJournalNoSyncCount;
  const std::int64_t records = counted ? count : (size - sector) / recordSize;
  const int wanted = counted ? kCheckedJournalRecords : 1;
  SecretBytes record;
  try {
    record.resize(static_cast<std::size_t>(recordSize));
  } catch (const std::bad_alloc&) {
    return SQLITE_IOERR_NOMEM;
  }
  const AesDecryptSchedule* form =
      db.codec && db.codec->decryptKeySet ? &db.codec->decryptSchedule : nullptr;
  int checked = 0;
  for (std::int64_t r = 0; r < records && checked < wanted; ++r) {
    const std::int64_t offset = sector + r * recordSize;
    if (offset + recordSize > size) {
      break;
    }
    if (const int rc = RealRead(s, record.data(), recordSize, offset); rc != SQLITE_OK) {
      return rc;
    }
    const std::uint32_t pgno = Be32(record.data());
    if (!IsRecordPage(pgno, pageSize)) {
      break; // where the engine's playback stops too
    }
    if (pgno > originalPages) {
      continue; // skipped by the playback without a check
    }
    std::uint8_t* image = record.data() + 4;
    DecipherRegion(form, pgno, image, pageSize, pageSize);
    std::uint32_t sum = checksumInit;
    for (std::int64_t i = pageSize - 200; i > 0; i -= 200) {
      sum += image[i];
    }
    if (sum != Be32(image + pageSize)) {
      return SQLITE_IOERR_DATA;
    }
    if (pgno == 1 && std::memcmp(image, kDatabaseMagic.data(), kDatabaseMagic.size()) != 0) {
      return SQLITE_IOERR_DATA;
    }
    ++checked;
  }
  return SQLITE_OK;
}

// ---- write-ahead log ----

void WalChecksum(bool bigEndian, const std::uint8_t* p, std::int64_t n, std::uint32_t& s1,
                 std::uint32_t& s2) {
  for (std::int64_t i = 0; i < n; i += 8) {
    s1 += (bigEndian ? Be32(p + i) : Le32(p + i)) + s2;
    s2 += (bigEndian ? Be32(p + i + 4) : Le32(p + i + 4)) + s1;
  }
}

std::int64_t WalPageSize(FileState& s) {
  if (s.walPageSize == 0) {
    std::array<std::uint8_t, kWalHeaderSize> header{};
    if (RealRead(s, header.data(), header.size(), 0) == SQLITE_OK &&
        IsPageSize(Be32(header.data() + 8))) {
      s.walPageSize = Be32(header.data() + 8);
    }
  }
  return s.walPageSize;
}

int FramePageNumber(FileState& s, std::int64_t frameOffset, std::uint32_t& pgno) {
  if (s.lastFrameHeader.offset == frameOffset) {
    pgno = s.lastFrameHeader.value;
    return SQLITE_OK;
  }
  std::array<std::uint8_t, 4> field{};
  const int rc = RealRead(s, field.data(), field.size(), frameOffset);
  pgno = Be32(field.data());
  return rc;
}

// Recovery reads the log header and then the first frame. When that frame's salts say it belongs
// to the log but its checksum fails under this connection's key, it is a torn write or a wrong
// key; either way the engine drops the log, and at close deletes it. That loses nothing unless
// the log holds a committed transaction, which the frame headers (plain) show: then the key is
// taken to be wrong and the log is refused, left for a connection with the right key.
int VerifyFirstFrame(FileState& wal, const std::uint8_t* frame, std::int64_t pageSize) {
  const auto& h = wal.walHeader;
  const std::uint32_t magic = Be32(h.data());
  if ((magic & ~1u) != kWalMagic || Be32(h.data() + 4) != kWalVersion ||
      Be32(h.data() + 8) != pageSize) {
    return SQLITE_OK;
  }
  const bool bigEndian = (magic & 1u) != 0;
  std::uint32_t s1 = 0, s2 = 0;
  WalChecksum(bigEndian, h.data(), 24, s1, s2);
  if (s1 != Be32(h.data() + 24) || s2 != Be32(h.data() + 28)) {
    return SQLITE_OK;
  }
  if (std::memcmp(frame + 8, h.data() + 16, 8) != 0 || Be32(frame) == 0) {
    return SQLITE_OK; // left over from an earlier generation of the log: nothing to lose
  }
  WalChecksum(bigEndian, frame, 8, s1, s2);
  WalChecksum(bigEndian, frame + kWalFrameHeaderSize, pageSize, s1, s2);
  if (s1 == Be32(frame + 16) && s2 == Be32(frame + 20)) {
    return SQLITE_OK;
  }
  sqlite3_int64 size = 0;
  if (wal.real->pMethods->xFileSize(wal.real, &size) != SQLITE_OK) {
    return SQLITE_IOERR_DATA;
  }
  const std::int64_t frameSize = pageSize + kWalFrameHeaderSize;
  std::array<std::uint8_t, kWalFrameHeaderSize> header{};
  for (std::int64_t at = kWalHeaderSize; at + frameSize <= size; at += frameSize) {
    if (RealRead(wal, header.data(), header.size(), at) != SQLITE_OK ||
        std::memcmp(header.data() + 8, h.data() + 16, 8) != 0) {
      break;
    }
    if (Be32(header.data() + 4) != 0) {
      return SQLITE_IOERR_DATA; // a commit frame
    }
  }
  return SQLITE_OK;
}

int WalRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst) {
  const int rc = RealRead(s, buf, amt, ofst);
  auto* p = static_cast<std::uint8_t*>(buf);
  const bool afterHeader = s.walHeaderJustRead;
  s.walHeaderJustRead = false;
  if (rc != SQLITE_OK) {
    return rc;
  }
  if (ofst == 0 && amt >= kWalHeaderSize) {
    std::memcpy(s.walHeader.data(), p, s.walHeader.size());
    if (IsPageSize(Be32(p + 8))) {
      s.walPageSize = Be32(p + 8);
    }
    s.walHeaderJustRead = amt == kWalHeaderSize;
    return rc;
  }
  FileState* db = s.db ? s.db->state : nullptr;
  if (db == nullptr || ofst < kWalHeaderSize) {
    return rc;
  }
  const std::int64_t pageSize = WalPageSize(s);
  if (pageSize == 0) {
    return rc;
  }
  const std::int64_t frameSize = pageSize + kWalFrameHeaderSize;
  const std::int64_t inFrame = (ofst - kWalHeaderSize) % frameSize;
  if (inFrame == 0 && amt == frameSize) {
    const std::uint32_t pgno = Be32(p);
    DecipherRegion(WalForm(*db), pgno, p + kWalFrameHeaderSize, pageSize, pageSize);
    // Also without a key: a plain connection must not drop an encrypted log either.
    if (afterHeader && ofst == kWalHeaderSize) {
      return VerifyFirstFrame(s, p, pageSize);
    }
    return rc;
  }
  if (db->codec && inFrame == kWalFrameHeaderSize && amt <= pageSize &&
      amt % static_cast<int>(kAesBlockSize) == 0) {
    std::uint32_t pgno = 0;
    if (FramePageNumber(s, ofst - kWalFrameHeaderSize, pgno) != SQLITE_OK) {
      return SQLITE_IOERR_READ;
    }
    DecipherRegion(WalForm(*db), pgno, p, amt, amt);
  }
  return rc;
}

int WalWritePage(FileState& s, PageCodec& codec, std::uint32_t pgno, const std::uint8_t* page,
                 std::int64_t pageSize, std::int64_t ofst) {
  if (!codec.writeKeySet) {
    return RealWrite(s, page, pageSize, ofst);
  }
  if (const int rc = EnsureBuffer(codec, pageSize); rc != SQLITE_OK) {
    return rc;
  }
  const auto size = static_cast<std::size_t>(pageSize);
  EncipherPage(codec.writeSchedule, pgno, {page, size}, {codec.pageBuffer.data(), size});
  return RealWrite(s, codec.pageBuffer.data(), pageSize, ofst);
}

int WalWrite(FileState& s, const void* buf, int amt, sqlite3_int64 ofst) {
  const auto* p = static_cast<const std::uint8_t*>(buf);
  if (ofst == 0 && amt >= kWalHeaderSize) {
    if (IsPageSize(Be32(p + 8))) {
      s.walPageSize = Be32(p + 8);
    }
    return RealWrite(s, buf, amt, ofst);
  }
  PageCodec* codec = s.db ? s.db->state->codec.get() : nullptr;
  if (codec == nullptr || ofst < kWalHeaderSize) {
    return RealWrite(s, buf, amt, ofst);
  }
  const std::int64_t pageSize = WalPageSize(s);
  if (pageSize == 0) {
    return SQLITE_IOERR_WRITE;
  }
  const std::int64_t frameSize = pageSize + kWalFrameHeaderSize;
  const std::int64_t inFrame = (ofst - kWalHeaderSize) % frameSize;
  if (inFrame == 0 && amt == kWalFrameHeaderSize) {
    s.lastFrameHeader = {ofst, Be32(p)};
    return RealWrite(s, buf, amt, ofst);
  }
  if (inFrame == 0 && amt == frameSize) {
    int rc = RealWrite(s, p, kWalFrameHeaderSize, ofst);
    if (rc == SQLITE_OK) {
      rc = WalWritePage(s, *codec, Be32(p), p + kWalFrameHeaderSize, pageSize,
                        ofst + kWalFrameHeaderSize);
    }
    return rc;
  }
  if (inFrame == kWalFrameHeaderSize && amt == pageSize) {
    std::uint32_t pgno = 0;
    if (FramePageNumber(s, ofst - kWalFrameHeaderSize, pgno) != SQLITE_OK) {
      return SQLITE_IOERR_WRITE;
    }
    return WalWritePage(s, *codec, pgno, p, pageSize, ofst);
  }
  // With power-safe overwrite off the engine may split a page around a sync point. The first
  // piece is held back until the rest arrives; the sync between them covers only the frames
  // before, which is all it is there for.
  if (inFrame == kWalFrameHeaderSize && amt < pageSize) {
    try {
      s.split.assign(p, p + amt);
    } catch (const std::bad_alloc&) {
      return SQLITE_IOERR_NOMEM;
    }
    s.splitOffset = ofst;
    return SQLITE_OK;
  }
  if (s.splitOffset >= 0 && ofst == s.splitOffset + static_cast<std::int64_t>(s.split.size()) &&
      static_cast<std::int64_t>(s.split.size()) + amt == pageSize) {
    try {
      s.split.insert(s.split.end(), p, p + amt);
    } catch (const std::bad_alloc&) {
      return SQLITE_IOERR_NOMEM;
    }
    const std::int64_t start = s.splitOffset;
    s.splitOffset = -1;
    std::uint32_t pgno = 0;
    if (FramePageNumber(s, start - kWalFrameHeaderSize, pgno) != SQLITE_OK) {
      return SQLITE_IOERR_WRITE;
    }
    const int rc = WalWritePage(s, *codec, pgno, s.split.data(), pageSize, start);
    s.split.clear();
    return rc;
  }
  if (inFrame > kWalFrameHeaderSize) {
    return SQLITE_IOERR_WRITE; // a piece of a page that cannot be enciphered on its own
  }
  return RealWrite(s, buf, amt, ofst); // (a piece of) a frame header
}

// ---- io methods ----

int FileClose(sqlite3_file* file) {
  auto* codecFile = reinterpret_cast<CodecFile*>(file);
  FileState& s = *codecFile->state;
  Observe(FileOf(s.kind), IoOp::kClose, 0, 0);
  int rc = FlushPending(s);
  if (s.real->pMethods != nullptr) {
    const int closed = s.real->pMethods->xClose(s.real);
    rc = rc != SQLITE_OK ? rc : closed;
  }
  if (s.kind == Kind::kWal && s.db != nullptr && s.db->state->wal == codecFile) {
    s.db->state->wal = nullptr;
  }
  if (s.kind == Kind::kJournal && s.db != nullptr && s.db->state->journal == codecFile) {
    s.db->state->journal = nullptr;
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
    s.splitOffset = -1;
    s.lastFrameHeader = {};
  }
  if (const int rc = FlushPending(s); rc != SQLITE_OK) {
    return rc;
  }
  if (const int rc = FlushJournalOf(s); rc != SQLITE_OK) {
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
  if (const int rc = FlushJournalOf(s); rc != SQLITE_OK) {
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

int FileLock(sqlite3_file* file, int level) {
  FileState& s = StateOf(file);
  return s.real->pMethods->xLock(s.real, level);
}

int FileUnlock(sqlite3_file* file, int level) {
  FileState& s = StateOf(file);
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
    if (IsCodecFile(dbFile)) {
      s->db = reinterpret_cast<CodecFile*>(dbFile);
      if (kind == Kind::kWal) {
        s->db->state->wal = codecFile;
      } else {
        s->db->state->journal = codecFile;
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
  return file.state->codec.get();
}

int PageSizeOf(const CodecFile& file) {
  return static_cast<int>(file.state->pageSize);
}

void AttachCodec(CodecFile& file, std::unique_ptr<PageCodec> codec) {
  file.state->codec = std::move(codec);
}

int BeginRekeyTracking(CodecFile& file, const PageForm& newForm) {
  FileState& s = *file.state;
  try {
    auto rekey = std::make_unique<RekeyState>();
    rekey->newForm = newForm;
    sqlite3_int64 size = 0;
    if (s.pageSize > 0 && s.real->pMethods->xFileSize(s.real, &size) == SQLITE_OK) {
      rekey->newPages.resize(static_cast<std::size_t>(size / s.pageSize + 2));
    }
    s.rekey = std::move(rekey);
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  }
  return SQLITE_OK;
}

int EndRekeyTracking(CodecFile& file, bool committed) {
  FileState& s = *file.state;
  std::unique_ptr<RekeyState> rekey = std::move(s.rekey);
  if (committed || !rekey || !s.codec || s.pageSize == 0) {
    return SQLITE_OK;
  }
  // Pages the rollback could not put back in the old form (a journal held in memory, an engine
  // path that bypassed the journal's form) are rewritten in it here; the content is the same.
  const std::int64_t pageSize = s.pageSize;
  sqlite3_int64 size = 0;
  int rc = s.real->pMethods->xFileSize(s.real, &size);
  if (rc != SQLITE_OK) {
    return rc;
  }
  PageCodec& codec = *s.codec;
  SecretBytes page;
  try {
    page.resize(static_cast<std::size_t>(pageSize));
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  }
  bool repaired = false;
  for (std::size_t pgno = 1; pgno < rekey->newPages.size() && rc == SQLITE_OK; ++pgno) {
    const std::int64_t offset = static_cast<std::int64_t>(pgno - 1) * pageSize;
    if (!rekey->newPages[pgno] || offset + pageSize > size) {
      continue;
    }
    rc = RealRead(s, page.data(), pageSize, offset);
    if (rc != SQLITE_OK) {
      break;
    }
    const auto pn = static_cast<std::uint32_t>(pgno);
    if (rekey->newForm.keyed) {
      DecipherPage(rekey->newForm.decrypt, pn, page);
    }
    if (codec.readKeySet) {
      EncipherPage(codec.readSchedule, pn, page, page);
    }
    rc = RealWrite(s, page.data(), pageSize, offset);
    repaired = true;
  }
  if (rc == SQLITE_OK && repaired) {
    rc = s.real->pMethods->xSync(s.real, SQLITE_SYNC_NORMAL);
  }
  return rc;
}

std::int64_t WalFileSize(CodecFile& file) {
  CodecFile* wal = file.state->wal;
  if (wal == nullptr) {
    return -1;
  }
  sqlite3_int64 size = 0;
  FileState& s = *wal->state;
  if (s.real->pMethods->xFileSize(s.real, &size) != SQLITE_OK) {
    return -1;
  }
  return size;
}

void SetCodecIoHook(IoHook hook, void* context) {
  gHookContext.store(context);
  gHook.store(hook);
}

} // namespace ket
