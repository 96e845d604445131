#include "engine/uninstall.h"

#include "base/text.h"
#include "engine/commit.h"
#include "engine/install_name.h"
#include "engine/planning.h"
#include "engine/run.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

namespace ket {

namespace {

// A record is a list of names; a larger file is no record of ours.
constexpr std::size_t kMostRecordBytes = 4 << 20;

} // namespace

std::string UninstallRecord(const std::vector<std::u16string>& manifest, char16_t edition) {
  std::string text;
  for (const auto& line : manifest) {
    const LineFields f = CutLine(line);
    if (f.name.empty() || line.find(u"|K|") != std::u16string::npos ||
        !AdmitsEdition(f.flags, edition) || f.flags.find(u'O') != std::u16string_view::npos) {
      continue;
    }
    text += Utf16ToUtf8(f.name) + "\r\n";
  }
  return text;
}

bool WriteUninstallRecord(FileSystem& files, std::u16string_view folder,
                          const std::vector<std::u16string>& manifest, char16_t edition) {
  const std::string text = UninstallRecord(manifest, edition);
  if (text.empty()) {
    return true; // a manifest of deletions alone installs nothing: the record stays as it was
  }
  // Durable: after a power failure the uninstaller finds the whole list or the one before.
  const std::u16string path = std::u16string(folder) + std::u16string(kUninstallRecordName);
  return ReplaceSmallFile(files, path, path + u".new", text, true);
}

std::vector<std::u16string> RemoveInstalled(FileSystem& files, std::u16string_view folder) {
  // Else the killed setup's prepared and set-aside files would stay, and the next setup in the
  // folder would complete its commit, bringing back files removed here.
  if (const Recovery recovery = RecoverInterruptedCommit(files, folder);
      recovery.status == Recovery::Status::kFailed) {
    return {recovery.blocking};
  }
  const std::u16string base(folder);
  const std::u16string recordPath = base + std::u16string(kUninstallRecordName);
  std::vector<std::u16string> failures;
  const std::optional<std::string> record = files.ReadSmallFile(recordPath, kMostRecordBytes);
  if (!record) {
    failures.emplace_back(kUninstallRecordName);
    return failures;
  }
  std::vector<std::u16string> parents;
  std::size_t start = 0;
  const std::u16string text = Utf8ToUtf16(*record);
  while (start < text.size()) {
    std::size_t end = text.find_first_of(u"\r\n", start);
    if (end == std::u16string::npos) {
      end = text.size();
    }
    const std::u16string name = text.substr(start, end - start);
    start = end + 1;
    if (name.empty()) {
      continue;
    }
    if (!InstallNameProblem(name, NameKind::File).empty() || CrossesLink(files, base, name)) {
      failures.push_back(name);
      continue;
    }
    const std::u16string path = base + name;
    const auto attributes = files.GetAttributes(path);
    if (!attributes) {
      continue; // gone already
    }
    if ((*attributes & (kAttrDirectory | kAttrReparsePoint)) ||
        (!files.RemoveFile(path) && !(files.SetAttributes(path, 0) && files.RemoveFile(path)))) {
      failures.push_back(name);
      continue;
    }
    for (std::size_t k = 0; k < name.size(); ++k) {
      if (IsSeparator(name[k])) {
        parents.push_back(name.substr(0, k));
      }
    }
  }
  // Deepest first; a folder that still holds something (a user's file) stays without a word.
  std::sort(parents.begin(), parents.end(), [](const auto& a, const auto& b) {
    return a.size() != b.size() ? a.size() > b.size() : a < b;
  });
  parents.erase(std::unique(parents.begin(), parents.end()), parents.end());
  for (const auto& parent : parents) {
    const auto attributes = files.GetAttributes(base + parent);
    if (attributes && !(*attributes & kAttrReparsePoint)) {
      files.RemoveFolder(base + parent);
    }
  }
  if (!files.RemoveFile(recordPath)) {
    failures.emplace_back(kUninstallRecordName);
  }
  return failures;
}

} // namespace ket
