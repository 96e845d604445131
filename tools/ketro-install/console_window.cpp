#include "tools/ketro-install/console_window.h"

#include "base/text.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ket {

namespace {

int TerminalColumns(std::FILE* out) {
  struct winsize ws {};
  if (::ioctl(::fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) {
    return ws.ws_col;
  }
  return 80;
}

// The last `width` characters of a UTF-8 name, cut at a character boundary.
std::string Tail(const std::string& s, std::size_t width) {
  std::size_t chars = 0, i = s.size();
  while (i > 0 && chars < width) {
    --i;
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      ++chars;
    }
  }
  return i == 0 ? s : "..." + s.substr(i);
}

// The window's English text for the same case.
constexpr std::u16string_view kFailuresNote =
    u"Some obsolete files could not be deleted. Close the programs that use them and run the "
    u"setup again.";

} // namespace

std::string PrintableName(std::u16string_view name) {
  std::u16string safe;
  safe.reserve(name.size());
  for (const char16_t c : name) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
      constexpr char16_t kHex[] = u"0123456789ABCDEF";
      safe += u"\\x";
      safe.push_back(kHex[(c >> 4) & 0xF]);
      safe.push_back(kHex[c & 0xF]);
    } else {
      safe.push_back(c);
    }
  }
  return Utf16ToUtf8(safe);
}

ConsoleWindow::ConsoleWindow(Choices choices, std::FILE* out, bool terminal)
    : choices_(std::move(choices)), out_(out), terminal_(terminal) {}

void ConsoleWindow::EnterCopyingState() {
  std::fprintf(out_, "Installing into %s\n", Utf16ToUtf8(choices_.folder).c_str());
}

void ConsoleWindow::ShowProgressPanel(int highest) {
  highest_ = highest;
}

void ConsoleWindow::SetProgressPosition(int index) {
  position_ = index;
  if (terminal_) {
    DrawBar();
  }
}

void ConsoleWindow::ShowCurrentFile(std::u16string_view name) {
  current_ = PrintableName(name);
  if (terminal_) {
    DrawBar();
  } else {
    std::fprintf(out_, "[%d/%d] %s\n", position_ + 1, highest_ + 1, current_.c_str());
  }
}

void ConsoleWindow::ProcessPendingMessages() {
  std::fflush(out_);
}

void ConsoleWindow::DrawBar() {
  const int columns = TerminalColumns(out_);
  constexpr int kBar = 30;
  const int total = std::max(highest_, 1);
  const int filled = highest_ <= 0 ? kBar : position_ * kBar / total;
  std::string line = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                     std::string(static_cast<std::size_t>(kBar - filled), '.') + "] " +
                     std::to_string(position_ + 1) + "/" + std::to_string(highest_ + 1) + " ";
  const int room = columns - 1 - static_cast<int>(line.size()) + 1;
  line += Tail(current_, static_cast<std::size_t>(std::max(room, 0)));
  std::fprintf(out_, "%s\x1b[K", line.c_str());
  std::fflush(out_);
}

void ConsoleWindow::EnterFinishedState(std::span<const std::u16string>) {
  finished_ = true;
  if (terminal_ && highest_ >= 0) {
    std::fputs("\r\x1b[K", out_);
  }
  std::fflush(out_);
}

void ConsoleWindow::PrintSummary(const RunOutcome& outcome, std::FILE* errors) const {
  if (highest_ < 0) {
    std::fputs("Everything is up to date; nothing to do.\n", out_);
  } else {
    std::fprintf(out_, "Finished: %d lines carried out, %d of them files.\n", highest_ + 1,
                 outcome.filesWritten);
  }
  std::fflush(out_);
  if (outcome.shortcutMissing) {
    std::fputs("The shortcuts were not made: the program they start is not in the folder.\n",
               errors);
  }
  if (!outcome.failures.empty()) {
    std::fprintf(errors, "%s\n", Utf16ToUtf8(kFailuresNote).c_str());
    for (const auto& name : outcome.failures) {
      std::fprintf(errors, "  %s\n", PrintableName(name).c_str());
    }
    std::fflush(errors);
  }
}

void ConsoleWindow::ShowMessage(std::u16string_view text) {
  std::fprintf(stderr, "%s\n", Utf16ToUtf8(text).c_str());
}

void ConsoleWindow::ShowError(std::u16string_view message) {
  std::fprintf(stderr, "%s\n", PrintableName(message).c_str());
}

bool ConsoleWindow::AskRetryFileInUse(std::u16string_view name) {
  std::fprintf(stderr,
               "%s is in use by another program and can be neither replaced nor moved aside; "
               "nothing was changed. Close that program and run the setup again.\n",
               PrintableName(name).c_str());
  return false;
}

void ConsoleWindow::ShowDamagedSetup() {
  std::fputs("The setup's archive is damaged; nothing was changed. Obtain the setup again.\n",
             stderr);
}

void ConsoleWindow::ShowNotEnoughSpace(std::uint64_t needed, std::uint64_t available) {
  std::fprintf(stderr,
               "Not enough disk space: the update needs %llu bytes, the disk has %llu free; "
               "nothing was changed.\n",
               static_cast<unsigned long long>(needed), static_cast<unsigned long long>(available));
}

void ConsoleWindow::ShowFolderBusy() {
  std::fputs("Another setup is working on this folder; nothing was changed.\n", stderr);
}

} // namespace ket
