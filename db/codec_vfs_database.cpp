// The codec layer's part for the database file: pages at multiples of the page size, and the
// re-key's tracking of which form the file holds each page in.
#include "db/codec_vfs_internal.h"
#include "db/sqlite_bridge.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace ket {
namespace codec_layer {
namespace {

// The page size page 1's header names. While the engine writes a copy over the file it is the
// copy's, kept apart: the copy's pieces are still of the old size.
void LearnPageSize(DatabaseFile& db, const std::uint8_t* header, std::int64_t len) {
  if (len < kDbPageSizeEnd ||
      std::memcmp(header + kDbMagicOffset, kDatabaseMagic.data(), kDatabaseMagic.size()) != 0) {
    return;
  }
  std::int64_t size =
      (std::int64_t{header[kDbPageSizeOffset]} << 8) | header[kDbPageSizeOffset + 1];
  if (size == kDbPageSizeMeans65536) {
    size = kLargestPage;
  }
  if (!IsPageSize(size)) {
    return;
  }
  if (db.overwriting) {
    db.copyPageSize = size;
    return;
  }
  db.pageSize = size;
  SizeBuffer(db, size);
}

// Held pages that a read of `amt` bytes at `ofst` would meet go to the file first; the re-key
// reads on past the pages it holds without waiting for them.
int FlushIfRead(FileState& s, std::int64_t ofst, std::int64_t amt) {
  return s.held.Overlaps(ofst, ofst + amt) ? FlushPending(s) : SQLITE_OK;
}

} // namespace

int DatabaseRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst) {
  auto* p = static_cast<std::uint8_t*>(buf);
  DatabaseFile& d = s.Database();
  if (d.keys.Codec() == nullptr) {
    if (const int flushed = FlushIfRead(s, ofst, amt); flushed != SQLITE_OK) {
      return flushed;
    }
    const int rc = RealRead(s, buf, amt, ofst);
    if (rc == SQLITE_OK && ofst == 0) {
      LearnPageSize(d, p, amt);
    }
    return rc;
  }
  const std::int64_t known = d.pageSize;
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
      DecipherRegion(d.keys.StoredForm(pgno), pgno, p + k, size, valid - k);
    }
    if (ofst == 0) {
      LearnPageSize(d, p, amt);
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
  DecipherRegion(d.keys.StoredForm(pgno), pgno, part.data(), len, valid);
  if (start == 0) {
    LearnPageSize(d, part.data(), len);
  }
  std::memcpy(p, part.data() + (ofst - start), static_cast<std::size_t>(amt));
  return valid >= ofst + amt - start ? SQLITE_OK : SQLITE_IOERR_SHORT_READ;
}

int DatabaseWrite(FileState& s, const void* buf, int amt, sqlite3_int64 ofst) {
  if (const int rc = FlushPartner(s); rc != SQLITE_OK) {
    return rc;
  }
  const auto* p = static_cast<const std::uint8_t*>(buf);
  DatabaseFile& d = s.Database();
  if (ofst == 0) {
    LearnPageSize(d, p, amt);
  }
  KeyState& keys = d.keys;
  PageCodec* codec = keys.Codec();
  const bool rekeying = keys.Rekeying();
  // Only a re-key holds pages back; whatever it held goes before any other write.
  if (!rekeying) {
    if (const int rc = FlushPending(s); rc != SQLITE_OK) {
      return rc;
    }
  }
  if (codec == nullptr || (!codec->HasWriteKey() && !rekeying)) {
    return RealWrite(s, buf, amt, ofst);
  }
  if (d.pageSize == 0 && IsPageSize(amt) && ofst % amt == 0) {
    d.pageSize = amt;
    SizeBuffer(d, amt);
  }
  const std::int64_t size = d.pageSize;
  if (size == 0 || ofst % size != 0 || amt % size != 0) {
    return SQLITE_IOERR_WRITE; // never asked for: the engine writes whole pages
  }
  const auto bytes = static_cast<std::size_t>(size);
  int rc = SQLITE_OK;
  for (std::int64_t k = 0; k < amt && rc == SQLITE_OK; k += size) {
    const auto pgno = static_cast<std::uint32_t>((ofst + k) / size + 1);
    const std::span<const std::uint8_t> page(p + k, bytes);
    if (!rekeying) {
      const std::uint8_t* out = codec->EncipherForFile(page, pgno);
      if (out == nullptr) {
        return SQLITE_IOERR_NOMEM; // the buffer could not take this page size
      }
      rc = RealWrite(s, out, size, ofst + k);
      continue;
    }
    if (!keys.ReservePage(pgno)) {
      rc = SQLITE_IOERR_NOMEM;
      break;
    }
    // A re-key's pages go to the file in runs of consecutive pages (its commit writes them in
    // page order), in their stored form straight into the held block.
    std::uint8_t* room = HeldRoom(s, size, ofst + k, rc);
    if (room == nullptr) {
      break; // rc is set: a page is never more than the block holds
    }
    keys.StorePage(pgno, page, {room, bytes});
  }
  keys.WriteEnded();
  return rc;
}

