// The page codec as a file-system layer (VFS shim) over one of the engine's VFSes.
//
// SQLite 3.49 has no page-codec hooks, so the transformation of the stored form sits between the
// engine and its files: the database file, the rollback journal and the write-ahead log of every
// database opened through the layer. The layer works out which bytes are a page from the place
// of each read or write: database pages at multiples of the page size; journal page images after
// the 4-byte page number of their record; log pages after their 24-byte frame header. Headers,
// page numbers, salts and checksums stay plain. Temporary files (statement journals, temporary
// tables, sorter data) never reach it: the engine is built to keep them in memory.
#pragma once

#include "db/page_codec.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <sqlite3.h>

namespace ket {

// The codec layer over the VFS named `baseName` (null or empty: the platform's default), created
// and registered on first use; null when there is no such VFS. The layer over the default VFS
// is also made the engine's default, so connections opened without a VFS name get it too.
sqlite3_vfs* CodecVfsOver(const char* baseName);

// A database file opened through a codec layer (opaque outside the layer).
struct CodecFile;

// The codec file of database `name` of the connection, or null: `*foreign` is then true when the
// database has an open file that did not come through a codec layer, false when it has no file
// (an in-memory database, or one not opened yet).
CodecFile* FindCodecFile(sqlite3* db, const char* name, bool* foreign);

PageCodec* CodecOf(const CodecFile& file);
// The page size the layer has seen the database use, or 0 while it knows none.
int PageSizeOf(const CodecFile& file);
// Attaches `codec`, releasing any earlier record; null detaches.
void AttachCodec(CodecFile& file, std::unique_ptr<PageCodec> codec);

// The re-key's side of the layer. While a re-key runs, the write side of the record holds the
// new form and the file still holds most pages in the old one; the layer tracks, page by page,
// which form the file holds each page in (so pages that left the cache are read back correctly),
// and writes a rollback makes from the journal keep the journal's (old) form (key_state.h).
//
// Begins the re-key of the file to `newKey` (nullopt: plain); a plain file gets an empty record
// for pages of `pageSize` bytes. SQLITE_OK, or SQLITE_NOMEM with nothing changed.
int BeginRekey(CodecFile& file, const std::optional<KeyMaterial>& newKey, int pageSize);
// The re-key's transaction committed: held pages go to the file, then every side takes the new
// key (a file now plain loses its record). Fails, committing nothing, when held pages did not
// reach the file, now or earlier where the engine ignores the result (its journal's close): the
// file then holds those pages in the old form and the rest in the new one, with no journal to
// undo it, and the caller ends the re-key as a failed one (AbortRekey, EndAbortedRekey), which
// puts the other pages back into the old form.
int CommitRekey(CodecFile& file);
// The re-key failed: the write side takes the old key again, before the engine's rollback.
void AbortRekey(CodecFile& file);
// After the rollback: any page the file still holds in the new form is put back into the old
// one, and the re-key ends with the record as before it. The result of those writes.
int EndAbortedRekey(CodecFile& file);
// Size of the database's write-ahead log file, or -1 when it has none open.
std::int64_t WalFileSize(CodecFile& file);

// Fault injection and I/O observation for tests: the hook sees every operation on a file of a
// codec layer before it is carried out; a nonzero result is returned as that operation's error.
enum class IoFile { kDatabase, kJournal, kWal, kOther };
enum class IoOp { kOpen, kRead, kWrite, kTruncate, kSync, kClose, kDelete };
struct IoEvent {
  IoFile file;
  IoOp op;
  std::int64_t offset;
  std::int64_t amount;
  int openFlags; // for kOpen
};
using IoHook = int (*)(void* context, const IoEvent& event);
void SetCodecIoHook(IoHook hook, void* context);

} // namespace ket
