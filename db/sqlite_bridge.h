/* The few engine internals the codec needs that SQLite's public interface does not offer. They
** are implemented in sqlite_bridge.c, which is compiled in one translation unit with the SQLite
** amalgamation. */
#pragma once

#include <sqlite3.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Index of the named database of the connection (case-insensitive, "main" always 0), or -1. */
int ket_sqlite3_find_db(sqlite3* db, const char* name);
/* Sets the connection's error code; its message becomes the engine's standard text for it. */
void ket_sqlite3_set_error(sqlite3* db, int rc);
/* Sets the connection's error code and message. */
void ket_sqlite3_set_error_message(sqlite3* db, int rc, const char* message);
/* Enters and leaves the mutexes of every B-tree of the connection (shared cache). */
void ket_sqlite3_btree_enter_all(sqlite3* db);
void ket_sqlite3_btree_leave_all(sqlite3* db);
/* The connection's progress handler: callback, its argument and the operation count N. */
void ket_sqlite3_get_progress(sqlite3* db, int (**callback)(void*), void** arg,
                              unsigned* operations);
/* The file offset of the engine's lock byte (1073741824 unless a test moved it). */
unsigned ket_sqlite3_pending_byte(void);
/* Counts an operation of the caller's as one of the connection's running statements (delta 1)
** or ends that (delta -1). While anything runs, the engine keeps the interrupt flag set. */
void ket_sqlite3_count_running(sqlite3* db, int delta);
/* Inside a write transaction that has changed pages, just before its commit: when the named
** database's file holds more than nPage pages' worth of bytes, its image is cut to nPage pages,
** and the engine truncates the file there once the transaction has committed (as it does when a
** database shrinks). SQLITE_OK, or SQLITE_MISUSE outside such a transaction. */
int ket_sqlite3_truncate_image(sqlite3* db, const char* name, unsigned nPage);

#ifdef __cplusplus
}
#endif
