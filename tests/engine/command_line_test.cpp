// The command line as the setup reads it: blanks outside quotes separate, quotes are dropped,
// backslashes are plain characters; and the folder that start-up takes from it.
#include "base/product.h"
#include "base/text.h"
#include "engine/startup.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ket {
namespace {

using Args = std::vector<std::u16string>;

TEST(CommandLine, AQuotedFolderKeepsItsFinalBackslash) {
  EXPECT_EQ(SplitCommandLine(u"KetroSetup.exe /update \"C:\\Program Files\\Ketro\\\""),
            (Args{u"KetroSetup.exe", u"/update", u"C:\\Program Files\\Ketro\\"}));
  EXPECT_EQ(SplitCommandLine(u"KetroSetup.exe \"/update\" \"D:\\A B\\\""),
            (Args{u"KetroSetup.exe", u"/update", u"D:\\A B\\"}));
  // Backslashes before a quote are never halved and never escape it.
  EXPECT_EQ(SplitCommandLine(u"x a\\\\\\\"b c\"\\\\ \"\\\\srv\\share\\\\\""),
            (Args{u"x", u"a\\\\\\b c\\\\", u"\\\\srv\\share\\\\"}));
}

TEST(CommandLine, BlanksOutsideQuotesSeparateAndQuotesAreDropped) {
  EXPECT_EQ(SplitCommandLine(u"\"C:\\Setup Files\\KetroSetup.exe\"   /UPDATE\tD:\\Work\\  "),
            (Args{u"C:\\Setup Files\\KetroSetup.exe", u"/UPDATE", u"D:\\Work\\"}));
  // Quotes anywhere in an argument only switch blanks off and on.
  EXPECT_EQ(SplitCommandLine(u"p D:\\\"My Work\"\\x \" a  b \" c\"d\"e"),
            (Args{u"p", u"D:\\My Work\\x", u" a  b ", u"cde"}));
  // A quote left open runs to the end of the line.
  EXPECT_EQ(SplitCommandLine(u"p /update \"C:\\Open Folder\\ and more"),
            (Args{u"p", u"/update", u"C:\\Open Folder\\ and more"}));
  // Line breaks and other control characters are blanks too.
  EXPECT_EQ(SplitCommandLine(u"p\r\na\x01"
                             u"b"),
            (Args{u"p", u"a", u"b"}));
}

TEST(CommandLine, EmptyQuotesAreAnEmptyArgument) {
  EXPECT_EQ(SplitCommandLine(u"KetroSetup.exe /update \"\""),
            (Args{u"KetroSetup.exe", u"/update", u""}));
  EXPECT_EQ(SplitCommandLine(u"KetroSetup.exe /update \"\" D:\\Work\\"),
            (Args{u"KetroSetup.exe", u"/update", u"", u"D:\\Work\\"}));
  EXPECT_EQ(SplitCommandLine(u"\"\" a"), (Args{u"", u"a"}));
}

TEST(CommandLine, TheProgramNameAloneGivesNoArguments) {
  for (const std::u16string_view line :
       {u"KetroSetup.exe", u"\"C:\\Program Files\\Ketro\\KetroSetup.exe\"", u"KetroSetup.exe \t ",
        u"  KetroSetup.exe"}) {
    const Args all = SplitCommandLine(line);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].find(u'"'), std::u16string::npos);
    EXPECT_TRUE(CommandLineArguments(line).empty());
  }
  EXPECT_TRUE(SplitCommandLine(u"").empty());
  EXPECT_TRUE(SplitCommandLine(u" \t ").empty());
  EXPECT_TRUE(CommandLineArguments(u"").empty());
  EXPECT_EQ(CommandLineArguments(u"\"C:\\A B\\KetroSetup.exe\" /update"), (Args{u"/update"}));
}

// Start-up over a platform whose arguments come from a command line, as on Windows; the lock
// answers from a script, its last answer repeated.
class CommandLineStartup final : public StartupPlatform {
 public:
  explicit CommandLineStartup(std::u16string_view line,
                              std::vector<LockResult> locks = {LockResult::kTaken})
      : line_(line), locks_(std::move(locks)) {}
  std::vector<std::u16string> Arguments() override { return CommandLineArguments(line_); }
  LockResult TryCreateLock() override {
    return locks_[std::min<std::size_t>(tries++, locks_.size() - 1)];
  }
  void Sleep(unsigned ms) override {
    EXPECT_EQ(ms, 500u);
    ++sleeps;
  }
  [[noreturn]] void SignalRunningInstance() override { throw std::logic_error("handed over"); }
  void SetThreadLocale(std::uint32_t lcid) override { locale = lcid; }
  std::optional<std::u16string> ReadOemCodePage() override { return oemcp; }

