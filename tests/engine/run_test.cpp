// The installation run against a recording window and a real folder of the platform.
#include "engine/run.h"
#include "tests/engine/scenario.h"

#include <gtest/gtest.h>

namespace ket::test {
namespace {

using Calls = std::vector<std::string>;

struct Run : ::testing::Test {
  TempFolder dir;
  RecordingFileSystem files;
  RecordingWindow window;
  FakeRekeyer rekeyer;
  FakeShortcuts shortcuts;
  SetupState state;
  Payload payload;

  void Load(const std::vector<std::string>& manifest, const std::vector<FileSpec>& entries) {
    state = SetupState();
    payload = Payload();
    LoadScenario(state, payload, manifest, entries);
  }
  void Install(std::u16string folder, bool force = false) {
    window.calls.clear();
    window.choices = Choices{std::move(folder), force, true, true};
    DoCopy(state, payload, {files, window, &shortcuts, &rekeyer});
  }
  std::string Read(std::u16string_view relative) {
    return GetFile(dir / relative).value_or("(none)");
  }
};

TEST_F(Run, CompleteRunInOrderWithFoldersCreated) {
  Load({"a.txt||#|first", "deep\\er\\b.txt|P|#|second", "old\\*.tmp|K|", "f.txt|F|#|other"},
       {{"a.txt", "AAA"}, {"deep\\er\\b.txt", "BBB"}, {"f.txt", "F"}});
  // Pending messages are handled before the file is written.
  std::vector<bool> existedBefore;
  window.onPendingMessages = [&] { existedBefore.push_back(PathExists(dir / u"deep\\er\\b.txt")); };
  const std::u16string target = dir / u"new\\two\\levels";
  Install(target);
  EXPECT_EQ(window.calls,
            (Calls{"EnterCopyingState", "ReadChoices", "ShowProgressPanel 2",
                   "SetProgressPosition 0", "ShowCurrentFile a.txt", "ProcessPendingMessages",
                   "SetProgressPosition 1", "ShowCurrentFile deep\\er\\b.txt",
                   "ProcessPendingMessages", "SetProgressPosition 2", "EnterFinishedState"}));
  EXPECT_EQ(existedBefore, (std::vector<bool>{false, false}));
  EXPECT_EQ(state.InstallDir, target + u"\\");
  EXPECT_TRUE(state.InstallDone);
  EXPECT_EQ(Read(u"new\\two\\levels\\a.txt"), "AAA");
  EXPECT_EQ(Read(u"new\\two\\levels\\deep\\er\\b.txt"), "BBB");
  EXPECT_FALSE(PathExists(dir / u"new\\two\\levels\\f.txt"));
  EXPECT_EQ(shortcuts.calls,
            (std::vector<std::pair<std::u16string, std::u16string>>{{u"Ketro", u"Ketro"}}));
  EXPECT_TRUE(state.DesktopShortcut && state.StartMenuShortcut && !state.ForceInstall);
  // Every written file gets the entry's clock time as its creation time.
  ASSERT_EQ(files.creationTimes.size(), 2u);
  EXPECT_EQ(files.creationTimes[0].first, target + u"\\a.txt");
  EXPECT_EQ(files.creationTimes[0].second, kEntryTime);
}

TEST_F(Run, FolderEndingInABackslashGetsNoSecondOne) {
  Load({"a.txt||#|"}, {{"a.txt", "A"}});
  Install(dir.Path());
  EXPECT_EQ(state.InstallDir, dir.Path());
  EXPECT_EQ(window.Count("ShowProgressPanel 0"), 1); // one line left
}

TEST_F(Run, NothingLeftGoesStraightToTheEnd) {
  Load({"a.txt||#|", "b.txt|F|#|"}, {{"a.txt", "A"}, {"b.txt", "B"}});
  PutFile(dir / u"a.txt", "X"); // same size, written now: up to date
  Install(dir.Path());
  EXPECT_EQ(window.calls, (Calls{"EnterCopyingState", "ReadChoices", "EnterFinishedState"}));
  EXPECT_EQ(Read(u"a.txt"), "X");
  EXPECT_EQ(shortcuts.calls.size(), 1u);
  EXPECT_TRUE(state.InstallDone);
}

TEST_F(Run, SecondRunRewritesNothingThatIsUpToDate) {
  const std::vector<std::string> manifest{"a.txt||#|", "s.ini|O|#|", "old|K|"};
  const std::vector<FileSpec> entries{{"a.txt", "A"}, {"s.ini", "defaults"}};
  Load(manifest, entries);
  Install(dir.Path());
  PutFile(dir / u"s.ini", "mine");
  Load(manifest, entries);
  Install(dir.Path());
  EXPECT_EQ(window.Count("ShowCurrentFile"), 0);
  EXPECT_EQ(window.Count("SetProgressPosition"), 1); // the deletion line
  EXPECT_EQ(Read(u"s.ini"), "mine");
  // Forced, everything is written again.
  Load(manifest, entries);
  Install(dir.Path(), true);
  EXPECT_EQ(window.Count("ShowCurrentFile"), 2);
  EXPECT_EQ(Read(u"s.ini"), "defaults");
}

TEST_F(Run, DeletionLinesRemoveMatchesThenTheFolder) {
  Load({"old\\*.tmp|K|", "old|K|", "keep\\*.*|K|", "keep|K|", "ro\\*.tmp|K|", "ro|K|"}, {});
  PutFile(dir / u"old\\a.tmp", "a");
  PutFile(dir / u"old\\b.TMP", "b");
  MakeFolders(dir / u"old\\empty.tmp"); // a folder matching the mask goes too, when empty
  PutFile(dir / u"keep\\x", "x");
  PutFile(dir / u"keep\\sub\\y.txt", "y"); // a folder that is not empty stays
  PutFile(dir / u"ro\\locked.tmp", "r");
  SetReadOnly(dir / u"ro\\locked.tmp", true); // DeleteFile refuses a read-only file
  Install(dir.Path());
  EXPECT_FALSE(PathExists(dir / u"old"));
  EXPECT_FALSE(PathExists(dir / u"keep\\x"));
  EXPECT_TRUE(PathExists(dir / u"keep\\sub\\y.txt"));
  EXPECT_TRUE(PathExists(dir / u"ro\\locked.tmp"));
  EXPECT_EQ(window.Count("ShowProgressPanel 5"), 1);
  EXPECT_EQ(window.Count("ShowCurrentFile"), 0);
  EXPECT_EQ(window.Count("EnterFinishedState"), 1);
  SetReadOnly(dir / u"ro\\locked.tmp", false);
}

TEST_F(Run, ADescriptionWithKMarkerMakesADeletionLine) {
  Load({"a.txt||#|see |K| below"}, {{"a.txt", "new"}});
  PutFile(dir / u"a.txt", "older one");
  Install(dir.Path());
  EXPECT_FALSE(PathExists(dir / u"a.txt"));
  EXPECT_EQ(window.Count("ShowCurrentFile"), 0);
}

TEST_F(Run, ReadOnlyFileIsClearedAndOverwritten) {
  Load({"r.txt||#|"}, {{"r.txt", "fresh"}});
  PutFile(dir / u"r.txt", "stale content");
  SetReadOnly(dir / u"r.txt", true);
  Install(dir.Path());
  EXPECT_EQ(Read(u"r.txt"), "fresh");
  EXPECT_FALSE(IsReadOnly(dir / u"r.txt"));
}

TEST_F(Run, CityDatabaseIsRekeyedByItsExactName) {
  Load({"Ketro.cts||#|", "data\\ketro.cts||#|"}, {{"Ketro.cts", "db"}, {"data\\ketro.cts", "db2"}});
  Install(dir.Path());
  ASSERT_EQ(rekeyer.calls.size(), 1u);
  EXPECT_EQ(rekeyer.calls[0].first, dir / u"Ketro.cts");
  EXPECT_EQ(rekeyer.calls[0].second, "xq_plume_vortex_731_bells");
  EXPECT_EQ(Read(u"data\\ketro.cts"), "db2");
  EXPECT_EQ(files.creationTimes.size(), 2u);

  // A failed re-key leaves the file as extracted without its creation time.
  rekeyer.fail = true;
  files.creationTimes.clear();
  Load({"Ketro.cts||#|", "z.txt||#|"}, {{"Ketro.cts", "db"}, {"z.txt", "z"}});
  Install(dir.Path(), true);
  EXPECT_EQ(Read(u"Ketro.cts"), "db");
  ASSERT_EQ(files.creationTimes.size(), 1u);
  EXPECT_EQ(files.creationTimes[0].first, dir / u"z.txt");
  EXPECT_TRUE(state.InstallDone);
}

TEST_F(Run, WithoutARekeyerTheDatabaseCountsAsFailed) {
  Load({"Ketro.cts||#|"}, {{"Ketro.cts", "db"}});
  window.choices = Choices{dir.Path(), false, false, false};
  DoCopy(state, payload, {files, window, nullptr, nullptr});
  EXPECT_EQ(Read(u"Ketro.cts"), "db");
  EXPECT_TRUE(files.creationTimes.empty());
  EXPECT_EQ(window.Count("EnterFinishedState"), 1);
}

TEST_F(Run, RefusedFolderThenAGoodOne) {
  Load({"a.txt||#|"}, {{"a.txt", "A"}});
  PutFile(dir / u"plain", "a file, not a folder");
  Install(dir / u"plain\\sub");
  EXPECT_EQ(window.calls,
            (Calls{"EnterCopyingState", "ReadChoices",
                   "ShowMessage " + Utf16ToUtf8(kBadFolderMessage), "ReturnToOptionsState"}));
  EXPECT_EQ(
      Utf16ToUtf8(kBadFolderMessage),
      "\xD0\x9D\xD0\xB5 \xD0\xBF\xD1\x80\xD0\xB0\xD0\xB2\xD0\xB8\xD0\xBB\xD1\x8C\xD0\xBD\xD0\xBE "
      "\xD0\xB8\xD0\xBC\xD1\x8F \xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB8!");
  EXPECT_FALSE(state.InstallDone);
  EXPECT_EQ(state.ManifestLines->size(), 1u); // planning has not run

  Install(u"");
  EXPECT_EQ(window.calls, (Calls{"EnterCopyingState", "ReadChoices",
                                 "ShowError Unable to create directory", "ReturnToOptionsState"}));

  Install(dir / u"good");
  EXPECT_EQ(window.Count("EnterFinishedState"), 1);
  EXPECT_EQ(Read(u"good\\a.txt"), "A");
}

TEST_F(Run, FileHeldOpenIsSkippedSilently) {
  Load({"held.txt||#|", "b.txt||#|"}, {{"held.txt", "new"}, {"b.txt", "B"}});
  PutFile(dir / u"held.txt", "in use");
  {
    const auto held = HoldOpen(dir / u"held.txt");
    Install(dir.Path());
  }
  EXPECT_EQ(Read(u"held.txt"), "in use");
  EXPECT_EQ(Read(u"b.txt"), "B");
  EXPECT_EQ(window.Count("EnterFinishedState"), 1);
}

TEST_F(Run, CorruptEntryLeavesTheUsersFileAlone) {
  // Build an archive whose entry "bad.txt" has a broken stream.
  std::string list = "bad.txt||#|\r\nok.txt||#|\r\n";
  auto bytes =
      BuildArchive(std::vector<ArchiveEntry>{{"list", {list.begin(), list.end()}, 0},
                                             {"bad.txt", {'n', 'e', 'w', '!', '!'}, kEntryDos},
                                             {"ok.txt", {'o', 'k'}, kEntryDos}});
  state = SetupState();
  payload = Payload();
  LoadPayload(state, payload, [&] { return std::make_unique<MemoryArchiveBytes>(bytes); });
  const TFileItem bad = payload.ArchiveItems[1];
  bytes[static_cast<std::size_t>(bad.Position + bad.PackSize - 1)] ^= 0xFF; // its Adler-32
  payload = Payload();
  state = SetupState();
  LoadPayload(state, payload, [&] { return std::make_unique<MemoryArchiveBytes>(bytes); });

  PutFile(dir / u"bad.txt", "user's precious data");
  Install(dir.Path());
  EXPECT_EQ(Read(u"bad.txt"), "user's precious data");
  EXPECT_EQ(Read(u"ok.txt"), "ok");
  EXPECT_EQ(window.Count("EnterFinishedState"), 1);
}

TEST_F(Run, LineWithoutAnEntryCreatesAnEmptyFileAndNoCreationTime) {
  Load({"ghost.txt||#|", "undated.txt||#|"}, {{"undated.txt", "u", 0}});
  Install(dir.Path(), true);
  EXPECT_EQ(Read(u"ghost.txt"), "");
  EXPECT_EQ(Read(u"undated.txt"), "u");
  EXPECT_TRUE(files.creationTimes.empty()); // neither has a date
}

TEST_F(Run, ShortcutsByEdition) {
  const auto run = [&](char16_t edition, bool fail) {
    Load({}, {});
    state.EditionCode = edition;
    shortcuts.calls.clear();
    shortcuts.fail = fail;
    Install(dir.Path());
    EXPECT_EQ(window.Count("EnterFinishedState"), 1);
    return shortcuts.calls;
  };
  using S = std::vector<std::pair<std::u16string, std::u16string>>;
  EXPECT_EQ(run(u'F', false), (S{{u"KetroF", u"Ketro Lite"}}));
  EXPECT_EQ(run(u'L', false), S{});
  EXPECT_EQ(run(u'P', true), (S{{u"Ketro", u"Ketro"}})); // a failure reaches nobody
}

TEST_F(Run, WithoutAPayloadNoRunStarts) {
  EXPECT_THROW(DoCopy(state, payload, {files, window, nullptr, nullptr}), Error);
  EXPECT_TRUE(window.calls.empty());
}

TEST(CreateFolderWithParents, EmptyPathIsAnError) {
  auto fs = MakePlatformFileSystem();
  try {
    CreateFolderWithParents(*fs, u"");
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Unable to create directory");
  }
  TempFolder dir;
  EXPECT_TRUE(CreateFolderWithParents(*fs, dir / u"a\\b\\c\\"));
  EXPECT_TRUE(FolderExists(dir / u"a\\b\\c"));
  EXPECT_TRUE(CreateFolderWithParents(*fs, dir.Path()));
}

} // namespace
} // namespace ket::test
