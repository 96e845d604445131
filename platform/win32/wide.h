// UTF-16 text between the engine (std::u16string) and the W functions of the Windows API
// (wchar_t, 16 bits under mingw-w64 as under MSVC).
#pragma once

#include <string>
#include <string_view>

namespace ket {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wchar_t is UTF-16");

// A NUL-terminated copy for an API call; views from the engine carry no terminator.
inline std::wstring ToWide(std::u16string_view s) {
  return std::wstring(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}

inline std::u16string FromWide(std::wstring_view s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.data()), s.size());
}

} // namespace ket
