// The payload archive: a flat run of separately compressed entries, read where it lies.
//
// Entry layout (little-endian): name length N (1 byte), name (N bytes of UTF-8), Size (signed
// 32-bit), DOS date-time (32-bit, 0 = no date), PackSize (signed 32-bit), then PackSize bytes
// of one zlib stream that inflates to exactly Size bytes. Entries follow each other to the exact
// end of the archive; there is no header, count or trailer. Entry 0 is the manifest "list".
#pragma once

#include "base/error.h"
#include "engine/date_time.h"
#include "engine/services.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ket {

// One archive entry. The two sizes are kept together, unlike on disk.
struct TFileItem {
  std::int32_t Size = 0;
  std::int32_t PackSize = 0;
  std::int64_t Position = 0; // offset of the compressed data from the start of the archive
  DateTime FDate = 0;        // 0 when the entry has no date
  friend bool operator==(const TFileItem&, const TFileItem&) = default;
};

// ArchiveBytes over bytes someone else owns (tests, the fuzzer), and over a buffer of its own.
class SpanArchiveBytes final : public ArchiveBytes {
 public:
  explicit SpanArchiveBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::span<const std::uint8_t> Bytes() const override { return bytes_; }

 private:
  std::span<const std::uint8_t> bytes_;
};

class MemoryArchiveBytes final : public ArchiveBytes {
 public:
  explicit MemoryArchiveBytes(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::span<const std::uint8_t> Bytes() const override { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// A read-only, seekable stream over ArchiveBytes with 64-bit positions. Reading hands out
// views into the bytes; nothing is copied.
class ArchiveInputStream {
 public:
  explicit ArchiveInputStream(std::unique_ptr<ArchiveBytes> bytes);

  std::int64_t Size() const { return static_cast<std::int64_t>(view_.size()); }
  std::int64_t Position() const { return position_; }
  // Any position from 0 to Size(); throws ket::Error outside.
  void Seek(std::int64_t position);
  // Copies up to out.size() bytes from the position and advances; returns the count.
  std::size_t Read(std::span<std::uint8_t> out);
  // The count bytes at the position, in place, and advances; throws ket::Error when fewer
  // than count remain (the position is then unchanged).
  std::span<const std::uint8_t> ReadView(std::int64_t count);

 private:
  std::unique_ptr<ArchiveBytes> bytes_;
  std::span<const std::uint8_t> view_;
  std::int64_t position_ = 0;
};

// Where ExtractArchiveItem writes: writable and seekable.
class TargetStream {
 public:
  virtual ~TargetStream() = default;
  // Writes all bytes at the position and advances; throws ket::Error on failure.
  virtual void Write(std::span<const std::uint8_t> bytes) = 0;
  virtual void Seek(std::int64_t position) = 0;
  virtual std::int64_t Position() const = 0;
};

// A growable memory buffer; writing past the end extends it.
class MemoryStream final : public TargetStream {
 public:
  void Write(std::span<const std::uint8_t> bytes) override;
  void Seek(std::int64_t position) override;
  std::int64_t Position() const override { return static_cast<std::int64_t>(position_); }

  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

// Where InflateTo hands the inflated bytes, a piece at a time; false stops the inflation.
using InflateSink = std::function<bool(std::span<const std::uint8_t>)>;
// The largest piece InflateTo hands over (and holds).
inline constexpr std::int32_t kInflateChunk = 1 << 20;

// Inflates one zlib stream (window bits 15) to exactly size bytes, handing them to sink in
// pieces of at most kInflateChunk bytes as they come, so that memory never follows the size an
// entry claims. False as soon as sink returns false. The stream must end, its Adler-32
// checked, at exactly size bytes and at the end of packed; anything else is corrupt data and
// throws ket::Error naming what (the pieces handed over by then are worth nothing).
bool InflateTo(std::span<const std::uint8_t> packed, std::int32_t size, std::u16string_view what,
               const InflateSink& sink);

// Inflates one zlib stream (window bits 15) to exactly size bytes. The stream must end, its
// Adler-32 checked, at exactly size bytes and at the end of packed; anything else is corrupt
// data and throws ket::Error naming what.
std::vector<std::uint8_t> InflateExact(std::span<const std::uint8_t> packed, std::int32_t size,
                                       std::u16string_view what);

// The setup's own archive is damaged: its directory or its manifest cannot be read, it has no
// manifest, or it is empty. The window says the setup file should be obtained again.
class DamagedSetupError : public Error {
 public:
  using Error::Error;
};

// Opens the archive bytes; throws ket::Error when they cannot be had (for the resource:
// "Resource MAIN not found").
using ArchiveOpener = std::function<std::unique_ptr<ArchiveBytes>()>;

// An entry found by name: its item, and its bytes inflated.
struct InflatedItem {
  TFileItem Item;
  std::vector<std::uint8_t> Bytes;
};

// The archive members of the main window: the stream, the directory and the comparison that
// lookups use. It loads itself (Load) and is read through the lookups and const accessors.
//
// Invariant: ArchiveContent and ArchiveItems stay parallel: entry i of the archive, in archive
// order, is named ArchiveContent[i] and described by ArchiveItems[i] (entry 0 of a whole archive
// is the manifest "list"). Every item has Size >= 0 and PackSize >= 0, and its PackSize bytes at
// Position lie inside ArchiveStream. ArchiveStream is absent until Load has opened the archive,
// and the directory is empty while it is; once opened it stays, also when its directory proved
// malformed, and the directory then holds the entries before the damage. Only Load changes the
// three, once. The stream's position is scratch: every read seeks first.
class Payload {
 public:
  // A null comparer means the default one (engine/name_comparer.h).
  explicit Payload(std::unique_ptr<NameComparer> comparer = nullptr);

  // Opens the archive through openArchive and reads its directory, at the first call only:
  // later calls do nothing and return false, also when the first one failed. Errors of opening
  // pass as they come (the payload stays without a stream); a malformed directory, or an
  // invalid date or time in it, throws DamagedSetupError with the reader's message (the entries
  // before the damage stay). True when this call read the whole directory.
  bool Load(const ArchiveOpener& openArchive);

  // Whether Load has opened the archive (its directory may still have proved malformed).
  bool IsOpen() const { return ArchiveStream != nullptr; }
  const std::vector<std::u16string>& Content() const { return ArchiveContent; }
  const std::vector<TFileItem>& Items() const { return ArchiveItems; }
  const NameComparer& Comparer() const { return *comparer_; }

  // The first entry whose name equals Name ignoring case; false and an all-zero Item if none.
  bool FindArchiveItem(std::u16string_view Name, TFileItem& Item) const;

  // The entry named Name, found once, with its inflated bytes; nullopt when there is no such
  // entry. Corrupt data throws ket::Error naming the entry (InflateExact).
  std::optional<InflatedItem> InflateArchiveItem(std::u16string_view Name) const;

  // The entry FindArchiveItem found as Item (named Name, for errors) inflated into sink
  // (InflateTo), for entries too large to hold, without a second search; false when sink
  // stopped it. An Item whose data does not lie inside the opened archive throws ket::Error.
  bool InflateArchiveItemTo(const TFileItem& Item, std::u16string_view Name,
                            const InflateSink& sink) const;

  // Writes the inflated entry to Target at its position, then rewinds Target to 0. Does
  // nothing when there is no such entry; throws ket::Error for corrupt data (Target untouched).
  void ExtractArchiveItem(std::u16string_view Name, TargetStream& Target) const;

 private:
  // Fills Names and ArchiveItems from the whole stream. An invalid date or time throws the
  // encode errors; a malformed entry (header or data past the end, negative Size or PackSize)
  // throws ket::Error naming the entry's index and offset. Entries read before the failing one
  // stay; Names and ArchiveItems stay parallel.
  void ReadArchiveDirectory(ArchiveInputStream& Stream, std::vector<std::u16string>& Names);

  std::unique_ptr<ArchiveInputStream> ArchiveStream;
  std::vector<std::u16string> ArchiveContent;
  std::vector<TFileItem> ArchiveItems;
  std::unique_ptr<NameComparer> comparer_;
  bool loadAttempted_ = false;
};

// The manifest's entry name.
inline constexpr std::u16string_view kManifestEntryName = u"list";

} // namespace ket
