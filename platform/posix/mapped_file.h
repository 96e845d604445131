// The archive as a read-only memory mapping of a file: read in place, never copied.
#pragma once

#include "engine/services.h"

#include <cstdint>
#include <span>
#include <string>

namespace ket {

class MappedFileBytes final : public ArchiveBytes {
 public:
  // Throws ket::Error naming the file when it cannot be opened or mapped.
  explicit MappedFileBytes(const std::string& path);
  ~MappedFileBytes() override;
  MappedFileBytes(const MappedFileBytes&) = delete;
  MappedFileBytes& operator=(const MappedFileBytes&) = delete;

  std::span<const std::uint8_t> Bytes() const override { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

} // namespace ket
