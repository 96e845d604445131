#include "db/city_database_rekeyer.h"

namespace ket {

void CityDatabaseRekeyer::RekeyDatabase(std::u16string_view path, std::string_view password) {
  TKetDatabase& db = TKetDatabase::Create(FOwner);
  db.SetDatabaseName(path);
  db.Open();
  db.ReKey(password);
  db.Close();
}

} // namespace ket
