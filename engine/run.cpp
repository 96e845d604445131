#include "engine/run.h"

#include "base/error.h"
#include "engine/commit.h"
#include "engine/install_name.h"
#include "engine/planning.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ket {

namespace {

// Space is counted in clusters of this size, a file's last one whole.
constexpr std::uint64_t kCluster = 4096;

// Durability, by kind of file. The commit record and the city database must survive a power
// failure: the record is flushed before the first move, the database by its engine at the
// re-key's commit (a copy that goes in place without a re-key is flushed here). The other files
// are not flushed: flushing every file made a fresh install four times slower. Their moves are
// renames all the same, so a kill never leaves one short; only a power failure in the moments
// after a run can, which "Forced installation" repairs.

bool IsFolder(FileSystem& files, std::u16string_view path) {
  const auto attributes = files.GetAttributes(path);
  return attributes && (*attributes & kAttrDirectory);
}

bool IsFile(FileSystem& files, std::u16string_view path) {
  const auto attributes = files.GetAttributes(path);
  return attributes && !(*attributes & (kAttrDirectory | kAttrReparsePoint));
}

// Everything up to the last separator, without it; empty when there is none.
std::u16string_view ParentOf(std::u16string_view path) {
  std::size_t end = path.size();
  while (end > 0 && !IsSeparator(path[end - 1])) {
    --end;
  }
  return path.substr(0, end == 0 ? 0 : end - 1);
}

struct ShortcutOfEdition {
  std::u16string_view FN;
  std::u16string_view Cap;
};

std::optional<ShortcutOfEdition> ShortcutFor(char16_t edition) {
  switch (edition) {
  case u'F':
    return ShortcutOfEdition{u"KetroF", u"Ketro Lite"};
  case u'P':
    return ShortcutOfEdition{u"Ketro", u"Ketro"};
  default:
    return std::nullopt;
  }
}

constexpr std::size_t kDatabaseMagicSize = 16;

// Whether the bytes begin with the header of a plain (not enciphered) database file.
bool BeginsAsPlainDatabase(std::span<const std::uint8_t> bytes) {
  constexpr std::string_view kMagic{"SQLite format 3\0", kDatabaseMagicSize};
  return bytes.size() >= kMagic.size() &&
         std::equal(kMagic.begin(), kMagic.end(), bytes.begin(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

enum class PrepareResult { kDone, kDamaged, kFailed };

std::u16string NotCarriedOut(const SetupState& state, std::u16string_view name,
                             bool completedLater = false) {
  std::u16string text(completedLater
                          ? (state.RussianUi ? kNotCompletedRussian : kNotCompletedEnglish)
                          : (state.RussianUi ? kNotCarriedOutRussian : kNotCarriedOutEnglish));
  const std::size_t at = text.find(u"%1");
  text.replace(at, 2, name);
  return text;
}

bool IsDotEntry(std::u16string_view name) {
  return name == u"." || name == u"..";
}

// Whether a folder holds nothing but "." and "..".
bool IsEmptyFolder(FileSystem& files, std::u16string_view path) {
  return ForEachFound(files, std::u16string(path) + u"\\*",
                      [](const FindEntry& entry) { return IsDotEntry(entry.name); });
}

void Log(const RunServices& services, std::u16string_view line) {
  if (services.log) {
    services.log->Write(line);
  }
}

// " (error N)" for a platform error code, nothing for 0.
std::u16string ErrorSuffix(std::uint32_t code) {
  if (code == 0) {
    return {};
  }
  const std::string digits = std::to_string(code);
  return u" (error " + std::u16string(digits.begin(), digits.end()) + u")";
}

// One file line of the run: its entry, and where it goes.
struct FileJob {
  std::u16string name;  // relative to the installation folder
  std::size_t line = 0; // its index among the planned lines
  TFileItem item;
  bool database = false; // the city database, as the file system compares names
  std::size_t entry = 0; // its CommitEntry
};

class Installation {
 public:
  Installation(SetupState& state, const Payload& payload, const RunServices& services,
               std::vector<std::u16string> madeFolders)
      : state_(state), payload_(payload), services_(services), files_(services.files),
        window_(services.window), folder_(state.InstallDir), madeFolders_(std::move(madeFolders)) {}

  RunOutcome Run();

 private:
  // The steps of Run, in their order. Each returns the run's outcome when the run ends there.
  std::optional<RunOutcome> TakeFolder();
  std::optional<RunOutcome> CheckSpace();
  std::optional<RunOutcome> StartRecord();
  std::optional<RunOutcome> PrepareAll(int lineCount);
  std::optional<RunOutcome> CommitAll(RunOutcome& outcome);
  void MakeShortcut(RunOutcome& outcome);
  RunOutcome Refuse(ExitCode code);
  RunOutcome BackToOptions(ExitCode code);
  RunOutcome FailOn(std::u16string_view name);
  void PlanJobs(const std::vector<std::u16string>& lines);
  std::u16string FreeWorkName(std::u16string_view relativeFolder);
  std::uint64_t SpaceNeeded() const;
  std::optional<std::u16string> MakeFolders();
  PrepareResult Prepare(FileJob& job);
  RekeyResult Rekey(std::u16string_view path);
  std::optional<RunOutcome> Commit();
  void CarryOutDeletions(const std::vector<std::u16string>& lines, RunOutcome& outcome);
  void FinishRecord();

  SetupState& state_;
  const Payload& payload_;
  const RunServices& services_;
  FileSystem& files_;
  WindowOperations& window_;
  const std::u16string folder_;             // ends in "\"
  std::vector<std::u16string> madeFolders_; // the installation folder's levels made by this run
  std::unique_ptr<FolderLock> lock_;
  std::optional<std::vector<std::u16string>> manifest_; // as it was before planning
  std::vector<CommitEntry> leftovers_; // set-aside files of an earlier run still to remove
  CommitRecord record_;
  bool recordWritten_ = false;
  std::vector<FileJob> jobs_;
  std::uint32_t nextName_ = 0;
};

RunOutcome Installation::Refuse(ExitCode code) {
  if (recordWritten_) {
    DiscardPrepared(files_, folder_, record_);
  }
  FinishRecord();
  lock_.reset(); // its file goes before the folders it may be in
  for (auto it = madeFolders_.rbegin(); it != madeFolders_.rend(); ++it) {
    files_.RemoveFolder(*it);
  }
  return BackToOptions(code);
}

// The end of every run that did not finish: the lock goes, the lines planning removed come back
// (so that Install can be pressed again), the window returns to its options.
RunOutcome Installation::BackToOptions(ExitCode code) {
  lock_.reset();
  if (manifest_) {
    state_.ManifestLines = std::move(*manifest_);
  }
  window_.ReturnToOptionsState();
  RunOutcome outcome;
  outcome.exitCode = code;
  return outcome;
}

RunOutcome Installation::FailOn(std::u16string_view name) {
  Log(services_, u"Failed: " + std::u16string(name) + u" could not be written" +
                     ErrorSuffix(files_.LastError()) + u"; the update was undone");
  window_.ShowError(NotCarriedOut(state_, name));
  return Refuse(ExitCode::kUndone);
}

// The record goes, or keeps only the set-aside files that could not be removed yet: after the
// commit every one, before it only the earlier runs' that rode along in the record (this run's
// own were put back).
void Installation::FinishRecord() {
  std::vector<CommitEntry> all = leftovers_;
  for (const auto& e : record_.entries) {
    if (record_.stage == CommitStage::kCleanup || e.target.empty()) {
      all.push_back(e);
    }
  }
  const auto left = RemoveSetAside(files_, folder_, all);
  if (!left.empty()) {
    WriteCommitRecord(files_, folder_, CommitRecord{CommitStage::kCleanup, {}, left}, false);
  } else if (recordWritten_ || !leftovers_.empty()) {
    RemoveCommitRecord(files_, folder_);
  }
}

std::u16string Installation::FreeWorkName(std::u16string_view relativeFolder) {
  for (;;) {
    std::u16string name = std::u16string(relativeFolder) + WorkName(nextName_++);
    if (!files_.GetAttributes(folder_ + name)) {
      return name;
    }
  }
}

// A job and its commit entries for every file line that planning kept: the database's side
// files first (the old ones go aside with the old database), then the file itself. Also the
// folders the files need that are not there yet.
void Installation::PlanJobs(const std::vector<std::u16string>& lines) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::u16string& line = lines[i];
    const std::u16string_view name = CutLine(line).name;
    if (name.empty() || line.find(u"|K|") != std::u16string::npos) {
      continue;
    }
    FileJob job;
    job.name = name;
    job.line = i;
    // The entry's one lookup: Prepare inflates the item found here.
    payload_.FindArchiveItem(name, job.item);
    job.database = files_.SameName(name, kCityDatabaseName);
    const std::size_t parent = ParentOf(name).size();
    const std::u16string relativeFolder(parent == 0 ? u"" : name.substr(0, parent + 1));
    // The folders on the way, outermost first, each once.
    for (std::size_t k = 0; k < relativeFolder.size(); ++k) {
      if (IsSeparator(relativeFolder[k])) {
        std::u16string level = relativeFolder.substr(0, k);
        if (std::find(record_.folders.begin(), record_.folders.end(), level) ==
                record_.folders.end() &&
            !IsFolder(files_, folder_ + level)) {
          record_.folders.push_back(std::move(level));
        }
      }
    }
    if (job.database) {
      for (const auto side : kDatabaseSideFiles) {
        record_.entries.push_back(
            CommitEntry{job.name + std::u16string(side), u"", FreeWorkName(relativeFolder)});
      }
    }
    job.entry = record_.entries.size();
    record_.entries.push_back(CommitEntry{job.name, FreeWorkName(relativeFolder),
                                          FreeWorkName(relativeFolder), job.database,
                                          job.item.FDate});
    jobs_.push_back(std::move(job));
  }
}

std::uint64_t Installation::SpaceNeeded() const {
  std::uint64_t needed = 0;
  for (const auto& job : jobs_) {
    const auto size = static_cast<std::uint64_t>(job.item.Size);
    needed += (size + kCluster - 1) / kCluster * kCluster;
    if (job.database) {
      needed += size; // the re-key's journal, at most a copy of every page
    }
  }
  return needed;
}

// The folders the files need; the first that cannot be made, if any.
std::optional<std::u16string> Installation::MakeFolders() {
  for (const auto& level : record_.folders) {
    // A folder is never made through a link: it would be made outside.
    if (CrossesLink(files_, folder_, level) ||
        (!files_.CreateFolder(folder_ + level) && !IsFolder(files_, folder_ + level))) {
      return level;
    }
  }
  return std::nullopt;
}

// Re-keys the plain city database at `path` (its temporary name) under the product's password.
RekeyResult Installation::Rekey(std::u16string_view path) {
  if (!services_.rekeyer) {
    return RekeyResult::kFailed;
  }
  try {
    return services_.rekeyer->RekeyDatabase(path, kCityDatabasePassword);
  } catch (...) {
    return RekeyResult::kFailed; // promised never to happen; a failure all the same
  }
}

// Phase 1 for one file: the entry inflated into its temporary name, checked, the city database
// re-keyed there. Nothing of the installed product changes.
PrepareResult Installation::Prepare(FileJob& job) {
  CommitEntry& entry = record_.entries[job.entry];
  const std::u16string target = folder_ + job.name;
  const std::u16string temporary = folder_ + entry.temporary;
  try {
    // Nothing below the installation folder is followed: not a linked folder, not a link at
    // the file's own name; and a folder is not replaced by a file.
    if (CrossesLink(files_, folder_, job.name) || IsFolder(files_, target)) {
      return PrepareResult::kFailed;
    }
    auto file = files_.CreateNewFile(temporary);
    if (!file) {
      return PrepareResult::kFailed;
    }
    std::array<std::uint8_t, kDatabaseMagicSize> head{};
    std::size_t headSize = 0;
    bool written = false;
    try {
      written = payload_.InflateArchiveItemTo(
          job.item, job.name, [&](std::span<const std::uint8_t> piece) {
            const std::size_t take = std::min(piece.size(), head.size() - headSize);
            std::memcpy(head.data() + headSize, piece.data(), take);
            headSize += take;
            return file->Write(piece);
          });
    } catch (const Error&) {
      file->Close();
      return PrepareResult::kDamaged;
    }
    const bool plain =
        job.database && BeginsAsPlainDatabase(std::span<const std::uint8_t>(head.data(), headSize));
    // A database is on the disk before the record that moves it: the re-key flushes a plain
    // one, one that goes in as it is is flushed here.
    written = written && (!job.database || plain || file->Flush());
    written = file->Close() && written;
    if (!written) {
      return PrepareResult::kFailed;
    }
    if (plain) {
      switch (Rekey(temporary)) {
      case RekeyResult::kDone:
        break;
      case RekeyResult::kNotADatabase:
        return PrepareResult::kDamaged;
      case RekeyResult::kFailed:
        return PrepareResult::kFailed;
      }
    } else if (job.database) {
      entry.date = 0; // a database that goes in as extracted keeps the time it was made
    }
    return PrepareResult::kDone;
  } catch (...) {
    return PrepareResult::kFailed;
  }
}

// Phase 2: the record, then the moves. nullopt once every file is in place; otherwise the
// outcome of a run that ended undone.
std::optional<RunOutcome> Installation::Commit() {
  for (;;) {
    record_.stage = CommitStage::kCommit;
    if (!WriteCommitRecord(files_, folder_, record_, true)) {
      record_.stage = CommitStage::kPrepare;
      return FailOn(jobs_.front().name);
    }
    std::size_t failed = 0;
    const MoveResult moved = ApplyEntries(files_, folder_, record_.entries, failed);
    if (moved == MoveResult::kDone) {
      return std::nullopt;
    }
    const std::u16string name = record_.entries[failed].target;
    const std::uint32_t error = files_.LastError();
    if (!UndoEntries(files_, folder_, record_.entries)) {
      Log(services_, u"Failed: " + name + u" could not be moved" + ErrorSuffix(error) +
                         u"; the update is completed by the next run");
      // Neither way through: the record stays, and the next run completes the commit.
      window_.ShowError(NotCarriedOut(state_, name, true));
      return BackToOptions(ExitCode::kUndone);
    }
    // Back to where nothing is committed, so that a kill now undoes rather than completes.
    record_.stage = CommitStage::kPrepare;
    WriteCommitRecord(files_, folder_, record_, false);
    if (moved != MoveResult::kInUse) {
      return FailOn(name);
    }
    Log(services_, u"In use: " + name + ErrorSuffix(error));
    if (!window_.AskRetryFileInUse(name)) {
      Log(services_, u"Cancelled at the files-in-use question; the update was undone");
      return Refuse(ExitCode::kClosed);
    }
  }
}

void Installation::CarryOutDeletions(const std::vector<std::u16string>& lines,
                                     RunOutcome& outcome) {
  for (const auto& line : lines) {
    if (line.find(u"|K|") == std::u16string::npos) {
      continue;
    }
    auto failed = DeleteByMask(files_, folder_, CutLine(line).name);
    std::u16string entry = u"Deleted: " + std::u16string(CutLine(line).name);
    for (std::size_t i = 0; i < failed.size(); ++i) {
      entry += (i == 0 ? u"; could not delete " : u", ") + failed[i];
    }
    Log(services_, entry);
    outcome.failures.insert(outcome.failures.end(), std::make_move_iterator(failed.begin()),
                            std::make_move_iterator(failed.end()));
  }
}

// Takes the folder's lock, then completes or undoes the commit of a run that was killed. The
// refusal when another run holds the folder or that commit can be neither completed nor undone.
std::optional<RunOutcome> Installation::TakeFolder() {
  auto [status, lock] = files_.LockFolder(folder_ + std::u16string(kFolderLockName));
  if (status == LockStatus::kBusy) {
    Log(services_, u"Refused: another run holds the folder");
    window_.ShowFolderBusy();
    return Refuse(ExitCode::kFolderBusy);
  }
  lock_ = std::move(lock); // none when the folder cannot hold one: nobody else can write there
  const Recovery recovery = RecoverInterruptedCommit(files_, folder_);
  if (recovery.status == Recovery::Status::kFailed) {
    Log(services_, u"Failed: an interrupted update could be neither completed nor undone at " +
                       recovery.blocking);
    window_.ShowError(NotCarriedOut(state_, recovery.blocking, true));
    return Refuse(ExitCode::kUndone);
  }
  leftovers_ = recovery.leftovers;
  return std::nullopt;
}

// The refusal when the folder's volume has less free space than the jobs need; nothing has been
// written yet. A volume that does not tell its free space is not refused.
std::optional<RunOutcome> Installation::CheckSpace() {
  if (jobs_.empty()) {
    return std::nullopt;
  }
  const std::uint64_t needed = SpaceNeeded();
  const auto available = files_.FreeSpace(folder_);
  if (!available || *available >= needed) {
    return std::nullopt;
  }
  const std::string numbers =
      std::to_string(needed) + " bytes needed, " + std::to_string(*available) + " free";
  Log(services_, u"Refused: not enough space, " + std::u16string(numbers.begin(), numbers.end()));
  window_.ShowNotEnoughSpace(needed, *available);
  return Refuse(ExitCode::kUndone);
}

// Before the first file is written: the commit record in the prepare stage, so that a killed run
// is undone by the next one, and the folders the files go in.
std::optional<RunOutcome> Installation::StartRecord() {
  // The earlier run's set-aside files ride along in this run's record.
  record_.entries.insert(record_.entries.begin(), leftovers_.begin(), leftovers_.end());
  for (auto& job : jobs_) {
    job.entry += leftovers_.size();
  }
  leftovers_.clear();
  // (A folder the record cannot be written in takes no file either: the first is named.)
  if (!WriteCommitRecord(files_, folder_, record_, false)) {
    return FailOn(jobs_.front().name);
  }
  recordWritten_ = true;
  if (const auto failed = MakeFolders()) {
    return FailOn(*failed);
  }
  return std::nullopt;
}

// Phase one: each job's file prepared under its work name, in line order, the bar moving once per
// manifest line. The refusal, with every work file gone, when a file cannot be prepared.
std::optional<RunOutcome> Installation::PrepareAll(int lineCount) {
  std::size_t next = 0; // the next job, in line order
  for (int i = 0; i < lineCount; ++i) {
    window_.SetProgressPosition(i);
    if (next >= jobs_.size() || jobs_[next].line != static_cast<std::size_t>(i)) {
      continue; // a deletion line, carried out after the commit, or a line naming nothing
    }
    FileJob& job = jobs_[next++];
    window_.ShowCurrentFile(job.name);
    window_.ProcessPendingMessages();
    switch (Prepare(job)) {
    case PrepareResult::kDone:
      break;
    case PrepareResult::kDamaged:
      Log(services_, u"Damaged: " + job.name + u" could not be extracted from the setup file");
      window_.ShowDamagedSetup();
      return Refuse(ExitCode::kCannotStart);
    case PrepareResult::kFailed:
      return FailOn(job.name);
    }
  }
  return std::nullopt;
}

// Phase two: the prepared files take their places (Commit), then the record moves to its cleanup
// stage. The outcome of the undone commit when it could not be carried out.
std::optional<RunOutcome> Installation::CommitAll(RunOutcome& outcome) {
  if (auto undone = Commit()) {
    return undone;
  }
  outcome.filesWritten = static_cast<int>(jobs_.size());
  for (const auto& job : jobs_) {
    Log(services_, u"Installed: " + job.name);
  }
  // What the database engine may have left beside a temporary database goes too.
  DiscardPrepared(files_, folder_, CommitRecord{CommitStage::kCleanup, {}, record_.entries});
  record_.stage = CommitStage::kCleanup;
  return std::nullopt;
}

// The edition's shortcut, made only when its program is in the folder: a shortcut to a program
// that is not there would only replace one that works. Its failures reach the log, not the user.
void Installation::MakeShortcut(RunOutcome& outcome) {
  const auto shortcut = ShortcutFor(state_.EditionCode);
  if (!shortcut || !services_.shortcuts) {
    return;
  }
  const bool wanted = state_.DesktopShortcut || state_.StartMenuShortcut;
  const std::u16string target = folder_ + std::u16string(shortcut->FN);
  if (!IsFile(files_, target) && !IsFile(files_, target + u".exe")) {
    outcome.shortcutMissing = wanted;
    if (wanted) {
      Log(services_, u"Failed: the shortcut's program " + target + u" is not installed");
    }
    return;
  }
  try {
    services_.shortcuts->CreateShortcut(shortcut->FN, shortcut->Cap);
    if (wanted) {
      Log(services_, u"Shortcut: " + std::u16string(shortcut->Cap));
    }
  } catch (...) {
    Log(services_, u"Failed: the shortcut " + std::u16string(shortcut->Cap));
  }
}

RunOutcome Installation::Run() {
  if (auto refused = TakeFolder()) {
    return std::move(*refused);
  }
  manifest_ = *state_.ManifestLines;
  Comp(state_, payload_, files_);
  const std::vector<std::u16string>& lines = *state_.ManifestLines;
  PlanJobs(lines);
  if (auto refused = CheckSpace()) {
    return std::move(*refused);
  }

  const int n = static_cast<int>(lines.size());
  if (n > 0) {
    window_.ShowProgressPanel(n - 1);
  }
  if (!jobs_.empty()) {
    if (auto failed = StartRecord()) {
      return std::move(*failed);
    }
  }
  if (auto failed = PrepareAll(n)) {
    return std::move(*failed);
  }

  RunOutcome outcome;
  if (!jobs_.empty()) {
    if (auto undone = CommitAll(outcome)) {
      return std::move(*undone);
    }
  }
  FinishRecord();
  CarryOutDeletions(lines, outcome);
  MakeShortcut(outcome);
  lock_.reset();
  outcome.exitCode = outcome.failures.empty() && !outcome.shortcutMissing ? ExitCode::kDone
                                                                          : ExitCode::kIncomplete;
  state_.InstallDone = true;
  window_.EnterFinishedState(outcome.failures);
  return outcome;
}

// The installation folder exists, or is made, and ends in "\". False when it can be neither
// found nor made: the window has said so and is back in the options state.
bool PrepareInstallFolder(SetupState& state, const RunServices& services,
                          std::vector<std::u16string>& made) {
  WindowOperations& window = services.window;
  if (!IsFolder(services.files, state.InstallDir)) {
    if (state.InstallDir.empty()) {
      window.ShowError(kCannotCreateDirectory);
      window.ReturnToOptionsState();
      return false;
    }
    if (!CreateFolderWithParents(services.files, state.InstallDir, &made)) {
      for (auto it = made.rbegin(); it != made.rend(); ++it) {
        services.files.RemoveFolder(*it);
      }
      window.ShowMessage(kBadFolderMessage);
      window.ReturnToOptionsState();
      return false;
    }
  }
  if (state.InstallDir.back() != u'\\') {
    state.InstallDir.push_back(u'\\');
  }
  return true;
}

} // namespace

bool CreateFolderWithParents(FileSystem& files, std::u16string_view path,
                             std::vector<std::u16string>* made) {
  if (path.empty()) {
    throw Error(std::string("Unable to create directory"));
  }
  std::size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1])) {
    --end;
  }
  const std::u16string_view folder = path.substr(0, end);
  if (folder.empty()) {
    return IsFolder(files, path); // a root: "\" or "/"
  }
  if (IsFolder(files, folder)) {
    return true;
  }
  // A drive ("C:") has no parent. Other parents are made first; their failure shows below, as
  // a share's root ("\\server\share") cannot be created yet may hold the folder.
  const std::u16string_view parent = ParentOf(folder);
  const bool isDrive = folder.size() == 2 && folder[1] == u':';
  if (!isDrive && !parent.empty() && !IsFolder(files, parent)) {
    CreateFolderWithParents(files, parent, made);
  }
  if (files.CreateFolder(folder) && made) {
    made->emplace_back(folder);
  }
  return IsFolder(files, folder);
}

