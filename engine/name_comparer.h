// The default comparison of archive names where the platform offers no locale-aware one:
// simple case folding of the letters that product names use (Latin with Latin-1 and Latin
// Extended-A, Greek, Cyrillic). Other characters compare as they are.
#pragma once

#include "engine/services.h"

#include <memory>
#include <string>
#include <string_view>

namespace ket {

// The small letter of a capital among the scripts above; any other unit unchanged.
char16_t FoldCase(char16_t c);
std::u16string FoldCase(std::u16string_view s);

class FoldingNameComparer final : public NameComparer {
 public:
  bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) const override;
};

std::unique_ptr<NameComparer> MakeDefaultNameComparer();

} // namespace ket
