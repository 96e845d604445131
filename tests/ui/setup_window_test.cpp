// The setup window in-process: start-up texts and language switching, the states the run moves
// it through, a complete run into a temporary folder, and a payload that cannot be loaded.
#include "base/product.h"
#include "engine/archive_writer.h"
#include "engine/commit.h"
#include "engine/run.h"
#include "ui/language.h"
#include "ui/setup_window.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <windows.h>

namespace ket {

struct TKetSetupTestPeer {
  TKetSetup& w;
  TSB& SB1() { return w.SB1; }
  TSB& SB2() { return w.SB2; }
  TEdit& Edit1() { return w.Edit1; }
  TComboBox& cbLang() { return w.cbLang; }
  TEwCheckBox& cbDesktop() { return w.cbDesktop; }
  TEwCheckBox& cbStart() { return w.cbStart; }
  TEwCheckBox& cbForce() { return w.cbForce; }
  TLabel& Label3() { return w.Label3; }
  TLabel& Label4() { return w.Label4; }
  TLabel& Label13() { return w.Label13; }
  TLabel& Label1() { return w.Label1; }
  TLink& Link1() { return w.Link1; }
  TPanel& Panel3() { return w.Panel3; }
  TPanel& Panel4() { return w.Panel4; }
  TPanel& Panel6() { return w.Panel6; }
  TGroupPanel& GP() { return w.GP; }
  TProgressBar& PB() { return w.PB; }
  TMemo* Note() { return w.note_.get(); }
  void Activate() { w.FormActivate(nullptr); }
  void ChangeLanguage(int index) {
    w.cbLang.SetItemIndex(index);
    w.cbLangChange(&w.cbLang);
  }
  void PressInstall() { w.SB1Click(&w.SB1); }
};

namespace {

class FakeStartup final : public StartupPlatform {
 public:
  std::vector<std::u16string> args;
  std::optional<std::u16string> oemcp;
  std::vector<std::u16string> Arguments() override { return args; }
  LockResult TryCreateLock() override { return LockResult::kTaken; }
  void Sleep(unsigned) override {}
  [[noreturn]] void SignalRunningInstance() override { std::abort(); }
  void SetThreadLocale(std::uint32_t) override {}
  std::optional<std::u16string> ReadOemCodePage() override { return oemcp; }
};

// A text as the memo holds it: the edit control breaks lines at CR LF only.
std::u16string AsShown(std::u16string_view text) {
  std::u16string shown;
  for (const char16_t c : text)
    shown += c == u'\r' ? std::u16string(u"\r\n") : std::u16string(1, c);
  return shown;
}

std::vector<std::uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder of its own for a test's run, empty.
std::filesystem::path WindowTestFolder(const char* what, bool russian) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("ket-window-" + std::string(what) + "-" +
                    std::to_string(GetCurrentProcessId()) + (russian ? "-ru" : "-en"));
  std::filesystem::remove_all(dir);
  return dir;
}

// A product of three files in two folders, one deletion line.
std::vector<std::uint8_t> SmallArchive() {
  const std::string list = "readme.txt||#|about\r\n"
                           "data\\a.txt||#|data\r\n"
                           "data\\deep\\b.txt|P|#|full edition only\r\n"
                           "data\\old.tmp|K|\r\n";
  std::vector<ArchiveEntry> entries{{"list", Bytes(list), 0},
                                    {"readme.txt", Bytes("Ketro\r\n"), 0x5B6A7059},
                                    {"data\\a.txt", Bytes("cities"), 0x5B6A7059},
                                    {"data\\deep\\b.txt", Bytes(std::string(70000, 'b')), 0}};
  return BuildArchive(entries);
}

class SetupWindowTest : public ::testing::Test {
 protected:
  std::unique_ptr<TKetSetup> Make(std::vector<std::uint8_t> archive) {
    ArchiveOpener opener = [bytes = std::move(archive)]() -> std::unique_ptr<ArchiveBytes> {
      if (bytes.empty())
        throw Error("Resource MAIN not found");
      return std::make_unique<MemoryArchiveBytes>(bytes);
    };
    return std::make_unique<TKetSetup>(state, SetupWindowServices{startup, opener});
  }

  // A run that installs one file and deletes `count` obsolete ones, of which the first `held` are
  // held open by another program, so that they stay. Returns the memo's text in the Finished
  // state.
  std::u16string FinishedTextWithHeldFiles(TKetSetup& w, int count, int held, bool russian);

