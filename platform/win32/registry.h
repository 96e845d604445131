// Reading string values of the registry.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <windows.h>

namespace ket {

// The text of a REG_SZ or REG_EXPAND_SZ value, up to its first NUL (a stored value need not be
// terminated, and may hold one in the middle). nullopt when the value is missing, of another
// type, or cannot be read. With expand, a REG_EXPAND_SZ value has its %VARIABLES% replaced.
std::optional<std::u16string> ReadRegistryString(HKEY key, std::u16string_view name,
                                                 bool expand = false);

} // namespace ket