void HeldPagesFailed(FileState& s, std::int64_t offset, std::size_t size, int rc) {
  DatabaseFile& d = s.Database();
  if (!d.keys.Rekeying() || d.pageSize == 0) {
    return;
  }
  if (d.rekeyWriteFailure == SQLITE_OK) {
    d.rekeyWriteFailure = rc;
  }
  const std::int64_t end = offset + static_cast<std::int64_t>(size);
  for (std::int64_t at = offset; at < end; at += d.pageSize) {
    d.keys.PageFailed(static_cast<std::uint32_t>(at / d.pageSize + 1));
  }
}

void SizeBuffer(DatabaseFile& db, std::int64_t pageSize) {
  if (PageCodec* codec = db.keys.Codec()) {
    try {
      codec->SetPageSize(static_cast<int>(pageSize));
    } catch (const std::bad_alloc&) {
      // The page operations refuse pages longer than the buffer.
    }
  }
}

void CopyBegins(FileState& s) {
  DatabaseFile& d = s.Database();
  const PageCodec* codec = d.keys.Codec();
  // In WAL mode the engine keeps the page size, and no sync notice would end the copy.
  d.overwriting = codec != nullptr && codec->HasWriteKey() && !d.keys.Rekeying() &&
                  d.pageSize > 0 && d.wal == nullptr;
  d.copyPageSize = 0;
}

int CopyWritten(FileState& s) {
  DatabaseFile& d = s.Database();
  if (!d.overwriting) {
    return SQLITE_OK;
  }
  const std::int64_t from = d.pageSize;
  const std::int64_t to = d.copyPageSize;
  d.overwriting = false;
  d.copyPageSize = 0;
  PageCodec* codec = d.keys.Codec();
  if (to == 0 || to == from || codec == nullptr || d.keys.Rekeying()) {
    return SQLITE_OK;
  }
  int rc = FlushPending(s);
  sqlite3_int64 size = 0;
  if (rc == SQLITE_OK) {
    rc = s.real->pMethods->xFileSize(s.real, &size);
  }
  if (rc != SQLITE_OK) {
    return rc;
  }
  // In steps of the larger size, each deciphered piece by piece in the old size and enciphered
  // page by page in the new one. The file ends where the copy does, possibly inside a step of
  // the larger size (a copy of smaller pages): a leading part deciphers and enciphers alone.
  const std::int64_t step = std::max(from, to);
  SecretBytes bytes;
  try {
    bytes.resize(static_cast<std::size_t>(step));
  } catch (const std::bad_alloc&) {
    return SQLITE_IOERR_NOMEM;
  }
  const std::int64_t lockByte = ket_sqlite3_pending_byte();
  for (std::int64_t at = 0; at < size && rc == SQLITE_OK; at += step) {
    if (at <= lockByte && lockByte < at + step) {
      continue; // the lock-byte page in either size: no content
    }
    const std::int64_t len =
        std::min<std::int64_t>(step, size - at) / kSmallestPage * kSmallestPage;
    if (len == 0) {
      break;
    }
    rc = RealRead(s, bytes.data(), len, at);
    if (rc != SQLITE_OK) {
      break;
    }
    for (std::int64_t k = 0; k < len; k += from) {
      codec->DecipherStored({bytes.data() + k, static_cast<std::size_t>(std::min(from, len - k))},
                            static_cast<std::uint32_t>((at + k) / from + 1));
    }
    for (std::int64_t k = 0; k < len; k += to) {
      codec->EncipherStored({bytes.data() + k, static_cast<std::size_t>(std::min(to, len - k))},
                            static_cast<std::uint32_t>((at + k) / to + 1));
    }
    rc = RealWrite(s, bytes.data(), len, at);
  }
  if (rc == SQLITE_OK) {
    d.pageSize = to;
    SizeBuffer(d, to);
  }
  return rc;
}

