/* The SQLite engine (the fetched amalgamation) and a thin bridge to a few of its internals.
** Everything else of ours reaches the engine through its public interface only. */
#include "sqlite3.c"

#include "sqlite_bridge.h"

int ket_sqlite3_find_db(sqlite3* db, const char* name) {
  return sqlite3FindDbName(db, name);
}

void ket_sqlite3_set_error(sqlite3* db, int rc) {
  sqlite3_mutex_enter(db->mutex);
  sqlite3Error(db, rc);
  sqlite3_mutex_leave(db->mutex);
}

void ket_sqlite3_set_error_message(sqlite3* db, int rc, const char* message) {
  sqlite3_mutex_enter(db->mutex);
  sqlite3ErrorWithMsg(db, rc, "%s", message);
  sqlite3_mutex_leave(db->mutex);
}

void ket_sqlite3_btree_enter_all(sqlite3* db) {
  sqlite3BtreeEnterAll(db);
}

void ket_sqlite3_btree_leave_all(sqlite3* db) {
  sqlite3BtreeLeaveAll(db);
}

void ket_sqlite3_get_progress(sqlite3* db, int (**callback)(void*), void** arg,
                              unsigned* operations) {
  *callback = db->xProgress;
  *arg = db->pProgressArg;
  *operations = db->nProgressOps;
}

unsigned ket_sqlite3_pending_byte(void) {
  return (unsigned)PENDING_BYTE;
}

int ket_sqlite3_truncate_image(sqlite3* db, const char* name, unsigned nPage) {
  int rc = SQLITE_OK;
  int i;
  Btree* btree;
  Pager* pager;
  sqlite3_mutex_enter(db->mutex);
  i = sqlite3FindDbName(db, name);
  btree = i >= 0 ? db->aDb[i].pBt : 0;
  if (btree == 0 || nPage < 1) {
    sqlite3_mutex_leave(db->mutex);
    return SQLITE_MISUSE;
  }
  sqlite3BtreeEnter(btree);
  pager = sqlite3BtreePager(btree);
  if (pager->eState < PAGER_WRITER_CACHEMOD || pager->eState == PAGER_ERROR) {
    rc = SQLITE_MISUSE;
  } else if (pager->dbSize > nPage) {
    sqlite3PagerTruncateImage(pager, nPage);
  }
  sqlite3BtreeLeave(btree);
  sqlite3_mutex_leave(db->mutex);
  return rc;
}

void ket_sqlite3_count_running(sqlite3* db, int delta) {
  sqlite3_mutex_enter(db->mutex);
  db->nVdbeActive += delta;
  sqlite3_mutex_leave(db->mutex);
}
