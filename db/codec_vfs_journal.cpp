// The codec layer's part for the rollback journal: page images after the page number of their
// record, appends handed to the file in batches, and the check of a hot journal before the
// engine plays it back.
#include "db/codec_vfs_internal.h"

#include <cstring>
#include <new>
#include <optional>

namespace ket {
namespace codec_layer {
namespace {

// With synced journals every counted record is durable before the database is touched, so a
// few of them can be checked; without, only the first one is sure to be whole.
constexpr int kCheckedJournalRecords = 8;

// A journal is written record by record in three small pieces; consecutive appends are handed to
// the file together (held writes, codec_vfs.cpp). Anything but an append (the header's record
// count, a committing header) goes at once.
int JournalAppend(FileState& s, const void* buf, std::int64_t amt, std::int64_t ofst) {
  if (s.held.size > 0 && ofst != s.held.End()) {
    if (const int rc = FlushPending(s); rc != SQLITE_OK) {
      return rc;
    }
    return RealWrite(s, buf, amt, ofst);
  }
  int rc = SQLITE_OK;
  std::uint8_t* room = HeldRoom(s, amt, ofst, rc);
  if (room == nullptr) {
    return rc != SQLITE_OK ? rc : RealWrite(s, buf, amt, ofst);
  }
  std::memcpy(room, buf, static_cast<std::size_t>(amt));
  return SQLITE_OK;
}

bool IsRecordPage(std::uint32_t pgno, std::int64_t pageSize) {
  return pgno >= 1 && pgno != LockBytePage(pageSize);
}

} // namespace

int JournalRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst) {
  if (const int flushed = FlushPending(s); flushed != SQLITE_OK) {
    return flushed;
  }
  const int rc = RealRead(s, buf, amt, ofst);
  auto* p = static_cast<std::uint8_t*>(buf);
  JournalFile& j = s.Journal();
  const Last4 before = j.lastRead;
  j.lastRead = {};
  if (rc != SQLITE_OK) {
    return rc;
  }
  if (amt == kJournalPageNumberSize) {
    j.lastRead = {ofst, LoadBe32(p)};
    return rc;
  }
  DatabaseFile* db = DatabaseOf(s);
  if (!IsPageSize(amt) || before.offset != ofst - kJournalImageOffset ||
      !IsRecordPage(before.value, amt) || db == nullptr || db->keys.Codec() == nullptr) {
    return rc;
  }
  db->keys.JournalImageRead(before.value, {p, static_cast<std::size_t>(amt)});
  return rc;
}

int JournalWrite(FileState& s, const void* buf, int amt, sqlite3_int64 ofst) {
  if (const int rc = FlushPartner(s); rc != SQLITE_OK) {
    return rc;
  }
  const auto* p = static_cast<const std::uint8_t*>(buf);
  JournalFile& j = s.Journal();
  const Last4 before = j.lastWrite;
  j.lastWrite = {};
  if (amt == kJournalPageNumberSize) {
    j.lastWrite = {ofst, LoadBe32(p)};
    return JournalAppend(s, buf, amt, ofst);
  }
  const DatabaseFile* db = DatabaseOf(s);
  PageCodec* codec = db ? db->keys.Codec() : nullptr;
  if (codec == nullptr || !codec->HasReadKey() || !IsPageSize(amt) ||
      before.offset != ofst - kJournalImageOffset || !IsRecordPage(before.value, amt)) {
    return JournalAppend(s, buf, amt, ofst);
  }
  // The image goes into the journal as the database file holds the page: in the read key.
  const std::uint8_t* image =
      codec->EncipherForJournal({p, static_cast<std::size_t>(amt)}, before.value);
  if (image == nullptr) {
    return SQLITE_IOERR_NOMEM; // the buffer could not take this page size
  }
  return JournalAppend(s, image, amt, ofst);
}

namespace {

// The fields of a journal header the check needs.
struct JournalHeader {
  std::uint32_t count = 0;
  std::uint32_t checksumInit = 0;
  std::uint32_t originalPages = 0;
  std::int64_t sector = 0;
  std::int64_t pageSize = 0;
};

// The header of a journal of `size` bytes; nullopt (with SQLITE_OK) when the file holds no
// journal the engine would play back.
int ReadJournalHeader(FileState& s, std::int64_t size, std::optional<JournalHeader>& out) {
  out.reset();
  if (size < kJournalHeaderFields) {
    return SQLITE_OK;
  }
  std::array<std::uint8_t, kJournalHeaderFields> header{};
  if (const int rc = RealRead(s, header.data(), header.size(), 0); rc != SQLITE_OK) {
    return rc;
  }
  if (std::memcmp(header.data() + kJournalMagicOffset, kJournalMagic.data(),
                  kJournalMagic.size()) != 0) {
    return SQLITE_OK; // not a journal the engine would play back
  }
  JournalHeader h;
  h.count = LoadBe32(header.data() + kJournalRecordCountOffset);
  h.checksumInit = LoadBe32(header.data() + kJournalChecksumInitOffset);
  h.originalPages = LoadBe32(header.data() + kJournalOriginalPagesOffset);
  h.sector = LoadBe32(header.data() + kJournalSectorSizeOffset);
  h.pageSize = LoadBe32(header.data() + kJournalPageSizeOffset);
  if (!IsPageSize(h.pageSize) || h.sector < kMinSectorSize || h.sector > kMaxSectorSize ||
      (h.sector & (h.sector - 1)) != 0) {
    return SQLITE_OK;
  }
  out = h;
  return SQLITE_OK;
}

// Whether the page image of a record for page `pgno`, deciphered from the stored form of
// `codec` (plain without one), has the checksum the engine's playback will find.
bool RecordChecksOut(const PageCodec* codec, const JournalHeader& h, std::uint32_t pgno,
                     std::uint8_t* image) {
  const auto size = static_cast<std::size_t>(h.pageSize);
  if (codec != nullptr) {
    codec->DecipherStored({image, size}, pgno);
  }
  std::uint32_t sum = h.checksumInit;
  for (std::int64_t i = h.pageSize - kJournalChecksumStride; i > 0; i -= kJournalChecksumStride) {
    sum += image[i];
  }
  if (sum != LoadBe32(image + h.pageSize)) { // the record's checksum follows its image
    return false;
  }
  return pgno != 1 || std::memcmp(image, kDatabaseMagic.data(), kDatabaseMagic.size()) == 0;
}

} // namespace

// A hot journal is checked before the engine plays it back. The engine's record checksums are
// over plain pages, so under a wrong key (or none) every record would look torn: the engine would
// delete the journal and leave a half re-keyed or half written file for good. A journal whose
// first records do not check out under this connection's key is refused with an I/O error and
// left in place for a connection with the right key.
int VerifyHotJournal(FileState& s) {
  const DatabaseFile* db = DatabaseOf(s);
  if (db == nullptr) {
    return SQLITE_OK;
  }
  sqlite3_int64 size = 0;
  if (const int rc = s.real->pMethods->xFileSize(s.real, &size); rc != SQLITE_OK) {
    return rc;
  }
  std::optional<JournalHeader> header;
  if (const int rc = ReadJournalHeader(s, size, header); rc != SQLITE_OK || !header) {
    return rc;
  }
  const std::int64_t recordSize = header->pageSize + kJournalRecordOverhead;
  const bool counted = header->count != kJournalNoSyncCount;
  const std::int64_t records = counted ? header->count : (size - header->sector) / recordSize;
  const int wanted = counted ? kCheckedJournalRecords : 1;
  SecretBytes record;
  try {
    record.resize(static_cast<std::size_t>(recordSize));
  } catch (const std::bad_alloc&) {
    return SQLITE_IOERR_NOMEM;
  }
  int checked = 0;
  for (std::int64_t r = 0; r < records && checked < wanted; ++r) {
    const std::int64_t offset = header->sector + r * recordSize;
    if (offset + recordSize > size) {
      break;
    }
    if (const int rc = RealRead(s, record.data(), recordSize, offset); rc != SQLITE_OK) {
      return rc;
    }
    const std::uint32_t pgno = LoadBe32(record.data() + kJournalPageNumberOffset);
    if (!IsRecordPage(pgno, header->pageSize)) {
      break; // where the engine's playback stops too
    }
    if (pgno > header->originalPages) {
      continue; // skipped by the playback without a check
    }
    if (!RecordChecksOut(db->keys.Codec(), *header, pgno, record.data() + kJournalImageOffset)) {
      return SQLITE_IOERR_DATA;
    }
    ++checked;
  }
  return SQLITE_OK;
}

} // namespace codec_layer
} // namespace ket
