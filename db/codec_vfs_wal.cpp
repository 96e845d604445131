// The codec layer's part for the write-ahead log: pages after their frame header, pages the
// engine writes in two pieces, and the check of a log's first frame at recovery.
#include "db/codec_vfs_internal.h"

#include <cstring>
#include <new>

namespace ket {
namespace codec_layer {
namespace {

void WalChecksum(bool bigEndian, const std::uint8_t* p, std::int64_t n, std::uint32_t& s1,
                 std::uint32_t& s2) {
  for (std::int64_t i = 0; i < n; i += kWalChecksumStep) {
    s1 += (bigEndian ? LoadBe32(p + i) : LoadLe32(p + i)) + s2;
    s2 += (bigEndian ? LoadBe32(p + i + 4) : LoadLe32(p + i + 4)) + s1;
  }
}

// The log's page size as its header says, when it is one. While the database's file has shown
// the layer no page, its codec record takes pages of the log's size.
void LearnPageSize(FileState& s, const std::uint8_t* header) {
  const std::int64_t size = LoadBe32(header + kWalPageSizeOffset);
  if (IsPageSize(size)) {
    s.Wal().pageSize = size;
    if (DatabaseFile* db = DatabaseOf(s); db != nullptr && db->pageSize == 0) {
      SizeBuffer(*db, size);
    }
  }
}

std::int64_t WalPageSize(FileState& s) {
  if (s.Wal().pageSize == 0) {
    std::array<std::uint8_t, kWalHeaderSize> header{};
    if (RealRead(s, header.data(), header.size(), 0) == SQLITE_OK) {
      LearnPageSize(s, header.data());
    }
  }
  return s.Wal().pageSize;
}

int FramePageNumber(FileState& s, std::int64_t frameOffset, std::uint32_t& pgno) {
  if (s.Wal().lastFrameHeader.offset == frameOffset) {
    pgno = s.Wal().lastFrameHeader.value;
    return SQLITE_OK;
  }
  std::array<std::uint8_t, 4> field{}; // the frame header's page number
  const int rc = RealRead(s, field.data(), field.size(), frameOffset + kFramePageNumberOffset);
  pgno = LoadBe32(field.data());
  return rc;
}

// Recovery reads the log header and then the first frame. When that frame's salts say it belongs
// to the log but its checksum fails under this connection's key, it is a torn write or a wrong
// key; either way the engine drops the log, and at close deletes it. That loses nothing unless
// the log holds a committed transaction, which the frame headers (plain) show: then the key is
// taken to be wrong and the log is refused, left for a connection with the right key.
int VerifyFirstFrame(FileState& wal, const std::uint8_t* frame, std::int64_t pageSize) {
  const auto& h = wal.Wal().header;
  const std::uint32_t magic = LoadBe32(h.data() + kWalMagicOffset);
  if ((magic & ~kWalMagicBigEndianBit) != kWalMagic ||
      LoadBe32(h.data() + kWalVersionOffset) != kWalVersion ||
      LoadBe32(h.data() + kWalPageSizeOffset) != pageSize) {
    return SQLITE_OK;
  }
  const bool bigEndian = (magic & kWalMagicBigEndianBit) != 0;
  std::uint32_t s1 = 0, s2 = 0;
  WalChecksum(bigEndian, h.data(), kWalHeaderChecked, s1, s2);
  if (s1 != LoadBe32(h.data() + kWalHeaderChecksum1Offset) ||
      s2 != LoadBe32(h.data() + kWalHeaderChecksum2Offset)) {
    return SQLITE_OK;
  }
  if (std::memcmp(frame + kFrameSaltOffset, h.data() + kWalSaltOffset, kWalSaltSize) != 0 ||
      LoadBe32(frame + kFramePageNumberOffset) == 0) {
    return SQLITE_OK; // left over from an earlier generation of the log: nothing to lose
  }
  WalChecksum(bigEndian, frame, kFrameChecked, s1, s2);
  WalChecksum(bigEndian, frame + kWalFrameHeaderSize, pageSize, s1, s2);
  if (s1 == LoadBe32(frame + kFrameChecksum1Offset) &&
      s2 == LoadBe32(frame + kFrameChecksum2Offset)) {
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
        std::memcmp(header.data() + kFrameSaltOffset, h.data() + kWalSaltOffset, kWalSaltSize) !=
            0) {
      break;
    }
    if (LoadBe32(header.data() + kFrameCommitSizeOffset) != 0) {
      return SQLITE_IOERR_DATA; // a commit frame
    }
  }
  return SQLITE_OK;
}

int WalWritePage(FileState& s, PageCodec& codec, std::uint32_t pgno, const std::uint8_t* page,
                 std::int64_t pageSize, std::int64_t ofst) {
  if (!codec.HasWriteKey()) {
    return RealWrite(s, page, pageSize, ofst);
  }
  const std::uint8_t* out = codec.EncipherForFile({page, static_cast<std::size_t>(pageSize)}, pgno);
  if (out == nullptr) {
    return SQLITE_IOERR_NOMEM; // the buffer could not take this page size
  }
  return RealWrite(s, out, pageSize, ofst);
}

// The first piece of a page split around a sync point, held back.
int HoldFirstPiece(WalFile& wal, const std::uint8_t* p, int amt, std::int64_t ofst) {
  try {
    wal.split.assign(p, p + amt);
  } catch (const std::bad_alloc&) {
    return SQLITE_IOERR_NOMEM;
  }
  wal.splitOffset = ofst;
  return SQLITE_OK;
}

// Whether `amt` bytes at `ofst` are the rest of the page whose first piece is held back.
bool CompletesSplitPage(const WalFile& wal, int amt, std::int64_t ofst, std::int64_t pageSize) {
  return wal.splitOffset >= 0 &&
         ofst == wal.splitOffset + static_cast<std::int64_t>(wal.split.size()) &&
         static_cast<std::int64_t>(wal.split.size()) + amt == pageSize;
}

// The held-back piece and its rest, written as the whole page.
int WriteSplitPage(FileState& s, PageCodec& codec, const std::uint8_t* p, int amt,
                   std::int64_t pageSize) {
  WalFile& wal = s.Wal();
  try {
    wal.split.insert(wal.split.end(), p, p + amt);
  } catch (const std::bad_alloc&) {
    return SQLITE_IOERR_NOMEM;
  }
  const std::int64_t start = wal.splitOffset;
  wal.splitOffset = -1;
  std::uint32_t pgno = 0;
  if (FramePageNumber(s, start - kWalFrameHeaderSize, pgno) != SQLITE_OK) {
    return SQLITE_IOERR_WRITE;
  }
  const int rc = WalWritePage(s, codec, pgno, wal.split.data(), pageSize, start);
  wal.split.clear();
  return rc;
}

} // namespace

int WalRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst) {
  const int rc = RealRead(s, buf, amt, ofst);
  auto* p = static_cast<std::uint8_t*>(buf);
  WalFile& wal = s.Wal();
  const bool afterHeader = wal.headerJustRead;
  wal.headerJustRead = false;
  if (rc != SQLITE_OK) {
    return rc;
  }
  if (ofst == 0 && amt >= kWalHeaderSize) {
    std::memcpy(wal.header.data(), p, wal.header.size());
    LearnPageSize(s, p);
    wal.headerJustRead = amt == kWalHeaderSize;
    return rc;
  }
  const DatabaseFile* db = DatabaseOf(s);
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
    const std::uint32_t pgno = LoadBe32(p + kFramePageNumberOffset);
    DecipherRegion(db->keys.FrameForm(ofst), pgno, p + kWalFrameHeaderSize, pageSize, pageSize);
    // Also without a key: a plain connection must not drop an encrypted log either.
    if (afterHeader && ofst == kWalHeaderSize) {
      return VerifyFirstFrame(s, p, pageSize);
    }
    return rc;
  }
  if (db->keys.Codec() != nullptr && inFrame == kWalFrameHeaderSize && amt <= pageSize &&
      amt % static_cast<int>(kAesBlockSize) == 0) {
    std::uint32_t pgno = 0;
    if (FramePageNumber(s, ofst - kWalFrameHeaderSize, pgno) != SQLITE_OK) {
      return SQLITE_IOERR_READ;
    }
    DecipherRegion(db->keys.FrameForm(ofst - kWalFrameHeaderSize), pgno, p, amt, amt);
  }
  return rc;
}