bool CrossesLink(FileSystem& files, std::u16string_view folder, std::u16string_view relative) {
  std::u16string path(folder);
  std::size_t start = 0;
  while (start < relative.size()) {
    std::size_t end = start;
    while (end < relative.size() && !IsSeparator(relative[end])) {
      ++end;
    }
    path.append(relative.substr(start, end - start));
    if (end > start) {
      const auto attributes = files.GetAttributes(path);
      if (!attributes) {
        return false; // nothing further down exists yet
      }
      if (*attributes & kAttrReparsePoint) {
        return true;
      }
    }
    if (end < relative.size()) {
      path.push_back(relative[end]);
    }
    start = end + 1;
  }
  return false;
}

std::vector<std::u16string> DeleteByMask(FileSystem& files, std::u16string_view Dir,
                                         std::u16string_view Mask) {
  std::vector<std::u16string> failed;
  try {
    if (!InstallNameProblem(Mask, NameKind::Mask).empty()) {
      return {std::u16string(Mask)};
    }
    std::size_t cut = Mask.size();
    while (cut > 0 && !IsSeparator(Mask[cut - 1])) {
      --cut;
    }
    // The mask's folders, with their final separator.
    const std::u16string_view maskFolder = Mask.substr(0, cut);
    if (CrossesLink(files, Dir, maskFolder)) {
      return {std::u16string(Mask)};
    }
    const std::u16string folder = std::u16string(Dir) + std::u16string(maskFolder);
    ForEachFound(files, std::u16string(Dir) + std::u16string(Mask), [&](const FindEntry& entry) {
      // "." and ".." are the folder and its parent, not something the mask means to delete.
      // Nor are the run's own files (its lock, its record).
      if (IsDotEntry(entry.name) || IsRunOwnName(entry.name)) {
        return true;
      }
      const std::u16string relative = std::u16string(maskFolder) + entry.name;
      const std::u16string path = folder + entry.name;
      if (entry.attributes & kAttrReparsePoint) {
        failed.push_back(relative); // a link is neither followed nor deleted
      } else if (entry.attributes & kAttrDirectory) {
        if (!files.RemoveFolder(path) && IsFolder(files, path) && IsEmptyFolder(files, path)) {
          failed.push_back(relative);
        }
      } else if (!files.RemoveFile(path) && files.GetAttributes(path)) {
        failed.push_back(relative);
      }
      return true;
    });
  } catch (...) {
    failed.push_back(std::u16string(Mask));
  }
  return failed;
}

