// Start-up's platform side with real processes: the lock file, the hand-over message, the
// command line, the OEM code page.
#include "base/error.h"
#include "base/text.h"
#include "base/wide.h"
#include "engine/exit_code.h"
#include "platform/win32/resource_archive.h"
#include "platform/win32/setup_messages.h"
#include "platform/win32/win32_startup_platform.h"
#include "tests/platform/win32/test_support.h"

#include <gtest/gtest.h>
#include <memory>
#include <windows.h>

namespace ket {
namespace {

using test::ChildProcess;
using test::TempFolder;

std::wstring Helper() {
  return L"\"" + test::ProgramFolder() + L"ket_instance_helper.exe\"";
}

// Points this process's temporary folder (TMP, read by GetTempPathW) at `folder` for the life
// of the object, so that lock files of the tests never meet those of anybody else.
class TempOverride {
 public:
  explicit TempOverride(const std::wstring& folder) {
    wchar_t old[32768];
    const DWORD n = ::GetEnvironmentVariableW(L"TMP", old, 32768);
    if (n > 0 && n < 32768) {
      old_ = std::wstring(old, n);
    }
    ::SetEnvironmentVariableW(L"TMP", folder.c_str());
  }
  TempOverride(const TempOverride&) = delete;
  TempOverride& operator=(const TempOverride&) = delete;
  ~TempOverride() { ::SetEnvironmentVariableW(L"TMP", old_ ? old_->c_str() : nullptr); }

 private:
  std::optional<std::wstring> old_;
};

std::wstring ShortPath(const std::wstring& p) {
  wchar_t buffer[1024] = {};
  const DWORD n = ::GetShortPathNameW(p.c_str(), buffer, 1024);
  return std::wstring(buffer, n);
}

// Two temporary folders: one with a long name, and one whose short path is long (components of
// eight characters have no other short form), which is used whole, not cut.
TEST(Lock, LivesInTheShortFormOfTheTemporaryFolder) {
  TempFolder tmp;
  std::wstring deep = ToWide(tmp.Path());
  while (deep.size() <= 180) {
    deep += L"abcdefgh\\";
    ASSERT_TRUE(::CreateDirectoryW(deep.c_str(), nullptr));
  }
  const std::wstring named = ToWide(tmp.Path()) + L"Ketro Temporary Folder With A Long Name\\";
  ASSERT_TRUE(::CreateDirectoryW(named.c_str(), nullptr));
  for (const std::wstring& folder : {named, deep}) {
    TempOverride use(folder);
    const std::u16string path = LockFilePath();
    EXPECT_EQ(path, FromWide(ShortPath(folder) + L"ketro.tmp"));
    EXPECT_EQ(path.find(u' '), std::u16string::npos) << Utf16ToUtf8(path);
    {
      Win32StartupPlatform platform;
      ASSERT_EQ(platform.TryCreateLock(), LockResult::kTaken);
      EXPECT_EQ(platform.TryCreateLock(), LockResult::kTaken) << "the lock held is kept";
      ChildProcess second(Helper(), {L"KET_HELPER_MODE=lock"});
      EXPECT_EQ(second.Wait(30000), 1u) << "the other process finds the same, busy, lock";
    }
    EXPECT_TRUE(test::Exists(folder + L"ketro.tmp")) << "the lock file is never deleted";
  }
  TempOverride use(deep);
  EXPECT_GT(LockFilePath().size(), 129u + 9u);
}

TEST(Lock, IsExclusiveBetweenProcessesAndFreedWithItsHolder) {
  TempFolder tmp;
  TempOverride use(ToWide(tmp.Path()));
  const std::vector<std::wstring> env = {L"KET_HELPER_MODE=lock"};
  auto platform = std::make_unique<Win32StartupPlatform>();
  ASSERT_EQ(platform->TryCreateLock(), LockResult::kTaken);
  {
    ChildProcess second(Helper(), env);
    EXPECT_EQ(second.Wait(30000), 1u) << second.Output();
    EXPECT_EQ(second.Output(), Utf16ToUtf8(LockFilePath()) + "\n")
        << "both processes agree on the path";
  }
  platform.reset();
  ChildProcess third(Helper(), env);
  EXPECT_EQ(third.Wait(30000), 0u) << "the lock is free once its holder has let go";
}

TEST(Lock, AHolderInAnotherProcessKeepsItUntilThatProcessEnds) {
  TempFolder tmp;
  TempOverride use(ToWide(tmp.Path()));
  ChildProcess first(Helper(), {L"KET_HELPER_MODE=hold", L"KET_HOLD_MS=1500"});
  ASSERT_TRUE(test::PumpUntil([&] { return first.Output() == "locked\n"; }, 30000));
  Win32StartupPlatform platform;
  EXPECT_EQ(platform.TryCreateLock(), LockResult::kBusy);
  ASSERT_EQ(first.Wait(30000), 0u);
  EXPECT_EQ(platform.TryCreateLock(), LockResult::kTaken);
}

// A stand-in for the first setup's main window: class TKetSetup, counting activations.
class SetupWindow {
 public:
  SetupWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &SetupWindow::Proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kSetupWindowClass;
    ::RegisterClassW(&wc);
    hwnd_ = ::CreateWindowExW(0, kSetupWindowClass, L"Ketro FULL", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                              100, nullptr, nullptr, wc.hInstance, nullptr);
  }
  SetupWindow(const SetupWindow&) = delete;
  SetupWindow& operator=(const SetupWindow&) = delete;
  ~SetupWindow() {
    ::DestroyWindow(hwnd_);
    ::UnregisterClassW(kSetupWindowClass, ::GetModuleHandleW(nullptr));
    activations = 0;
    lastParams = {1, 1};
  }
  HWND hwnd() const { return hwnd_; }

