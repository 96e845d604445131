// The entry of an installation in Apps & features (Programs and Features): a key of the current
// user under Software\Microsoft\Windows\CurrentVersion\Uninstall, as a setup that needs no
// elevation writes it.
#pragma once

#include <string_view>

namespace ket {

// The key's name under HKEY_CURRENT_USER; its last part is fixed, so that every install and
// update of the product rewrites the one entry.
inline constexpr wchar_t kAppsEntryKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ketro FULL";

// Writes the entry of the installation in `folder` (ends in "\"), after a completed run:
// DisplayName, DisplayVersion and Publisher of this release, InstallLocation, InstallDate
// (today, YYYYMMDD), DisplayIcon (the installed program, `program` relative to the folder),
// EstimatedSize (the folder's files, KB), NoModify and NoRepair; UninstallString and
// QuietUninstallString (with /VERYSILENT) only when the uninstaller is in the folder, since an
// entry that offers a removal that cannot start would be worse than none. False when the key
// cannot be written.
bool WriteAppsEntry(std::u16string_view folder, std::u16string_view program);

} // namespace ket
