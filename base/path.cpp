#include "base/path.h"

#include <algorithm>

namespace ket {

std::u16string PlatformPath(std::u16string_view productPath) {
  std::u16string out(productPath);
#ifndef _WIN32
  std::replace(out.begin(), out.end(), u'\\', u'/');
#endif
  return out;
}

} // namespace ket