  static inline int activations = 0;
  static inline std::pair<WPARAM, LPARAM> lastParams{1, 1};

 private:
  static LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_SETUP_ACTIVATE) {
      ++activations;
      lastParams = {w, l};
      return 0;
    }
    return ::DefWindowProcW(h, msg, w, l);
  }
  HWND hwnd_ = nullptr;
};

constexpr DWORD kHandedOver = ToInt(ExitCode::kHandedOver);

TEST(HandOver, PostsTheActivationMessageToTheRunningSetupAndEndsWithCodeHandedOver) {
  SetupWindow window;
  ASSERT_NE(window.hwnd(), nullptr);
  ChildProcess second(Helper(), {L"KET_HELPER_MODE=signal"});
  EXPECT_EQ(second.Wait(30000), kHandedOver);
  EXPECT_TRUE(test::PumpUntil([] { return SetupWindow::activations > 0; }, 10000));
  EXPECT_EQ(SetupWindow::activations, 1);
  EXPECT_EQ(SetupWindow::lastParams, (std::pair<WPARAM, LPARAM>{0, 0}));
  EXPECT_EQ(second.Output(), "") << "the second process shows and says nothing";
}

TEST(HandOver, WithoutARunningWindowStillEndsWithCodeHandedOver) {
  ASSERT_EQ(::FindWindowW(kSetupWindowClass, nullptr), nullptr);
  ChildProcess second(Helper(), {L"KET_HELPER_MODE=signal"});
  EXPECT_EQ(second.Wait(30000), kHandedOver);
}

// Two setups started one after the other, each as a real process through PrepareSetup, with a
// temporary folder of their own. How often and how long "/update" waits before it hands over
// is the engine's to count (CommandLine.OnlyABusyLockIsWaitedForOrHandedOver).
class TwoSetups : public ::testing::Test {
 protected:
  static std::vector<std::wstring> Env(unsigned holdMs) {
    return {L"KET_HELPER_MODE=setup", L"KET_HOLD_MS=" + std::to_wstring(holdMs)};
  }
  // Starts the first setup and waits until its window exists.
  std::unique_ptr<ChildProcess> StartFirst(unsigned holdMs) {
    auto first = std::make_unique<ChildProcess>(Helper(), Env(holdMs));
    EXPECT_TRUE(test::PumpUntil(
        [&] { return first->Output().find("ready\n") != std::string::npos; }, 30000))
        << first->Output();
    return first;
  }
  static int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
      ++n;
    }
    return n;
  }

  TempFolder tmp;
  TempOverride use{ToWide(tmp.Path())};
};