  SetupState state;
  FakeStartup startup;
};

TEST(SetupWindowLayout, CentringRoundsHalvesToTheEvenNeighbour) {
  EXPECT_EQ(TKetSetup::CentredOffset(549, 424), 62); // 62.5
  EXPECT_EQ(TKetSetup::CentredOffset(550, 423), 64); // 63.5
  EXPECT_EQ(TKetSetup::CentredOffset(550, 424), 63);
  EXPECT_EQ(TKetSetup::CentredOffset(299, 104), 98); // 97.5
}

TEST_F(SetupWindowTest, StartsInEnglishWithTheDefaultFolderAndSwitchesLanguageBackAndForth) {
  startup.oemcp = u"437";
  auto w = Make(SmallArchive());
  TKetSetupTestPeer p{*w};
  EXPECT_EQ(p.Edit1().Text(), kDefaultInstallFolder);
  EXPECT_EQ(p.cbLang().ItemIndex(), 0);
  EXPECT_FALSE(state.RussianUi);
  EXPECT_EQ(p.SB1().Caption(), u"Install >>");
  EXPECT_EQ(p.SB2().Hint(), u"Select folder");
  EXPECT_EQ(p.Link1().Caption(), u"Official website of the program ");
  EXPECT_TRUE(p.cbDesktop().Checked());
  EXPECT_TRUE(p.cbStart().Checked());
  EXPECT_FALSE(p.cbForce().Checked());
  EXPECT_EQ(w->Result(), ExitCode::kClosed) << "closed before installing";

  // The user's choices survive the switch; only the texts change.
  p.Edit1().SetText(u"D:\\Elsewhere\\");
  p.cbStart().SetChecked(false);
  p.ChangeLanguage(1);
  EXPECT_TRUE(state.RussianUi);
  EXPECT_EQ(p.SB1().Caption(), u"Установить >>");
  EXPECT_EQ(p.cbStart().Caption(), u"Создать иконку в меню \"Пуск\"");
  EXPECT_EQ(p.Label4().Caption(), LanguageTableFor(1).folderNote);
  p.ChangeLanguage(0);
  EXPECT_FALSE(state.RussianUi);
  EXPECT_EQ(p.Label13().Caption(), u"Copy new files");
  EXPECT_EQ(p.Edit1().Text(), u"D:\\Elsewhere\\");
  EXPECT_FALSE(p.cbStart().Checked());
  EXPECT_TRUE(p.cbDesktop().Checked());
}

TEST_F(SetupWindowTest, UpdateWithAFolderAndTheRussianCodePage) {
  startup.args = {u"/UPDATE", u"D:\\Work\\"};
  startup.oemcp = u"866";
  auto w = Make(SmallArchive());
  TKetSetupTestPeer p{*w};
  EXPECT_EQ(p.Edit1().Text(), u"D:\\Work\\");
  EXPECT_EQ(p.cbLang().ItemIndex(), 1);
  EXPECT_TRUE(state.RussianUi);
  EXPECT_EQ(p.Label3().Caption(), u" Каталог установки");

  // Activation: the folder note leaves its alignment and lines up with the folder field, the
  // folder button takes the field's top and height; the payload is loaded once.
  p.Activate();
  EXPECT_EQ(w->Caption(), Application().Title());
  EXPECT_EQ(p.Label4().Align(), alNone);
  EXPECT_EQ(p.Label4().Left(), p.Edit1().Left());
  EXPECT_EQ(p.SB2().Top(), p.Edit1().Top());
  EXPECT_EQ(p.SB2().Height(), p.Edit1().Height());
  ASSERT_TRUE(state.ManifestLines.has_value());
  EXPECT_EQ(state.ManifestLines->size(), 4u);
  state.ManifestLines->pop_back();
  p.Activate();
  EXPECT_EQ(state.ManifestLines->size(), 3u);
}

TEST_F(SetupWindowTest, APayloadThatCannotBeLoadedLeavesInstallOutOfReach) {
  auto w = Make({});
  TKetSetupTestPeer p{*w};
  EXPECT_THROW(p.Activate(), Error);
  EXPECT_FALSE(p.SB1().Enabled());
  EXPECT_FALSE(state.ManifestLines.has_value());
  // A second activation shows no second error box, and Install stays disabled.
  EXPECT_NO_THROW(p.Activate());
  EXPECT_FALSE(p.SB1().Enabled());
  EXPECT_EQ(w->Result(), ExitCode::kCannotStart);

  // An archive that opens but has no manifest is a damaged setup file, and the box says so.
  std::vector<std::u16string> boxes;
  const std::vector<ArchiveEntry> entries{{"readme.txt", Bytes("Ketro\r\n"), 0x5B6A7059}};
  const std::vector<std::uint8_t> bytes = BuildArchive(entries);
  SetupState other;
  TKetSetup damaged(other, {startup, [&] { return std::make_unique<MemoryArchiveBytes>(bytes); },
                            [&](std::u16string_view text, unsigned) {
                              boxes.emplace_back(text);
                              return IDOK;
                            }});
  TKetSetupTestPeer d{damaged};
  EXPECT_NO_THROW(d.Activate());
  EXPECT_EQ(boxes, std::vector<std::u16string>{std::u16string(DamagedSetupText(false))});
  EXPECT_FALSE(d.SB1().Enabled());
  EXPECT_EQ(damaged.Result(), ExitCode::kCannotStart);
}

TEST_F(SetupWindowTest, ARunInstallsAndEndsInTheFinishedState) {
  auto w = Make(SmallArchive());
  TKetSetupTestPeer p{*w};
  p.Activate();
  const auto dir = WindowTestFolder("run", false);
  std::filesystem::create_directories(dir / "data");
  std::ofstream(dir / "data" / "old.tmp") << "obsolete";
  p.Edit1().SetText(std::u16string(dir.u16string())); // no final "\": the run adds it
  p.cbDesktop().SetChecked(false);
  p.cbStart().SetChecked(false);

  p.PressInstall();

  EXPECT_EQ(ReadFile(dir / "readme.txt"), "Ketro\r\n");
  EXPECT_EQ(ReadFile(dir / "data" / "a.txt"), "cities");
  EXPECT_EQ(ReadFile(dir / "data" / "deep" / "b.txt"), std::string(70000, 'b'));
  EXPECT_FALSE(std::filesystem::exists(dir / "data" / "old.tmp"));
  EXPECT_EQ(state.InstallDir, dir.u16string() + u"\\");
  EXPECT_TRUE(state.InstallDone);
  EXPECT_EQ(w->Result(), ExitCode::kDone);

  // The Finished state: the closing note in English, Close enabled, the options gone, the
  // progress panel hidden again; the bar ran to the last line's index.
  ASSERT_NE(p.Note(), nullptr);
  EXPECT_EQ(p.Note()->Text(), AsShown(ClosingNote(false))) << "nothing failed: the note alone";
  EXPECT_NE(p.Note()->Text().find(kSupportEmail), std::u16string::npos);
  EXPECT_EQ(p.SB1().Caption(), u"Close");
  EXPECT_TRUE(p.SB1().Enabled());
  EXPECT_FALSE(p.Panel4().Visible());
  EXPECT_FALSE(p.Panel6().Visible());
  EXPECT_FALSE(p.Panel3().Visible());
  EXPECT_TRUE(p.GP().Visible());
  EXPECT_EQ(p.PB().Max(), 3);
  EXPECT_EQ(p.PB().Position(), 3);
  EXPECT_EQ(p.Label1().Caption(), u"data\\deep\\b.txt");
  // The progress panel was centred in the client area.
  const int dx = 2 * p.Panel3().Left() + p.Panel3().Width() - w->ClientWidth();
  const int dy = 2 * p.Panel3().Top() + p.Panel3().Height() - w->ClientHeight();
  EXPECT_LE(std::abs(dx), 1);
  EXPECT_LE(std::abs(dy), 1);
  std::filesystem::remove_all(dir);
}

// Shown and active, the focus on the language box as at a first start, Enter runs the whole
// installation; keys pressed then reach no hidden control, and Enter closes the window.
void KeysAfterEnter(TKetSetup& w, SetupState& state, bool russian) {
  TKetSetupTestPeer p{w};
  const auto dir = WindowTestFolder("keys", russian);
  p.Edit1().SetText(dir.u16string());
  p.cbDesktop().SetChecked(false);
  p.cbStart().SetChecked(false);
  w.Show();
  Application().ProcessMessages();
  SendMessageW(w.Handle(), WM_ACTIVATE, WA_ACTIVE, 0);
  ASSERT_EQ(GetFocus(), p.cbLang().Handle());
  const int language = p.cbLang().ItemIndex();
  ASSERT_EQ(language, russian ? 1 : 0);
  auto press = [](WORD key) {
    const HWND focus = GetFocus();
    SendMessageW(focus, WM_KEYDOWN, key, 1);
    SendMessageW(focus, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
  };

  press(VK_RETURN); // the whole run
  ASSERT_TRUE(state.InstallDone);
  EXPECT_EQ(GetFocus(), w.Handle()) << "nothing visible takes the focus in the Finished state";
  for (const WORD key : {WORD{VK_DOWN}, WORD{VK_UP}, WORD{'E'}, WORD{'R'}, WORD{VK_END}})
    press(key);
  SendMessageW(GetFocus(), WM_CHAR, russian ? u'E' : u'R', 1);
  EXPECT_EQ(p.cbLang().ItemIndex(), language);
  EXPECT_EQ(state.RussianUi, russian);
  EXPECT_EQ(p.SB1().Caption(), russian ? u"Закрыть" : u"Close");

  press(VK_RETURN);
  EXPECT_FALSE(w.Visible()) << "Enter closes the window in the Finished state";
  std::filesystem::remove_all(dir);
}

TEST_F(SetupWindowTest, KeysAfterEnterReachNoHiddenControlInEitherLanguage) {
  for (const bool russian : {false, true}) {
    SCOPED_TRACE(russian ? "Russian" : "English");
    state = SetupState();
    startup.oemcp = russian ? u"866" : u"437";
    KeysAfterEnter(*Make(SmallArchive()), state, russian);
  }
}

// Holds files open as a program that keeps them: no sharing at all, so that they can be neither
// replaced, moved aside nor deleted, until Release.
class HeldFiles {
 public:
  HeldFiles(const std::filesystem::path& dir, const std::vector<std::string>& names) {
    std::filesystem::create_directories(dir / "data");
    for (const std::string& name : names) {
      std::ofstream(dir / "data" / name) << "in use";
      handles_.push_back(CreateFileW((dir / "data" / name).wstring().c_str(), GENERIC_READ, 0,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      EXPECT_NE(handles_.back(), INVALID_HANDLE_VALUE);
    }
  }
  HeldFiles(const HeldFiles&) = delete;
  HeldFiles& operator=(const HeldFiles&) = delete;
  ~HeldFiles() { Release(); }
  void Release() {
    for (HANDLE h : handles_)
      CloseHandle(h);
    handles_.clear();
  }

 private:
  std::vector<HANDLE> handles_;
};

std::u16string SetupWindowTest::FinishedTextWithHeldFiles(TKetSetup& w, int count, int held,
                                                          bool russian) {
  TKetSetupTestPeer p{w};
  p.ChangeLanguage(russian ? 1 : 0);
  p.Activate();
  const auto dir = WindowTestFolder("held", russian);
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i)
    names.push_back("f" + std::to_string(i) + ".old");
  HeldFiles files(dir, {names.begin(), names.begin() + held});
  for (int i = held; i < count; ++i)
    std::ofstream(dir / "data" / names[i]) << "obsolete";
  p.Edit1().SetText(dir.u16string());
  p.cbDesktop().SetChecked(false);
  p.cbStart().SetChecked(false);
  p.PressInstall();
  files.Release();
  EXPECT_EQ(ReadFile(dir / "data" / "new.txt"), "new");
  for (int i = held; i < count; ++i)
    EXPECT_FALSE(std::filesystem::exists(dir / "data" / names[i]));
  std::filesystem::remove_all(dir);
  EXPECT_TRUE(state.InstallDone);
  EXPECT_EQ(w.Result(), ExitCode::kIncomplete);
  EXPECT_EQ(p.SB1().Caption(), russian ? u"Закрыть" : u"Close");
  EXPECT_TRUE(p.SB1().Enabled());
  return p.Note() ? p.Note()->Text() : std::u16string();
}

// One file line, then one deletion line for each of `count` obsolete files.
std::vector<std::uint8_t> ArchiveWithObsoleteFiles(int count) {
  std::string list = "data\\new.txt||#|\r\n";
  for (int i = 0; i < count; ++i)
    list += "data\\f" + std::to_string(i) + ".old|K|\r\n";
  const std::vector<ArchiveEntry> entries{{"list", Bytes(list), 0},
                                          {"data\\new.txt", Bytes("new"), 0x5B6A7059}};
  return BuildArchive(entries);
}

TEST_F(SetupWindowTest, ObsoleteFilesThatStayedAreNamedAboveTheClosingNote) {
  // Twelve held files: the note, the first ten names and "…" in one paragraph, then the closing
  // note; the memo breaks lines at CR LF.
  auto w = Make(ArchiveWithObsoleteFiles(13));
  std::u16string expected = u"Some obsolete files could not be deleted. Close the programs that "
                            u"use them and run the setup again.";
  for (int i = 0; i < 10; ++i)
    expected += (i == 0 ? u"\r\ndata\\f" : u", data\\f") +
                std::u16string(1, static_cast<char16_t>(u'0' + i)) + u".old";
  expected += u", \u2026\r\n\r\n";
  EXPECT_EQ(FinishedTextWithHeldFiles(*w, 13, 12, false), expected + AsShown(ClosingNote(false)));
}

TEST_F(SetupWindowTest, TheFailureNoteIsInTheWindowsLanguage) {
  // One held file in Russian: the note, its name, no "…".
  auto w = Make(ArchiveWithObsoleteFiles(2));
  const std::u16string text = FinishedTextWithHeldFiles(*w, 2, 1, true);
  const std::u16string head = u"Некоторые устаревшие файлы не удалось удалить. Закройте "
                              u"программы, которые их используют, и запустите установку ещё "
                              u"раз.\r\ndata\\f0.old\r\n\r\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.find(u"\u2026"), std::u16string::npos);
  EXPECT_EQ(text.substr(head.size()), AsShown(ClosingNote(true)));
}

// The boxes of runs that change nothing, in the window's language, and the exit code each
// leaves. A folder another run holds: its box, back to the Options state. A file of the product
// held open: the box names it, with Retry and Cancel; Cancel goes back to the Options state with
// the file as it was (exit code "closed"); Retry once the program has let go completes the run.
TEST_F(SetupWindowTest, ARunThatChangesNothingSaysWhyInItsBox) {
  struct Box {
    std::u16string text;
    unsigned flags;
  };
  std::vector<Box> boxes;
  std::function<int()> answer;
  SetupWindowServices services{startup, nullptr, [&](std::u16string_view text, unsigned flags) {
                                 boxes.push_back({std::u16string(text), flags});
                                 return answer();
                               }};
  const std::vector<ArchiveEntry> entries{{"list", Bytes("data\\a.txt||#|\r\n"), 0},
                                          {"data\\a.txt", Bytes("new"), 0x5B6A7059}};
  const std::vector<std::uint8_t> bytes = BuildArchive(entries);
  services.openArchive = [&bytes]() -> std::unique_ptr<ArchiveBytes> {
    return std::make_unique<MemoryArchiveBytes>(bytes);
  };
  TKetSetup w(state, services);
  TKetSetupTestPeer p{w};
  p.ChangeLanguage(1);
  p.Activate();
  const auto dir = WindowTestFolder("in-use", true);
  HeldFiles held(dir, {"a.txt"});
  p.Edit1().SetText(dir.u16string());
  p.cbDesktop().SetChecked(false);
  p.cbStart().SetChecked(false);

  answer = [] { return IDOK; };
  const HANDLE otherRun =
      CreateFileW((dir / kFolderLockName).wstring().c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                  0, nullptr, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(otherRun, INVALID_HANDLE_VALUE);
  p.PressInstall();
  CloseHandle(otherRun);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, FolderBusyText(true));
  EXPECT_EQ(boxes[0].flags, static_cast<unsigned>(MB_OK | MB_ICONWARNING));
  EXPECT_EQ(w.Result(), ExitCode::kFolderBusy);
  EXPECT_TRUE(p.SB1().Enabled());

  boxes.clear();
  answer = [] { return IDCANCEL; };
  p.PressInstall();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, FileInUseText(true, u"data\\a.txt"));
  EXPECT_EQ(boxes[0].flags, static_cast<unsigned>(MB_RETRYCANCEL | MB_ICONWARNING));
  EXPECT_FALSE(state.InstallDone);
  EXPECT_TRUE(p.GP().Visible());
  EXPECT_TRUE(p.SB1().Enabled());
  EXPECT_EQ(p.SB1().Caption(), u"Установить >>");
  EXPECT_EQ(w.Result(), ExitCode::kClosed);
  held.Release();
  EXPECT_EQ(ReadFile(dir / "data" / "a.txt"), "in use");

  HeldFiles again(dir, {"a.txt"});
  answer = [&] {
    again.Release();
    return IDRETRY;
  };
  p.PressInstall();
  EXPECT_EQ(boxes.size(), 2u);
  EXPECT_TRUE(state.InstallDone);
  EXPECT_EQ(w.Result(), ExitCode::kDone);
  EXPECT_EQ(ReadFile(dir / "data" / "a.txt"), "new");
  std::filesystem::remove_all(dir);
}

} // namespace
} // namespace ket
