// Archive names compared as Windows compares them for the user: CompareStringW by the user's
// default locale, ignoring case.
#pragma once

#include "engine/services.h"

namespace ket {

class Win32NameComparer final : public NameComparer {
 public:
  bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) const override;
};

} // namespace ket
