// The shortcuts through the shell's link object, read back through the same object; and the
// console installer's own link writer, read back by the shell.
#include "base/wide.h"
#include "platform/posix/shell_link.h"
#include "platform/win32/handle.h"
#include "platform/win32/registry.h"
#include "tests/platform/win32/test_support.h"
#include "ui/shortcuts.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <thread>
#include <windows.h>

namespace ket {
namespace {

using test::TempFolder;

constexpr wchar_t kShellFoldersKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

struct LinkFields {
  std::wstring path;
  std::wstring workingDirectory;
  std::wstring iconPath;
  int iconIndex = -1;
  std::wstring arguments;
};

// Loads a link file through IPersistFile and reads its fields back through IShellLinkW.
std::optional<LinkFields> ReadLink(const std::wstring& file) {
  IShellLinkW* link = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link)))) {
    return std::nullopt;
  }
  std::optional<LinkFields> out;
  IPersistFile* persist = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
    if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
      LinkFields f;
      wchar_t buffer[1024] = {};
      link->GetPath(buffer, 1024, nullptr, SLGP_RAWPATH);
      f.path = buffer;
      buffer[0] = 0;
      link->GetWorkingDirectory(buffer, 1024);
      f.workingDirectory = buffer;
      buffer[0] = 0;
      link->GetIconLocation(buffer, 1024, &f.iconIndex);
      f.iconPath = buffer;
      buffer[0] = 0;
      link->GetArguments(buffer, 1024);
      f.arguments = buffer;
      out = f;
    }
    persist->Release();
  }
  link->Release();
  return out;
}

