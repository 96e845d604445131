// The installation run against a recording window and a real folder of the platform.
#include "engine/commit.h"
#include "engine/run.h"
#include "engine/uninstall.h"
#include "tests/engine/test_support.h"

#include <gtest/gtest.h>
#include <map>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace ket::test {
namespace {

using Calls = std::vector<std::string>;

// The run's log lines, in UTF-8.
struct LinesLog final : RunLog {
  std::vector<std::string> lines;
  void Write(std::u16string_view line) override { lines.push_back(Utf16ToUtf8(line)); }
};

struct Run : ::testing::Test {
  TempFolder dir;
  LinesLog log;
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
  bool wantShortcuts = false; // the two shortcut options
  void Install(std::u16string folder, bool force = false) {
    window.calls.clear();
    log.lines.clear();
    window.choices = Choices{std::move(folder), force, wantShortcuts, wantShortcuts};
    outcome = DoCopy(state, payload, {files, window, &shortcuts, &rekeyer, &log});
    // The window is told exactly what the caller is, and only a complete run finishes.
    EXPECT_EQ(window.failures, outcome.failures);
    const bool complete =
        outcome.exitCode == ExitCode::kDone || outcome.exitCode == ExitCode::kIncomplete;
    EXPECT_EQ(window.Count("EnterFinishedState"), complete ? 1 : 0);
    EXPECT_EQ(window.Count("ReturnToOptionsState"), complete ? 0 : 1);
    EXPECT_EQ(state.InstallDone, complete);
  }
  std::string Read(std::u16string_view relative) {
    return GetFile(dir / relative).value_or("(none)");
  }
  // Every name in the folder (and below) that is the run's own: temporary and set-aside files,
  // the record, the lock.
  std::vector<std::u16string> Temporaries() {
    std::vector<std::u16string> found;
    for (const auto& [name, file] : Snapshot(dir.Path())) {
      const std::size_t slash = name.rfind(u'\\');
      if (IsRunOwnName(slash == std::u16string::npos ? name : name.substr(slash + 1))) {
        found.push_back(name);
      }
    }
    return found;
  }
  // What a folder holds, by relative name: each file's bytes and last-write time; folders with
  // an empty time.
  struct Held {
    std::string bytes;
    std::optional<CalendarTime> written;
    friend bool operator==(const Held&, const Held&) = default;
  };
  std::map<std::u16string, Held> Snapshot(const std::u16string& root,
                                          const std::u16string& prefix = u"") {
    std::map<std::u16string, Held> all;
    ForEachFound(*files.real, root + prefix + u"*", [&](const FindEntry& e) {
      if (e.name == u"." || e.name == u"..") {
        return true;
      }
      const std::u16string name = prefix + e.name;
      if (e.attributes & kAttrDirectory) {
        all[name] = Held{};
        all.merge(Snapshot(root, name + u"\\"));
      } else {
        all[name] = Held{GetFile(root + name).value_or(""), e.lastWriteLocal};
      }
      return true;
    });
    return all;
  }
  // The same without the times, for a folder the run has just written.
  static std::map<std::u16string, std::string> Contents(const std::map<std::u16string, Held>& all) {
    std::map<std::u16string, std::string> contents;
    for (const auto& [name, held] : all) {
      contents[name] = held.bytes;
    }
    return contents;
  }

