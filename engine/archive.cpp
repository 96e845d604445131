#include "engine/archive.h"

#include "base/error.h"
#include "base/text.h"
#include "engine/name_comparer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <zlib.h>

namespace ket {

namespace {

// Deflate cannot expand data more than about 1032:1, so a larger Size is corrupt; checking it
// keeps a damaged header from asking for gigabytes.
constexpr std::int64_t kMaxInflateRatio = 1040;
constexpr std::int64_t kMinZlibStream = 8; // header, an empty final block, Adler-32

std::int32_t ReadInt32(std::span<const std::uint8_t> b) {
  const std::uint32_t u = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                          static_cast<std::uint32_t>(b[2]) << 16 |
                          static_cast<std::uint32_t>(b[3]) << 24;
  return static_cast<std::int32_t>(u);
}

std::uint32_t ReadUint32(std::span<const std::uint8_t> b) {
  return static_cast<std::uint32_t>(ReadInt32(b));
}

[[noreturn]] void Malformed(std::size_t index, std::int64_t offset, const std::string& what) {
  throw Error("Malformed archive: entry " + std::to_string(index) + " at offset " +
              std::to_string(offset) + ": " + what);
}

[[noreturn]] void Corrupt(std::u16string_view name, const std::string& why) {
  throw Error("Entry \"" + Utf16ToUtf8(name) + "\": corrupt compressed data: " + why);
}

} // namespace

ArchiveInputStream::ArchiveInputStream(std::unique_ptr<ArchiveBytes> bytes)
    : bytes_(std::move(bytes)) {
  if (!bytes_) {
    throw Error("No archive bytes");
  }
  view_ = bytes_->Bytes();
}

void ArchiveInputStream::Seek(std::int64_t position) {
  if (position < 0 || position > Size()) {
    throw Error("Archive position " + std::to_string(position) + " lies outside the archive");
  }
  position_ = position;
}

std::size_t ArchiveInputStream::Read(std::span<std::uint8_t> out) {
  const auto n = static_cast<std::size_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(out.size()), Size() - position_));
  if (n > 0) {
    std::memcpy(out.data(), view_.data() + position_, n);
  }
  position_ += static_cast<std::int64_t>(n);
  return n;
}

std::span<const std::uint8_t> ArchiveInputStream::ReadView(std::int64_t count) {
  if (count < 0 || count > Size() - position_) {
    throw Error("Read of " + std::to_string(count) + " bytes at archive position " +
                std::to_string(position_) + " runs past the end");
  }
  const auto view =
      view_.subspan(static_cast<std::size_t>(position_), static_cast<std::size_t>(count));
  position_ += count;
  return view;
}

void MemoryStream::Write(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) {
    return;
  }
  if (bytes_.size() < position_ + bytes.size()) {
    bytes_.resize(position_ + bytes.size());
  }
  std::memcpy(bytes_.data() + position_, bytes.data(), bytes.size());
  position_ += bytes.size();
}

void MemoryStream::Seek(std::int64_t position) {
  if (position < 0 ||
      static_cast<std::uint64_t>(position) > std::numeric_limits<std::size_t>::max()) {
    throw Error("Invalid memory stream position");
  }
  position_ = static_cast<std::size_t>(position);
}

bool InflateTo(std::span<const std::uint8_t> packed, std::int32_t size, std::u16string_view what,
               const InflateSink& sink) {
  if (size < 0) {
    Corrupt(what, "negative size");
  }
  const auto packedSize = static_cast<std::int64_t>(packed.size());
  if (packedSize < kMinZlibStream || size > packedSize * kMaxInflateRatio) {
    Corrupt(what,
            std::to_string(packed.size()) + " bytes cannot inflate to " + std::to_string(size));
  }
  if (static_cast<std::uint64_t>(packed.size()) > std::numeric_limits<uInt>::max()) {
    Corrupt(what, "compressed data too large");
  }
  // Only what the stream has proved so far is ever held: a damaged header that claims
  // gigabytes fails at its first bad byte, not after allocating them.
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::clamp<std::int32_t>(size, 1, kInflateChunk)));

  z_stream z{};
  if (inflateInit2(&z, 15) != Z_OK) {
    throw Error("Cannot initialise the inflater");
  }
  // Ends the inflater on every way out.
  struct Ender {
    z_stream* z;
    ~Ender() { inflateEnd(z); }
  } ender{&z};
  const auto shortBy = [&] {
    return "the stream ends after " + std::to_string(z.total_out) + " of " + std::to_string(size) +
           " bytes";
  };
  const auto zlibError = [&](int rc) {
    return z.msg ? std::string(z.msg) : "inflate error " + std::to_string(rc);
  };

  // zlib takes a non-const pointer but never writes through next_in.
  z.next_in = const_cast<Bytef*>(packed.data());
  z.avail_in = static_cast<uInt>(packed.size());
  std::int64_t remaining = size;
  int rc = Z_OK;
  while (remaining > 0) {
    const auto piece = static_cast<uInt>(
        std::min<std::int64_t>(remaining, static_cast<std::int64_t>(buffer.size())));
    z.next_out = buffer.data();
    z.avail_out = piece;
    while (z.avail_out > 0) {
      rc = inflate(&z, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        if (z.avail_out > 0) {
          Corrupt(what, shortBy());
        }
        break;
      }
      if (rc == Z_BUF_ERROR) {
        Corrupt(what, shortBy());
      }
      if (rc != Z_OK) {
        Corrupt(what, zlibError(rc));
      }
    }
    if (!sink(std::span<const std::uint8_t>(buffer.data(), piece))) {
      return false;
    }
    remaining -= piece;
  }
  if (rc != Z_STREAM_END) {
    // All Size bytes are out: the stream must end here (its Adler-32 checked), not one byte on.
    std::uint8_t extra = 0;
    z.next_out = &extra;
    z.avail_out = 1;
    rc = inflate(&z, Z_NO_FLUSH);
    if ((rc == Z_OK || rc == Z_STREAM_END) && z.avail_out == 0) {
      Corrupt(what, "the stream holds more than " + std::to_string(size) + " bytes");
    }
    if (rc == Z_OK || rc == Z_BUF_ERROR) {
      Corrupt(what, "the stream does not end after " + std::to_string(size) + " bytes");
    }
    if (rc != Z_STREAM_END) {
      Corrupt(what, zlibError(rc));
    }
  }
  if (z.avail_in != 0) {
    Corrupt(what, std::to_string(z.avail_in) + " bytes follow the end of the stream");
  }
  return true;
}

