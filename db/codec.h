// Engine-level key operations on a connection's databases: which key a database file is stored
// in, and the re-key that rewrites every page under a new key (or none). Results are engine
// result codes: 0 success, 1 error, 4 aborted, 5 busy, 7 out of memory, 9 interrupted, 26 not a
// database, or any other error of the engine.
#pragma once

#include <cstdint>
#include <sqlite3.h>

namespace ket {

// States that database `zDb` (null: "main") is stored under `key`: a length of 1 or more
// derives key material from the bytes, -60 passes 60 bytes of key material; anything else (or
// a null key) removes the key. Reads and rewrites nothing.
int codec_set_key(sqlite3* db, const char* zDb, const void* key, int nKey);

// The key material of database number `iDb` with the length -60, or null and 0 when it has no
// key. The bytes stay valid while the key does.
void codec_get_key(sqlite3* db, int iDb, const void** key, int* nKey);

// Rewrites every page of database `zDb` (null: "main") under `key` in one exclusive
// transaction, all or nothing. A length below 1 means no key: the file becomes plain.
int codec_rekey(sqlite3* db, const char* zDb, const void* key, int nKey);

// Bounds the memory the re-key gives the page cache (default 64 MiB). A database that fits is
// rewritten with a single journal sync before its pages are written; a larger one spills pages
// (each spill syncs the journal) rather than exhausting memory.
void SetRekeyCacheBudget(std::int64_t bytes);

// Makes the codec layer the engine's default file-system layer (also done by every entry point
// above and by the connection object). Returns an engine result code.
int codec_install();

} // namespace ket
