#include "demo/app/cities.h"

#include "base/product.h"
#include "db/ket_database.h"

#include <string_view>

namespace ketro {
namespace {

std::u16string ToU16(std::wstring_view text) {
  return {text.begin(), text.end()};
}
std::wstring ToWide(std::u16string_view text) {
  return {text.begin(), text.end()};
}

} // namespace

std::vector<City> ReadCities(const std::filesystem::path& file) {
  ket::TKetDatabase db;
  db.SetDatabaseName(ToU16(file.wstring()));
  // Read-only: the engine would otherwise create an empty database where the file is missing.
  db.SetAccess(ket::TKetDbAccess::daReadOnly);
  db.SetPassword(ket::kCityDatabasePassword);
  db.Open();
  std::vector<City> cities;
  {
    // The coordinates as text: the statement wrapper reads integers and text only.
    ket::TKetStatement rows(db, "SELECT c.name, n.name, printf('%.4f', c.latitude),"
                                " printf('%.4f', c.longitude)"
                                " FROM cities c JOIN countries n ON n.code = c.country"
                                " ORDER BY c.name, n.name");
    while (rows.Step()) {
      cities.push_back({ToWide(rows.ColumnText(0)), ToWide(rows.ColumnText(1)),
                        ToWide(rows.ColumnText(2)), ToWide(rows.ColumnText(3))});
    }
  }
  db.Close();
  return cities;
}

} // namespace ketro
