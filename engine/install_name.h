// The one check of a manifest name before it becomes a path: every name a file line writes and
// every mask a deletion line deletes must stay inside the installation folder. The run, the
// deletion and the packer all ask this.
#pragma once

#include <string_view>

namespace ket {

enum class NameKind {
  File, // a file line's name: the path of one file below the installation folder
  Mask, // a deletion line's name: a folder path, then a last component that may hold wildcards
};

// Why the name cannot stand for a path inside the installation folder, or empty when it can.
// Refused: an empty file name; a leading "\" or "/"; a ":" anywhere (drive letters, streams);
// a control character (a NUL would cut the path the platform sees); a component of dots and
// blanks only ("." and ".." among them, which Windows resolves or trims away); a device name
// (CON, NUL, COM1, ...) as a component; for a mask, a wildcard before its last separator.
std::string_view InstallNameProblem(std::u16string_view name, NameKind kind);

// Whether c separates a manifest name's components: "\" or "/", as Windows reads both.
constexpr bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

} // namespace ket
