#include "engine/payload.h"

#include "base/error.h"
#include "base/text.h"

#include <string_view>

namespace ket {

std::vector<std::u16string> LoadManifestLines(std::span<const std::uint8_t> text) {
  std::string_view bytes(reinterpret_cast<const char*>(text.data()), text.size());
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
  }
  if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) {
    bytes = bytes.substr(0, nul);
  }
  const std::u16string all = Utf8ToUtf16(bytes);
  std::vector<std::u16string> lines;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = start;
    while (end < all.size() && all[end] != u'\r' && all[end] != u'\n') {
      ++end;
    }
    lines.emplace_back(all, start, end - start);
    if (end < all.size() && all[end] == u'\r' && end + 1 < all.size() && all[end + 1] == u'\n') {
      ++end;
    }
    start = end + 1;
  }
  return lines;
}

void LoadPayload(SetupState& state, Payload& payload, const ArchiveOpener& openArchive) {
  if (!payload.Load(openArchive)) {
    return;
  }
  try {
    // An archive without a manifest would install nothing and call that up to date.
    TFileItem item;
    if (!payload.FindArchiveItem(kManifestEntryName, item)) {
      throw Error(payload.Content().empty() ? "Malformed archive: it holds no entry"
                                            : "Malformed archive: it holds no manifest \"list\"");
    }
    // Refused from its header, before anything is inflated or planned.
    if (item.Size > kMaxManifestSize) {
      throw Error("Malformed archive: the manifest \"list\" inflates to " +
                  std::to_string(item.Size) + " bytes, more than the " +
                  std::to_string(kMaxManifestSize) + " a manifest may have");
    }
    std::vector<std::uint8_t> manifest;
    payload.InflateArchiveItemTo(item, kManifestEntryName,
                                 [&](std::span<const std::uint8_t> piece) {
                                   manifest.insert(manifest.end(), piece.begin(), piece.end());
                                   return true;
                                 });
    state.ManifestLines = LoadManifestLines(manifest);
  } catch (const Error& e) {
    throw DamagedSetupError(e.what());
  }
}

} // namespace ket