  RunOutcome outcome;
};

using Names = std::vector<std::u16string>;

TEST_F(Run, CompleteRunInOrderWithFoldersCreated) {
  Load({"a.txt||#|first", "deep\\er\\b.txt|P|#|second", "old\\*.tmp|K|", "f.txt|F|#|other"},
       {{"a.txt", "AAA"}, {"deep\\er\\b.txt", "BBB"}, {"f.txt", "F"}});
  PutFile(dir / u"new\\two\\levels\\Ketro.exe", "the program");
  wantShortcuts = true;
  // Pending messages are handled before the file is prepared, and nothing is in place until
  // every file is prepared.
  std::vector<bool> existedBefore;
  window.onPendingMessages = [&] {
    existedBefore.push_back(PathExists(dir / u"new\\two\\levels\\a.txt"));
  };
  const std::u16string target = dir / u"new\\two\\levels";
  Install(target);
  EXPECT_EQ(window.calls,
            (Calls{"EnterCopyingState", "ReadChoices", "ShowProgressPanel 2",
                   "SetProgressPosition 0", "ShowCurrentFile a.txt", "ProcessPendingMessages",
                   "SetProgressPosition 1", "ShowCurrentFile deep\\er\\b.txt",
                   "ProcessPendingMessages", "SetProgressPosition 2", "EnterFinishedState"}));
  EXPECT_EQ(existedBefore, (std::vector<bool>{false, false}));
  EXPECT_EQ(state.InstallDir, target + u"\\");
  EXPECT_EQ(Read(u"new\\two\\levels\\a.txt"), "AAA");
  EXPECT_EQ(Read(u"new\\two\\levels\\deep\\er\\b.txt"), "BBB");
  EXPECT_FALSE(PathExists(dir / u"new\\two\\levels\\f.txt"));
  EXPECT_EQ(shortcuts.calls,
            (std::vector<std::pair<std::u16string, std::u16string>>{{u"Ketro", u"Ketro"}}));
  EXPECT_TRUE(state.DesktopShortcut && state.StartMenuShortcut && !state.ForceInstall);
  // Every written file gets the entry's clock time as its creation time, on its final name.
  ASSERT_EQ(files.creationTimes.size(), 2u);
  EXPECT_EQ(files.creationTimes[0].first, target + u"\\a.txt");
  EXPECT_EQ(files.creationTimes[0].second, kEntryTime);
  EXPECT_EQ(outcome.filesWritten, 2);
  EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
  // Each file was prepared beside its name and moved into place; nothing of that is left.
  EXPECT_EQ(files.Count("CreateNewFile " + Utf16ToUtf8(target) + "\\~ket0"), 1);
  EXPECT_EQ(files.Count("CreateNewFile " + Utf16ToUtf8(target) + "\\deep\\er\\~ket0"), 1);
  EXPECT_EQ(files.Count("MoveNew " + Utf16ToUtf8(target) + "\\a.txt"), 1);
  EXPECT_TRUE(Temporaries().empty());
  // The log has a line for each line carried out: the files, the deletion, the shortcut.
  EXPECT_EQ(log.lines, (std::vector<std::string>{"Installed: a.txt", "Installed: deep\\er\\b.txt",
                                                 "Deleted: old\\*.tmp", "Shortcut: Ketro"}));
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
  PutFile(dir / u"Ketro", "the program");
  Install(dir.Path());
  EXPECT_EQ(window.calls, (Calls{"EnterCopyingState", "ReadChoices", "EnterFinishedState"}));
  EXPECT_EQ(Read(u"a.txt"), "X");
  EXPECT_EQ(shortcuts.calls.size(), 1u);
  EXPECT_TRUE(Temporaries().empty());
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

TEST_F(Run, DeletionLinesRemoveMatchesThenTheFolderAndReportWhatStays) {
  Load({"old\\*.tmp|K|", "old|K|", "keep\\*.*|K|", "keep|K|", "ro\\*.tmp|K|", "ro|K|",
        "busy\\*.*|K|", "busy|K|", "*.*|K|"},
       {});
  PutFile(dir / u"old\\a.tmp", "a");
  PutFile(dir / u"old\\b.TMP", "b");
  MakeFolders(dir / u"old\\empty.tmp"); // a folder matching the mask goes too, when empty
  PutFile(dir / u"keep\\x", "x");
  PutFile(dir / u"keep\\sub\\y.txt", "y"); // a folder the user filled stays, and is no failure
  PutFile(dir / u"ro\\locked.tmp", "r");
  SetReadOnly(dir / u"ro\\locked.tmp", true); // DeleteFileW refuses a read-only file
  MakeFolders(dir / u"busy\\empty");
  files.failWhen = [&](std::string_view operation, std::u16string_view path) {
    return operation == "RemoveFolder" && path == dir / u"busy\\empty";
  };
  Install(dir.Path());
  EXPECT_FALSE(PathExists(dir / u"old"));
  EXPECT_FALSE(PathExists(dir / u"keep\\x"));
  EXPECT_TRUE(PathExists(dir / u"keep\\sub\\y.txt"));
  EXPECT_TRUE(PathExists(dir / u"ro\\locked.tmp"));
  EXPECT_EQ(outcome.failures, (Names{u"ro\\locked.tmp", u"busy\\empty"}));
  EXPECT_EQ(outcome.exitCode, ExitCode::kIncomplete);
  EXPECT_EQ(window.Count("ShowCurrentFile"), 0);
  // "." and ".." were never handed to a removal.
  EXPECT_EQ(files.Count("RemoveFolder " + Utf16ToUtf8(dir / u"busy\\.")), 0);
  EXPECT_EQ(files.Count("RemoveFolder " + Utf16ToUtf8(dir / u"busy\\..")), 0);
  SetReadOnly(dir / u"ro\\locked.tmp", false);
}

TEST_F(Run, ADescriptionWithKMarkerMakesADeletionLine) {
  Load({"a.txt||#|see |K| below"}, {{"a.txt", "new"}});
  PutFile(dir / u"a.txt", "older one");
  Install(dir.Path());
  EXPECT_FALSE(PathExists(dir / u"a.txt"));
  EXPECT_EQ(window.Count("ShowCurrentFile"), 0);
}

TEST_F(Run, ReadOnlyFileIsReplacedAndTheOldOneRemoved) {
  Load({"r.txt||#|"}, {{"r.txt", "fresh"}});
  PutFile(dir / u"r.txt", "stale content");
  SetReadOnly(dir / u"r.txt", true);
  Install(dir.Path());
  EXPECT_EQ(Read(u"r.txt"), "fresh");
  EXPECT_FALSE(IsReadOnly(dir / u"r.txt"));
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(Run, CityDatabaseIsRekeyedUnderItsTemporaryNameThenMovedIntoPlace) {
  Load({"Ketro.cts||#|", "data\\Ketro.cts||#|"},
       {{"Ketro.cts", kPlainDatabase}, {"data\\Ketro.cts", kPlainDatabase}});
  PutFile(dir / u"Ketro.cts", "the old, encrypted one");
  std::string inPlaceAtFirstMove;
  files.failWhen = [&](std::string_view operation, std::u16string_view path) {
    if ((operation.starts_with("Move") || operation.starts_with("Link")) &&
        path.find(kCommitRecordName) == std::u16string_view::npos && inPlaceAtFirstMove.empty()) {
      inPlaceAtFirstMove = Read(u"Ketro.cts");
    }
    return false;
  };
  Install(dir.Path(), true);
  ASSERT_EQ(rekeyer.calls.size(), 1u); // the one in the folder itself
  const std::u16string temporary = rekeyer.calls[0].first;
  EXPECT_TRUE(temporary.starts_with(dir.Path()));
  EXPECT_TRUE(IsRunOwnName(temporary.substr(dir.Path().size())));
  EXPECT_EQ(rekeyer.calls[0].second, "xq_plume_vortex_731_bells");
  EXPECT_EQ(rekeyer.contents[0], kPlainDatabase);
  EXPECT_EQ(inPlaceAtFirstMove, "the old, encrypted one");
  EXPECT_EQ(Read(u"Ketro.cts"), "rekeyed " + kPlainDatabase);
  EXPECT_EQ(Read(u"data\\Ketro.cts"), kPlainDatabase);
  EXPECT_EQ(files.creationTimes.size(), 2u);
  EXPECT_TRUE(Temporaries().empty());
  // Another spelling names the city database where the file system ignores letter case (and is
  // then never installed plain), another file where it counts.
  const bool caseCounts = !files.SameName(u"Ketro.cts", u"KETRO.CTS");
  Load({"KETRO.CTS||#|"}, {{"KETRO.CTS", kPlainDatabase}});
  Install(dir / u"other", true);
  EXPECT_EQ(rekeyer.calls.size(), caseCounts ? 1u : 2u);
  EXPECT_EQ(Read(u"other\\KETRO.CTS"), caseCounts ? kPlainDatabase : "rekeyed " + kPlainDatabase);
}

TEST_F(Run, DatabaseThatCannotBeRekeyedUndoesTheRunOrIsADamagedSetup) {
  const std::vector<std::string> manifest{"z.txt||#|", "Ketro.cts||#|"};
  const std::vector<FileSpec> entries{{"z.txt", "new z"}, {"Ketro.cts", kPlainDatabase}};
  // A failure of this machine (disk full, I/O, memory, interrupt), said; the setup's database
  // is none: a damaged setup. Either way the old database stays with its journal, and so does
  // every other file.
  for (const RekeyResult result : {RekeyResult::kFailed, RekeyResult::kNotADatabase}) {
    const bool damaged = result == RekeyResult::kNotADatabase;
    SCOPED_TRACE(damaged);
    PutFile(dir / u"z.txt", "old z");
    PutFile(dir / u"Ketro.cts", "old");
    PutFile(dir / u"Ketro.cts-journal", "old journal");
    rekeyer.result = result;
    Load(manifest, entries);
    Install(dir.Path(), true);
    EXPECT_EQ(Read(u"z.txt"), "old z");
    EXPECT_EQ(Read(u"Ketro.cts"), "old");
    EXPECT_EQ(Read(u"Ketro.cts-journal"), "old journal");
    EXPECT_EQ(outcome.exitCode, damaged ? ExitCode::kCannotStart : ExitCode::kUndone);
    EXPECT_EQ(window.Count("ShowDamagedSetup"), damaged ? 1 : 0);
    EXPECT_EQ(window.Count("ShowError"), damaged ? 0 : 1);
    EXPECT_TRUE(Temporaries().empty());
    EXPECT_EQ(state.ManifestLines->size(), 2u); // planning is undone too
  }
  // Bytes that do not begin as a database are not handed to the re-key at all, and go in
  // without a creation time.
  rekeyer.calls.clear();
  rekeyer.result = RekeyResult::kDone;
  files.creationTimes.clear();
  Load(manifest, {{"z.txt", "z"}, {"Ketro.cts", "not a database"}});
  Install(dir.Path(), true);
  EXPECT_TRUE(rekeyer.calls.empty());
  EXPECT_EQ(Read(u"Ketro.cts"), "not a database");
  EXPECT_FALSE(PathExists(dir / u"Ketro.cts-journal")); // the old one's, gone with it
  EXPECT_EQ(files.creationTimes.size(), 1u);
  // Without a rekeyer the database cannot be installed.
  Load(manifest, entries);
  window.choices = Choices{dir.Path(), true, false, false};
  outcome = DoCopy(state, payload, {files, window, nullptr, nullptr});
  EXPECT_EQ(outcome.exitCode, ExitCode::kUndone);
  EXPECT_EQ(Read(u"Ketro.cts"), "not a database");
}

TEST_F(Run, OnlyTheDatabaseAndTheRecordAreFlushed) {
  // Re-keyed, the database is flushed by its engine at the commit; a copy that goes in place
  // without a re-key is flushed by the run. The record is flushed and moved durably.
  for (const auto& database : {kPlainDatabase, std::string("enciphered already")}) {
    const bool rekeyed = database == kPlainDatabase;
    SCOPED_TRACE(rekeyed);
    files.changes.clear();
    Load({"a.txt||#|", "Ketro.cts||#|", "sub\\Ketro.cts||#|"},
         {{"a.txt", "A"}, {"Ketro.cts", database}, {"sub\\Ketro.cts", "x"}});
    Install(dir.Path(), true);
    const std::string record = Utf16ToUtf8(dir / kCommitRecordName);
    EXPECT_EQ(files.Count("Flush "), rekeyed ? 1 : 2);
    EXPECT_EQ(files.Count("Flush " + record), 1);
    EXPECT_EQ(files.Count("MoveOver durably "), 1);
    EXPECT_EQ(files.Count("MoveOver durably " + record), 1);
    EXPECT_EQ(rekeyer.calls.size(), rekeyed ? 1u : 0u);
    rekeyer.calls.clear();
  }
}

TEST_F(Run, TheRunsNamesAreShortAndNeverTakeAUsersFile) {
  // A name of 255 characters still has a temporary name that fits beside it.
  const std::string longName(255, 'n');
  Load({longName + "||#|", "a.txt||#|"}, {{longName, "L"}, {"a.txt", "A"}});
  PutFile(dir / WorkName(0), "the user's own file");
  MakeFolders(dir / WorkName(1));
  Install(dir.Path());
  EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
  EXPECT_EQ(Read(Utf8ToUtf16(longName)), "L");
  EXPECT_EQ(Read(WorkName(0)), "the user's own file");
  EXPECT_TRUE(FolderExists(dir / WorkName(1)));
  EXPECT_EQ(WorkName(0x1234ABCD), u"~ket1234ABCD.tmp");
}

TEST_F(Run, NamesAndMasksThatLeaveTheFolderAreADamagedSetup) {
  const std::u16string inst = dir / u"inst\\";
  PutFile(dir / u"parent.txt", "outside");
  PutFile(inst + u"x", "inside");
  const std::vector<std::string> bad{"..\\x.txt||#|",         "sub\\..\\..\\y.txt||#|",
                                     "..\\newdir\\z.txt||#|", "\\abs.txt||#|",
                                     "/abs.txt||#|",          "C:x.txt||#|",
                                     "a.txt:stream||#|",      ".\\dot.txt||#|",
                                     "sub\\...\\w||#|",       "NUL||#|",
                                     "com1.txt||#|",          "..\\*|K|",
                                     "..\\parent.txt|K|",     "*\\s.tmp|K|",
                                     "..\\sibling\\*.tmp|K|"};
  for (const auto& line : bad) {
    for (const bool force : {false, true}) {
      SCOPED_TRACE(line + (force ? " forced" : ""));
      const std::string name = line.substr(0, line.find('|'));
      Load({"ok.txt||#|", line, "x|K|"}, {{"ok.txt", "ok"}, {name, "escaped"}});
      Install(inst, force);
      EXPECT_EQ(window.Count("ShowDamagedSetup"), 1);
      EXPECT_EQ(outcome.exitCode, ExitCode::kCannotStart);
      EXPECT_FALSE(PathExists(inst + u"ok.txt"));
      EXPECT_TRUE(PathExists(inst + u"x"));
      EXPECT_EQ(Read(u"parent.txt"), "outside");
    }
  }
  // A line of another edition is not this setup's to judge; one without a name names nothing.
  Load({"ok.txt||#|", "..\\x.txt|F|#|", "just a comment", "|P|#|no name"},
       {{"ok.txt", "ok"}, {"..\\x.txt", "escaped"}});
  Install(inst, true);
  EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
  EXPECT_EQ(Read(u"inst\\ok.txt"), "ok");
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
      !MakeLink(inst + u"mask\\link", out + u"keep.txt", false)) {
    GTEST_SKIP() << "this platform makes no symbolic links for a test";
  }
  const auto outside = Snapshot(out);
  // A file line through a link, or onto one: the run is undone.
  for (const auto& name : {"linked\\a.txt", "linked\\new\\b.txt", "file.txt", "Ketro.cts"}) {
    SCOPED_TRACE(name);
    Load({"ok.txt||#|", std::string(name) + "||#|"},
         {{"ok.txt", "ok"}, {name, std::string(name) == "Ketro.cts" ? kPlainDatabase : "x"}});
    Install(inst, true);
    EXPECT_EQ(outcome.exitCode, ExitCode::kUndone);
    EXPECT_FALSE(PathExists(inst + u"ok.txt"));
    EXPECT_EQ(Snapshot(out), outside);
  }
  EXPECT_TRUE(rekeyer.calls.empty());
  // Masks through links or onto them delete nothing outside and report it.
  Load({"old\\*.tmp|K|", "old|K|", "linked\\*.*|K|", "mask\\*.*|K|"}, {});
  Install(inst, true);
  EXPECT_EQ(outcome.failures, (Names{u"old\\*.tmp", u"old", u"linked\\*.*", u"mask\\link"}));
  EXPECT_EQ(Snapshot(out), outside);
  EXPECT_FALSE(PathExists(inst + u"mask\\plain.txt"));
  EXPECT_TRUE(IsLink(inst + u"linked") && IsLink(inst + u"file.txt") &&
              IsLink(inst + u"Ketro.cts") && IsLink(inst + u"old") && IsLink(inst + u"mask\\link"));
  SetReadOnly(out + u"target.txt", false);
}

// The record of an installation, then its removal: what the setup installed goes, with the
// folders it leaves empty; the user's files and settings files stay, and nothing is followed
// through a link.
TEST_F(Run, UninstallRemovesWhatWasInstalledAndKeepsTheUsers) {
  const std::u16string inst = dir / u"inst\\";
  Load({"a.txt||#|", "deep\\er\\b.txt|P|#|", "sub\\c.txt||#|", "Ketro.ini|O|#|settings",
        "f.txt|F|#|other edition", "old\\*.tmp|K|"},
       {{"a.txt", "A"},
        {"deep\\er\\b.txt", "B"},
        {"sub\\c.txt", "C"},
        {"Ketro.ini", "ini"},
        {"f.txt", "F"}});
  const std::vector<std::u16string> manifest = *state.ManifestLines;
  Install(inst);
  ASSERT_EQ(outcome.exitCode, ExitCode::kDone);
  EXPECT_EQ(UninstallRecord(manifest, u'P'), "a.txt\r\ndeep\\er\\b.txt\r\nsub\\c.txt\r\n");
  ASSERT_TRUE(WriteUninstallRecord(files, inst, manifest, u'P'));
  EXPECT_EQ(Read(u"inst\\" + std::u16string(kUninstallRecordName)),
            UninstallRecord(manifest, u'P'));
  // Names a damaged record might hold.
  PutFile(inst + std::u16string(kUninstallRecordName),
          UninstallRecord(manifest, u'P') + "..\\outside.txt\r\nlinked\\x.txt\r\n");
  PutFile(dir / u"outside.txt", "outside");
  PutFile(inst + u"sub\\mine.txt", "the user's");
  PutFile(inst + u"mine.txt", "the user's");
  SetReadOnly(inst + u"a.txt", true);
  MakeFolders(dir / u"elsewhere");
  PutFile(dir / u"elsewhere\\x.txt", "x");
  // Without links on this platform the linked name names nothing, which is no failure.
  const bool links = MakeLink(inst + u"linked", dir / u"elsewhere", true);
  Names expected{u"..\\outside.txt"};
  if (links) {
    expected.push_back(u"linked\\x.txt");
  }
  EXPECT_EQ(RemoveInstalled(files, inst), expected);
  EXPECT_FALSE(PathExists(inst + u"a.txt") || PathExists(inst + u"deep") ||
               PathExists(inst + u"sub\\c.txt") ||
               PathExists(inst + std::u16string(kUninstallRecordName)));
  EXPECT_EQ(Read(u"inst\\Ketro.ini"), "ini");
  EXPECT_EQ(Read(u"inst\\sub\\mine.txt"), "the user's");
  EXPECT_EQ(Read(u"inst\\mine.txt"), "the user's");
  EXPECT_EQ(Read(u"outside.txt"), "outside");
  if (links) {
    EXPECT_EQ(Read(u"elsewhere\\x.txt"), "x");
  }
  // Without a record nothing is removed.
  EXPECT_EQ(RemoveInstalled(files, inst), (Names{std::u16string(kUninstallRecordName)}));
  EXPECT_EQ(Read(u"inst\\mine.txt"), "the user's");
}

TEST_F(Run, TheInstallationFolderItselfMayBeALink) {
  MakeFolders(dir / u"real");
  if (!MakeLink(dir / u"chosen", dir / u"real", true)) {
    GTEST_SKIP() << "this platform makes no symbolic links for a test";
  }
  Load({"a.txt||#|"}, {{"a.txt", "A"}});
  Install(dir / u"chosen");
  EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
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
  EXPECT_EQ(outcome.exitCode, ExitCode::kFolderRefused);
  EXPECT_EQ(state.ManifestLines->size(), 1u); // planning has not run

  Install(u"");
  EXPECT_EQ(window.calls, (Calls{"EnterCopyingState", "ReadChoices",
                                 "ShowError Unable to create directory", "ReturnToOptionsState"}));

  Install(dir / u"good");
  EXPECT_EQ(Read(u"good\\a.txt"), "A");
}

TEST_F(Run, AFileInUseAsksRetryOrCancel) {
  Load({"b.txt||#|", "held.txt||#|"}, {{"b.txt", "B"}, {"held.txt", "new"}});
  PutFile(dir / u"b.txt", "old b");
  PutFile(dir / u"held.txt", "in use");
  auto held = HoldOpen(dir / u"held.txt");
  const auto before = Snapshot(dir.Path());
  // Cancel: nothing changed.
  Install(dir.Path());
  EXPECT_EQ(window.Count("AskRetryFileInUse held.txt"), 1);
  EXPECT_EQ(outcome.exitCode, ExitCode::kClosed);
  EXPECT_EQ(Snapshot(dir.Path()), before);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_TRUE(log.lines[0].starts_with("In use: held.txt")) << log.lines[0];
  EXPECT_TRUE(log.lines[1].starts_with("Cancelled")) << log.lines[1];
  // Retry while it is still held asks again; Retry once it is free completes the update.
  int asked = 0;
  window.answerRetry = [&] {
    if (++asked == 2) {
      held.reset();
    }
    return true;
  };
  Load({"b.txt||#|", "held.txt||#|"}, {{"b.txt", "B"}, {"held.txt", "new"}});
  Install(dir.Path());
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
  EXPECT_EQ(Read(u"held.txt"), "new");
  EXPECT_EQ(Read(u"b.txt"), "B");
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(Run, AnEarlierRunsSetAsideFileStaysRecordedThroughACancelledRun) {
  // A set-aside name that cannot go yet (a folder stands there) rides along in this run's record;
  // a run cancelled before its commit keeps it recorded for the next one.
  const std::u16string aside = u"~ket000000ff.tmp";
  PutFile(dir / (aside + u"\\x"), "x");
  const CommitRecord earlier{CommitStage::kCleanup, {}, {CommitEntry{u"", u"", aside}}};
  ASSERT_TRUE(WriteCommitRecord(*files.real, dir.Path(), earlier, false));
  Load({"held.txt||#|"}, {{"held.txt", "new"}});
  PutFile(dir / u"held.txt", "in use");
  auto held = HoldOpen(dir / u"held.txt");
  Install(dir.Path());
  ASSERT_EQ(outcome.exitCode, ExitCode::kClosed);
  const auto text = GetFile(dir / kCommitRecordName);
  ASSERT_TRUE(text) << "the record of the set-aside file was removed";
  EXPECT_EQ(ParseCommitRecord(*text), earlier);
}

TEST_F(Run, ADamagedSetupChangesNothing) {
  // An entry whose stream is broken (its Adler-32), and a line whose entry is missing, with no
  // such file on disk (planning alone would call it up to date).
  std::string list = "ok.txt||#|\r\nbad.txt||#|\r\n";
  auto bytes =
      BuildArchive(std::vector<ArchiveEntry>{{"list", {list.begin(), list.end()}, 0},
                                             {"ok.txt", {'o', 'k'}, kEntryDos},
                                             {"bad.txt", {'n', 'e', 'w', '!', '!'}, kEntryDos}});
  state = SetupState();
  payload = Payload();
  LoadPayload(state, payload, [&] { return std::make_unique<MemoryArchiveBytes>(bytes); });
  const TFileItem bad = payload.Items()[2];
  bytes[static_cast<std::size_t>(bad.Position + bad.PackSize - 1)] ^= 0xFF;
  payload = Payload();
  state = SetupState();
  LoadPayload(state, payload, [&] { return std::make_unique<MemoryArchiveBytes>(bytes); });
  PutFile(dir / u"ok.txt", "old ok");
  PutFile(dir / u"bad.txt", "user's precious data");
  const auto before = Snapshot(dir.Path());
  Install(dir.Path());
  EXPECT_EQ(window.Count("ShowDamagedSetup"), 1);
  EXPECT_EQ(outcome.exitCode, ExitCode::kCannotStart);
  EXPECT_EQ(Snapshot(dir.Path()), before);
  EXPECT_TRUE(shortcuts.calls.empty());

  for (const bool force : {false, true}) {
    Load({"a.txt||#|", "ghost.txt||#|"}, {{"a.txt", "A"}});
    Install(dir / u"fresh", force);
    EXPECT_EQ(window.calls, (Calls{"EnterCopyingState", "ReadChoices", "ShowDamagedSetup",
                                   "ReturnToOptionsState"}));
    EXPECT_FALSE(PathExists(dir / u"fresh"));
  }
}

TEST_F(Run, TooLittleSpaceRefusesTheRunWithBothFigures) {
  Load({"a.txt||#|", "Ketro.cts||#|"},
       {{"a.txt", std::string(5000, 'a')}, {"Ketro.cts", kPlainDatabase}});
  files.freeSpace = std::optional<std::uint64_t>(8191);
  Install(dir / u"new");
  // Two clusters for a.txt, one for the database and its size again for the re-key's journal.
  const std::uint64_t needed = 3 * 4096 + kPlainDatabase.size();
  EXPECT_EQ(window.Count("ShowNotEnoughSpace " + std::to_string(needed) + " 8191"), 1);
  EXPECT_EQ(outcome.exitCode, ExitCode::kUndone);
  EXPECT_FALSE(PathExists(dir / u"new")); // the folder it made is gone again
  files.freeSpace = std::optional<std::uint64_t>(needed);
  Install(dir / u"new");
  EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
}

TEST_F(Run, OneRunAtATimePerFolder) {
  Load({"a.txt||#|"}, {{"a.txt", "A"}});
  auto [status, lock] = files.LockFolder(dir / kFolderLockName);
  ASSERT_EQ(status, LockStatus::kHeld);
  // Another handle of this process stands for another run: the lock is per open file.
  Install(dir.Path());
  EXPECT_EQ(window.calls,
            (Calls{"EnterCopyingState", "ReadChoices", "ShowFolderBusy", "ReturnToOptionsState"}));
  EXPECT_EQ(outcome.exitCode, ExitCode::kFolderBusy);
  EXPECT_FALSE(PathExists(dir / u"a.txt"));
  lock.reset();
  Install(dir.Path());
  EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
  EXPECT_FALSE(PathExists(dir / kFolderLockName));
}

TEST_F(Run, ShortcutsByEditionOnlyToAProgramInPlace) {
  wantShortcuts = true;
  const auto run = [&](char16_t edition, bool fail) {
    Load({}, {});
    state.EditionCode = edition;
    shortcuts.calls.clear();
    shortcuts.fail = fail;
    Install(dir.Path());
    return shortcuts.calls;
  };
  using S = std::vector<std::pair<std::u16string, std::u16string>>;
  EXPECT_EQ(run(u'P', false), S{});
  EXPECT_EQ(outcome.exitCode, ExitCode::kIncomplete);
  EXPECT_TRUE(outcome.shortcutMissing);
  PutFile(dir / u"KetroF.exe", "the lite program");
  PutFile(dir / u"Ketro", "the program");
  EXPECT_EQ(run(u'F', false), (S{{u"KetroF", u"Ketro Lite"}}));
  EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
  EXPECT_EQ(run(u'L', false), S{});
  EXPECT_EQ(run(u'P', true), (S{{u"Ketro", u"Ketro"}})); // a failure reaches nobody
}

TEST_F(Run, WithoutAPayloadNoRunStarts) {
  EXPECT_THROW(DoCopy(state, payload, {files, window, nullptr, nullptr}), Error);
  EXPECT_TRUE(window.calls.empty());
}

TEST(CreateFolderWithParents, EmptyPathIsAnErrorAndWhatIsMadeIsTold) {
  auto fs = MakePlatformFileSystem();
  try {
    CreateFolderWithParents(*fs, u"");
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Unable to create directory");
  }
  TempFolder dir;
  MakeFolders(dir / u"a");
  std::vector<std::u16string> made;
  EXPECT_TRUE(CreateFolderWithParents(*fs, dir / u"a\\b\\c\\", &made));
  EXPECT_TRUE(FolderExists(dir / u"a\\b\\c"));
  EXPECT_EQ(made, (Names{dir / u"a\\b", dir / u"a\\b\\c"}));
  EXPECT_TRUE(CreateFolderWithParents(*fs, dir.Path()));
}

TEST(CommitRecord, ReadsBackWhatItWritesAndNothingThatLeavesTheFolder) {
  const CommitRecord record{CommitStage::kCommit,
                            {u"sub", u"sub\\deeper"},
                            {CommitEntry{u"", u"", u"~ket00000009.tmp", false, 0},
                             CommitEntry{u"Ketro.cts-wal", u"", u"~ket0000000A.tmp", false, 0},
                             CommitEntry{u"sub\\\u0444 a.txt", u"sub\\~ket00000001.tmp",
                                         u"sub\\~ket00000002.tmp", true, 46001.58}}};
  const std::string text = FormatCommitRecord(record);
  EXPECT_EQ(ParseCommitRecord(text), record);
  // Cut short, or naming a path outside the folder: no record.
  EXPECT_EQ(ParseCommitRecord(text.substr(0, text.size() - 4)), std::nullopt);
  for (const std::string_view evil : {"..\\x", "\\x", "C:x", "a\\..\\..\\x"}) {
    std::string hostile = text;
    hostile.replace(hostile.find("Ketro.cts-wal"), 13, evil);
    EXPECT_EQ(ParseCommitRecord(hostile), std::nullopt) << evil;
  }
}

TEST(CommitRecord, ARecordThatCannotBeReadIsRemovedUnused) {
  // A record that names a path outside the folder (or is cut short) moves nothing anywhere.
  auto fs = MakePlatformFileSystem();
  TempFolder dir;
  PutFile(dir / u"outside.txt", "outside");
  PutFile(dir / u"inst\\~ket00000000.tmp", "a temporary file");
  PutFile(dir / u"inst\\" + std::u16string(kCommitRecordName),
          "ketro commit record 1\nstage\tcommit\nfile\t-\t0\t..\\outside.txt\t~ket00000000.tmp\t"
          "~ket00000001.tmp\nend\n");
  EXPECT_EQ(RecoverInterruptedCommit(*fs, dir / u"inst").status, Recovery::Status::kNothing);
  EXPECT_EQ(GetFile(dir / u"outside.txt"), "outside");
  EXPECT_FALSE(PathExists(dir / u"inst\\" + std::u16string(kCommitRecordName)));
  EXPECT_EQ(GetFile(dir / u"inst\\~ket00000000.tmp"), "a temporary file");
}

// The run against a file system that fails, or a process that dies, at each call that changes
// something, in turn, during an update from one version to the next: the folder holds the old
// version exactly, or the new one; a rerun always gives the new one and leaves nothing behind.
struct EveryStep : Run {
  const std::vector<std::string> v1List{"a.txt||#|", "Ketro.cts||#|", "keep.ini|O|#|",
                                        "old.txt||#|"};
  const std::vector<FileSpec> v1{{"a.txt", "version 1"},
                                 {"Ketro.cts", kPlainDatabase + " 1"},
                                 {"keep.ini", "settings 1"},
                                 {"old.txt", "obsolete"}};
  const std::vector<std::string> v2List{"a.txt||#|", "Ketro.cts||#|", "keep.ini|O|#|",
                                        "sub\\new.txt||#|", "old.txt|K|"};
  const std::vector<FileSpec> v2{{"a.txt", "version two"},
                                 {"Ketro.cts", kPlainDatabase + " 2"},
                                 {"keep.ini", "settings 2"},
                                 {"sub\\new.txt", "new in 2"}};
  std::map<std::u16string, Held> old;
  std::map<std::u16string, std::string> updated;

  // Version 1 in the folder, with a journal beside its database; the snapshot before.
  void InstallV1() {
    files.failWhen = nullptr;
    Load(v1List, v1);
    Install(dir.Path());
    ASSERT_EQ(outcome.exitCode, ExitCode::kDone);
    PutFile(dir / u"Ketro.cts-journal", "hot journal of version 1");
    PutFile(dir / u"Ketro", "program");
    old = Snapshot(dir.Path());
  }
  void UpdateToV2() {
    Load(v2List, v2);
    Install(dir.Path());
  }
  // Changes made by a clean update, counted.
  std::size_t StepsOfAnUpdate() {
    InstallV1();
    files.changes.clear();
    UpdateToV2();
    EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
    updated = Contents(Snapshot(dir.Path()));
    EXPECT_EQ(updated.count(u"old.txt"), 0u);
    EXPECT_EQ(updated.count(u"Ketro.cts-journal"), 0u);
    return files.changes.size();
  }
  void ExpectNewAfterRerun() {
    files.failWhen = nullptr;
    UpdateToV2();
    EXPECT_EQ(outcome.exitCode, ExitCode::kDone);
    EXPECT_EQ(Contents(Snapshot(dir.Path())), updated);
  }
  // Empties the folder for the next case.
  void Clear() {
    const auto all = Snapshot(dir.Path());
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
      if (!files.real->RemoveFolder(dir / it->first)) {
        files.real->SetAttributes(dir / it->first, 0);
        files.real->RemoveFile(dir / it->first);
      }
    }
  }
};

TEST_F(EveryStep, AFailureLeavesTheOldVersionOrTheNewOne) {
  const std::size_t steps = StepsOfAnUpdate();
  ASSERT_GT(steps, 20u);
  for (std::size_t k = 0; k < steps; ++k) {
    SCOPED_TRACE("failing change " + std::to_string(k));
    Clear();
    InstallV1();
    std::size_t seen = 0;
    std::string failed;
    files.failWhen = [&](std::string_view operation, std::u16string_view path) {
      if (seen++ != k) {
        return false;
      }
      failed = std::string(operation) + " " + Utf16ToUtf8(path);
      return true;
    };
    UpdateToV2();
    SCOPED_TRACE(failed);
    if (outcome.exitCode == ExitCode::kUndone || outcome.exitCode == ExitCode::kClosed) {
      EXPECT_EQ(Snapshot(dir.Path()), old);
    } else {
      // Only what follows the commit may fail without undoing it: a set-aside file, the
      // record or an obsolete file that stays for the next run to remove.
      auto now = Contents(Snapshot(dir.Path()));
      std::erase_if(now, [&](const auto& file) {
        return IsRunOwnName(file.first.substr(file.first.rfind(u'\\') + 1)) ||
               (file.first == u"old.txt" && outcome.exitCode == ExitCode::kIncomplete);
      });
      EXPECT_EQ(now, updated);
    }
    ExpectNewAfterRerun();
    EXPECT_TRUE(Temporaries().empty());
  }
}

#ifndef _WIN32
TEST_F(EveryStep, AKillLeavesEveryFileWholeAndTheNextRunCompletes) {
  const std::size_t steps = StepsOfAnUpdate();
  for (std::size_t k = 0; k < steps; ++k) {
    SCOPED_TRACE("killed at change " + std::to_string(k));
    Clear();
    InstallV1();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::size_t seen = 0;
      files.failWhen = [&](std::string_view, std::u16string_view) {
        if (seen++ == k) {
          ::_exit(137);
        }
        return false;
      };
      UpdateToV2();
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    // Every file of the product holds one version whole.
    const auto now = Contents(Snapshot(dir.Path()));
    for (const auto& [name, bytes] : Contents(old)) {
      const auto it = now.find(name);
      const bool asBefore = it != now.end() && it->second == bytes;
      const bool asAfter =
          updated.count(name) ? it != now.end() && it->second == updated.at(name) : it == now.end();
      EXPECT_TRUE(asBefore || asAfter) << Utf16ToUtf8(name);
    }
    ExpectNewAfterRerun();
    EXPECT_TRUE(Temporaries().empty());
  }
}
#endif

} // namespace
} // namespace ket::test