TEST_F(TwoSetups, WithoutUpdateTheSecondHandsOverAtOnceAndShowsNothing) {
  auto first = StartFirst(60000);
  EXPECT_EQ(first->Output(), "folder=[<none>] language=0\nready\n");
  // No "/update" in first place, however the rest reads: the folder is ignored too.
  int handOvers = 0;
  for (const wchar_t* args : {L"", L" D:\\Work\\", L" /install D:\\Work\\"}) {
    ChildProcess second(Helper() + args, Env(0));
    EXPECT_EQ(second.Wait(30000), kHandedOver) << args;
    EXPECT_EQ(second.Output(), "") << "the second process shows and says nothing";
    ++handOvers;
    EXPECT_TRUE(
        test::PumpUntil([&] { return Count(first->Output(), "activated\n") == handOvers; }, 10000))
        << first->Output();
  }
  EXPECT_TRUE(first->Running());
}

TEST_F(TwoSetups, WithUpdateTheSecondWaitsForTheFirstToEndAndTakesOver) {
  auto first = StartFirst(2500);
  ChildProcess second(Helper() + L" /UPDATE D:\\Work\\", Env(0));
  ASSERT_EQ(first->Wait(30000), 0u);
  EXPECT_TRUE(second.Running() || second.Output().find("folder=") != std::string::npos)
      << "the second was still waiting when the first ended";
  ASSERT_EQ(second.Wait(30000), 0u);
  EXPECT_EQ(second.Output(), "folder=[D:\\Work\\] language=0\nready\n");
  EXPECT_EQ(Count(first->Output(), "activated"), 0) << "nobody was handed over to";
}

// A temporary folder where the lock file cannot be made: one that does not exist, or a folder
// of that name in the way (which no rights mend, not even an administrator's). Nobody holds the
// lock, so start-up goes on without it and shows its window at once, with or without "/update",
// instead of handing over to nobody.
TEST(Lock, ALockThatCannotBeCreatedIsNoRunningSetup) {
  TempFolder tmp;
  {
    TempOverride use(ToWide(tmp.Path()) + L"missing\\");
    Win32StartupPlatform platform;
    EXPECT_EQ(platform.TryCreateLock(), LockResult::kCannotCreate);
  }
  TempOverride use(ToWide(tmp.Path()));
  ASSERT_TRUE(::CreateDirectoryW((ToWide(tmp.Path()) + L"ketro.tmp").c_str(), nullptr));
  Win32StartupPlatform platform;
  EXPECT_EQ(platform.TryCreateLock(), LockResult::kCannotCreate);
  for (const wchar_t* args : {L"", L" /update D:\\Work\\"}) {
    ChildProcess setup(Helper() + args, {L"KET_HELPER_MODE=setup", L"KET_HOLD_MS=0"});
    EXPECT_EQ(setup.Wait(60000), 0u) << args;
    EXPECT_NE(setup.Output().find("ready\n"), std::string::npos) << args << setup.Output();
  }
}

TEST(CommandLine, ArgumentsAreTheProcessOwnAfterItsName) {
  // A quoted folder keeps its final backslash, backslashes stay as typed, empty quotes are an
  // empty argument.
  ChildProcess child(Helper() + L" /UPDATE \"C:\\Program Files\\Ketro\\\" \"\" x\\\\y "
                                L"C:\\\x041A\x0435\x0442\x0440\x043E",
                     {L"KET_HELPER_MODE=args"});
  ASSERT_EQ(child.Wait(30000), 0u);
  EXPECT_EQ(child.Output(), "[/UPDATE]\n[C:\\Program Files\\Ketro\\]\n[]\n[x\\\\y]\n"
                            "[C:\\\xD0\x9A\xD0\xB5\xD1\x82\xD1\x80\xD0\xBE]\n");
}

