// Start-up's portable part: command line, single-instance lock, thread locale, OEM code page.
#pragma once

#include "engine/services.h"
#include "engine/setup_state.h"
#include "engine/switches.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ket {

inline constexpr unsigned kLockRetryMilliseconds = 500;
inline constexpr int kLockWaits = 60; // with "/update": 61 tries, 30 seconds
inline constexpr std::uint32_t kGuiThreadLocale = 1049;
inline constexpr std::uint16_t kRussianOemCodePage = 866;

struct StartupResult {
  std::optional<std::u16string> folder; // the folder field's initial text, if any
  int languageIndex = 0;                // 0 English, 1 Russian
  SetupSwitches switches;
};

// The OEMCP registry text as a number: optional blanks and sign, decimal digits, nothing
// after them; 0 when it is empty, not a number or out of the 32-bit range.
std::int32_t ParseOemCodePage(std::u16string_view text);

// The OEMCP registry text as the code page the state keeps: ParseOemCodePage's number taken as
// a 16-bit code page (its low 16 bits), 0 when the text is absent.
std::uint16_t OemCodePageFrom(const std::optional<std::u16string>& text);

// The interface language, 0 English or 1 Russian: the switches' choice, else Russian exactly
// when the system's OEM code page is 866. The setup and its uninstaller both start with it.
int InitialLanguageIndex(const SetupSwitches& switches, std::uint16_t oemCodePage);

// A command line split into arguments the way this program reads its own: blanks (spaces, tabs
// and other control characters) outside double quotes separate arguments, the quote characters
// themselves are dropped, and a backslash is always an ordinary character. So a quoted folder
// "C:\Program Files\Ketro\" keeps its final "\" (the usual C rules would read `\"` as an escaped
// quote). Element 0 is the program name; a pair of quotes with nothing between is an empty
// argument.
std::vector<std::u16string> SplitCommandLine(std::u16string_view commandLine);
// The arguments after the program name, as StartupPlatform::Arguments gives them.
std::vector<std::u16string> CommandLineArguments(std::u16string_view commandLine);

// Runs once, before the window is shown. The folder is /DIR's, else /update's; the language is
// /LANG's, else the OEM code page's. Hands over to a running setup and ends the process
// (platform.SignalRunningInstance) when the lock stays busy: at the first busy try without
// "/update" (anywhere among the arguments), after 60 waits of 500 ms with it. A lock that cannot be
// created is gone on without.
StartupResult PrepareSetup(SetupState& state, StartupPlatform& platform);

} // namespace ket
