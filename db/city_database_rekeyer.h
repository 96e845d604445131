// The installation run's re-key step over TKetDatabase: one connection object per call, owned by
// the rekeyer (standing for the application object) until it is destroyed.
#pragma once

#include "db/ket_database.h"
#include "engine/services.h"

namespace ket {

class CityDatabaseRekeyer : public DatabaseRekeyer {
 public:
  // Create, DatabaseName, Open, ReKey, Close; `path` in the product's spelling ("\" between
  // folders), mapped to the platform's. `path` names a fresh temporary file that nobody else
  // uses: the re-key runs without a rollback journal, so a failure leaves a file that is only
  // fit to be deleted, and success one flushed to disk. A failure skips the rest (the object
  // stays open until the rekeyer is destroyed) and is kept as LastError: "not a database"
  // (SQLITE_NOTADB) is kNotADatabase, every other failure kFailed.
  RekeyResult RekeyDatabase(std::u16string_view path, std::string_view password) override;

  // The database layer's error of the last call that failed ("SQLite3 Error N - message", its
  // code N); code 0 and no message after a success.
  const EKetDatabase& LastError() const { return FLastError; }

 private:
  // The steps; throws EKetDatabase.
  void Rekey(std::u16string_view path, std::string_view password);

  TKetComponentOwner FOwner;
  EKetDatabase FLastError{0};
};

} // namespace ket
