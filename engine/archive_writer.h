// Writing payload archives (the format of engine/archive.h), and the rules that decide which
// manifest lines become entries. Packing happens at build time, outside the setup program.
#pragma once

#include "base/error.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ket {

// A refusal of the packer: a bad name, a missing file. The message says which and why.
class PackError : public Error {
 public:
  using Error::Error;
};

// Appends entries, each compressed on its own with zlib's default level, to a sink.
class ArchiveWriter {
 public:
  using Sink = std::function<void(std::span<const std::uint8_t>)>;
  explicit ArchiveWriter(Sink sink) : sink_(std::move(sink)) {}

  // name is UTF-8, at most 255 bytes; data at most 2^31 - 1 bytes; dos the DOS date-time or
  // 0 for none. Throws PackError when the entry cannot be stored.
  void Add(std::string_view name, std::span<const std::uint8_t> data, std::uint32_t dos);

 private:
  Sink sink_;
};

// The whole archive in memory, for tests and small tools.
struct ArchiveEntry {
  std::string name; // UTF-8
  std::vector<std::uint8_t> data;
  std::uint32_t dos = 0;
};
std::vector<std::uint8_t> BuildArchive(std::span<const ArchiveEntry> entries);

// Why a deletion line's name cannot stand for a mask inside the installation folder, or empty
// when it can: the installer's own check (engine/install_name.h), and not empty.
std::string CheckInstallPath(std::u16string_view name);

// Why a manifest name cannot be an entry, or empty when it can: what the installer refuses for
// a file line (engine/install_name.h), longer than 255 UTF-8 bytes, not valid UTF-8 text, or
// "list" itself (which would hide behind the manifest's own entry).
std::string CheckEntryName(std::u16string_view name);

// One file the archive is to hold: its entry name and the manifest line (1-based) naming it.
struct PackItem {
  std::u16string name;
  std::size_t line = 0;
};

// The files of a manifest, in manifest order: every line except the deletion lines ("|K|") and
// empty lines, named by the name field, the first occurrence only when names repeat ignoring
// letter case. Deletion lines are checked too, as they name paths inside the installation
// folder (CheckInstallPath). Throws PackError for the first bad name.
std::vector<PackItem> PlanPackItems(std::span<const std::uint8_t> manifest);

} // namespace ket
