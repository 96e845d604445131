#include "db/page_codec.h"

#include "db/sha256.h"

#include <cstring>

namespace ket {

KeyMaterial DeriveKeyMaterial(std::span<const std::uint8_t> password) {
  KeyMaterial material;
  Pbkdf2HmacSha256(password, kCodecSalt, kKdfIterations, material);
  return material;
}

std::optional<KeyMaterial> KeyFromArgument(const void* key, int length, bool materialAllowed) {
  if (key == nullptr) {
    return std::nullopt;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(key);
  if (length >= 1) {
    return DeriveKeyMaterial({bytes, static_cast<std::size_t>(length)});
  }
  if (length == kKeyMaterialLength && materialAllowed) {
    KeyMaterial material;
    std::memcpy(material.data(), bytes, material.size());
    return material;
  }
  return std::nullopt;
}

AesBlock PageIv(std::uint32_t pageNumber) {
  AesBlock iv;
  for (std::size_t i = 0; i < iv.size(); i += 4) {
    iv[i] = static_cast<std::uint8_t>(pageNumber);
    iv[i + 1] = static_cast<std::uint8_t>(pageNumber >> 8);
    iv[i + 2] = static_cast<std::uint8_t>(pageNumber >> 16);
    iv[i + 3] = static_cast<std::uint8_t>(pageNumber >> 24);
  }
  return iv;
}

std::unique_ptr<PageCodec> PageCodec::Keyed(const KeyMaterial& material, int pageSize) {
  auto codec = std::make_unique<PageCodec>();
  codec->SetAllSides(material);
  codec->SetPageSize(pageSize);
  return codec;
}

std::unique_ptr<PageCodec> PageCodec::Empty(int pageSize) {
  auto codec = std::make_unique<PageCodec>();
  codec->SetPageSize(pageSize);
  return codec;
}

void PageCodec::SetPageSize(int size, int /*reserved*/) {
  if (size != pageSize || pageBuffer.size() != static_cast<std::size_t>(size)) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size));
    pageBuffer.swap(buffer);
    pageSize = size;
  }
}

bool EncipherPage(const AesEncryptSchedule& schedule, std::uint32_t pageNumber,
                  std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  const AesBlock iv = PageIv(pageNumber);
  return AesCbcEncrypt(schedule, iv, in, out);
}

bool DecipherPage(const AesDecryptSchedule& schedule, std::uint32_t pageNumber,
                  std::span<std::uint8_t> page) {
  const AesBlock iv = PageIv(pageNumber);
  return AesCbcDecrypt(schedule, iv, page, page);
}

namespace {

std::uint8_t* EncipherIntoBuffer(const AesEncryptSchedule& schedule,
                                 std::vector<std::uint8_t>& buffer,
                                 std::span<const std::uint8_t> page, std::uint32_t pageNumber) {
  // A length that is no whole number of blocks enciphers nothing: the buffer would still hold
  // the previous page.
  if (buffer.size() < page.size() || page.empty() ||
      !EncipherPage(schedule, pageNumber, page, {buffer.data(), page.size()})) {
    return nullptr;
  }
  return buffer.data();
}

} // namespace

std::uint8_t* PageCodec::EncipherForFile(std::span<const std::uint8_t> page,
                                         std::uint32_t pageNumber) {
  return writeKeySet_ ? EncipherIntoBuffer(writeSchedule_, pageBuffer, page, pageNumber) : nullptr;
}

std::uint8_t* PageCodec::EncipherForJournal(std::span<const std::uint8_t> page,
                                            std::uint32_t pageNumber) {
  return readKeySet_ ? EncipherIntoBuffer(readSchedule_, pageBuffer, page, pageNumber) : nullptr;
}

void PageCodec::DecipherStored(std::span<std::uint8_t> page, std::uint32_t pageNumber) const {
  if (decryptKeySet_) {
    DecipherPage(decryptSchedule_, pageNumber, page);
  }
}

void PageCodec::EncipherStored(std::span<std::uint8_t> page, std::uint32_t pageNumber) const {
  if (readKeySet_) {
    EncipherPage(readSchedule_, pageNumber, page, page);
  }
}

std::uint8_t* TransformPage(PageCodec& codec, std::uint8_t* page, std::uint32_t pageNumber,
                            int operation) {
  const std::span<std::uint8_t> whole(page, static_cast<std::size_t>(codec.pageSize));
  switch (operation) {
  case 0:
  case 2:
  case kPageDecipher:
    codec.DecipherStored(whole, pageNumber);
    return page;
  case kPageEncipherForFile:
    return codec.HasWriteKey() ? codec.EncipherForFile(whole, pageNumber) : page;
  case kPageEncipherForJournal:
    return codec.HasReadKey() ? codec.EncipherForJournal(whole, pageNumber) : page;
  default:
    return nullptr;
  }
}

} // namespace ket
