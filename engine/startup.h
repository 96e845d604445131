// Start-up's portable part: command line, single-instance lock, thread locale, OEM code page.
#pragma once

#include "engine/services.h"
#include "engine/setup_state.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ket {

inline constexpr std::u16string_view kUpdateSwitch = u"/update";
inline constexpr unsigned kLockRetryMilliseconds = 500;
inline constexpr int kLockWaits = 60; // with "/update": 61 tries, 30 seconds
inline constexpr std::uint32_t kGuiThreadLocale = 1049;
inline constexpr std::uint16_t kRussianOemCodePage = 866;

struct StartupResult {
  std::optional<std::u16string> folder; // the folder field's initial text, if any
  int languageIndex = 0;                // 0 English, 1 Russian
};

// The OEMCP registry text as a number: optional blanks and sign, decimal digits, nothing
// after them; 0 when it is empty, not a number or out of the 32-bit range.
std::int32_t ParseOemCodePage(std::u16string_view text);

// Runs once, before the window is shown. Hands over to a running setup and ends the process
// (platform.SignalRunningInstance) when the lock stays busy: at the first failure without
// "/update", after 60 waits of 500 ms with it.
StartupResult PrepareSetup(SetupState& state, StartupPlatform& platform);

} // namespace ket