void SetFileCreationTime(FileSystem& files, std::u16string_view FileName, DateTime value) {
  // 0 is an entry without a date: the file keeps the creation time it got when created.
  // SystemTimeToFileTime takes years from 1601 only.
  const CalendarTime fields = DecodeDateTime(value);
  if (value == 0 || fields.year < 1601) {
    return;
  }
  try {
    files.SetCreationTime(FileName, fields);
  } catch (...) {
    // No result; never fails.
  }
}

bool ManifestIsWhole(const SetupState& state, const Payload& payload) {
  if (!state.ManifestLines) {
    return false;
  }
  // The manifest lists the entries in archive order, so the search starts after the entry the
  // line before found: one comparison a line, not one per entry.
  const auto& names = payload.Content();
  const std::size_t count = names.size();
  std::size_t next = 0;
  const auto has = [&](std::u16string_view name) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t k = (next + i) % count;
      if (payload.Comparer().EqualIgnoringCase(names[k], name)) {
        next = k + 1;
        return true;
      }
    }
    return false;
  };
  for (const auto& line : *state.ManifestLines) {
    const LineFields f = CutLine(line);
    if (f.name.empty() || !AdmitsEdition(f.flags, state.EditionCode)) {
      continue;
    }
    const bool deletion = line.find(u"|K|") != std::u16string::npos;
    if (!InstallNameProblem(f.name, deletion ? NameKind::Mask : NameKind::File).empty() ||
        (!deletion && !has(f.name))) {
      return false;
    }
  }
  return true;
}

RunOutcome DoCopy(SetupState& state, const Payload& payload, const RunServices& services) {
  if (!state.ManifestLines || !payload.IsOpen()) {
    throw Error("The setup's archive is not loaded");
  }
  WindowOperations& window = services.window;
  window.EnterCopyingState();
  const Choices choices = window.ReadChoices();
  state.InstallDir = choices.folder;
  state.ForceInstall = choices.force;
  state.DesktopShortcut = choices.desktop;
  state.StartMenuShortcut = choices.startMenu;
  RunOutcome outcome;
  // Found before anything is made, so a damaged setup changes nothing at all.
  if (!ManifestIsWhole(state, payload)) {
    Log(services, u"Damaged: the setup file's list of files");
    window.ShowDamagedSetup();
    window.ReturnToOptionsState();
    outcome.exitCode = ExitCode::kCannotStart;
    return outcome;
  }
  std::vector<std::u16string> made;
  if (!PrepareInstallFolder(state, services, made)) {
    Log(services, u"Refused: the folder " + state.InstallDir + u" can be neither found nor made");
    outcome.exitCode = ExitCode::kFolderRefused;
    return outcome;
  }
  return Installation(state, payload, services, std::move(made)).Run();
}

} // namespace ket
