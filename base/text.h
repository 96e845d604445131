// Text conversions. Text is UTF-16 in memory (std::u16string); archive names, the manifest and
// exception messages are UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace ket {

// Ill-formed input becomes U+FFFD rather than failing: names come from data we do not control.
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

// ASCII capitals to small letters; other characters unchanged.
std::u16string AsciiLower(std::u16string_view s);

} // namespace ket
