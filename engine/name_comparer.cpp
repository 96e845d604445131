#include "engine/name_comparer.h"

namespace ket {

namespace {

bool Between(char16_t c, char16_t lo, char16_t hi) {
  return c >= lo && c <= hi;
}

char16_t Plus(char16_t c, int d) {
  return static_cast<char16_t>(c + d);
}

} // namespace

char16_t FoldCase(char16_t c) {
  if (c < 0x80) {
    return Between(c, u'A', u'Z') ? Plus(c, 0x20) : c;
  }
  // Latin-1: À..Þ except the multiplication sign.
  if (Between(c, 0x00C0, 0x00DE) && c != 0x00D7) {
    return Plus(c, 0x20);
  }
  // Latin Extended-A: mostly capital/small pairs, capitals on even code points, except in
  // 0139..0148 and 0179..017E where the capitals are odd. İ folds to i, Ÿ to ÿ.
  if (Between(c, 0x0100, 0x017F)) {
    if (c == 0x0130) {
      return u'i';
    }
    if (c == 0x0178) {
      return 0x00FF;
    }
    if (Between(c, 0x0139, 0x0148) || Between(c, 0x0179, 0x017E)) {
      return (c & 1) ? Plus(c, 1) : c;
    }
    if (c == 0x0131 || c == 0x0138 || c == 0x0149 || c == 0x017F) {
      return c;
    }
    return (c & 1) ? c : Plus(c, 1);
  }
  // Greek: the tonos capitals, then Α..Ω (03A2 is unassigned).
  if (c == 0x0386) {
    return 0x03AC;
  }
  if (Between(c, 0x0388, 0x038A)) {
    return Plus(c, 0x25);
  }
  if (c == 0x038C) {
    return 0x03CC;
  }
  if (c == 0x038E || c == 0x038F) {
    return Plus(c, 0x3F);
  }
  if (Between(c, 0x0391, 0x03AB) && c != 0x03A2) {
    return Plus(c, 0x20);
  }
  // Cyrillic: Ѐ..Џ, А..Я, then the pairs of the historic and non-Russian letters.
  if (Between(c, 0x0400, 0x040F)) {
    return Plus(c, 0x50);
  }
  if (Between(c, 0x0410, 0x042F)) {
    return Plus(c, 0x20);
  }
  if (Between(c, 0x0460, 0x0481) || Between(c, 0x048A, 0x04BF) || Between(c, 0x04D0, 0x052F)) {
    return (c & 1) ? c : Plus(c, 1);
  }
  if (c == 0x04C0) {
    return 0x04CF;
  }
  if (Between(c, 0x04C1, 0x04CE)) {
    return (c & 1) ? Plus(c, 1) : c;
  }
  return c;
}

std::u16string FoldCase(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) {
    c = FoldCase(c);
  }
  return out;
}

bool FoldingNameComparer::EqualIgnoringCase(std::u16string_view a, std::u16string_view b) const {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) {
      return false;
    }
  }
  return true;
}

std::unique_ptr<NameComparer> MakeDefaultNameComparer() {
  return std::make_unique<FoldingNameComparer>();
}

} // namespace ket
