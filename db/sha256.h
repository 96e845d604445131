// SHA-256 (FIPS 180-4), HMAC-SHA-256 (RFC 2104) and PBKDF2-HMAC-SHA-256 (RFC 8018): the key
// derivation of the encrypted city database.
#pragma once

#include "db/secure_wipe.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ket {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  static constexpr std::size_t kBlockSize = 64;

  Sha256() { Reset(); }
  Sha256(const Sha256&) = default;
  Sha256& operator=(const Sha256&) = default;
  // The state of an HMAC's padded key is key material: wiped when it goes.
  ~Sha256() { SecureWipe(this, sizeof *this); }
  void Reset();
  void Update(std::span<const std::uint8_t> data);
  Sha256Digest Finish(); // leaves the object reset

  static Sha256Digest Hash(std::span<const std::uint8_t> data);

 private:
  friend class HmacSha256;
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_{};
  std::array<std::uint8_t, kBlockSize> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0; // bytes hashed so far
};

// A keyed HMAC. The padded key is absorbed once, so each message costs only its own blocks plus
// the two finishing compressions; PBKDF2 relies on that.
class HmacSha256 {
 public:
  explicit HmacSha256(std::span<const std::uint8_t> key);
  Sha256Digest Mac(std::span<const std::uint8_t> message) const;
  // The MAC of the concatenation of two parts, without joining them first.
  Sha256Digest Mac(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail) const;

 private:
  Sha256 inner_; // state after the inner padded key
  Sha256 outer_; // state after the outer padded key
};

// Fills `out` (any length) with PBKDF2 output. `iterations` must be at least 1.
void Pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                      std::uint32_t iterations, std::span<std::uint8_t> out);

} // namespace ket
