// The installation run: what the Install button does.
#pragma once

#include "base/product.h"
#include "engine/archive.h"
#include "engine/date_time.h"
#include "engine/exit_code.h"
#include "engine/file_system.h"
#include "engine/services.h"
#include "engine/setup_state.h"
#include "engine/window_operations.h"

#include <string>
#include <string_view>
#include <vector>

namespace ket {

// The message for a folder that can neither be found nor created (the same in both languages).
inline constexpr std::u16string_view kBadFolderMessage =
    u"\u041D\u0435 \u043F\u0440\u0430\u0432\u0438\u043B\u044C\u043D\u043E \u0438\u043C\u044F "
    u"\u043F\u0430\u043F\u043A\u0438!";
inline constexpr std::u16string_view kCannotCreateDirectory = u"Unable to create directory";

// Where a run reports what it does, for the log of the setup: one line, without its line
// break, per thing carried out (a file put in place, a deletion, the shortcut) or per reason it
// stopped, with the platform's error code of a failure where there is one.
class RunLog {
 public:
  virtual ~RunLog() = default;
  virtual void Write(std::u16string_view line) = 0;
};

// What the run works through besides the setup state and the payload. A null shortcut creator
// writes no shortcuts; a null rekeyer makes the re-key of the city database count as failed.
struct RunServices {
  FileSystem& files;
  WindowOperations& window;
  ShortcutCreator* shortcuts = nullptr;
  DatabaseRekeyer* rekeyer = nullptr;
  RunLog* log = nullptr;
};

// What the database engine keeps beside a database file: a rollback journal, a write-ahead log
// and its index. Left beside an old city database, they would be played back onto the new one.
inline constexpr std::u16string_view kDatabaseSideFiles[] = {u"-journal", u"-wal", u"-shm"};

// The box of an update that could not be carried out (a file that could not be written or
// moved, a folder that could not be made) and was undone; "%1" stands for the name, relative to
// the installation folder. English and Russian, by the window's language.
inline constexpr std::u16string_view kNotCarriedOutEnglish =
    u"The update could not be carried out: \"%1\" could not be written (the disk may be full, "
    u"write-protected or failing). The installation was left as it was.";
inline constexpr std::u16string_view kNotCarriedOutRussian =
    u"\u041E\u0431\u043D\u043E\u0432\u043B\u0435\u043D\u0438\u0435 \u043D\u0435 "
    u"\u0432\u044B\u043F\u043E\u043B\u043D\u0435\u043D\u043E: \u043D\u0435 "
    u"\u0443\u0434\u0430\u043B\u043E\u0441\u044C \u0437\u0430\u043F\u0438\u0441\u0430\u0442\u044C "
    u"\u00AB%1\u00BB (\u0434\u0438\u0441\u043A \u043C\u043E\u0436\u0435\u0442 "
    u"\u0431\u044B\u0442\u044C \u0437\u0430\u043F\u043E\u043B\u043D\u0435\u043D, "
    u"\u0437\u0430\u0449\u0438\u0449\u0451\u043D \u043E\u0442 "
    u"\u0437\u0430\u043F\u0438\u0441\u0438 \u0438\u043B\u0438 "
    u"\u043D\u0435\u0438\u0441\u043F\u0440\u0430\u0432\u0435\u043D). "
    u"\u0423\u0441\u0442\u0430\u043D\u043E\u0432\u043B\u0435\u043D\u043D\u0430\u044F "
    u"\u043F\u0440\u043E\u0433\u0440\u0430\u043C\u043C\u0430 "
    u"\u043E\u0441\u0442\u0430\u043B\u0430\u0441\u044C \u043F\u0440\u0435\u0436\u043D\u0435\u0439.";

// The box of a commit that could be neither completed nor undone (a disk that fails every move):
// the record stays, and the next run completes the update. "%1" stands for the name.
inline constexpr std::u16string_view kNotCompletedEnglish =
    u"The update could not be completed: \"%1\" could not be moved. Run the setup again to "
    u"complete it.";
inline constexpr std::u16string_view kNotCompletedRussian =
    u"\u041E\u0431\u043D\u043E\u0432\u043B\u0435\u043D\u0438\u0435 \u043D\u0435 "
    u"\u0437\u0430\u0432\u0435\u0440\u0448\u0435\u043D\u043E: \u043D\u0435 "
    u"\u0443\u0434\u0430\u043B\u043E\u0441\u044C "
    u"\u043F\u0435\u0440\u0435\u043C\u0435\u0441\u0442\u0438\u0442\u044C "
    u"\u00AB%1\u00BB. \u0417\u0430\u043F\u0443\u0441\u0442\u0438\u0442\u0435 "
    u"\u0443\u0441\u0442\u0430\u043D\u043E\u0432\u043A\u0443 \u0441\u043D\u043E\u0432\u0430, "
    u"\u0447\u0442\u043E\u0431\u044B \u0437\u0430\u0432\u0435\u0440\u0448\u0438\u0442\u044C "
    u"\u0435\u0433\u043E.";

// What a run did, and the exit code that says it.
struct RunOutcome {
  ExitCode exitCode = ExitCode::kDone;
  int filesWritten = 0; // files put in place
  // Names relative to the installation folder that a complete run could not delete (obsolete
  // files and empty folders that stayed), in the order of the deletion lines.
  std::vector<std::u16string> failures;
  // A shortcut of the edition was asked for but not made: its target is not in the folder.
  bool shortcutMissing = false;
};

// Creates every missing folder of path, the outermost first ("\" and "/" both separate);
// true when the folder exists in the end. Throws ket::Error "Unable to create directory" for
// an empty path. `made`, when given, receives the folders created, the outermost first.
bool CreateFolderWithParents(FileSystem& files, std::u16string_view path,
                             std::vector<std::u16string>* made = nullptr);

// Whether a component of `relative` below `folder` (which ends in "\") is a link. The check
// stops at the first component that does not exist.
bool CrossesLink(FileSystem& files, std::u16string_view folder, std::u16string_view relative);

// Deletes what Dir + Mask matches: folders with RemoveFolder (empty ones only), everything else
// with RemoveFile. A refused mask, or one whose folders pass through a link, deletes nothing;
// "." and "..", links among the matches and the run's own files (IsRunOwnName) are left alone.
// Returns what could not be deleted, relative to Dir: the files that stay, empty folders that stay,
// the links, or the mask itself. A folder that still holds something is no failure: the user's own
// files keep it. Never throws.
std::vector<std::u16string> DeleteByMask(FileSystem& files, std::u16string_view Dir,
                                         std::u16string_view Mask);

// Sets the creation time alone, the fields of DateTime read as UTC. Nothing happens for the
// date 0 of an entry without a date, a date before 1601 or a file that cannot be opened.
void SetFileCreationTime(FileSystem& files, std::u16string_view FileName, DateTime value);

// Whether every line of the manifest that this edition installs and that names something is
// sound: a file line's name stays inside the folder and has its archive entry, a deletion
// line's mask stays inside the folder. Lines with an empty name name nothing and pass.
bool ManifestIsWhole(const SetupState& state, const Payload& payload);

// The whole run: all or nothing. The window is driven as follows, after EnterCopyingState and
// ReadChoices:
//
// - The manifest is not whole (ManifestIsWhole), or an entry fails to inflate or to check, or
//   the city database begins as one but its engine finds no database in it: ShowDamagedSetup,
//   ReturnToOptionsState; exit code kCannotStart.
// - The folder is refused: ShowMessage (or ShowError for an empty folder text),
//   ReturnToOptionsState; kFolderRefused.
// - Another run holds the folder's lock (kFolderLockName in the folder): ShowFolderBusy,
//   ReturnToOptionsState; kFolderBusy. A lock that cannot be made at all (a folder nobody may
//   write) does not stop the run.
// - Before anything else in the folder, an interrupted run's commit is completed or undone
//   (RecoverInterruptedCommit); if that is impossible: ShowError(kNotCarriedOut...),
//   ReturnToOptionsState; kUndone.
// - Planning (Comp). Then the space the prepared files need on the folder's volume against
//   its free space: too little, ShowNotEnoughSpace(needed, available), ReturnToOptionsState;
//   kUndone (nothing was done).
// - ShowProgressPanel, then the preparation: for each line SetProgressPosition, and for a file
//   line ShowCurrentFile and ProcessPendingMessages before its entry is inflated under a
//   temporary name beside the target (and the city database re-keyed there). A file that
//   cannot be prepared: ShowError(kNotCarriedOut... naming it), ReturnToOptionsState; kUndone.
// - The commit record is written, the files are moved into place. An old file that can be
//   neither replaced nor set aside: the moves are undone and AskRetryFileInUse asks; Retry
//   tries the commit again, Cancel ends the run with ReturnToOptionsState; kClosed. Any other
//   move that fails: undone, ShowError(kNotCarriedOut...), ReturnToOptionsState; kUndone. Moves
//   that can be neither completed nor undone: ShowError(kNotCompleted...), ReturnToOptionsState;
//   kUndone, the record left for the next run to complete (every file whole meanwhile).
// - Complete: the deletion lines, then the shortcut of the edition when its target ("FN", or
//   FN + ".exe") is in place, InstallDone, EnterFinishedState with the names of what could not
//   be deleted; kDone, or kIncomplete when some stayed or a shortcut asked for was not made.
//
// Every run that does not complete leaves the folder as it was (the files, their contents and
// times; folders it made are removed again), removes its temporary files and record, restores
// the manifest lines planning removed and leaves InstallDone false, so that Install can be
// pressed again. Throws ket::Error without touching the window when the payload has not been
// loaded.
RunOutcome DoCopy(SetupState& state, const Payload& payload, const RunServices& services);

} // namespace ket
