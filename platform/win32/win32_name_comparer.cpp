#include "platform/win32/win32_name_comparer.h"

#include <limits>
#include <windows.h>

namespace ket {

namespace {

// CompareStringW wants a real pointer even for an empty text.
const wchar_t* Chars(std::u16string_view s) {
  static constexpr wchar_t kEmpty[] = L"";
  return s.empty() ? kEmpty : reinterpret_cast<const wchar_t*>(s.data());
}

} // namespace

bool Win32NameComparer::EqualIgnoringCase(std::u16string_view a, std::u16string_view b) const {
  constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<int>::max());
  if (a.size() > kMax || b.size() > kMax) {
    return false;
  }
  return ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, Chars(a),
                          static_cast<int>(a.size()), Chars(b),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

} // namespace ket
