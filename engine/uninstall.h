// Removing an installation: the record of what the setup installed, and its removal.
#pragma once

#include "engine/file_system.h"

#include <string>
#include <string_view>
#include <vector>

namespace ket {

// Beside the product in the installation folder: the uninstaller and its record.
inline constexpr std::u16string_view kUninstallerName = u"Uninstall Ketro.exe";
inline constexpr std::u16string_view kUninstallRecordName = u"Uninstall Ketro.lst";

// The record of an installation: UTF-8, one name (relative to the folder) per line, CR LF:
// every file the manifest's lines install for `edition` (deletion lines and lines naming nothing
// left out) but the user's settings files (flag "O"), which an uninstall keeps.
std::string UninstallRecord(const std::vector<std::u16string>& manifest, char16_t edition);

// Writes the record into `folder` (ends in "\"), replacing the one before, in one step (a
// temporary name, then a move over it); false when it cannot. A manifest that installs no file
// leaves the record as it was.
bool WriteUninstallRecord(FileSystem& files, std::u16string_view folder,
                          const std::vector<std::u16string>& manifest, char16_t edition);

// Completes or undoes first what a setup killed in `folder` left (RecoverInterruptedCommit):
// when that fails, nothing is removed and the record's blocking name is returned. Then removes
// from `folder` (ends in "\") the files a record names, then the folders of those
// files that became empty, deepest first, then the record itself. A name that would leave the
// folder, a link or a folder at a name, and a name whose folders pass through a link are never
// touched; a read-only file is removed all the same. Files the record does not name (the
// user's) stay, and keep their folders. Returns what could not be removed (relative names,
// the record's own name when it cannot be read).
std::vector<std::u16string> RemoveInstalled(FileSystem& files, std::u16string_view folder);

} // namespace ket
