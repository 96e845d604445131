// Paths as the product spells them ("\" between folders, as in the manifest and the setup
// state) and as the platform under us takes them. The one place that knows the difference.
#pragma once

#include <string>
#include <string_view>

namespace ket {

// The platform's spelling of a product path: unchanged on Windows; elsewhere every "\" becomes
// "/", since the product uses "\" only between folders.
std::u16string PlatformPath(std::u16string_view productPath);

} // namespace ket
