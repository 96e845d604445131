// UTF-16 text between our strings (std::u16string) and the W functions of the Windows API
// (wchar_t, 16 bits under mingw-w64 as under MSVC). Windows only: elsewhere wchar_t is 32 bits.
#pragma once

#ifndef _WIN32
#error "base/wide.h is for Windows builds only"
#endif

#include "base/text.h"

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

// The same characters seen as wchar_t, without a copy: for a string that is already
// terminated, or for calls that take a length.
inline const wchar_t* Wide(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}
inline const wchar_t* WideData(std::u16string_view s) {
  return reinterpret_cast<const wchar_t*>(s.data());
}

// UTF-8 (exception messages, manifest text) for an API call.
inline std::wstring WideFromUtf8(std::string_view utf8) {
  return ToWide(Utf8ToUtf16(utf8));
}

} // namespace ket
