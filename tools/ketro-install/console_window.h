// The window operations of the console installer: a progress bar with the current file on a
// terminal, one plain line per file otherwise.
#pragma once

#include "engine/run.h"
#include "engine/window_operations.h"

#include <cstdio>
#include <string>

namespace ket {

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

  // After the run: what it did on `out`, the names it could not write or delete on `errors`.
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
