// The planning pass: drops every manifest line that needs no work in the destination folder.
//
// A line is "|"-separated: name, flags, "#", description; a deletion line is the name followed
// by "|K|". Flags are the letters P, F, L (editions), O (keep the user's copy) and K (delete).
#pragma once

#include "engine/archive.h"
#include "engine/date_time.h"
#include "engine/file_system.h"
#include "engine/setup_state.h"

#include <cstdint>
#include <string_view>

namespace ket {

// The fields as planning cuts them, malformed lines included: name is the text before the
// first "|" (empty without one); flags is the text before the first "|" within the 50
// characters after the first "|" (empty when no second "|" closes it there).
struct LineFields {
  std::u16string_view name;
  std::u16string_view flags;
};
inline constexpr std::size_t kFlagsWindow = 50;
LineFields CutLine(std::u16string_view line);

// The edition rule: whether flags that name editions (P, F, L) name `edition`; flags that name
// none admit every edition.
bool AdmitsEdition(std::u16string_view flags, char16_t edition);

// The last-write time (local, with milliseconds) and the low 32 bits of the size of the first
// entry matching Path; 0 and 0 when nothing matches. Never fails.
void GetFileStamp(FileSystem& files, std::u16string_view Path, DateTime& Stamp, std::int32_t& Size);

// Whether one line needs work (true) or is dropped: an empty line, another edition's, a kept
// settings file, an up-to-date file. A line whose name would leave the folder always stays, so
// that the run reports it.
bool PlanLine(const SetupState& state, const Payload& payload, FileSystem& files,
              std::u16string_view line);

// Every line, in order, in one pass. Needs state.InstallDir ending in "\" and the manifest
// loaded.
void Comp(SetupState& state, const Payload& payload, FileSystem& files);

} // namespace ket
