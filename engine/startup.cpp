#include "engine/startup.h"

#include "base/product.h"
#include "base/text.h"

namespace ket {

std::int32_t ParseOemCodePage(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == u' ') {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  if (i == text.size()) {
    return 0;
  }
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') {
      return 0;
    }
    value = value * 10 + (text[i] - u'0');
    if (value > 2'147'483'648LL) {
      return 0;
    }
  }
  value = negative ? -value : value;
  if (value > 2'147'483'647LL) {
    return 0;
  }
  return static_cast<std::int32_t>(value);
}

std::uint16_t OemCodePageFrom(const std::optional<std::u16string>& text) {
  return text ? static_cast<std::uint16_t>(static_cast<std::uint32_t>(ParseOemCodePage(*text)) &
                                           0xFFFF)
              : 0;
}

int InitialLanguageIndex(const SetupSwitches& switches, std::uint16_t oemCodePage) {
  return switches.languageIndex.value_or(oemCodePage == kRussianOemCodePage ? 1 : 0);
}

std::vector<std::u16string> SplitCommandLine(std::u16string_view commandLine) {
  const auto blank = [](char16_t c) { return c <= u' '; };
  std::vector<std::u16string> arguments;
  std::size_t i = 0;
  for (;;) {
    while (i < commandLine.size() && blank(commandLine[i])) {
      ++i;
    }
    if (i == commandLine.size()) {
      return arguments;
    }
    std::u16string argument;
    bool quoted = false;
    for (; i < commandLine.size() && (quoted || !blank(commandLine[i])); ++i) {
      if (commandLine[i] == u'"') {
        quoted = !quoted;
      } else {
        argument += commandLine[i];
      }
    }
    arguments.push_back(std::move(argument));
  }
}

std::vector<std::u16string> CommandLineArguments(std::u16string_view commandLine) {
  std::vector<std::u16string> arguments = SplitCommandLine(commandLine);
  if (!arguments.empty()) {
    arguments.erase(arguments.begin());
  }
  return arguments;
}

StartupResult PrepareSetup(SetupState& state, StartupPlatform& platform) {
  StartupResult result;
  const std::vector<std::u16string> args = platform.Arguments();
  result.switches = ParseSetupSwitches(args);
  const bool update = result.switches.update;
  result.folder = result.switches.dir ? result.switches.dir : result.switches.updateFolder;

  // A lock that cannot be created at all says nothing about another setup: without it the
  // setup goes on, since ending here would leave the user with no window and no word. Two runs
  // into one folder are still kept apart by the run's own lock in that folder.
  int failures = 0;
  while (platform.TryCreateLock() == LockResult::kBusy) {
    ++failures;
    if (failures > kLockWaits || !update) {
      platform.SignalRunningInstance();
    }
    platform.Sleep(kLockRetryMilliseconds);
  }

  platform.SetThreadLocale(kGuiThreadLocale);

  if (const auto text = platform.ReadOemCodePage()) {
    state.OemCodePage = OemCodePageFrom(text);
  }
  result.languageIndex = InitialLanguageIndex(result.switches, state.OemCodePage);
  state.SiteUrl = std::u16string(kProductSiteUrl);
  return result;
}

} // namespace ket
