// Loading the embedded payload: the archive directory and the manifest lines.
#pragma once

#include "engine/archive.h"
#include "engine/services.h"
#include "engine/setup_state.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ket {

// Splits UTF-8 manifest text into lines: a leading byte-order mark is skipped, a line ends at
// CR LF, a lone CR or a lone LF, a break at the very end adds no empty line, empty lines in
// between stay, and a NUL character ends the text.
std::vector<std::u16string> LoadManifestLines(std::span<const std::uint8_t> text);

// The largest manifest entry accepted, inflated: the shipped one has some 20 KB; a list of
// millions of lines is a damaged or hostile archive.
inline constexpr std::int32_t kMaxManifestSize = 16 * 1024 * 1024;

// At the window's every activation: the first call opens the archive and reads its directory
// (Payload::Load), and loads the entry "list" into state.ManifestLines; later calls do
// nothing, also when the first one failed (its error goes to the caller once: an error box
// that came back at every activation would never let the user close the window). After a
// failure ManifestLines stays absent, so no run can start. Errors of opening the archive are
// passed on as they come; an archive that opens but is damaged (a malformed directory, no entry
// "list", no entry at all, a manifest larger than kMaxManifestSize or that fails to inflate)
// throws DamagedSetupError.
void LoadPayload(SetupState& state, Payload& payload, const ArchiveOpener& openArchive);

} // namespace ket