TEST(ThreadLocale, IsSetForTheCallingThread) {
  const LCID old = ::GetThreadLocale();
  Win32StartupPlatform platform;
  platform.SetThreadLocale(1049);
  EXPECT_EQ(::GetThreadLocale(), 1049u);
  ::SetThreadLocale(old);
}

// The OEM code page value of the prefix, changed with reg.exe as an administrator would and
// put back afterwards: every test of the run shares the prefix.
class OemCodePage : public ::testing::Test {
 protected:
  static constexpr wchar_t kKey[] = L"\"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage\"";

  void SetUp() override {
    Win32StartupPlatform platform;
    saved_ = platform.ReadOemCodePage();
  }
  void TearDown() override {
    if (saved_) {
      Set(L"REG_SZ", ToWide(*saved_));
    } else {
      Delete();
    }
  }
  static void Set(const std::wstring& type, const std::wstring& data) {
    ASSERT_EQ(test::RunReg(std::wstring(L"add ") + kKey + L" /v OEMCP /t " + type + L" /d \"" +
                           data + L"\" /f"),
              0u);
  }
  static void Delete() { test::RunReg(std::wstring(L"delete ") + kKey + L" /v OEMCP /f"); }
  static std::optional<std::u16string> Read() {
    Win32StartupPlatform platform;
    return platform.ReadOemCodePage();
  }

 private:
  std::optional<std::u16string> saved_;
};

TEST_F(OemCodePage, ReadsTheStringValueAsItStandsAndNothingElse) {
  Set(L"REG_SZ", L"not a number");
  EXPECT_EQ(Read(), u"not a number");
  Set(L"REG_SZ", L"");
  EXPECT_EQ(Read(), u"");
  Delete();
  EXPECT_EQ(Read(), std::nullopt);
  Set(L"REG_DWORD", L"866");
  EXPECT_EQ(Read(), std::nullopt);
}

// The language a real start chooses from the value.
std::string LanguageOfAStart() {
  TempFolder tmp;
  TempOverride use(ToWide(tmp.Path()));
  ChildProcess setup(Helper(), {L"KET_HELPER_MODE=setup", L"KET_HOLD_MS=0"});
  if (setup.Wait(30000) != 0u) {
    return "no start";
  }
  const std::string out = setup.Output();
  const size_t at = out.find("language=");
  return at == std::string::npos ? out : out.substr(at + 9, 1);
}

// How the value reads as a language is the engine's (Startup.OemCodePageChoosesTheLanguage),
// what is read of it the case above's; here a real start puts the two together.
TEST_F(OemCodePage, OnlyCodePage866StartsInRussian) {
  Set(L"REG_SZ", L"866");
  EXPECT_EQ(LanguageOfAStart(), "1");
  Set(L"REG_SZ", L"437");
  EXPECT_EQ(LanguageOfAStart(), "0");
}

TEST(ResourceArchive, ReadsTheBytesInPlaceInTheProgramImage) {
  const Win32ResourceArchive archive;
  const auto bytes = archive.Bytes();
  const std::string expected("KETRO\0\x01\x02\xFE\xFF", 10);
  ASSERT_EQ(bytes.size(), expected.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin(),
                         [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
  // In place: the span points into the loaded image, not at a copy.
  const auto* base = reinterpret_cast<const std::uint8_t*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  EXPECT_GE(bytes.data(), base);
  EXPECT_LE(bytes.data() + bytes.size(), base + nt->OptionalHeader.SizeOfImage);
}

TEST(ResourceArchive, AnEmptyResourceGivesNoBytes) {
  const std::wstring path = test::ProgramFolder() + L"ket_instance_helper.exe";
  HMODULE helper = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(helper, nullptr);
  {
    const Win32ResourceArchive archive(helper);
    EXPECT_TRUE(archive.Bytes().empty());
  }
  ::FreeLibrary(helper);
}

TEST(ResourceArchive, AMissingResourceIsReportedByName) {
  try {
    const Win32ResourceArchive archive(::GetModuleHandleW(L"kernel32.dll"));
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Resource MAIN not found");
  }
}

} // namespace
} // namespace ket
