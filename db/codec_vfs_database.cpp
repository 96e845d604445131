// The codec layer's part for the database file: pages at multiples of the page size, and the
// re-key's tracking of which form the file holds each page in.
#include "db/codec_vfs_internal.h"

#include <cstring>
#include <new>

namespace ket {
namespace codec_layer {
namespace {

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

void LearnPageSize(FileState& db, const std::uint8_t* header, std::int64_t len) {
  if (len < kDbPageSizeEnd ||
      std::memcmp(header + kDbMagicOffset, kDatabaseMagic.data(), kDatabaseMagic.size()) != 0) {
    return;
  }
  std::int64_t size =
      (std::int64_t{header[kDbPageSizeOffset]} << 8) | header[kDbPageSizeOffset + 1];
  if (size == kDbPageSizeMeans65536) {
    size = kLargestPage;
  }
  if (IsPageSize(size)) {
    db.pageSize = size;
  }
}

// Held pages that a read of `amt` bytes at `ofst` would meet go to the file first; the re-key
// reads on past the pages it holds without waiting for them.
int FlushIfRead(FileState& s, std::int64_t ofst, std::int64_t amt) {
  return s.held.Overlaps(ofst, ofst + amt) ? FlushPending(s) : SQLITE_OK;
}

} // namespace

int DatabaseRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst) {
  auto* p = static_cast<std::uint8_t*>(buf);
  if (!s.codec) {
    if (const int flushed = FlushIfRead(s, ofst, amt); flushed != SQLITE_OK) {
      return flushed;
    }
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
    if (const int rc = FlushIfRead(s, ofst, amt); rc != SQLITE_OK) {
      return rc;
    }
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
  if (const int flushed = FlushIfRead(s, start, len); flushed != SQLITE_OK) {
    return flushed;
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
  if (const int rc = FlushPartner(s); rc != SQLITE_OK) {
    return rc;
  }
  const auto* p = static_cast<const std::uint8_t*>(buf);
  if (ofst == 0) {
    LearnPageSize(s, p, amt);
  }
  PageCodec* codec = s.codec.get();
  RekeyState* rekey = codec != nullptr ? s.rekey.get() : nullptr;
  // Only a re-key holds pages back; whatever it held goes before any other write.
  if (rekey == nullptr) {
    if (const int rc = FlushPending(s); rc != SQLITE_OK) {
      return rc;
    }
  }
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
  const auto bytes = static_cast<std::size_t>(size);
  int rc = SQLITE_OK;
  for (std::int64_t k = 0; k < amt && rc == SQLITE_OK; k += size) {
    const auto pgno = static_cast<std::uint32_t>((ofst + k) / size + 1);
    const std::uint8_t* src = p + k;
    const bool restoring = rekey && rekey->tokenValid && rekey->tokenPage == pgno &&
                           rekey->tokenPlain.size() == bytes &&
                           std::memcmp(src, rekey->tokenPlain.data(), bytes) == 0;
    if (rekey == nullptr) {
      const std::uint8_t* out = codec->EncipherForFile({src, bytes}, pgno);
      if (out == nullptr) {
        return SQLITE_IOERR_NOMEM; // never: the buffer holds a page
      }
      rc = RealWrite(s, out, size, ofst + k);
      continue;
    }
    try {
      if (pgno >= rekey->newPages.size()) {
        rekey->newPages.resize(pgno + 1);
      }
    } catch (const std::bad_alloc&) {
      rc = SQLITE_IOERR_NOMEM;
      break;
    }
    // A re-key's pages go to the file in runs of consecutive pages (its commit writes them in
    // page order), enciphered straight into the held block.
    std::uint8_t* room = HeldRoom(s, size, ofst + k, rc);
    if (room == nullptr) {
      break; // rc is set: a page is never more than the block holds
    }
    if (restoring) {
      std::memcpy(room, rekey->tokenStored.data(), bytes);
    } else if (codec->writeKeySet) {
      EncipherPage(codec->writeSchedule, pgno, {src, bytes}, {room, bytes});
    } else {
      std::memcpy(room, src, bytes);
    }
    rekey->newPages[pgno] = !restoring;
  }
  if (rekey) {
    rekey->tokenValid = false;
  }
  return rc;
}

void HeldPagesFailed(FileState& s, std::int64_t offset, std::size_t size) {
  RekeyState* rekey = s.rekey.get();
  if (rekey == nullptr || s.pageSize == 0) {
    return;
  }
  const std::int64_t end = offset + static_cast<std::int64_t>(size);
  for (std::int64_t at = offset; at < end; at += s.pageSize) {
    const auto pgno = static_cast<std::size_t>(at / s.pageSize + 1);
    if (pgno < rekey->newPages.size()) {
      rekey->newPages[pgno] = false;
    }
  }
}

} // namespace codec_layer

using codec_layer::FileState;
using codec_layer::RealRead;
using codec_layer::RealWrite;
using codec_layer::RekeyState;

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
  // Pages the re-key still holds reach the file while it is known which form they are in.
  const int flushed = codec_layer::FlushPending(s);
  std::unique_ptr<RekeyState> rekey = std::move(s.rekey);
  if (committed || !rekey || !s.codec || s.pageSize == 0) {
    return flushed;
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
    codec.EncipherStored(page, pn);
    rc = RealWrite(s, page.data(), pageSize, offset);
    repaired = true;
  }
  if (rc == SQLITE_OK && repaired) {
    rc = s.real->pMethods->xSync(s.real, SQLITE_SYNC_NORMAL);
  }
  return rc;
}

} // namespace ket
