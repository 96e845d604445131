#include "engine/planning.h"

#include "base/error.h"
#include "engine/install_name.h"

namespace ket {

namespace {

bool Has(std::u16string_view flags, char16_t letter) {
  return flags.find(letter) != std::u16string_view::npos;
}

} // namespace

bool AdmitsEdition(std::u16string_view flags, char16_t edition) {
  return !(Has(flags, u'P') || Has(flags, u'F') || Has(flags, u'L')) || Has(flags, edition);
}

LineFields CutLine(std::u16string_view line) {
  LineFields f;
  const std::size_t bar = line.find(u'|');
  if (bar == std::u16string_view::npos) {
    return f; // no "|" anywhere, so none closes a flags field either
  }
  f.name = line.substr(0, bar);
  const auto window = line.substr(bar + 1, kFlagsWindow);
  const std::size_t close = window.find(u'|');
  if (close != std::u16string_view::npos) {
    f.flags = window.substr(0, close);
  }
  return f;
}

void GetFileStamp(FileSystem& files, std::u16string_view Path, DateTime& Stamp,
                  std::int32_t& Size) {
  Stamp = 0;
  Size = 0;
  try {
    // The first entry that matches, as FindFirstFileW gives it, is the file.
    ForEachFound(files, Path, [&](const FindEntry& entry) {
      Size = static_cast<std::int32_t>(static_cast<std::uint32_t>(entry.size & 0xFFFFFFFFu));
      try {
        Stamp = EncodeDateTime(entry.lastWriteLocal);
      } catch (const Error&) {
        Stamp = 0; // a time the platform could not put into calendar fields
      }
      return false;
    });
  } catch (...) {
    // A path that cannot be searched counts as no file.
    Stamp = 0;
    Size = 0;
  }
}

bool PlanLine(const SetupState& state, const Payload& payload, FileSystem& files,
              std::u16string_view line) {
  // An empty line names nothing; forced, it would otherwise become a file line without a name.
  if (line.empty()) {
    return false;
  }
  const LineFields f = CutLine(line);

  if (!AdmitsEdition(f.flags, state.EditionCode)) {
    return false;
  }
  // A name that would leave the installation folder stays for the run to refuse and report;
  // nothing is looked up for it.
  const NameKind kind =
      line.find(u"|K|") != std::u16string_view::npos ? NameKind::Mask : NameKind::File;
  if (!InstallNameProblem(f.name, kind).empty()) {
    return true;
  }
  const std::u16string path = state.InstallDir + std::u16string(f.name);
  // Keep rule: the user's copy of a settings file stays; a folder of that name does not count.
  if (Has(f.flags, u'O') && !state.ForceInstall) {
    const auto attributes = files.GetAttributes(path);
    if (attributes && !(*attributes & kAttrDirectory)) {
      return false;
    }
  }
  if (Has(f.flags, u'K') || state.ForceInstall) {
    return true;
  }
  // Up-to-date rule.
  TFileItem item;
  payload.FindArchiveItem(f.name, item);
  DateTime stamp = 0;
  std::int32_t size = 0;
  GetFileStamp(files, path, stamp, size);
  return !(item.Size == size && stamp >= item.FDate);
}

void Comp(SetupState& state, const Payload& payload, FileSystem& files) {
  if (!state.ManifestLines) {
    return;
  }
  // One pass that moves each kept line to its place: removing lines one by one from the middle
  // of the list took time in the square of their number.
  auto& lines = *state.ManifestLines;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (PlanLine(state, payload, files, lines[i])) {
      if (kept != i) {
        lines[kept] = std::move(lines[i]);
      }
      ++kept;
    }
  }
  lines.resize(kept);
}

} // namespace ket
