// The embedded archive: the resource "MAIN" of type "EXEFILE", read where it lies in the
// loaded image. Nothing is copied; the bytes stay valid while the module stays loaded (for the
// program's own module, the life of the process).
#pragma once

#include "engine/services.h"

#include <windows.h>

namespace ket {

class Win32ResourceArchive final : public ArchiveBytes {
 public:
  // The resource of `module`, the program's own when null. Throws ket::Error
  // "Resource MAIN not found" when the module has no such resource.
  explicit Win32ResourceArchive(HMODULE module = nullptr);

  std::span<const std::uint8_t> Bytes() const override { return bytes_; }

 private:
  std::span<const std::uint8_t> bytes_;
};

} // namespace ket
