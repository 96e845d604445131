// Desktop and Start-menu shortcuts through the shell's link object. COM must be initialised,
// apartment-threaded, on the calling thread (the program entry does it for the GUI thread).
#pragma once

#include "engine/services.h"
#include "engine/setup_state.h"

#include <string>
#include <string_view>

namespace ket {

class Win32ShortcutCreator final : public ShortcutCreator {
 public:
  explicit Win32ShortcutCreator(const SetupState& state) : state_(state) {}

  // Writes Cap + ".lnk" into the current user's desktop folder and programs folder, as the
  // state's DesktopShortcut and StartMenuShortcut ask, each starting InstallDir + FN. A folder
  // whose registry value is missing or empty gets no link. Reports nothing.
  void CreateShortcut(std::u16string_view FN, std::u16string_view Cap) override;

  // One link file at LinkPath for InstallDir + FN; every failure is swallowed.
  void MakeShellLink(std::u16string_view LinkPath, std::u16string_view FN) const;

 private:
  const SetupState& state_;
};

} // namespace ket
