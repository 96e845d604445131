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
    outcome = DoCopy(state, payload, {files, window, &shortcuts, &rekeyer});
    // The window is told exactly what the caller is.
    EXPECT_EQ(window.failures, outcome.failures);
  }
  std::string Read(std::u16string_view relative) {
    return GetFile(dir / relative).value_or("(none)");
  }
  // Every name below the folder that ends in the temporary suffix.
  std::vector<std::u16string> Temporaries(std::u16string_view relativeFolder = u"") {
    std::vector<std::u16string> found;
    auto first = files.real->FindFirst(dir / relativeFolder + u"*");
    if (!first) {
      return found;
    }
    std::optional<FindEntry> e = std::move(first->first);
    for (; e; e = first->second->Next()) {
      if (e->name.find(kTemporarySuffix) != std::u16string::npos) {
        found.push_back(e->name);
      }
    }
    return found;
  }

  RunOutcome outcome;
};

using Names = std::vector<std::u16string>;

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
  EXPECT_EQ(outcome.filesWritten, 2);
  EXPECT_TRUE(outcome.failures.empty());
  // Each file was written beside its name and moved into place; nothing of that is left.
  EXPECT_EQ(files.Count("CreateNewFile " + Utf16ToUtf8(target) + "\\a.txt.ketro-tmp"), 1);
  EXPECT_EQ(files.Count("MoveOver " + Utf16ToUtf8(target) + "\\a.txt"), 1);
  EXPECT_TRUE(Temporaries(u"new\\two\\levels\\").empty());
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
  SetReadOnly(dir / u"ro\\locked.tmp", true); // DeleteFileW refuses a read-only file
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
  // When the move fails, the old file keeps its content and its attribute.
  PutFile(dir / u"r.txt", "stale content");
  SetReadOnly(dir / u"r.txt", true);
  files.failWhen = [](std::string_view operation, std::u16string_view) {
    return operation == "MoveOver";
  };
  Load({"r.txt||#|"}, {{"r.txt", "fresh"}});
  Install(dir.Path());
  EXPECT_EQ(Read(u"r.txt"), "stale content");
  EXPECT_TRUE(IsReadOnly(dir / u"r.txt"));
  EXPECT_EQ(outcome.failures, Names{u"r.txt"});
  SetReadOnly(dir / u"r.txt", false);
}