int WalWrite(FileState& s, const void* buf, int amt, sqlite3_int64 ofst) {
  const auto* p = static_cast<const std::uint8_t*>(buf);
  if (ofst == 0 && amt >= kWalHeaderSize) {
    LearnPageSize(s, p);
    return RealWrite(s, buf, amt, ofst);
  }
  DatabaseFile* db = DatabaseOf(s);
  PageCodec* codec = db ? db->keys.Codec() : nullptr;
  if (codec == nullptr || ofst < kWalHeaderSize) {
    return RealWrite(s, buf, amt, ofst);
  }
  const std::int64_t pageSize = WalPageSize(s);
  if (pageSize == 0) {
    return SQLITE_IOERR_WRITE;
  }
  const std::int64_t frameSize = pageSize + kWalFrameHeaderSize;
  const std::int64_t inFrame = (ofst - kWalHeaderSize) % frameSize;
  db->keys.FrameWritten(ofst - inFrame);
  WalFile& wal = s.Wal();
  if (inFrame == 0 && amt == kWalFrameHeaderSize) {
    wal.lastFrameHeader = {ofst, LoadBe32(p + kFramePageNumberOffset)};
    return RealWrite(s, buf, amt, ofst);
  }
  if (inFrame == 0 && amt == frameSize) {
    int rc = RealWrite(s, p, kWalFrameHeaderSize, ofst);
    if (rc == SQLITE_OK) {
      rc = WalWritePage(s, *codec, LoadBe32(p + kFramePageNumberOffset), p + kWalFrameHeaderSize,
                        pageSize, ofst + kWalFrameHeaderSize);
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
    return HoldFirstPiece(wal, p, amt, ofst);
  }
  if (CompletesSplitPage(wal, amt, ofst, pageSize)) {
    return WriteSplitPage(s, *codec, p, amt, pageSize);
  }
  if (inFrame > kWalFrameHeaderSize) {
    return SQLITE_IOERR_WRITE; // a piece of a page that cannot be enciphered on its own
  }
  return RealWrite(s, buf, amt, ofst); // (a piece of) a frame header
}

} // namespace codec_layer

std::int64_t WalFileSize(CodecFile& file) {
  CodecFile* wal = file.state->Database().wal;
  if (wal == nullptr) {
    return -1;
  }
  sqlite3_int64 size = 0;
  codec_layer::FileState& s = *wal->state;
  if (s.real->pMethods->xFileSize(s.real, &size) != SQLITE_OK) {
    return -1;
  }
  return size;
}

} // namespace ket
