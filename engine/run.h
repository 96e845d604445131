// The installation run: what the Install button does.
#pragma once

#include "base/product.h"
#include "engine/archive.h"
#include "engine/date_time.h"
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

// What the run works through besides the setup state and the payload. A null shortcut creator
// writes no shortcuts; a null rekeyer makes the re-key of the city database count as failed.
struct RunServices {
  FileSystem& files;
  WindowOperations& window;
  ShortcutCreator* shortcuts = nullptr;
  DatabaseRekeyer* rekeyer = nullptr;
};

// Where the run puts a file while it writes it: beside its final name, in the same folder, so
// that the move into place is one rename. A killed run's temporary file is removed when its
// line is next carried out.
inline constexpr std::u16string_view kTemporarySuffix = u".ketro-tmp";
// What the database engine keeps beside a database file: a rollback journal, a write-ahead log
// and its index. Left beside an old city database, they would be played back onto the new one.
inline constexpr std::u16string_view kDatabaseSideFiles[] = {u"-journal", u"-wal", u"-shm"};

// What a run that passed its folder check did.
struct RunOutcome {
  int filesWritten = 0; // files put in place
  // Names relative to the installation folder that could not be written or deleted (a refused
  // line: its name, or the line itself when the name is empty), in the order of the lines.
  std::vector<std::u16string> failures;
};

// Creates every missing folder of path, the outermost first ("\" and "/" both separate);
// true when the folder exists in the end. Throws ket::Error "Unable to create directory" for
// an empty path.
bool CreateFolderWithParents(FileSystem& files, std::u16string_view path);

// Whether a component of `relative` below `folder` (which ends in "\") is a link. The check
// stops at the first component that does not exist.
bool CrossesLink(FileSystem& files, std::u16string_view folder, std::u16string_view relative);

// Deletes what Dir + Mask matches: folders with RemoveFolder (empty ones only), everything else
// with RemoveFile. A refused mask, or one whose folders pass through a link, deletes nothing;
// "." and "..", and links among the matches, are left alone. Returns what could not be deleted,
// relative to Dir: the files that stay, empty folders that stay, the links, or the mask itself.
// A folder that still holds something is no failure: the user's own files keep it. Never throws.
std::vector<std::u16string> DeleteByMask(FileSystem& files, std::u16string_view Dir,
                                         std::u16string_view Mask);

// Sets the creation time alone, the fields of DateTime read as UTC. Nothing happens for the
// date 0 of an entry without a date, a date before 1601 or a file that cannot be opened.
void SetFileCreationTime(FileSystem& files, std::u16string_view FileName, DateTime value);

// The whole run, from the Copying state to the Finished state, or back to the Options state
// when the folder is refused (the outcome is then empty). Every file line replaces its file in
// one step, or leaves it as it was and counts as a failure. Throws ket::Error without touching
// the window when the payload has not been loaded.
RunOutcome DoCopy(SetupState& state, const Payload& payload, const RunServices& services);

} // namespace ket
