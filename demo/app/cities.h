// The cities of the program's database, as the window shows them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ketro {

struct City {
  std::wstring name;
  std::wstring country;
  std::wstring latitude;  // degrees, four decimals, south negative
  std::wstring longitude; // degrees, four decimals, west negative
};

// Every city of the encrypted database at file, by name. Throws ket::EKetDatabase when the file
// cannot be opened or read (a missing file is not created).
std::vector<City> ReadCities(const std::filesystem::path& file);

} // namespace ketro