// Points the current user's "Desktop" and "Programs" shell folders at folders of the test and
// puts the prefix's values back afterwards: every test of the run shares the prefix.
class ShortcutTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::CoInitialize(nullptr); }
  static void TearDownTestSuite() { ::CoUninitialize(); }

  void SetUp() override {
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kShellFoldersKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, key_.Receive(), nullptr),
              ERROR_SUCCESS);
    savedDesktop_ = ReadRegistryString(key_.Get(), u"Desktop");
    savedPrograms_ = ReadRegistryString(key_.Get(), u"Programs");
    desktop = ToWide(tmp.Path()) + L"Desktop";
    programs = ToWide(tmp.Path()) + L"Start Menu\\Programs";
    ::CreateDirectoryW(desktop.c_str(), nullptr);
    ::CreateDirectoryW((ToWide(tmp.Path()) + L"Start Menu").c_str(), nullptr);
    ::CreateDirectoryW(programs.c_str(), nullptr);
    SetFolder(L"Desktop", desktop);
    SetFolder(L"Programs", programs);
    installDir = ToWide(tmp.Path()) + L"Ketro Install\\";
    ::CreateDirectoryW(installDir.c_str(), nullptr);
    test::WriteFileBytes(installDir + L"Ketro", "program");
    state.InstallDir = FromWide(installDir);
  }
  void TearDown() override {
    Restore(L"Desktop", savedDesktop_);
    Restore(L"Programs", savedPrograms_);
  }

  void SetFolder(const wchar_t* name, const std::wstring& value) {
    ::RegSetValueExW(key_.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  void Restore(const wchar_t* name, const std::optional<std::u16string>& saved) {
    if (saved) {
      SetFolder(name, ToWide(*saved));
    } else {
      ::RegDeleteValueW(key_.Get(), name);
    }
  }
  void Create(bool desktopLink, bool startMenuLink) {
    state.DesktopShortcut = desktopLink;
    state.StartMenuShortcut = startMenuLink;
    Win32ShortcutCreator creator(state);
    creator.CreateShortcut(u"Ketro", u"Ketro");
  }
  std::wstring DesktopLink() const { return desktop + L"\\Ketro.lnk"; }
  std::wstring ProgramsLink() const { return programs + L"\\Ketro.lnk"; }

  TempFolder tmp;
  std::wstring desktop, programs, installDir;
  SetupState state;

 private:
  UniqueKey key_;
  std::optional<std::u16string> savedDesktop_, savedPrograms_;
};

TEST_F(ShortcutTest, BothLinksStartTheProgramInTheInstallationFolder) {
  Create(true, true);
  for (const auto& file : {DesktopLink(), ProgramsLink()}) {
    const auto link = ReadLink(file);
    ASSERT_TRUE(link.has_value()) << "no link at " << test::ReadFileBytes(file).has_value();
    EXPECT_EQ(link->path, installDir + L"Ketro") << "FN exactly, no extension added";
    EXPECT_EQ(link->workingDirectory, installDir);
    EXPECT_EQ(link->iconPath, L"") << "the link shows its target's icon";
    EXPECT_EQ(link->iconIndex, 0);
    EXPECT_EQ(link->arguments, L"");
  }
}

TEST_F(ShortcutTest, OnlyTheLinksAskedFor) {
  Create(true, false);
  EXPECT_TRUE(test::Exists(DesktopLink()));
  EXPECT_FALSE(test::Exists(ProgramsLink()));
  ::DeleteFileW(DesktopLink().c_str());

  Create(false, true);
  EXPECT_FALSE(test::Exists(DesktopLink()));
  EXPECT_TRUE(test::Exists(ProgramsLink()));
  ::DeleteFileW(ProgramsLink().c_str());

  Create(false, false);
  EXPECT_FALSE(test::Exists(DesktopLink()));
  EXPECT_FALSE(test::Exists(ProgramsLink()));
}

TEST_F(ShortcutTest, ASecondRunReplacesTheLinks) {
  Create(true, true);
  const std::wstring other = ToWide(tmp.Path()) + L"Elsewhere\\";
  ::CreateDirectoryW(other.c_str(), nullptr);
  test::WriteFileBytes(other + L"Ketro", "program");
  state.InstallDir = FromWide(other);
  Create(true, true);
  for (const auto& file : {DesktopLink(), ProgramsLink()}) {
    const auto link = ReadLink(file);
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(link->path, other + L"Ketro");
    EXPECT_EQ(link->workingDirectory, other);
  }
}

TEST_F(ShortcutTest, AFolderValueEndingInABackslashIsUsedAsItIs) {
  SetFolder(L"Desktop", desktop + L"\\");
  Create(true, false);
  EXPECT_TRUE(ReadLink(DesktopLink()).has_value());
}

TEST_F(ShortcutTest, AMissingOrEmptyFolderValueWritesNoLink) {
  // The stray link a missing folder would otherwise give: "\Ketro.lnk" on the current drive.
  const std::wstring stray = L"\\Ketro.lnk";
  ASSERT_FALSE(test::Exists(stray));
  SetFolder(L"Desktop", L"");
  Restore(L"Programs", std::nullopt);
  Create(true, true);
  EXPECT_FALSE(test::Exists(stray));
  EXPECT_FALSE(test::Exists(DesktopLink()));
  EXPECT_FALSE(test::Exists(ProgramsLink()));
}

TEST_F(ShortcutTest, AFolderThatDoesNotExistIsASilentFailure) {
  SetFolder(L"Desktop", ToWide(tmp.Path()) + L"gone");
  Create(true, true);
  EXPECT_FALSE(test::Exists(ToWide(tmp.Path()) + L"gone"));
  EXPECT_TRUE(ReadLink(ProgramsLink()).has_value()) << "the other link is still made";
}

TEST_F(ShortcutTest, WithoutCOMOnTheThreadNothingIsWrittenAndNothingThrown) {
  // A new thread has no apartment, and the process has no multithreaded one to fall back on.
  std::thread worker([&] { Create(true, true); });
  worker.join();
  EXPECT_FALSE(test::Exists(DesktopLink()));
  EXPECT_FALSE(test::Exists(ProgramsLink()));
}

TEST_F(ShortcutTest, TheConsoleInstallersLinksReadBackThroughTheShell) {
  const std::wstring file = ToWide(tmp.Path()) + L"written.lnk";
  const std::u16string target = FromWide(installDir + L"Ketro");
  ASSERT_TRUE(
      WriteShellLink(std::filesystem::path(ToWide(FromWide(file))), target, FromWide(installDir)));
  const auto link = ReadLink(file);
  ASSERT_TRUE(link.has_value());
  EXPECT_EQ(link->path, installDir + L"Ketro");
  EXPECT_EQ(link->workingDirectory, installDir);
  EXPECT_EQ(link->iconPath, L"");
  EXPECT_EQ(link->arguments, L"");
}

// With KET_LNK_OUT naming a folder, leaves links there for lnkinfo on the host
// (tests/ui/lnkinfo_check.sh).
TEST_F(ShortcutTest, LeavesLinksForTheHost) {
  wchar_t out[1024] = {};
  if (::GetEnvironmentVariableW(L"KET_LNK_OUT", out, 1024) == 0) {
    GTEST_SKIP() << "KET_LNK_OUT not set";
  }
  const std::wstring outDesktop = std::wstring(out) + L"\\Desktop";
  const std::wstring outPrograms = std::wstring(out) + L"\\Programs";
  ::CreateDirectoryW(outDesktop.c_str(), nullptr);
  ::CreateDirectoryW(outPrograms.c_str(), nullptr);
  SetFolder(L"Desktop", outDesktop);
  SetFolder(L"Programs", outPrograms);
  state.InstallDir = u"C:\\!KetroNew\\";
  Create(true, true);
  EXPECT_TRUE(test::Exists(outDesktop + L"\\Ketro.lnk"));
  EXPECT_TRUE(test::Exists(outPrograms + L"\\Ketro.lnk"));
}

} // namespace
} // namespace ket
