#include "engine/archive_writer.h"

#include "base/text.h"
#include "engine/install_name.h"
#include "engine/name_comparer.h"
#include "engine/payload.h"
#include "engine/planning.h"

#include <limits>
#include <zlib.h>

namespace ket {

namespace {

void PutInt32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

constexpr std::size_t kMaxEntrySize = std::numeric_limits<std::int32_t>::max();

} // namespace

void ArchiveWriter::Add(std::string_view name, std::span<const std::uint8_t> data,
                        std::uint32_t dos) {
  if (name.size() > 255) {
    throw PackError("entry name longer than 255 bytes: " + std::string(name));
  }
  if (data.size() > kMaxEntrySize) {
    throw PackError("file too large for the archive (over 2 GiB): " + std::string(name));
  }
  uLongf packedSize = compressBound(static_cast<uLong>(data.size()));
  std::vector<std::uint8_t> packed(packedSize);
  if (compress2(packed.data(), &packedSize, data.data(), static_cast<uLong>(data.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    throw PackError("cannot compress " + std::string(name));
  }
  if (packedSize > kMaxEntrySize) {
    throw PackError("compressed data too large for the archive: " + std::string(name));
  }
  std::vector<std::uint8_t> header;
  header.reserve(13 + name.size());
  header.push_back(static_cast<std::uint8_t>(name.size()));
  header.insert(header.end(), name.begin(), name.end());
  PutInt32(header, static_cast<std::uint32_t>(data.size()));
  PutInt32(header, dos);
  PutInt32(header, static_cast<std::uint32_t>(packedSize));
  sink_(header);
  sink_(std::span<const std::uint8_t>(packed.data(), packedSize));
}

std::vector<std::uint8_t> BuildArchive(std::span<const ArchiveEntry> entries) {
  std::vector<std::uint8_t> out;
  ArchiveWriter writer(
      [&](std::span<const std::uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); });
  for (const auto& e : entries) {
    writer.Add(e.name, e.data, e.dos);
  }
  return out;
}

std::string CheckInstallPath(std::u16string_view name) {
  // The installer's own check; an empty mask, which it lets pass as deleting nothing, is a slip
  // of the manifest's author here.
  if (name.empty()) {
    return "empty name";
  }
  return std::string(InstallNameProblem(name, NameKind::Mask));
}

std::string CheckEntryName(std::u16string_view name) {
  if (const std::string_view why = InstallNameProblem(name, NameKind::File); !why.empty()) {
    return std::string(why);
  }
  if (name.find(u'\xFFFD') != std::u16string_view::npos) {
    return "not valid UTF-8";
  }
  if (Utf16ToUtf8(name).size() > 255) {
    return "longer than 255 UTF-8 bytes";
  }
  if (FoldingNameComparer().EqualIgnoringCase(name, kManifestEntryName)) {
    return "the name of the manifest's own entry";
  }
  return {};
}

std::vector<PackItem> PlanPackItems(std::span<const std::uint8_t> manifest) {
  const std::vector<std::u16string> lines = LoadManifestLines(manifest);
  std::vector<PackItem> items;
  const FoldingNameComparer comparer;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::u16string& line = lines[i];
    if (line.empty()) {
      continue;
    }
    const std::u16string_view name = CutLine(line).name;
    const bool deletion = line.find(u"|K|") != std::u16string::npos;
    if (const std::string why = deletion ? CheckInstallPath(name) : CheckEntryName(name);
        !why.empty()) {
      throw PackError("manifest line " + std::to_string(i + 1) + ": " + why + ": " +
                      Utf16ToUtf8(line));
    }
    if (deletion) {
      continue;
    }
    bool seen = false;
    for (const auto& item : items) {
      seen = seen || comparer.EqualIgnoringCase(item.name, name);
    }
    if (!seen) {
      items.push_back({std::u16string(name), i + 1});
    }
  }
  return items;
}

} // namespace ket
