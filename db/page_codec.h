// The stored form of the encrypted city database: key derivation and the per-database codec
// record with its page transform.
//
// Key material is 60 bytes of PBKDF2-HMAC-SHA-256 (fixed salt, 1024 iterations) over the
// password; its first 32 bytes are the AES-256 key, the rest is part of the key's identity.
// Every page is AES-256-CBC enciphered on its own, with the page number (32-bit little-endian,
// four times) as IV. Nothing is added to the file: an encrypted file has the plain file's length.
#pragma once

#include "db/aes.h"
#include "db/secure_wipe.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ket {

inline constexpr std::size_t kKeyMaterialSize = 60;
// A key length with this value means the key bytes are already key material.
inline constexpr int kKeyMaterialLength = -60;
inline constexpr std::uint32_t kKdfIterations = 1024;
inline constexpr std::array<std::uint8_t, 16> kCodecSalt = {
    0x3d, 0x8a, 0x51, 0xc7, 0x0e, 0xf4, 0x92, 0x6b, 0xb8, 0x27, 0xe1, 0x5c, 0x74, 0xa9, 0x0d, 0x36};

// Wiped when it goes, like the schedules built from it.
using KeyMaterial = SecretArray<kKeyMaterialSize>;

KeyMaterial DeriveKeyMaterial(std::span<const std::uint8_t> password);

// What a key argument (bytes and length, as the codec entry points take them) stands for:
// key material, or nullopt for "no key". A length of 1 or more derives; the material form
// counts only where `materialAllowed`.
std::optional<KeyMaterial> KeyFromArgument(const void* key, int length, bool materialAllowed);

AesBlock PageIv(std::uint32_t pageNumber);

// Operation codes of the page transform.
inline constexpr int kPageDecipher = 3;           // 0 and 2 are treated alike
inline constexpr int kPageEncipherForFile = 6;    // database file, write-ahead log
inline constexpr int kPageEncipherForJournal = 7; // rollback and statement journals

// The encryption state of one database of one connection. Outside a re-key all three sides hold
// the key the file is stored in; during a re-key the write side holds the new key (or none). The
// sides are set only by the record's keying and by the key state (key_state.h), whose invariant
// says what they hold when; everything else reads them.
class PageCodec {
 public:
  std::int32_t pageSize = 0;
  std::vector<std::uint8_t> pageBuffer; // output of encipherment, exactly pageSize bytes

  // A record with every side set from `material` and a buffer for `pageSize`. Throws
  // std::bad_alloc.
  static std::unique_ptr<PageCodec> Keyed(const KeyMaterial& material, int pageSize);
  // A record with every flag clear, as a re-key of a plain database starts with.
  static std::unique_ptr<PageCodec> Empty(int pageSize);

  // Sets all three sides and the key material from `material` (key_state.cpp).
  void SetAllSides(const KeyMaterial& material);
  // The page-size notification: a new size resizes the buffer (std::bad_alloc on failure). The
  // reserved-bytes count is not used: the cipher needs no room in the page.
  void SetPageSize(int size, int reserved = 0);

  bool HasWriteKey() const { return writeKeySet_ != 0; }
  bool HasReadKey() const { return readKeySet_ != 0; }
  bool HasDecryptKey() const { return decryptKeySet_ != 0; }
  // The key the file is stored in (the read side's), while there is one.
  const KeyMaterial& Material() const { return keyMaterial_; }
  const AesEncryptSchedule& ReadSchedule() const { return readSchedule_; }
  // The form the file holds its pages in, as the schedule that deciphers it; null when plain.
  const AesDecryptSchedule* StoredForm() const {
    return decryptKeySet_ ? &decryptSchedule_ : nullptr;
  }

  // The page operations, each on a whole page numbered `pageNumber`. The two encipherments
  // write into pageBuffer and return it; they return null when their side has no key, when the
  // page is empty or no whole number of cipher blocks, or when the buffer cannot hold it.
  //
  // For the database file and the write-ahead log: the write side (during a re-key, the new
  // form).
  std::uint8_t* EncipherForFile(std::span<const std::uint8_t> page, std::uint32_t pageNumber);
  // For the rollback journal: the read side, the form the file holds the page in.
  std::uint8_t* EncipherForJournal(std::span<const std::uint8_t> page, std::uint32_t pageNumber);
  // In place, from the form the file holds the page in (the decrypt side); without a key there
  // the page is plain already and stays as it is.
  void DecipherStored(std::span<std::uint8_t> page, std::uint32_t pageNumber) const;
  // In place, into the form the file holds the page in (the read side); without a key there the
  // page stays plain.
  void EncipherStored(std::span<std::uint8_t> page, std::uint32_t pageNumber) const;

 private:
  friend class KeyState;

  std::int32_t writeKeySet_ = 0;
  AesEncryptSchedule writeSchedule_;
  std::int32_t readKeySet_ = 0;
  AesEncryptSchedule readSchedule_;
  std::int32_t decryptKeySet_ = 0;
  AesDecryptSchedule decryptSchedule_;
  KeyMaterial keyMaterial_{};
};

// The page transform, the engine's page-codec entry point over the operations above: the bytes
// the engine is to use, or null for an unknown operation or a missing buffer (the engine's "out
// of memory"). `page` holds pageSize bytes.
std::uint8_t* TransformPage(PageCodec& codec, std::uint8_t* page, std::uint32_t pageNumber,
                            int operation);

// CBC over one page (or its leading part) with the page's IV; false for a length that is not a
// whole number of blocks.
bool EncipherPage(const AesEncryptSchedule& schedule, std::uint32_t pageNumber,
                  std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
bool DecipherPage(const AesDecryptSchedule& schedule, std::uint32_t pageNumber,
                  std::span<std::uint8_t> page);

} // namespace ket
