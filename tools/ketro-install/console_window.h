// The window operations of the console installer: a progress bar with the current file on a
// terminal, one plain line per file otherwise.
#pragma once

#include "engine/run.h"
#include "engine/window_operations.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace ket {

// A name from the archive as UTF-8 that a terminal shows as text: control characters (C0, DEL,
// C1) become "\xHH", so no name can move the cursor or send an escape sequence.
std::string PrintableName(std::u16string_view name);

class ConsoleWindow final : public WindowOperations {
 public:
  // choices: what ReadChoices answers. out: where progress goes; terminal: draw a bar.
  ConsoleWindow(Choices choices, std::FILE* out, bool terminal);

  void EnterCopyingState() override;
  Choices ReadChoices() override { return choices_; }
  void ReturnToOptionsState() override { refused_ = true; }
  void ShowProgressPanel(int highest) override;
  void SetProgressPosition(int index) override;
  void ShowCurrentFile(std::u16string_view name) override;
  void ProcessPendingMessages() override;
  void EnterFinishedState(std::span<const std::u16string> failures) override;
  // Refusals go to stderr as they are, the window's boxes in words.
  void ShowMessage(std::u16string_view text) override;
  void ShowError(std::u16string_view message) override;
  // No one is there to close a program: the run is cancelled, as by Cancel.
  bool AskRetryFileInUse(std::u16string_view name) override;
  void ShowDamagedSetup() override;
  void ShowNotEnoughSpace(std::uint64_t needed, std::uint64_t available) override;
  void ShowFolderBusy() override;

  // After a complete run: what it did on `out`, the names it could not delete on `errors`.
  void PrintSummary(const RunOutcome& outcome, std::FILE* errors) const;

  bool refused() const { return refused_; }
  bool finished() const { return finished_; }

 private:
  void DrawBar();

  Choices choices_;
  std::FILE* out_;
  bool terminal_;
  int highest_ = -1; // no panel yet
  int position_ = 0;
  std::string current_;
  bool refused_ = false;
  bool finished_ = false;
};

} // namespace ket