std::vector<std::uint8_t> InflateExact(std::span<const std::uint8_t> packed, std::int32_t size,
                                       std::u16string_view what) {
  std::vector<std::uint8_t> out;
  // Reserved up to one piece only: the rest grows as the stream proves it.
  out.reserve(static_cast<std::size_t>(std::clamp<std::int32_t>(size, 0, kInflateChunk)));
  InflateTo(packed, size, what, [&](std::span<const std::uint8_t> piece) {
    out.insert(out.end(), piece.begin(), piece.end());
    return true;
  });
  return out;
}

Payload::Payload(std::unique_ptr<NameComparer> comparer) : comparer_(std::move(comparer)) {
  if (!comparer_) {
    comparer_ = MakeDefaultNameComparer();
  }
}

void Payload::ReadArchiveDirectory(ArchiveInputStream& Stream, std::vector<std::u16string>& Names) {
  Names.clear();
  ArchiveItems.clear();
  Stream.Seek(0);
  const std::int64_t end = Stream.Size();
  while (Stream.Position() != end) {
    const std::size_t index = Names.size();
    const std::int64_t offset = Stream.Position();
    // Each step checks that its bytes lie inside the archive, so reading always advances and
    // ends at the end.
    const std::size_t n = Stream.ReadView(1)[0];
    if (end - Stream.Position() < static_cast<std::int64_t>(n) + 12) {
      Malformed(index, offset, "the header runs past the end of the archive");
    }
    const auto nameBytes = Stream.ReadView(static_cast<std::int64_t>(n));
    const auto fields = Stream.ReadView(12);
    TFileItem item;
    item.Size = ReadInt32(fields.subspan(0, 4));
    const std::uint32_t dos = ReadUint32(fields.subspan(4, 4));
    item.PackSize = ReadInt32(fields.subspan(8, 4));
    item.Position = Stream.Position();
    if (item.Size < 0) {
      Malformed(index, offset, "negative Size " + std::to_string(item.Size));
    }
    if (item.PackSize < 0) {
      Malformed(index, offset, "negative PackSize " + std::to_string(item.PackSize));
    }
    if (item.PackSize > end - item.Position) {
      Malformed(index, offset,
                "the data (" + std::to_string(item.PackSize) +
                    " bytes) runs past the end of the archive");
    }
    item.FDate = DosDateTimeToFDate(dos);
    std::u16string name = Utf8ToUtf16(
        std::string_view(reinterpret_cast<const char*>(nameBytes.data()), nameBytes.size()));
    Stream.Seek(item.Position + item.PackSize);
    Names.push_back(std::move(name));
    ArchiveItems.push_back(item);
  }
}

bool Payload::Load(const ArchiveOpener& openArchive) {
  if (loadAttempted_) {
    return false;
  }
  loadAttempted_ = true;
  ArchiveStream = std::make_unique<ArchiveInputStream>(openArchive());
  try {
    ReadArchiveDirectory(*ArchiveStream, ArchiveContent);
  } catch (const Error& e) {
    throw DamagedSetupError(e.what());
  }
  return true;
}

bool Payload::FindArchiveItem(std::u16string_view Name, TFileItem& Item) const {
  Item = TFileItem{};
  for (std::size_t k = 0; k < ArchiveContent.size(); ++k) {
    if (comparer_->EqualIgnoringCase(ArchiveContent[k], Name)) {
      Item = ArchiveItems[k];
      return true;
    }
  }
  return false;
}

std::optional<InflatedItem> Payload::InflateArchiveItem(std::u16string_view Name) const {
  InflatedItem found;
  if (!FindArchiveItem(Name, found.Item)) {
    return std::nullopt;
  }
  ArchiveStream->Seek(found.Item.Position);
  found.Bytes = InflateExact(ArchiveStream->ReadView(found.Item.PackSize), found.Item.Size, Name);
  return found;
}

bool Payload::InflateArchiveItemTo(const TFileItem& Item, std::u16string_view Name,
                                   const InflateSink& sink) const {
  if (!ArchiveStream) {
    throw Error("The setup's archive is not loaded");
  }
  ArchiveStream->Seek(Item.Position);
  return InflateTo(ArchiveStream->ReadView(Item.PackSize), Item.Size, Name, sink);
}

void Payload::ExtractArchiveItem(std::u16string_view Name, TargetStream& Target) const {
  const auto found = InflateArchiveItem(Name);
  if (!found) {
    return;
  }
  Target.Write(found->Bytes);
  Target.Seek(0);
}

} // namespace ket
