#include "platform/win32/registry.h"

#include "base/wide.h"

#include <vector>

namespace ket {

namespace {

std::u16string UpToNul(const wchar_t* p, size_t capacity) {
  size_t n = 0;
  while (n < capacity && p[n] != L'\0') {
    ++n;
  }
  return FromWide(std::wstring_view(p, n));
}

std::optional<std::u16string> Expand(const std::u16string& text) {
  const std::wstring source = ToWide(text);
  std::vector<wchar_t> out(source.size() + 1);
  for (;;) {
    const DWORD needed =
        ::ExpandEnvironmentStringsW(source.c_str(), out.data(), static_cast<DWORD>(out.size()));
    if (needed == 0) {
      return std::nullopt;
    }
    if (needed <= out.size()) {
      return UpToNul(out.data(), out.size());
    }
    out.resize(needed);
  }
}

} // namespace

std::optional<std::u16string> ReadRegistryString(HKEY key, std::u16string_view name, bool expand) {
  const std::wstring valueName = ToWide(name);
  // The size can change between the two calls when another process writes the value: retry.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (::RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &bytes) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
      return std::nullopt;
    }
    // One spare character, so that an unterminated value still ends inside the buffer.
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    const LONG rc = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (rc == ERROR_MORE_DATA) {
      continue;
    }
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return std::nullopt;
    }
    std::u16string text = UpToNul(buffer.data(), size / sizeof(wchar_t));
    if (expand && type == REG_EXPAND_SZ) {
      return Expand(text);
    }
    return text;
  }
  return std::nullopt;
}

} // namespace ket
