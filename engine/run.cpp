#include "engine/run.h"

#include "engine/error.h"
#include "engine/planning.h"

#include <optional>
#include <vector>

namespace ket {

namespace {

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

// One file line: inflate first, so that an entry that fails leaves the user's file as it was,
// then create the file and write it in one piece. Any failure ends the line silently.
void WriteFileLine(const SetupState& state, const Payload& payload, const RunServices& services,
                   std::u16string_view name) {
  FileSystem& files = services.files;
  const std::u16string path = state.InstallDir + std::u16string(name);
  try {
    // No entry of that name: the file is still created, and stays empty.
    std::optional<std::vector<std::uint8_t>> data =
        payload.InflateArchiveItem(*payload.ArchiveStream, name);

    const std::u16string_view folder = ParentOf(path);
    try {
      CreateFolderWithParents(files, folder);
    } catch (const Error&) {
      // The result is ignored: creating the file below fails if the folder is missing.
    }
    files.SetAttributes(path, 0);

    auto file = files.CreateFile(path);
    if (!file) {
      return;
    }
    if (data && !data->empty() && !file->Write(*data)) {
      return;
    }
    if (!file->Close()) {
      return;
    }
    data.reset(); // the database re-key below needs the memory more

    if (name == kCityDatabaseName) {
      if (!services.rekeyer) {
        return;
      }
      services.rekeyer->RekeyDatabase(path, kCityDatabasePassword);
    }
    TFileItem item;
    payload.FindArchiveItem(name, item);
    SetFileCreationTime(files, path, item.FDate);
  } catch (...) {
    // The run never reports a single file's failure.
  }
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

void DeleteByMask(FileSystem& files, std::u16string_view Dir, std::u16string_view Mask) {
  try {
    const std::u16string full = std::u16string(Dir) + std::u16string(Mask);
    std::size_t cut = full.size();
    while (cut > 0 && !IsSeparator(full[cut - 1])) {
      --cut;
    }
    const std::u16string folder = full.substr(0, cut);
    auto found = files.FindFirst(full);
    if (!found) {
      return;
    }
    auto& [first, search] = *found;
    std::optional<FindEntry> entry = std::move(first);
    while (entry) {
      const std::u16string path = folder + entry->name;
      if (entry->attributes & kAttrDirectory) {
        files.RemoveFolder(path);
      } else {
        files.DeleteFile(path);
      }
      entry = search->Next();
    }
  } catch (...) {
    // Deletions fail silently.
  }
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

void DoCopy(SetupState& state, const Payload& payload, const RunServices& services) {
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

  if (!IsFolder(services.files, state.InstallDir)) {
    if (state.InstallDir.empty()) {
      window.ShowError(kCannotCreateDirectory);
      window.ReturnToOptionsState();
      return;
    }
    if (!CreateFolderWithParents(services.files, state.InstallDir)) {
      window.ShowMessage(kBadFolderMessage);
      window.ReturnToOptionsState();
      return;
    }
  }
  if (state.InstallDir.back() != u'\\') {
    state.InstallDir.push_back(u'\\');
  }

  Comp(state, payload, services.files);

  const std::vector<std::u16string>& lines = *state.ManifestLines;
  const int n = static_cast<int>(lines.size());
  if (n > 0) {
    window.ShowProgressPanel(n - 1);
    for (int i = 0; i < n; ++i) {
      window.SetProgressPosition(i);
      const std::u16string& line = lines[static_cast<std::size_t>(i)];
      const std::u16string_view name = CutLine(line).name;
      if (line.find(u"|K|") != std::u16string::npos) {
        DeleteByMask(services.files, state.InstallDir, name);
        continue;
      }
      window.ShowCurrentFile(name);
      window.ProcessPendingMessages();
      WriteFileLine(state, payload, services, name);
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
  window.EnterFinishedState();
}

} // namespace ket
