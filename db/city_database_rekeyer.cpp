#include "db/city_database_rekeyer.h"

#include <algorithm>
#include <string>

namespace ket {

void CityDatabaseRekeyer::RekeyDatabase(std::u16string_view path, std::string_view password) {
  // The run spells paths as the product does, with "" between folders.
  std::u16string name(path);
#ifndef _WIN32
  std::replace(name.begin(), name.end(), u'\\', u'/');
#endif
  TKetDatabase& db = TKetDatabase::Create(FOwner);
  db.SetDatabaseName(name);
  db.Open();
  db.ReKey(password);
  db.Close();
}

} // namespace ket
