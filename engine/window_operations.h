// What the installation run asks of the window. The main window carries these out; the console
// installer and the tests have their own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ket {

struct Choices {
  std::u16string folder; // the folder field's text, unchanged
  bool force = false;
  bool desktop = false;
  bool startMenu = false;
};

class WindowOperations {
 public:
  virtual ~WindowOperations() = default;
  virtual void EnterCopyingState() = 0;
  virtual Choices ReadChoices() = 0;
  virtual void ReturnToOptionsState() = 0;
  virtual void ShowProgressPanel(int highest) = 0;
  virtual void SetProgressPosition(int index) = 0;
  virtual void ShowCurrentFile(std::u16string_view name) = 0;
  virtual void ProcessPendingMessages() = 0;
  // failures: the names (relative to the installation folder) the run could not write or
  // delete, in the order it met them; empty when everything was done.
  virtual void EnterFinishedState(std::span<const std::u16string> failures) = 0;

  // The modal boxes of a refused folder: the program's own message box (text, OK, no icon,
  // captioned with the application title) and the application's error box (error icon; the
  // window adds the final "." by its rule).
  virtual void ShowMessage(std::u16string_view text) = 0;
  virtual void ShowError(std::u16string_view message) = 0;

  // The boxes of a run that changes nothing, each in the window's language and modal. After any
  // of them the run has left the installed product exactly as it was.
  //
  // A file of the product is held by a program that keeps it from being replaced or moved
  // aside: `name` is that file, relative to the installation folder. The box asks the user to
  // close the program, with Retry and Cancel; true for Retry.
  virtual bool AskRetryFileInUse(std::u16string_view name) = 0;
  // The setup's own archive is damaged (an entry fails to inflate or to check, the manifest
  // names a missing entry): the setup file should be obtained again.
  virtual void ShowDamagedSetup() = 0;
  // The folder's volume has `available` bytes free and the prepared files need `needed`.
  virtual void ShowNotEnoughSpace(std::uint64_t needed, std::uint64_t available) = 0;
  // Another run (a setup or ketro-install) is working on the same installation folder.
  virtual void ShowFolderBusy() = 0;
};

} // namespace ket
