// The log of the setup (/LOG): a UTF-8 text file, one line per thing the run reports.
#pragma once

#include "engine/run.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <windows.h>

namespace ket {

class FileRunLog final : public RunLog {
 public:
  explicit FileRunLog(HANDLE file) : file_(file) {}
  ~FileRunLog() override;
  FileRunLog(const FileRunLog&) = delete;
  FileRunLog& operator=(const FileRunLog&) = delete;

  // The line in UTF-8 and CR LF, written at once: a setup that is killed keeps its log
  // up to there.
  void Write(std::u16string_view line) override;

 private:
  HANDLE file_;
};

// "Ketro Setup Log YYYY-MM-DD #NNN.txt" for the local date and NNN from 1, three digits.
std::u16string DefaultLogName(const SYSTEMTIME& date, int number);

// The log asked for: `file` (made anew, relative names against the current folder) or, without
// one, the first free DefaultLogName in the user's temporary folder. Null when it cannot be made:
// the setup goes on without a log.
std::unique_ptr<FileRunLog> OpenSetupLog(const std::optional<std::u16string>& file);

} // namespace ket
