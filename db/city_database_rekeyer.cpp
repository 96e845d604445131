#include "db/city_database_rekeyer.h"

#include "base/path.h"

namespace ket {

RekeyResult CityDatabaseRekeyer::RekeyDatabase(std::u16string_view path,
                                               std::string_view password) {
  FLastError = EKetDatabase(0);
  try {
    Rekey(path, password);
  } catch (const EKetDatabase& e) {
    FLastError = e;
    return e.ErrorCode() == SQLITE_NOTADB ? RekeyResult::kNotADatabase : RekeyResult::kFailed;
  } catch (const std::exception& e) {
    // Memory, or a path the platform cannot spell: no result code of the engine's.
    FLastError = EKetDatabase::FromMessage(e.what());
    return RekeyResult::kFailed;
  }
  return RekeyResult::kDone;
}

void CityDatabaseRekeyer::Rekey(std::u16string_view path, std::string_view password) {
  TKetDatabase& db = TKetDatabase::Create(FOwner);
  // The run spells paths as the product does, with "\" between folders.
  db.SetDatabaseName(PlatformPath(path));
  db.Open();
  // The file is the run's fresh temporary, opened by nobody else and worth nothing until the run
  // moves it into place: its re-key needs no rollback journal (after a failure the run deletes
  // the file), and the commit flushes it once. A database in WAL mode keeps that mode, which
  // its header records.
  {
    TKetStatement mode(db, "PRAGMA journal_mode");
    if (mode.Step() && mode.ColumnText(0) != u"wal") {
      TKetStatement off(db, "PRAGMA journal_mode = OFF");
      off.Step();
    }
  }
  db.ReKey(password);
  db.Close();
}

} // namespace ket
