// libFuzzer target for the archive reader: any bytes as an archive. Reading the directory and
// extracting every entry must end, stay inside the bytes and fail only with ket::Error; what
// succeeds must be consistent.
#include "base/error.h"
#include "engine/archive.h"
#include "engine/payload.h"

#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

void Require(bool ok) {
  if (!ok) {
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ket;
  const std::span<const std::uint8_t> bytes(data, size);
  Payload payload;
  bool complete = true;
  try {
    payload.Load([&] { return std::make_unique<SpanArchiveBytes>(bytes); });
  } catch (const Error&) {
    complete = false;
  }
  const auto& names = payload.Content();
  Require(names.size() == payload.Items().size());
  std::int64_t end = 0;
  for (const TFileItem& item : payload.Items()) {
    Require(item.Size >= 0 && item.PackSize >= 0);
    Require(item.Position > end &&
            item.Position + item.PackSize <= static_cast<std::int64_t>(size));
    end = item.Position + item.PackSize;
  }
  Require(!complete || end == static_cast<std::int64_t>(size));

  for (std::size_t k = 0; k < names.size(); ++k) {
    TFileItem found;
    Require(payload.FindArchiveItem(names[k], found));
    try {
      MemoryStream target;
      payload.ExtractArchiveItem(names[k], target);
      Require(target.Bytes().size() == static_cast<std::size_t>(found.Size));
      Require(target.Position() == 0);
      if (k == 0) {
        LoadManifestLines(target.Bytes());
      }
    } catch (const Error&) {
    }
  }
  return 0;
}
