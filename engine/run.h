// The installation run: what the Install button does.
#pragma once

#include "engine/archive.h"
#include "engine/date_time.h"
#include "engine/file_system.h"
#include "engine/services.h"
#include "engine/setup_state.h"
#include "engine/window_operations.h"

#include <string_view>

namespace ket {

// The message for a folder that can neither be found nor created (the same in both languages).
inline constexpr std::u16string_view kBadFolderMessage =
    u"\u041D\u0435 \u043F\u0440\u0430\u0432\u0438\u043B\u044C\u043D\u043E \u0438\u043C\u044F "
    u"\u043F\u0430\u043F\u043A\u0438!";
inline constexpr std::u16string_view kCannotCreateDirectory = u"Unable to create directory";
// The city database, compared with letter case counting, and the password it is re-keyed with.
inline constexpr std::u16string_view kCityDatabaseName = u"Ketro.cts";
inline constexpr std::string_view kCityDatabasePassword = "xq_plume_vortex_731_bells";

// What the run works through besides the setup state and the payload. A null shortcut creator
// writes no shortcuts; a null rekeyer makes the re-key of the city database count as failed.
struct RunServices {
  FileSystem& files;
  WindowOperations& window;
  ShortcutCreator* shortcuts = nullptr;
  DatabaseRekeyer* rekeyer = nullptr;
};

// Creates every missing folder of path, the outermost first ("\" and "/" both separate);
// true when the folder exists in the end. Throws ket::Error "Unable to create directory" for
// an empty path.
bool CreateFolderWithParents(FileSystem& files, std::u16string_view path);

// Deletes what Dir + Mask matches: folders with RemoveFolder (empty ones only), everything else
// with DeleteFile. Never fails.
void DeleteByMask(FileSystem& files, std::u16string_view Dir, std::u16string_view Mask);

// Sets the creation time alone, the fields of DateTime read as UTC. Nothing happens for the
// date 0 of an entry without a date, a date before 1601 or a file that cannot be opened.
void SetFileCreationTime(FileSystem& files, std::u16string_view FileName, DateTime value);

// The whole run, from the Copying state to the Finished state, or back to the Options state
// when the folder is refused. Throws ket::Error without touching the window when the payload
// has not been loaded.
void DoCopy(SetupState& state, const Payload& payload, const RunServices& services);

} // namespace ket