namespace {

// After a failed re-key: pages the rollback could not put back in the old form (a journal held
// in memory, an engine path that bypassed the journal's form) are rewritten in it; the content
// is the same.
int PutBackOldForm(FileState& s, DatabaseFile& d) {
  const std::int64_t pageSize = d.pageSize;
  sqlite3_int64 size = 0;
  int rc = s.real->pMethods->xFileSize(s.real, &size);
  if (rc != SQLITE_OK) {
    return rc;
  }
  SecretBytes page;
  try {
    page.resize(static_cast<std::size_t>(pageSize));
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  }
  bool repaired = false;
  for (std::size_t pgno = 1; pgno < d.keys.TrackedPages() && rc == SQLITE_OK; ++pgno) {
    const auto pn = static_cast<std::uint32_t>(pgno);
    const std::int64_t offset = static_cast<std::int64_t>(pgno - 1) * pageSize;
    if (!d.keys.InNewForm(pn) || offset + pageSize > size) {
      continue;
    }
    rc = RealRead(s, page.data(), pageSize, offset);
    if (rc != SQLITE_OK) {
      break;
    }
    d.keys.ToOldForm(pn, page);
    rc = RealWrite(s, page.data(), pageSize, offset);
    repaired = true;
  }
  if (rc == SQLITE_OK && repaired) {
    rc = s.real->pMethods->xSync(s.real, SQLITE_SYNC_NORMAL);
  }
  return rc;
}

} // namespace
} // namespace codec_layer

using codec_layer::DatabaseFile;
using codec_layer::FileState;

int BeginRekey(CodecFile& file, const std::optional<KeyMaterial>& newKey, int pageSize) {
  FileState& s = *file.state;
  const DatabaseFile& d = s.Database();
  std::size_t pages = 0;
  sqlite3_int64 size = 0;
  if (d.pageSize > 0 && s.real->pMethods->xFileSize(s.real, &size) == SQLITE_OK) {
    pages = static_cast<std::size_t>(size / d.pageSize + 2);
  }
  s.Database().rekeyWriteFailure = SQLITE_OK;
  return s.Database().keys.BeginRekey(newKey, pages, pageSize) ? SQLITE_OK : SQLITE_NOMEM;
}

int CommitRekey(CodecFile& file) {
  FileState& s = *file.state;
  DatabaseFile& d = s.Database();
  // Pages the re-key still holds reach the file while it is known which form they are in.
  int rc = codec_layer::FlushPending(s);
  if (rc == SQLITE_OK) {
    rc = d.rekeyWriteFailure;
  }
  if (rc == SQLITE_OK) {
    d.keys.Commit();
  }
  return rc;
}

void AbortRekey(CodecFile& file) {
  file.state->Database().keys.Abort();
}

int EndAbortedRekey(CodecFile& file) {
  FileState& s = *file.state;
  DatabaseFile& d = s.Database();
  const int flushed = codec_layer::FlushPending(s);
  const int rc = d.pageSize == 0 ? flushed : codec_layer::PutBackOldForm(s, d);
  d.keys.EndAbort();
  return rc;
}

} // namespace ket
