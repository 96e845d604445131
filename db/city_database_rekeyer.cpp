#include "db/city_database_rekeyer.h"

#include "base/path.h"

namespace ket {

void CityDatabaseRekeyer::RekeyDatabase(std::u16string_view path, std::string_view password) {
  TKetDatabase& db = TKetDatabase::Create(FOwner);
  // The run spells paths as the product does, with "\" between folders.
  db.SetDatabaseName(PlatformPath(path));
  db.Open();
  db.ReKey(password);
  db.Close();
}

} // namespace ket
