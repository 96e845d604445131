// The process-wide setup state: one instance for the life of the process (Setup()).
// Routines take the state they work on as an argument, so tests can use instances of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ket {

struct SetupState {
  char16_t EditionCode = u'P'; // the edition letter of this build
  std::uint16_t OemCodePage = 0;
  bool RussianUi = false;
  bool InstallDone = false;
  std::u16string InstallDir; // ends in "\" once a run has passed its folder check
  bool ForceInstall = false;
  bool DesktopShortcut = false;
  bool StartMenuShortcut = false;
  std::u16string SiteUrl;
  // Absent until the manifest has been loaded; planning removes lines.
  std::optional<std::vector<std::u16string>> ManifestLines;
};

// The process's one instance.
SetupState& Setup();

} // namespace ket
