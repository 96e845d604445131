// The command line as the setup reads it: blanks outside quotes separate, quotes are dropped,
// backslashes are plain characters; and the folder that start-up takes from it.
#include "base/text.h"
#include "engine/startup.h"

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

// Start-up over a platform whose arguments come from a command line, as on Windows.
class CommandLineStartup final : public StartupPlatform {
 public:
  explicit CommandLineStartup(std::u16string_view line) : line_(line) {}
  std::vector<std::u16string> Arguments() override { return CommandLineArguments(line_); }
  bool TryCreateLock() override { return true; }
  void Sleep(unsigned) override {}
  [[noreturn]] void SignalRunningInstance() override { throw std::logic_error("handed over"); }
  void SetThreadLocale(std::uint32_t) override {}
  std::optional<std::u16string> ReadOemCodePage() override { return std::nullopt; }

 private:
  std::u16string line_;
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
      // The program name is never argument 1, even when it reads "/update".
      {u"/update D:\\Work\\", std::nullopt},
      {u"KetroSetup.exe \"/update D:\\Work\\\"", std::nullopt},
  };
  for (const Case& c : cases) {
    SetupState state;
    CommandLineStartup platform(c.line);
    EXPECT_EQ(PrepareSetup(state, platform).folder, c.folder) << Utf16ToUtf8(c.line);
  }
}

} // namespace
} // namespace ket
