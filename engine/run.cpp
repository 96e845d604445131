#include "engine/run.h"

#include "base/error.h"
#include "engine/install_name.h"
#include "engine/planning.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <optional>
#include <span>
#include <vector>

namespace ket {

namespace {

// Attributes that can keep MoveFileExW from replacing a file.
constexpr std::uint32_t kBlockingAttributes = kAttrReadOnly | kAttrHidden | kAttrSystem;
// Attributes SetFileAttributesW gives back, for a file whose move failed.
constexpr std::uint32_t kSettableAttributes = kBlockingAttributes | kAttrArchive;
// The database engine's result code for a file that is not a database.
constexpr int kNotADatabase = 26;

// Durability, by kind of file. The city database must survive a power failure once it is in
// place: the database engine flushes it at the re-key's commit, a copy that goes in place
// without a re-key is flushed here, and its move is made durable too. The other files are not
// flushed: flushing every file made a fresh install four times slower. Their moves are atomic
// all the same, so a kill or a failure never leaves one short; only a power failure in the
// moments after a run can, which "Forced installation" repairs.

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool IsFolder(FileSystem& files, std::u16string_view path) {
  const auto attributes = files.GetAttributes(path);
  return attributes && (*attributes & kAttrDirectory);
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

// The result code in a message of the database layer ("SQLite3 Error 26 - file is not a
// database"); 0 for any other message.
int DatabaseResultCode(const std::exception& e) {
  constexpr std::string_view kPrefix = "SQLite3 Error ";
  const std::string_view message = e.what();
  if (!message.starts_with(kPrefix)) {
    return 0;
  }
  const char* first = message.data() + kPrefix.size();
  const char* last = message.data() + message.size();
  int code = 0;
  const auto [end, ec] = std::from_chars(first, last, code);
  if (ec != std::errc() || end == first || (end != last && *end != ' ')) {
    return 0;
  }
  return code;
}

// Whether the bytes begin with the header of a plain (not enciphered) database file.
bool BeginsAsPlainDatabase(std::span<const std::uint8_t> bytes) {
  constexpr std::string_view kMagic{"SQLite format 3\0", 16};
  return bytes.size() >= kMagic.size() &&
         std::equal(kMagic.begin(), kMagic.end(), bytes.begin(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

// Removes what may be left at path by a killed run or beside an old database: a file, or a link
// as itself (never what it points to). A real folder is not removed. True when the name is free.
bool RemoveLeftover(FileSystem& files, std::u16string_view path) {
  const auto attributes = files.GetAttributes(path);
  if (!attributes) {
    return true;
  }
  const bool link = (*attributes & kAttrReparsePoint) != 0;
  if ((*attributes & kAttrDirectory) && !link) {
    return false;
  }
  if (!link && (*attributes & kAttrReadOnly)) {
    files.SetAttributes(path, 0);
  }
  // A link that stands for a folder goes with RemoveDirectoryW, which removes the link alone.
  if (!files.RemoveFile(path) && link && (*attributes & kAttrDirectory)) {
    files.RemoveFolder(path);
  }
  return !files.GetAttributes(path).has_value();
}

// The temporary file of one line and, for the database, what its engine kept beside it; removed
// unless the file has been moved into place.
class TemporaryFile {
 public:
  TemporaryFile(FileSystem& files, std::u16string path, bool database)
      : files_(files), path_(std::move(path)), database_(database) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    try {
      // Once the file is in place, only what the database engine may have left beside it.
      if (!placed_) {
        Clear();
      } else if (database_) {
        ClearSides();
      }
    } catch (...) {
      // What cannot be removed now is removed when the line is next carried out.
    }
  }

  const std::u16string& Path() const { return path_; }
  // Frees the temporary name and the names beside it; false when one cannot be freed.
  bool Clear() { return RemoveLeftover(files_, path_) && ClearSides(); }
  void Placed() { placed_ = true; }

 private:
  bool ClearSides() {
    bool free = true;
    if (database_) {
      for (const auto side : kDatabaseSideFiles) {
        free = RemoveLeftover(files_, path_ + std::u16string(side)) && free;
      }
    }
    return free;
  }

  FileSystem& files_;
  std::u16string path_;
  bool database_;
  bool placed_ = false;
};

// Writes `data` as a new file, flushed to the disk when `flush`. False on any failure.
bool WriteNewFile(FileSystem& files, std::u16string_view path, std::span<const std::uint8_t> data,
                  bool flush) {
  auto file = files.CreateNewFile(path);
  if (!file) {
    return false;
  }
  bool written = data.empty() || file->Write(data);
  written = written && (!flush || file->Flush());
  // Closed in every case, so that the temporary file can go.
  return file->Close() && written;
}

enum class RekeyResult { kDone, kNoDatabase, kFailed };

// Re-keys the plain city database at `path` (its temporary name) under the product's password.
RekeyResult RekeyCityDatabase(const RunServices& services, std::u16string_view path) {
  if (!services.rekeyer) {
    return RekeyResult::kFailed;
  }
  try {
    services.rekeyer->RekeyDatabase(path, kCityDatabasePassword);
  } catch (const std::exception& e) {
    // The product's own file is no database: it goes in place as it is. Any other failure
    // (disk full, I/O, memory, interrupt) keeps the old database.
    return DatabaseResultCode(e) == kNotADatabase ? RekeyResult::kNoDatabase : RekeyResult::kFailed;
  }
  return RekeyResult::kDone;
}

// The old database's journal and log belong to the content being replaced: they go before the
// new file takes its name. False when one stays, or a folder on the way has become a link.
bool RemoveOldDatabaseSides(FileSystem& files, std::u16string_view folder, std::u16string_view name,
                            const std::u16string& path) {
  for (const auto side : kDatabaseSideFiles) {
    if (CrossesLink(files, folder, name) || !RemoveLeftover(files, path + std::u16string(side))) {
      return false;
    }
  }
  return true;
}

// The temporary file takes the final name in one step.
bool MoveIntoPlace(FileSystem& files, std::u16string_view from, std::u16string_view to,
                   bool durable) {
  if (files.MoveOver(from, to, durable)) {
    return true;
  }
  // MoveFileExW refuses a read-only file: its attributes are cleared only then (so nothing is
  // changed that the move did not need), and come back if it fails all the same.
  const auto old = files.GetAttributes(to);
  if (!old || !(*old & kBlockingAttributes) || !files.SetAttributes(to, 0)) {
    return false;
  }
  if (!files.MoveOver(from, to, durable)) {
    files.SetAttributes(to, *old & kSettableAttributes);
    return false;
  }
  return true;
}

// One file line: the entry is inflated, written under a temporary name beside the file, the city
// database re-keyed there, and only then moved over the old file in one step. Any failure
// leaves the old file as it was. True when the new file is in place.
bool WriteFileLine(const SetupState& state, const Payload& payload, const RunServices& services,
                   std::u16string_view name) {
  FileSystem& files = services.files;
  const std::u16string& folder = state.InstallDir;
  const std::u16string path = folder + std::u16string(name);
  const bool database = name == kCityDatabaseName;
  try {
    // Nothing below the installation folder is followed: not a linked folder, not a link at
    // the file's own name (it stays as it is).
    if (CrossesLink(files, folder, name)) {
      return false;
    }
    // A name without an entry writes nothing, so the user's file stays whole.
    std::optional<std::vector<std::uint8_t>> data =
        payload.InflateArchiveItem(*payload.ArchiveStream, name);
    if (!data || IsFolder(files, path)) {
      return false;
    }
    try {
      CreateFolderWithParents(files, ParentOf(path));
    } catch (const Error&) {
      // The result is ignored: creating the file below fails if the folder is missing.
    }

    TemporaryFile temporary(files, path + std::u16string(kTemporarySuffix), database);
    if (!temporary.Clear()) {
      return false;
    }
    // A file that does not begin as a plain database (the product's own file is no database, or
    // is already enciphered) is put in place as it is, without opening it as one.
    const bool plainDatabase = database && BeginsAsPlainDatabase(*data);
    const bool durable = database;
    // (A re-key that finds no database after all leaves its copy unflushed: the rare file that
    // looks like a database and is none is not worth a second pass over 24 MB.)
    if (!WriteNewFile(files, temporary.Path(), *data, durable && !plainDatabase)) {
      return false;
    }
    data.reset(); // the database re-key below needs the memory more

    // A database that goes in place as extracted keeps the creation time it was made with.
    bool timed = !database || plainDatabase;
    if (plainDatabase) {
      const RekeyResult rekeyed = RekeyCityDatabase(services, temporary.Path());
      if (rekeyed == RekeyResult::kFailed) {
        return false;
      }
      timed = rekeyed == RekeyResult::kDone;
    }
    if (database && !RemoveOldDatabaseSides(files, folder, name, path)) {
      return false;
    }
    // The folders are checked again right before the move, the moment that counts.
    if (CrossesLink(files, folder, name) ||
        !MoveIntoPlace(files, temporary.Path(), path, durable)) {
      return false;
    }
    temporary.Placed();

    // Set on the final name: a file that takes the name of one just replaced may inherit that
    // one's creation time (Windows' file-name tunnelling).
    if (timed) {
      TFileItem item;
      payload.FindArchiveItem(name, item);
      SetFileCreationTime(files, path, item.FDate);
    }
    return true;
  } catch (...) {
    // Inflating or the file system failed: the temporary file goes, the old file stays.
    return false;
  }
}

bool IsDotEntry(std::u16string_view name) {
  return name == u"." || name == u"..";
}

// Whether a folder holds nothing but "." and "..".
bool IsEmptyFolder(FileSystem& files, std::u16string_view path) {
  auto found = files.FindFirst(std::u16string(path) + u"\\*");
  if (!found) {
    return true;
  }
  auto& [first, search] = *found;
  std::optional<FindEntry> entry = std::move(first);
  while (entry) {
    if (!IsDotEntry(entry->name)) {
      return false;
    }
    entry = search ? search->Next() : std::nullopt;
  }
  return true;
}

} // namespace

bool CreateFolderWithParents(FileSystem& files, std::u16string_view path) {
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
    CreateFolderWithParents(files, parent);
  }
  files.CreateFolder(folder);
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
    auto found = files.FindFirst(std::u16string(Dir) + std::u16string(Mask));
    if (!found) {
      return failed;
    }
    auto& [first, search] = *found;
    std::optional<FindEntry> entry = std::move(first);
    for (; entry; entry = search ? search->Next() : std::nullopt) {
      // "." and ".." are the folder and its parent, not something the mask means to delete.
      if (IsDotEntry(entry->name)) {
        continue;
      }
      const std::u16string relative = std::u16string(maskFolder) + entry->name;
      const std::u16string path = folder + entry->name;
      if (entry->attributes & kAttrReparsePoint) {
        failed.push_back(relative); // a link is neither followed nor deleted
        continue;
      }
      if (entry->attributes & kAttrDirectory) {
        if (!files.RemoveFolder(path) && IsFolder(files, path) && IsEmptyFolder(files, path)) {
          failed.push_back(relative);
        }
      } else if (!files.RemoveFile(path) && files.GetAttributes(path)) {
        failed.push_back(relative);
      }
    }
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

namespace {

// The installation folder exists, or is made, and ends in "\\". False when it can be neither
// found nor made: the window has said so and is back in the options state.
bool PrepareInstallFolder(SetupState& state, const RunServices& services) {
  WindowOperations& window = services.window;
  if (!IsFolder(services.files, state.InstallDir)) {
    if (state.InstallDir.empty()) {
      window.ShowError(kCannotCreateDirectory);
      window.ReturnToOptionsState();
      return false;
    }
    if (!CreateFolderWithParents(services.files, state.InstallDir)) {
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

// One manifest line that planning kept: a deletion or a file; what fails goes to `outcome`.
void CarryOutLine(const SetupState& state, const Payload& payload, const RunServices& services,
                  const std::u16string& line, RunOutcome& outcome) {
  if (line.empty()) {
    return; // names nothing
  }
  const std::u16string_view name = CutLine(line).name;
  if (line.find(u"|K|") != std::u16string::npos) {
    auto failed = DeleteByMask(services.files, state.InstallDir, name);
    outcome.failures.insert(outcome.failures.end(), std::make_move_iterator(failed.begin()),
                            std::make_move_iterator(failed.end()));
    return;
  }
  const bool refused = !InstallNameProblem(name, NameKind::File).empty();
  if (!refused) {
    services.window.ShowCurrentFile(name);
  }
  services.window.ProcessPendingMessages();
  if (refused) {
    outcome.failures.emplace_back(name.empty() ? std::u16string_view(line) : name);
  } else if (WriteFileLine(state, payload, services, name)) {
    ++outcome.filesWritten;
  } else {
    outcome.failures.emplace_back(name);
  }
}

} // namespace

RunOutcome DoCopy(SetupState& state, const Payload& payload, const RunServices& services) {
  if (!state.ManifestLines || !payload.ArchiveStream) {
    throw Error("The setup's archive is not loaded");
  }
  WindowOperations& window = services.window;
  window.EnterCopyingState();
  const Choices choices = window.ReadChoices();
  state.InstallDir = choices.folder;
  state.ForceInstall = choices.force;
  state.DesktopShortcut = choices.desktop;
  state.StartMenuShortcut = choices.startMenu;
  if (!PrepareInstallFolder(state, services)) {
    return {};
  }

  Comp(state, payload, services.files);

  RunOutcome outcome;
  const std::vector<std::u16string>& lines = *state.ManifestLines;
  const int n = static_cast<int>(lines.size());
  if (n > 0) {
    window.ShowProgressPanel(n - 1);
    for (int i = 0; i < n; ++i) {
      window.SetProgressPosition(i);
      CarryOutLine(state, payload, services, lines[static_cast<std::size_t>(i)], outcome);
    }
  }

  if (const auto shortcut = ShortcutFor(state.EditionCode); shortcut && services.shortcuts) {
    try {
      services.shortcuts->CreateShortcut(shortcut->FN, shortcut->Cap);
    } catch (...) {
      // Shortcut failures never reach the user.
    }
  }
  state.InstallDone = true;
  window.EnterFinishedState(outcome.failures);
  return outcome;
}

} // namespace ket
