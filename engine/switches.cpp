#include "engine/switches.h"

#include "base/text.h"

#include <string_view>

namespace ket {

namespace {

// Whether argument (already in small letters) is name, or name + "=" + a value; the value in
// `value` then.
bool Matches(std::u16string_view argument, std::u16string_view name,
             std::u16string_view* value = nullptr) {
  if (!argument.starts_with(name)) {
    return false;
  }
  const std::u16string_view rest = argument.substr(name.size());
  if (rest.empty()) {
    if (value != nullptr) {
      *value = {};
    }
    return true;
  }
  if (value == nullptr || rest.front() != u'=') {
    return false;
  }
  *value = rest.substr(1);
  return true;
}

// Whether a small-letter argument is one of the switches, so that "/update" does not take it
// for its folder.
bool IsSwitch(std::u16string_view lower) {
  std::u16string_view value;
  return lower == u"/update" || lower == u"/verysilent" || lower == u"/silent" ||
         lower == u"/suppressmsgboxes" || lower == u"/noicons" || lower == u"/force" ||
         Matches(lower, u"/dir", &value) || Matches(lower, u"/lang", &value) ||
         Matches(lower, u"/log", &value);
}

} // namespace

SetupSwitches ParseSetupSwitches(std::span<const std::u16string> arguments) {
  SetupSwitches s;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::u16string lower = AsciiLower(arguments[i]);
    // The value keeps its case: only the switch's name is compared in small letters.
    const auto original = [&](std::u16string_view value) {
      return std::u16string(std::u16string_view(arguments[i]).substr(lower.size() - value.size()));
    };
    std::u16string_view value;
    if (lower == u"/update") {
      s.update = true;
      s.updateFolder.reset();
      if (i + 1 < arguments.size() && !IsSwitch(AsciiLower(arguments[i + 1]))) {
        ++i;
        if (!arguments[i].empty()) {
          s.updateFolder = arguments[i];
        }
      }
    } else if (lower == u"/verysilent") {
      s.verySilent = true;
      s.silent = true;
    } else if (lower == u"/silent") {
      s.silent = true;
    } else if (lower == u"/suppressmsgboxes") {
      s.suppressMessageBoxes = true;
    } else if (lower == u"/noicons") {
      s.noIcons = true;
    } else if (lower == u"/force") {
      s.force = true;
    } else if (Matches(lower, u"/dir", &value)) {
      if (!value.empty()) {
        // A program that quotes by the usual C rules doubles the final "\" of "C:\A B\" so
        // that it does not escape the quote; this program's splitting keeps both.
        std::u16string dir = original(value);
        while (dir.size() >= 2 && dir.ends_with(u"\\\\")) {
          dir.pop_back();
        }
        s.dir = std::move(dir);
      }
    } else if (Matches(lower, u"/lang", &value)) {
      if (value == u"en") {
        s.languageIndex = 0;
      } else if (value == u"ru") {
        s.languageIndex = 1;
      }
    } else if (Matches(lower, u"/log", &value)) {
      s.log = true;
      if (value.empty()) {
        s.logFile.reset();
      } else {
        s.logFile = original(value);
      }
    }
  }
  return s;
}

} // namespace ket
