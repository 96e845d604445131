// Private to the codec layer (codec_vfs*.cpp): the layouts of the three file formats the layer
// reads its way through, the state it keeps per open file, and the helpers its parts share.
// codec_vfs.cpp holds registration, opening and the methods that route to the per-format parts:
// codec_vfs_database.cpp, codec_vfs_journal.cpp, codec_vfs_wal.cpp.
#pragma once

#include "db/bytes.h"
#include "db/codec_vfs.h"
#include "db/key_state.h"
#include "db/page_codec.h"
#include "db/secure_wipe.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sqlite3.h>
#include <variant>
#include <vector>

namespace ket {
namespace codec_layer {

// ---- the database file's header (the engine's file format, "The Database Header") ----
//
// The first 100 bytes of page 1; the layer reads only these fields of it:
//    0: 16 bytes, the header string "SQLite format 3\0"
//   16: 2 bytes, big-endian: the page size (1 stands for 65536)
inline constexpr std::array<std::uint8_t, 16> kDatabaseMagic = {
    'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0};
inline constexpr std::int64_t kDbMagicOffset = 0;
inline constexpr std::int64_t kDbPageSizeOffset = 16;
inline constexpr std::int64_t kDbPageSizeEnd = kDbPageSizeOffset + 2;
inline constexpr std::int64_t kDbPageSizeMeans65536 = 1;
// Page 1 has at least this many bytes whatever the page size.
inline constexpr std::int64_t kSmallestPage = 512;
inline constexpr std::int64_t kLargestPage = 65536;

// ---- the rollback journal (as SQLite's pager.c writes it) ----
//
// A journal header, padded to the sector size it names, then page records; the engine may
// start a further header at the next sector boundary. Integers are big-endian.
//   Header:
//      0: 8 bytes, magic
//      8: 4 bytes, number of records that follow, or 0xffffffff (written without syncs:
//         the records reach up to the end of the file)
//     12: 4 bytes, checksum initializer (random)
//     16: 4 bytes, the database's page count when the transaction began
//     20: 4 bytes, sector size of the process that wrote the journal
//     24: 4 bytes, page size
//     28: unused up to the sector size
//   Page record (written as three pieces: page number, page image, checksum):
//      0: 4 bytes, page number
//      4: page size bytes, the page as it was (in the stored form, see codec_vfs.h)
//      4 + page size: 4 bytes, checksum: the initializer plus every 200th byte of the plain
//         page, from offset page size - 200 down while above 0
inline constexpr std::array<std::uint8_t, 8> kJournalMagic = {0xd9, 0xd5, 0x05, 0xf9,
                                                              0x20, 0xa1, 0x63, 0xd7};
inline constexpr std::int64_t kJournalMagicOffset = 0;
inline constexpr std::int64_t kJournalRecordCountOffset = 8;
inline constexpr std::int64_t kJournalChecksumInitOffset = 12;
inline constexpr std::int64_t kJournalOriginalPagesOffset = 16;
inline constexpr std::int64_t kJournalSectorSizeOffset = 20;
inline constexpr std::int64_t kJournalPageSizeOffset = 24;
inline constexpr std::int64_t kJournalHeaderFields = 28;
inline constexpr std::uint32_t kJournalNoSyncCount = 0xffffffff;
inline constexpr std::int64_t kJournalPageNumberOffset = 0;
inline constexpr std::int64_t kJournalPageNumberSize = 4;
inline constexpr std::int64_t kJournalImageOffset = kJournalPageNumberSize;
inline constexpr std::int64_t kJournalChecksumSize = 4;
// The record's bytes besides its page image.
inline constexpr std::int64_t kJournalRecordOverhead =
    kJournalPageNumberSize + kJournalChecksumSize;
inline constexpr std::int64_t kJournalChecksumStride = 200;
// The smallest sector size the engine writes a journal with, and the largest it accepts.
inline constexpr std::int64_t kMinSectorSize = 32;
inline constexpr std::int64_t kMaxSectorSize = 65536;

// ---- the write-ahead log (as SQLite's wal.c writes it) ----
//
// A 32-byte header, then frames of a 24-byte header and one page. Integers are big-endian.
//   Header:
//      0: magic, 0x377f0682 (checksums over little-endian words) or 0x377f0683 (big-endian)
//      4: format version, 3007000
//      8: page size
//     12: checkpoint sequence number
//     16: salt-1, 20: salt-2
//     24: checksum-1, 28: checksum-2, over bytes 0..23
//   Frame header:
//      0: page number
//      4: for a commit frame the database's size in pages after the commit, else 0
//      8: salt-1, 12: salt-2, copied from the log header
//     16: checksum-1, 20: checksum-2, cumulative: over the previous frame's checksum (the
//         header's for the first frame), this frame header's first 8 bytes and the page
//   The checksums run over pairs of 32-bit words.
inline constexpr std::uint32_t kWalMagic = 0x377f0682;
inline constexpr std::uint32_t kWalMagicBigEndianBit = 1;
inline constexpr std::uint32_t kWalVersion = 3007000;
inline constexpr std::int64_t kWalMagicOffset = 0;
inline constexpr std::int64_t kWalVersionOffset = 4;
inline constexpr std::int64_t kWalPageSizeOffset = 8;
inline constexpr std::int64_t kWalSaltOffset = 16; // salt-1 and salt-2, 8 bytes
inline constexpr std::int64_t kWalSaltSize = 8;
inline constexpr std::int64_t kWalHeaderChecksum1Offset = 24;
inline constexpr std::int64_t kWalHeaderChecksum2Offset = 28;
inline constexpr std::int64_t kWalHeaderChecked = 24; // bytes under the header's checksum
inline constexpr std::int64_t kWalHeaderSize = 32;
inline constexpr std::int64_t kFramePageNumberOffset = 0;
inline constexpr std::int64_t kFrameCommitSizeOffset = 4;
inline constexpr std::int64_t kFrameSaltOffset = 8;
inline constexpr std::int64_t kFrameChecksum1Offset = 16;
inline constexpr std::int64_t kFrameChecksum2Offset = 20;
inline constexpr std::int64_t kFrameChecked = 8; // header bytes under the frame's checksum
inline constexpr std::int64_t kWalFrameHeaderSize = 24;
inline constexpr std::int64_t kWalChecksumStep = 8;

// ---- shared helpers ----

bool IsPageSize(std::int64_t n);
std::int64_t RoundUpToBlock(std::int64_t n);
// The engine's page number of its lock-byte page for a page size; never a journal record's.
std::uint32_t LockBytePage(std::int64_t pageSize);

// ---- per-file state ----

enum class Kind { kDatabase, kJournal, kWal, kOther };

struct Last4 {
  std::int64_t offset = -1;
  std::uint32_t value = 0;
};

// Writes held back to be handed to the file together: the journal's appends, and the database's
// pages while a re-key writes them. At most kHeldBytes, in one block allocated on first use;
// plain pages among them are wiped when it is freed.
inline constexpr std::size_t kHeldBytes = 64 * 1024;
struct HeldWrites {
  SecretBytes bytes;
  std::size_t size = 0;
  std::int64_t offset = 0;

  std::int64_t End() const { return offset + static_cast<std::int64_t>(size); }
  bool Overlaps(std::int64_t from, std::int64_t to) const {
    return size > 0 && from < End() && to > offset;
  }
};

// What the layer keeps for a database file.
struct DatabaseFile {
  KeyState keys;
  std::int64_t pageSize = 0; // learned from page 1's header, or from the first whole page written
  CodecFile* wal = nullptr;
  CodecFile* journal = nullptr;
  // During a re-key: the first failure of held pages to reach the file, which the engine may
  // never have seen.
  int rekeyWriteFailure = SQLITE_OK;
  // From the engine's notice that it overwrites the file with a copy (VACUUM) to the copy's
  // sync: the copy's pages are written, journaled and read in pieces of the old page size, and
  // its page 1 names the page size it is to have (0 until written).
  bool overwriting = false;
  std::int64_t copyPageSize = 0;
};

// For a rollback journal: the last 4-byte read and write, a record's page number.
struct JournalFile {
  Last4 lastRead;
  Last4 lastWrite;
};

// For a write-ahead log.
struct WalFile {
  std::int64_t pageSize = 0;
  Last4 lastFrameHeader;
  bool headerJustRead = false;
  std::array<std::uint8_t, kWalHeaderSize> header{};
  SecretBytes split; // leading part of a page the engine wrote in two pieces
  std::int64_t splitOffset = -1;
};

// Buffers of the layer that hold page images (plain ones among them) wipe themselves when freed
// (SecretBytes), as do the schedules. `part` holds the fields of the file's kind only: each
// format's part reaches its own through the accessor of its kind, and the database a journal
// or log belongs to through DatabaseOf.
struct FileState {
  Kind kind = Kind::kOther;
  sqlite3_file* real = nullptr;
  CodecFile* db = nullptr; // journal and log: the database they belong to
  HeldWrites held;         // rollback journal and database file
  std::variant<std::monostate, DatabaseFile, JournalFile, WalFile> part;

  DatabaseFile& Database() { return std::get<DatabaseFile>(part); }
  JournalFile& Journal() { return std::get<JournalFile>(part); }
  WalFile& Wal() { return std::get<WalFile>(part); }
};

// The database part of the database file a journal or log belongs to, or null.
DatabaseFile* DatabaseOf(const FileState& s);

int RealRead(FileState& s, void* buf, std::int64_t amt, std::int64_t ofst);
int RealWrite(FileState& s, const void* buf, std::int64_t amt, std::int64_t ofst);
// How many bytes a read of `amt` at `ofst` that came back short really got.
std::int64_t ValidAfterShortRead(FileState& s, std::int64_t ofst, std::int64_t amt);
// Deciphers `len` bytes at the start of page `pgno` (or its leading part); bytes the file did not
// have (beyond `valid`) read as zeros, as the engine expects of a short read.
void DecipherRegion(const AesDecryptSchedule* form, std::uint32_t pgno, std::uint8_t* p,
                    std::int64_t len, std::int64_t valid);

// ---- held-back writes (codec_vfs.cpp) ----
//
// Bytes reach the system in the order the engine wrote them, so that a killed process loses only
// a tail of what the engine had written: at most one of a database and its journal holds writes
// back at a time, and each hands its held writes to the file before anything else is done with
// it or with its partner.

// Room for `amt` bytes written at `ofst`, at the end of the file's held writes: those go to the
// file first when the bytes do not follow them or do not fit. Null when `amt` is more than the
// block holds (with `rc` SQLITE_OK: the caller writes at once) or on failure (`rc`).
std::uint8_t* HeldRoom(FileState& s, std::int64_t amt, std::int64_t ofst, int& rc);
// Hands the file's held writes to it.
int FlushPending(FileState& s);
// Hands the held writes of the file's partner (a database's journal, a journal's database) to
// that file.
int FlushPartner(FileState& s);

// ---- the database file (codec_vfs_database.cpp) ----

// xRead of the database file. Promises the engine the plain bytes it wrote, whatever form the
// file holds them in:
// - Held writes that the read would meet go to the file first, so a read never sees the file
//   behind what the engine wrote. The file itself is never changed.
// - Without a codec the bytes are read as they are. With one, whole pages (a multiple of the
//   known page size at a page boundary; before the page size is known, one read of a page
//   size at a multiple of itself: the engine's first look at page 1) are deciphered page by
//   page in the form the file holds each in (KeyState::StoredForm: during a re-key the new form
//   for pages already rewritten, the old one for the rest).
// - A part of one page (the header fields the engine reads alone) is read from the page's
//   start, which the CBC chain needs, and deciphered up to the end of its last block. A part
//   that crosses a page boundary, or lies past page 1 before the page size is known, is never
//   asked for by the engine: SQLITE_IOERR_READ.
// - A read past the end: what was read is deciphered, the rest zero-filled, and
//   SQLITE_IOERR_SHORT_READ returned, as the engine expects of any VFS.
// - A read at offset 0 teaches the layer the page size from the header (LearnPageSize); during
//   a copy over the file (CopyBegins) the copy's page size, which it takes at CopyWritten.
int DatabaseRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst);
// xWrite of the database file. Promises that bytes reach the disk in the engine's order and in
// the form the key state says:
// - The journal's held writes go to the disk first (FlushPartner): a page is never on the disk
//   before the journal record that can restore it.
// - A write at offset 0 teaches the page size, as a read does. Without a codec, or with a
//   codec that has no write key outside a re-key (a plain database), the bytes go as they are.
// - Outside a re-key each whole page is enciphered for the file under its page number and
//   written at once; whatever a re-key still held goes first.
// - During a re-key each page goes into the held block in the form KeyState::StorePage gives
//   it: the new key's, except for the token page. When the engine writes back to the token
//   page the very plain bytes the journal gave it last (a rollback restoring that page), the
//   page is stored as the journal held it, in the old form, whatever the write side is: the
//   condition is tested in KeyState::StorePage. Held pages reach the file in runs, when the
//   block is full, before a read that meets them, or before any other call on the file or its
//   journal; a run that fails is recorded as still in the old form (HeldPagesFailed).
// - With a codec the engine writes whole pages only: anything else is SQLITE_IOERR_WRITE. A
//   page the codec's buffer cannot take (its memory could not grow) is SQLITE_IOERR_NOMEM.
// Returns the first failure; pages before it are written or held.
int DatabaseWrite(FileState& s, const void* buf, int amt, sqlite3_int64 ofst);
// Held pages of a re-key that could not be written (`rc`): the file holds them in the old form,
// or partly (the journal's playback restores them).
void HeldPagesFailed(FileState& s, std::int64_t offset, std::size_t size, int rc);
// The engine is about to overwrite the whole file with a copy of a temporary database, whose
// page size may differ (VACUUM after "PRAGMA page_size"); it writes the copy in pieces of the
// old size. Those are enciphered as pages of the old size, as the journal and any read of them
// expect, until CopyWritten.
void CopyBegins(FileState& s);
// The copy is written (the engine syncs it, before its journal is finalized): a copy of another
// page size is re-enciphered in place as pages of that size, which the layer takes from then
// on. A failure leaves the transaction to the engine's rollback, which puts back the old pages.
int CopyWritten(FileState& s);
// A page size the layer learned (from the database's header or the log's): the codec record's
// buffer takes pages of it. Without the memory the buffer stays as it was, and the page
// operations refuse the longer pages (an out-of-memory error for those writes).
void SizeBuffer(DatabaseFile& db, std::int64_t pageSize);

// ---- the rollback journal (codec_vfs_journal.cpp) ----

int JournalRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst);
int JournalWrite(FileState& s, const void* buf, int amt, sqlite3_int64 ofst);
int VerifyHotJournal(FileState& s);

// ---- the write-ahead log (codec_vfs_wal.cpp) ----

int WalRead(FileState& s, void* buf, int amt, sqlite3_int64 ofst);
int WalWrite(FileState& s, const void* buf, int amt, sqlite3_int64 ofst);

} // namespace codec_layer

// What the engine allocates for a file of a codec layer: this header, then the FileState, then
// the underlying VFS's own file object.
struct CodecFile {
  sqlite3_file base;             // first: the engine's view of the file
  codec_layer::FileState* state; // constructed in place in the same allocation
};

} // namespace ket
