// The switches of KetroSetup.exe, read from its arguments (after the program's own splitting,
// CommandLineArguments): what an unattended start asks for.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace ket {

// The arguments, in any order and case-insensitive:
//
//   /update FOLDER     the folder field's text (the next argument, when it is not empty and is
//                      no switch of this list); a busy single-instance lock is waited for
//   /VERYSILENT        no window at all
//   /SILENT            only the Copying state; the setup closes itself at the end
//   /SUPPRESSMSGBOXES  no message box: each box's default answer is taken
//   /DIR=FOLDER        the installation folder (quotes around it are gone with the splitting;
//                      "\\" at its end, as C-rule quoting writes a final "\", is one "\")
//   /NOICONS           no shortcuts
//   /FORCE             forced installation
//   /LANG=en, /LANG=ru the language of the texts
//   /LOG, /LOG=FILE    a log, in the temporary folder or in FILE
//
// Anything else is ignored, as are /DIR= and /LOG= with nothing after "=" (a /LOG= so written
// still asks for the log in the temporary folder) and a /LANG= of another language. A later
// switch of the same kind wins.
struct SetupSwitches {
  bool update = false;
  std::optional<std::u16string> updateFolder;
  bool verySilent = false;
  bool silent = false; // also true with /VERYSILENT
  bool suppressMessageBoxes = false;
  std::optional<std::u16string> dir;
  bool noIcons = false;
  bool force = false;
  std::optional<int> languageIndex; // 0 English, 1 Russian
  bool log = false;
  std::optional<std::u16string> logFile;
};

SetupSwitches ParseSetupSwitches(std::span<const std::u16string> arguments);

} // namespace ket