  std::optional<std::u16string> oemcp;
  std::size_t tries = 0;
  int sleeps = 0;
  std::uint32_t locale = 0;

 private:
  std::u16string line_;
  std::vector<LockResult> locks_;
};

TEST(CommandLine, StartupTakesTheFolderAsTyped) {
  struct Case {
    std::u16string_view line;
    std::optional<std::u16string> folder;
  };
  const Case cases[] = {
      {u"KetroSetup.exe /update \"C:\\Program Files\\Ketro\\\"", u"C:\\Program Files\\Ketro\\"},
      {u"KetroSetup.exe /UPDATE D:\\Work\\", u"D:\\Work\\"},
      {u"KetroSetup.exe \"/update\" \"D:\\A B\\\"", u"D:\\A B\\"},
      {u"\"C:\\Old Setup\\KetroSetup.exe\" /Update \"D:\\A B\\\" ignored", u"D:\\A B\\"},
      // An empty second argument is no folder, whatever follows it.
      {u"KetroSetup.exe /update \"\"", std::nullopt},
      {u"KetroSetup.exe /update \"\" D:\\Work\\", std::nullopt},
      {u"KetroSetup.exe", std::nullopt},
      {u"KetroSetup.exe /update", std::nullopt},
      {u"KetroSetup.exe D:\\Work\\", std::nullopt},
      {u"KetroSetup.exe /install D:\\Work\\", std::nullopt},
      {u"KetroSetup.exe /\x0130PDATE D:\\", std::nullopt}, // only ASCII capitals are lowered
      // The switches come in any order; /DIR's folder wins over /update's.
      {u"KetroSetup.exe /VERYSILENT /Update D:\\Work\\", u"D:\\Work\\"},
      {u"KetroSetup.exe /update D:\\Old\\ \"/DIR=C:\\Program Files\\Ketro\\\"",
       u"C:\\Program Files\\Ketro\\"},
      {u"KetroSetup.exe /update /SILENT", std::nullopt},
      // The program name is never argument 1, even when it reads "/update".
      {u"/update D:\\Work\\", std::nullopt},
      {u"KetroSetup.exe \"/update D:\\Work\\\"", std::nullopt},
  };
  for (const Case& c : cases) {
    SetupState state;
    CommandLineStartup platform(c.line);
    EXPECT_EQ(PrepareSetup(state, platform).folder, c.folder) << Utf16ToUtf8(c.line);
    EXPECT_EQ(state.SiteUrl, kProductSiteUrl);
  }
}

// A lock file that cannot be made (a temporary folder that is not writable) is no running setup:
// start-up goes on at once, with or without "/update", instead of handing over to nobody.
// Only a busy lock is waited for or handed over.
TEST(CommandLine, OnlyABusyLockIsWaitedForOrHandedOver) {
  constexpr auto kBusy = LockResult::kBusy;
  constexpr auto kCannot = LockResult::kCannotCreate;
  constexpr auto kTaken = LockResult::kTaken;
  struct Case {
    std::u16string_view line;
    std::vector<LockResult> locks;
    std::size_t tries;
    bool handedOver = false;
  };
  // "/update" waits half a second at a time, sixty times, before it hands over.
  std::vector<LockResult> freeAt61st(60, kBusy);
  freeAt61st.push_back(kTaken);
  const Case cases[] = {
      {u"KetroSetup.exe", {kCannot}, 1},
      {u"KetroSetup.exe /update D:\\Work\\", {kCannot}, 1},
      // The other setup ended while this one waited, and then the file could not be made.
      {u"KetroSetup.exe /update D:\\Work\\", {kBusy, kBusy, kCannot}, 3},
      {u"KetroSetup.exe", {kBusy, kCannot}, 1, true},
      {u"KetroSetup.exe D:\\Work\\", {kBusy}, 1, true},
      {u"KetroSetup.exe /update C:\\K\\", freeAt61st, 61},
      {u"KetroSetup.exe /update", {kBusy}, 61, true},
      // "/update" is waited for wherever it stands; other switches do not wait.
      {u"KetroSetup.exe /VERYSILENT /update", {kBusy, kBusy, kTaken}, 3},
      {u"KetroSetup.exe /VERYSILENT /DIR=D:\\Work", {kBusy}, 1, true},
  };
  for (const Case& c : cases) {
    SetupState state;
    CommandLineStartup platform(c.line, c.locks);
    if (c.handedOver) {
      EXPECT_THROW(PrepareSetup(state, platform), std::logic_error) << Utf16ToUtf8(c.line);
      EXPECT_EQ(platform.locale, 0u) << "nothing after the hand-over";
    } else {
      std::optional<std::u16string> folder;
      EXPECT_NO_THROW(folder = PrepareSetup(state, platform).folder) << Utf16ToUtf8(c.line);
      EXPECT_EQ(platform.locale, 1049u) << "start-up went on after the lock";
      SetupState fresh;
      CommandLineStartup atOnce(c.line);
      EXPECT_EQ(folder, PrepareSetup(fresh, atOnce).folder) << "the wait changes no folder";
    }
    EXPECT_EQ(platform.tries, c.tries) << Utf16ToUtf8(c.line);
    EXPECT_EQ(platform.sleeps, static_cast<int>(c.tries) - 1);
  }
}

