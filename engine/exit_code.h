// The exit codes of KetroSetup.exe and ketro-install: one table for both, so that a script
// reads the same number for the same outcome whichever program it ran.
#pragma once

namespace ket {

enum class ExitCode : int {
  kDone = 0,          // everything done
  kCannotStart = 1,   // could not start, or the payload is unreadable or damaged: nothing changed
  kFolderRefused = 2, // the installation folder was refused
  kUsage = 3,         // wrong command line (the tools)
  kUndone = 4,        // the update could not be carried out and was undone: the folder is as before
  kIncomplete = 5,    // carried out, but obsolete files stayed or shortcuts could not be made
  kClosed = 6,        // closed before installing, or Cancel at the files-in-use question
  kHandedOver = 7,    // handed over to a setup that was already running; nothing installed here
  kFolderBusy = 8,    // another run holds the installation folder; nothing changed
};

constexpr int ToInt(ExitCode code) {
  return static_cast<int>(code);
}

} // namespace ket
