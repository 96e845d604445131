// Shortcut files without the Windows shell: a writer of the Shell Link Binary File Format
// ([MS-SHLLINK]) and the shortcut creator of the console installer, which puts the links into
// folders named on its command line.
//
// A link written here holds what the setup's own links carry: the target path and the working
// directory (in LinkInfo and StringData), no icon location, no arguments, the default show
// command. It carries no shell item ID list; Windows and Wine resolve such a link through its
// LinkInfo.
#pragma once

#include "engine/services.h"
#include "engine/setup_state.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace ket {

// The bytes of a link to targetPath (a full Windows path, e.g. "C:\!KetroNew\Ketro") started in
// workingDirectory. Throws ket::Error for a text too long for the format (65,535 characters).
std::vector<std::uint8_t> BuildShellLink(std::u16string_view targetPath,
                                         std::u16string_view workingDirectory);

// Writes BuildShellLink's bytes to linkPath, replacing a file already there: written beside it
// and renamed over it, so that a failure never leaves half a link. False on any failure.
bool WriteShellLink(const std::filesystem::path& linkPath, std::u16string_view targetPath,
                    std::u16string_view workingDirectory);

// A path of this machine as a Windows program under Wine sees it: a path that already starts
// with a drive ("C:") or "\\" stays as it is; any other is made absolute against the current
// folder and placed on drive Z:, which Wine maps to the root of the file system. Either "/" or
// "\" may separate folders; the result uses "\" and keeps a trailing one.
std::u16string WindowsPathForLink(std::u16string_view path);

// ket::ShortcutCreator for the console installer: Cap + ".lnk" in desktopDir and in
// programsDir, as DesktopShortcut and StartMenuShortcut ask, each pointing at InstallDir + FN
// with InstallDir as its working directory (both through WindowsPathForLink). An empty folder
// means no link there. Reports nothing; a link that cannot be written is missing.
class ShellLinkShortcutCreator final : public ShortcutCreator {
 public:
  ShellLinkShortcutCreator(const SetupState& state, std::filesystem::path desktopDir,
                           std::filesystem::path programsDir)
      : state_(state), desktopDir_(std::move(desktopDir)), programsDir_(std::move(programsDir)) {}

  void CreateShortcut(std::u16string_view FN, std::u16string_view Cap) override;

 private:
  const SetupState& state_;
  std::filesystem::path desktopDir_;
  std::filesystem::path programsDir_;
};

} // namespace ket