TEST(Startup, OemCodePageChoosesTheLanguage) {
  struct Case {
    std::optional<std::u16string> value;
    std::uint16_t page;
    int language;
  };
  const Case cases[] = {
      {u"866", 866, 1},     {u"437", 437, 0},   {u"abc", 0, 0},         {u"", 0, 0},
      {std::nullopt, 0, 0}, {u"66402", 866, 1}, // low 16 bits
      {u"-1", 0xFFFF, 0},   {u"866x", 0, 0},    {u"99999999999", 0, 0}, {u" 866", 866, 1},
  };
  for (const auto& c : cases) {
    SetupState state;
    CommandLineStartup platform(u"KetroSetup.exe");
    platform.oemcp = c.value;
    EXPECT_EQ(PrepareSetup(state, platform).languageIndex, c.language);
    EXPECT_EQ(state.OemCodePage, c.page);
  }
}

// What an unattended start asks for, as the setup reads it from its command line.
TEST(CommandLine, SwitchesAreReadInAnyOrderAndCase) {
  const auto read = [](std::u16string_view line) {
    return ParseSetupSwitches(CommandLineArguments(line));
  };
  SetupSwitches s = read(u"KetroSetup.exe /verysilent \"/Dir=C:\\Program Files\\Ketro\\\" "
                         u"/SuppressMsgBoxes /NOICONS /force /Lang=RU /Log=\"D:\\Logs\\A B.log\"");
  EXPECT_TRUE(s.verySilent && s.silent && s.suppressMessageBoxes && s.noIcons && s.force && s.log);
  EXPECT_FALSE(s.update);
  EXPECT_EQ(s.dir, u"C:\\Program Files\\Ketro\\");
  EXPECT_EQ(s.languageIndex, 1);
  // Values keep their case; only the switch's name is compared in small letters.
  EXPECT_EQ(s.logFile, u"D:\\Logs\\A B.log");

  // A final "\" doubled before the closing quote, as C-rule quoting writes it, is one.
  EXPECT_EQ(read(u"p \"/DIR=C:\\A B\\\\\"").dir, u"C:\\A B\\");

  s = read(u"KetroSetup.exe /SILENT /DIR=C:\\Silent /LANG=en /LOG /update");
  EXPECT_TRUE(s.silent && s.log && s.update);
  EXPECT_FALSE(s.verySilent || s.suppressMessageBoxes || s.noIcons || s.force);
  EXPECT_EQ(s.dir, u"C:\\Silent");
  EXPECT_EQ(s.languageIndex, 0);
  EXPECT_EQ(s.logFile, std::nullopt);
  EXPECT_EQ(s.updateFolder, std::nullopt);

  // Unknown arguments, near misses and empty values are ignored: nothing is asked for.
  s = read(u"KetroSetup.exe /install D:\\Work\\ /DIR= /DIR /DIRECTORY=D:\\X /LANG=de /SILENTLY "
           u"-VERYSILENT /noicon /forced");
  EXPECT_FALSE(s.update || s.silent || s.verySilent || s.noIcons || s.force || s.log);
  EXPECT_EQ(s.dir, std::nullopt);
  EXPECT_EQ(s.languageIndex, std::nullopt);
}

} // namespace
} // namespace ket