TEST_F(Run, CityDatabaseIsRekeyedUnderItsTemporaryNameThenMovedIntoPlace) {
  Load({"Ketro.cts||#|", "data\\ketro.cts||#|"},
       {{"Ketro.cts", kPlainDatabase}, {"data\\ketro.cts", kPlainDatabase}});
  PutFile(dir / u"Ketro.cts", "the old, encrypted one");
  std::string inPlaceDuringRekey;
  files.failWhen = [&](std::string_view operation, std::u16string_view) {
    if (operation == "MoveOver durably" && rekeyer.calls.size() == 1) {
      inPlaceDuringRekey = Read(u"Ketro.cts");
    }
    return false;
  };
  Install(dir.Path(), true);
  ASSERT_EQ(rekeyer.calls.size(), 1u); // the exact name only
  EXPECT_EQ(rekeyer.calls[0].first, dir / u"Ketro.cts.ketro-tmp");
  EXPECT_EQ(rekeyer.calls[0].second, "xq_plume_vortex_731_bells");
  EXPECT_EQ(rekeyer.contents[0], kPlainDatabase);
  EXPECT_EQ(inPlaceDuringRekey, "the old, encrypted one");
  EXPECT_EQ(Read(u"Ketro.cts"), "rekeyed");
  EXPECT_EQ(Read(u"data\\ketro.cts"), kPlainDatabase);
  EXPECT_EQ(files.creationTimes.size(), 2u);
  EXPECT_TRUE(outcome.failures.empty());
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(Run, DatabaseThatCannotBeRekeyedKeepsTheOldOneUnlessItIsNoDatabase) {
  const std::vector<std::string> manifest{"Ketro.cts||#|", "z.txt||#|"};
  const std::vector<FileSpec> entries{{"Ketro.cts", kPlainDatabase}, {"z.txt", "z"}};
  // Disk full, I/O error, busy, out of memory, interrupted, aborted, cannot open: the old
  // database stays, with its journal, and the failure is said.
  for (const int code : {13, 10, 5, 7, 9, 4, 14, 1}) {
    SCOPED_TRACE(code);
    PutFile(dir / u"Ketro.cts", "old");
    PutFile(dir / u"Ketro.cts-journal", "old journal");
    files.creationTimes.clear();
    rekeyer.failCode = code;
    Load(manifest, entries);
    Install(dir.Path(), true);
    EXPECT_EQ(Read(u"Ketro.cts"), "old");
    EXPECT_EQ(Read(u"Ketro.cts-journal"), "old journal");
    EXPECT_EQ(outcome.failures, Names{u"Ketro.cts"});
    EXPECT_EQ(outcome.filesWritten, 1);
    ASSERT_EQ(files.creationTimes.size(), 1u);
    EXPECT_EQ(files.creationTimes[0].first, dir / u"z.txt");
    EXPECT_TRUE(Temporaries().empty());
    EXPECT_EQ(window.Count("EnterFinishedState"), 1);
  }
  // 26: the product's own file is not a database after all; it goes in place as extracted,
  // without its creation time.
  rekeyer.failCode = 26;
  files.creationTimes.clear();
  Load(manifest, entries);
  Install(dir.Path(), true);
  EXPECT_EQ(Read(u"Ketro.cts"), kPlainDatabase);
  EXPECT_TRUE(outcome.failures.empty());
  ASSERT_EQ(files.creationTimes.size(), 1u);
  EXPECT_FALSE(PathExists(dir / u"Ketro.cts-journal"));
  // Bytes that do not begin as a database are not handed to the re-key at all.
  rekeyer.calls.clear();
  Load(manifest, {{"Ketro.cts", "not a database"}, {"z.txt", "z"}});
  Install(dir.Path(), true);
  EXPECT_TRUE(rekeyer.calls.empty());
  EXPECT_EQ(Read(u"Ketro.cts"), "not a database");
  EXPECT_TRUE(outcome.failures.empty());
}

TEST_F(Run, TheOldDatabasesJournalAndLogGoBeforeTheNewOneTakesItsName) {
  Load({"Ketro.cts||#|"}, {{"Ketro.cts", kPlainDatabase}});
  PutFile(dir / u"Ketro.cts", "old");
  for (const auto side : kDatabaseSideFiles) {
    PutFile(dir / u"Ketro.cts" + std::u16string(side), "old side file");
  }
  SetReadOnly(dir / u"Ketro.cts-wal", true);
  // A killed run's temporary database and its journal.
  PutFile(dir / u"Ketro.cts.ketro-tmp", "half");
  PutFile(dir / u"Ketro.cts.ketro-tmp-journal", "hot");
  std::vector<bool> sidesAtMove;
  files.failWhen = [&](std::string_view operation, std::u16string_view) {
    if (operation.starts_with("MoveOver")) {
      for (const auto side : kDatabaseSideFiles) {
        sidesAtMove.push_back(PathExists(dir / u"Ketro.cts" + std::u16string(side)));
      }
    }
    return false;
  };
  Install(dir.Path());
  EXPECT_EQ(rekeyer.contents, std::vector<std::string>{kPlainDatabase});
  EXPECT_EQ(sidesAtMove, (std::vector<bool>{false, false, false}));
  EXPECT_EQ(Read(u"Ketro.cts"), "rekeyed");
  EXPECT_FALSE(PathExists(dir / u"Ketro.cts.ketro-tmp-journal"));
  EXPECT_TRUE(outcome.failures.empty());

  // A journal that cannot be removed (held by the program using the old database): the old
  // one stays with it.
  PutFile(dir / u"Ketro.cts", "old");
  PutFile(dir / u"Ketro.cts-journal", "hot");
  files.failWhen = [&](std::string_view operation, std::u16string_view path) {
    return operation == "RemoveFile" && path == dir / u"Ketro.cts-journal";
  };
  Load({"Ketro.cts||#|"}, {{"Ketro.cts", kPlainDatabase}});
  Install(dir.Path(), true);
  EXPECT_EQ(Read(u"Ketro.cts"), "old");
  EXPECT_EQ(Read(u"Ketro.cts-journal"), "hot");
  EXPECT_EQ(outcome.failures, Names{u"Ketro.cts"});
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(Run, WithoutARekeyerTheDatabaseCountsAsFailed) {
  Load({"Ketro.cts||#|"}, {{"Ketro.cts", kPlainDatabase}});
  PutFile(dir / u"Ketro.cts", "old");
  window.choices = Choices{dir.Path(), true, false, false};
  outcome = DoCopy(state, payload, {files, window, nullptr, nullptr});
  EXPECT_EQ(Read(u"Ketro.cts"), "old");
  EXPECT_TRUE(files.creationTimes.empty());
  EXPECT_EQ(outcome.failures, Names{u"Ketro.cts"});
  EXPECT_EQ(window.Count("EnterFinishedState"), 1);
}

TEST_F(Run, AFailureAtAnyStepLeavesTheOldFileWholeAndNoTemporary) {
  const std::vector<std::string> manifest{"a.txt||#|", "b.txt||#|"};
  const std::vector<FileSpec> entries{{"a.txt", std::string(5000, 'n')}, {"b.txt", "B"}};
  for (const std::string_view step : {"CreateNewFile", "Write", "Close", "MoveOver"}) {
    SCOPED_TRACE(step);
    PutFile(dir / u"a.txt", "the old, working one");
    PutFile(dir / u"b.txt", "old b");
    files.failWhen = [&](std::string_view operation, std::u16string_view path) {
      return operation == step && path.find(u"a.txt") != std::u16string_view::npos;
    };
    Load(manifest, entries);
    Install(dir.Path(), true);
    EXPECT_EQ(Read(u"a.txt"), "the old, working one");
    EXPECT_EQ(Read(u"b.txt"), "B");
    EXPECT_EQ(outcome.failures, Names{u"a.txt"});
    EXPECT_EQ(outcome.filesWritten, 1);
    EXPECT_TRUE(Temporaries().empty());
    EXPECT_TRUE(state.InstallDone);
  }
  // The database's flush (the only file flushed) failing keeps the old one too.
  PutFile(dir / u"Ketro.cts", "old");
  files.failWhen = [&](std::string_view operation, std::u16string_view) {
    return operation == "Flush";
  };
  Load({"Ketro.cts||#|"}, {{"Ketro.cts", "enciphered already"}});
  Install(dir.Path(), true);
  EXPECT_EQ(Read(u"Ketro.cts"), "old");
  EXPECT_EQ(outcome.failures, Names{u"Ketro.cts"});
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(Run, OnlyTheDatabaseIsFlushedAndMovedDurably) {
  // Re-keyed, the database is flushed by its engine at the commit; a copy that goes in place
  // without a re-key is flushed by the run.
  for (const auto& database : {kPlainDatabase, std::string("enciphered already")}) {
    const bool rekeyed = database == kPlainDatabase;
    SCOPED_TRACE(rekeyed);
    files.changes.clear();
    Load({"a.txt||#|", "Ketro.cts||#|", "sub\\Ketro.cts||#|"},
         {{"a.txt", "A"}, {"Ketro.cts", database}, {"sub\\Ketro.cts", "x"}});
    Install(dir.Path(), true);
    const std::string temp = Utf16ToUtf8(dir / u"Ketro.cts.ketro-tmp");
    EXPECT_EQ(files.Count("Flush "), rekeyed ? 0 : 1);
    EXPECT_EQ(files.Count("Flush " + temp), rekeyed ? 0 : 1);
    EXPECT_EQ(files.Count("MoveOver durably "), 1);
    EXPECT_EQ(files.Count("MoveOver durably " + Utf16ToUtf8(dir / u"Ketro.cts")), 1);
    EXPECT_EQ(files.Count("MoveOver "), 3);
    EXPECT_EQ(rekeyer.calls.size(), rekeyed ? 1u : 0u);
    rekeyer.calls.clear();
  }
}

TEST_F(Run, ALeftoverTemporaryFileIsReplaced) {
  Load({"a.txt||#|", "dir.txt||#|"}, {{"a.txt", "A"}, {"dir.txt", "D"}});
  PutFile(dir / u"a.txt", "old");
  PutFile(dir / u"a.txt.ketro-tmp", "half of a killed run's write");
  SetReadOnly(dir / u"a.txt.ketro-tmp", true);
  // A folder of that name is nobody's leftover: it stays, and the line fails.
  MakeFolders(dir / u"dir.txt.ketro-tmp");
  Install(dir.Path());
  EXPECT_EQ(Read(u"a.txt"), "A");
  EXPECT_FALSE(PathExists(dir / u"a.txt.ketro-tmp"));
  EXPECT_TRUE(FolderExists(dir / u"dir.txt.ketro-tmp"));
  EXPECT_FALSE(PathExists(dir / u"dir.txt"));
  EXPECT_EQ(outcome.failures, Names{u"dir.txt"});
}

TEST_F(Run, NamesAndMasksThatLeaveTheFolderAreRefusedAndReported) {
  const std::u16string inst = dir / u"inst\\";
  PutFile(dir / u"parent.txt", "outside");
  PutFile(dir / u"sibling\\s.tmp", "outside");
  PutFile(inst + u"x", "inside");
  const std::vector<std::string> bad{
      "..\\x.txt",    "sub\\..\\..\\y.txt", "..\\newdir\\z.txt", "\\abs.txt", "/abs.txt", "C:x.txt",
      "a.txt:stream", ".\\dot.txt",         "sub\\...\\w",       "NUL",       "com1.txt"};
  std::vector<std::string> manifest;
  std::vector<FileSpec> entries;
  for (const auto& name : bad) {
    manifest.push_back(name + "||#|");
    entries.push_back({name, "escaped"});
  }
  manifest.insert(manifest.end(),
                  {"ok.txt||#|", "..\\*|K|", "..\\..\\*|K|", "..\\parent.txt|K|",
                   "\\..\\parent.txt|K|", "*\\s.tmp|K|", "..\\sibling\\*.tmp|K|", "x|K|"});
  entries.push_back({"ok.txt", "ok"});
  for (const bool force : {false, true}) {
    SCOPED_TRACE(force);
    Load(manifest, entries);
    Install(inst, force);
    Names expected;
    for (const auto& name : bad) {
      expected.push_back(Utf8ToUtf16(name));
    }
    expected.insert(expected.end(), {u"..\\*", u"..\\..\\*", u"..\\parent.txt", u"\\..\\parent.txt",
                                     u"*\\s.tmp", u"..\\sibling\\*.tmp"});
    EXPECT_EQ(outcome.failures, expected);
    EXPECT_EQ(Read(u"parent.txt"), "outside");
    EXPECT_EQ(Read(u"sibling\\s.tmp"), "outside");
    EXPECT_FALSE(PathExists(dir / u"x.txt"));
    EXPECT_FALSE(PathExists(dir / u"y.txt"));
    EXPECT_FALSE(PathExists(dir / u"newdir"));
    EXPECT_FALSE(PathExists(dir / u"abs.txt"));
    EXPECT_EQ(Read(u"inst\\ok.txt"), "ok");
    EXPECT_FALSE(PathExists(inst + u"x")); // the good deletion line still ran
    PutFile(inst + u"x", "inside");
    EXPECT_EQ(window.Count("ShowCurrentFile"), 1); // refused names are not shown
  }
}

TEST_F(Run, LinksBelowTheFolderAreNeverFollowed) {
  const std::u16string inst = dir / u"inst\\";
  const std::u16string out = dir / u"outside\\";
  PutFile(out + u"target.txt", "outside file");
  SetReadOnly(out + u"target.txt", true);
  PutFile(out + u"user.cts", "the user's own database");
  PutFile(out + u"old\\a.tmp", "outside, matched by a mask");
  PutFile(out + u"keep.txt", "outside, linked from a masked folder");
  MakeFolders(inst + u"mask");
  PutFile(inst + u"mask\\plain.txt", "inside");
  if (!MakeLink(inst + u"linked", dir / u"outside", true) ||
      !MakeLink(inst + u"file.txt", out + u"target.txt", false) ||
      !MakeLink(inst + u"Ketro.cts", out + u"user.cts", false) ||
      !MakeLink(inst + u"old", out + u"old", true) ||
      !MakeLink(inst + u"mask\\link", out + u"keep.txt", false) ||
      !MakeLink(inst + u"tmp.txt.ketro-tmp", out + u"keep.txt", false)) {
    GTEST_SKIP() << "this platform makes no symbolic links for a test";
  }
  Load({"linked\\a.txt||#|", "linked\\new\\b.txt||#|", "file.txt||#|", "Ketro.cts||#|",
        "tmp.txt||#|", "old\\*.tmp|K|", "old|K|", "linked\\*.*|K|", "mask\\*.*|K|"},
       {{"linked\\a.txt", "escaped"},
        {"linked\\new\\b.txt", "escaped"},
        {"file.txt", "escaped"},
        {"Ketro.cts", kPlainDatabase},
        {"tmp.txt", "T"}});
  Install(inst, true);
  EXPECT_EQ(outcome.failures,
            (Names{u"linked\\a.txt", u"linked\\new\\b.txt", u"file.txt", u"Ketro.cts",
                   u"old\\*.tmp", u"old", u"linked\\*.*", u"mask\\link"}));
  EXPECT_FALSE(PathExists(out + u"a.txt"));
  EXPECT_FALSE(PathExists(out + u"new"));
  EXPECT_EQ(GetFile(out + u"target.txt"), "outside file");
  EXPECT_TRUE(IsReadOnly(out + u"target.txt"));
  EXPECT_EQ(GetFile(out + u"user.cts"), "the user's own database");
  EXPECT_TRUE(rekeyer.calls.empty());
  EXPECT_EQ(GetFile(out + u"old\\a.tmp"), "outside, matched by a mask");
  EXPECT_EQ(GetFile(out + u"keep.txt"), "outside, linked from a masked folder");
  EXPECT_TRUE(IsLink(inst + u"linked") && IsLink(inst + u"file.txt") &&
              IsLink(inst + u"Ketro.cts") && IsLink(inst + u"old") && IsLink(inst + u"mask\\link"));
  // A link where the temporary file goes is removed as a link; the file is written.
  EXPECT_EQ(GetFile(inst + u"tmp.txt"), "T");
  EXPECT_FALSE(PathExists(inst + u"tmp.txt.ketro-tmp"));
  EXPECT_FALSE(PathExists(inst + u"mask\\plain.txt"));
  SetReadOnly(out + u"target.txt", false);
}

TEST_F(Run, TheInstallationFolderItselfMayBeALink) {
  MakeFolders(dir / u"real");
  if (!MakeLink(dir / u"chosen", dir / u"real", true)) {
    GTEST_SKIP() << "this platform makes no symbolic links for a test";
  }
  Load({"a.txt||#|"}, {{"a.txt", "A"}});
  Install(dir / u"chosen");
  EXPECT_TRUE(outcome.failures.empty());
  EXPECT_EQ(Read(u"real\\a.txt"), "A");
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

TEST_F(Run, FileHeldOpenIsSkippedAndReported) {
  Load({"held.txt||#|", "b.txt||#|"}, {{"held.txt", "new"}, {"b.txt", "B"}});
  PutFile(dir / u"held.txt", "in use");
  {
    const auto held = HoldOpen(dir / u"held.txt");
    Install(dir.Path());
  }
  EXPECT_EQ(Read(u"held.txt"), "in use");
  EXPECT_EQ(Read(u"b.txt"), "B");
  EXPECT_EQ(window.Count("EnterFinishedState"), 1);
  EXPECT_EQ(outcome.failures, Names{u"held.txt"});
  EXPECT_EQ(outcome.filesWritten, 1);
  EXPECT_TRUE(Temporaries().empty());
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
  EXPECT_EQ(outcome.failures, Names{u"bad.txt"});
  EXPECT_EQ(files.Count("CreateNewFile"), 1); // nothing was created for the broken entry
}

TEST_F(Run, ALineWithoutAnEntryTouchesNothing) {
  Load({"ghost.txt||#|", "none.txt||#|", "undated.txt||#|"}, {{"undated.txt", "u", 0}});
  PutFile(dir / u"ghost.txt", "the user's file");
  Install(dir.Path()); // "none.txt" is planned away: no entry, no file
  EXPECT_EQ(Read(u"ghost.txt"), "the user's file");
  EXPECT_EQ(outcome.failures, Names{u"ghost.txt"});
  Load({"ghost.txt||#|", "none.txt||#|", "undated.txt||#|"}, {{"undated.txt", "u", 0}});
  Install(dir.Path(), true);
  EXPECT_EQ(Read(u"ghost.txt"), "the user's file");
  EXPECT_FALSE(PathExists(dir / u"none.txt"));
  EXPECT_EQ(Read(u"undated.txt"), "u");
  EXPECT_EQ(outcome.failures, (Names{u"ghost.txt", u"none.txt"}));
  EXPECT_TRUE(files.creationTimes.empty()); // none of them has a date
}

TEST_F(Run, EmptyAndNamelessLinesWriteNothingEvenWhenForced) {
  Load({"", "just a comment", "|P|#|no name", "a.txt||#|"}, {{"a.txt", "A"}});
  Install(dir.Path(), true);
  EXPECT_EQ(outcome.failures, (Names{u"just a comment", u"|P|#|no name"}));
  EXPECT_EQ(Read(u"a.txt"), "A");
  // The folder itself was neither given attributes nor taken for a file.
  for (const auto& change : files.changes) {
    EXPECT_EQ(change.find(Utf16ToUtf8(dir.Path()) + ".ketro-tmp"), std::string::npos) << change;
    EXPECT_NE(change, "SetAttributes " + Utf16ToUtf8(dir.Path()));
  }
  EXPECT_EQ(window.Count("ShowCurrentFile"), 1);
  EXPECT_EQ(window.Count("ShowCurrentFile a.txt"), 1);
}

TEST_F(Run, DeletionsThatFailAreReportedButFoldersTheUserFilledAreNot) {
  Load({"ro\\*.tmp|K|", "ro|K|", "busy\\*.*|K|", "busy|K|", "full\\*.tmp|K|", "full|K|"}, {});
  PutFile(dir / u"ro\\locked.tmp", "r");
  SetReadOnly(dir / u"ro\\locked.tmp", true);
  MakeFolders(dir / u"busy\\empty");
  PutFile(dir / u"full\\a.tmp", "a");
  PutFile(dir / u"full\\mine.txt", "the user's");
  files.failWhen = [&](std::string_view operation, std::u16string_view path) {
    return operation == "RemoveFolder" && path == dir / u"busy\\empty";
  };
  Install(dir.Path());
  EXPECT_EQ(outcome.failures, (Names{u"ro\\locked.tmp", u"busy\\empty"}));
  EXPECT_TRUE(PathExists(dir / u"ro\\locked.tmp"));
  EXPECT_FALSE(PathExists(dir / u"full\\a.tmp"));
  EXPECT_EQ(Read(u"full\\mine.txt"), "the user's");
  // "." and ".." were never handed to a removal.
  EXPECT_EQ(files.Count("RemoveFolder " + Utf16ToUtf8(dir / u"busy\\.")), 0);
  EXPECT_EQ(files.Count("RemoveFolder " + Utf16ToUtf8(dir / u"busy\\..")), 0);
  SetReadOnly(dir / u"ro\\locked.tmp", false);
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
