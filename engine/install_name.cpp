#include "engine/install_name.h"

#include <array>

namespace ket {

namespace {

char16_t AsciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool EqualsUpper(std::u16string_view s, std::u16string_view upper) {
  if (s.size() != upper.size()) {
    return false;
  }
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (AsciiUpper(s[i]) != upper[i]) {
      return false;
    }
  }
  return true;
}

// Windows opens the device, not a file, for these names, with any extension and trailing
// blanks: "nul.txt" and "CON " are the devices too.
bool IsDeviceName(std::u16string_view component) {
  std::u16string_view base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') {
    base.remove_suffix(1);
  }
  static constexpr std::array<std::u16string_view, 6> kPlain = {u"CON", u"PRN",    u"AUX",
                                                                u"NUL", u"CONIN$", u"CONOUT$"};
  for (const auto device : kPlain) {
    if (EqualsUpper(base, device)) {
      return true;
    }
  }
  if (base.size() == 4 &&
      (EqualsUpper(base.substr(0, 3), u"COM") || EqualsUpper(base.substr(0, 3), u"LPT"))) {
    const char16_t digit = base[3];
    // COM1..COM9, LPT1..LPT9, and the superscript digits Windows also takes.
    return (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
           digit == u'\u00B3';
  }
  return false;
}

bool OnlyDotsAndBlanks(std::u16string_view component) {
  return component.find_first_not_of(u". ") == std::u16string_view::npos;
}

} // namespace

std::string_view InstallNameProblem(std::u16string_view name, NameKind kind) {
  if (name.empty()) {
    // An empty mask names the folder itself with nothing to match: it deletes nothing.
    return kind == NameKind::File ? "empty name" : std::string_view();
  }
  if (IsSeparator(name.front())) {
    return "absolute path";
  }
  if (name.find(u':') != std::u16string_view::npos) {
    return "\":\" in the name (a drive letter or a stream)";
  }
  for (const char16_t c : name) {
    if (c < u' ' || c == u'\x7F') {
      return "control character in the name";
    }
  }
  std::size_t lastSeparator = std::u16string_view::npos;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (IsSeparator(name[i])) {
      lastSeparator = i;
    }
  }
  if (kind == NameKind::Mask && lastSeparator != std::u16string_view::npos &&
      name.substr(0, lastSeparator).find_first_of(u"*?") != std::u16string_view::npos) {
    return "wildcard in a folder of the mask";
  }
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) {
      ++end;
    }
    const std::u16string_view component = name.substr(start, end - start);
    // An empty component ("a\\b", or a final "\") is harmless: the platform folds it away.
    if (!component.empty() && OnlyDotsAndBlanks(component)) {
      return "\".\" or \"..\" component";
    }
    if (!component.empty() && IsDeviceName(component)) {
      return "device name as a component";
    }
    start = end + 1;
  }
  return {};
}

} // namespace ket
