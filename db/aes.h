// AES-256 (FIPS 197) in CBC mode (NIST SP 800-38A), the page cipher of the city database.
// Two implementations: a portable table-driven one and one on the processor's AES instructions
// (AES-NI), chosen at run time; both produce the same bytes.
#pragma once

#include "db/secure_wipe.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace ket {

inline constexpr std::size_t kAesBlockSize = 16;
inline constexpr int kAes256Rounds = 14;

using AesBlock = std::array<std::uint8_t, kAesBlockSize>;

// The 15 round keys of one direction, kept both as 32-bit words (portable path) and as bytes in
// FIPS 197 order (AES-NI path). Built once per key; plain data, no allocation.
//
// Wiped when it goes. Only bytes, so the schedule asks for no alignment at all: it lives inside
// records the heap hands out (8-byte aligned on 32-bit Windows), and each path reads it with
// unaligned loads.
struct AesRoundKeys {
  static constexpr std::size_t kWords = 4 * (kAes256Rounds + 1);

  AesRoundKeys() = default;
  AesRoundKeys(const AesRoundKeys&) = default;
  AesRoundKeys& operator=(const AesRoundKeys&) = default;
  ~AesRoundKeys() { SecureWipe(this, sizeof *this); }

  // The words in this processor's byte order, each read and written whole.
  std::array<std::uint8_t, 4 * kWords> words{};
  std::array<std::uint8_t, kAesBlockSize*(kAes256Rounds + 1)> bytes{};

  std::uint32_t Word(std::size_t i) const {
    std::uint32_t w;
    std::memcpy(&w, words.data() + 4 * i, sizeof w);
    return w;
  }
  void SetWord(std::size_t i, std::uint32_t w) { std::memcpy(words.data() + 4 * i, &w, sizeof w); }
};
static_assert(alignof(AesRoundKeys) == 1);

class AesEncryptSchedule {
 public:
  AesEncryptSchedule() = default;
  explicit AesEncryptSchedule(std::span<const std::uint8_t, 32> key);
  const AesRoundKeys& Keys() const { return keys_; }

 private:
  AesRoundKeys keys_;
};

// The equivalent inverse cipher's schedule (FIPS 197 5.3.5): round keys in reverse order, all
// but the outer two passed through InvMixColumns.
class AesDecryptSchedule {
 public:
  AesDecryptSchedule() = default;
  explicit AesDecryptSchedule(std::span<const std::uint8_t, 32> key);
  explicit AesDecryptSchedule(const AesEncryptSchedule& encrypt);
  const AesRoundKeys& Keys() const { return keys_; }

 private:
  AesRoundKeys keys_;
};

void AesEncryptBlock(const AesEncryptSchedule& schedule, std::span<const std::uint8_t, 16> in,
                     std::span<std::uint8_t, 16> out);
void AesDecryptBlock(const AesDecryptSchedule& schedule, std::span<const std::uint8_t, 16> in,
                     std::span<std::uint8_t, 16> out);

// CBC over `in` into `out` (same size; they may be the same bytes). A size that is not a whole
// number of blocks is refused: false, nothing written.
bool AesCbcEncrypt(const AesEncryptSchedule& schedule, std::span<const std::uint8_t, 16> iv,
                   std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
bool AesCbcDecrypt(const AesDecryptSchedule& schedule, std::span<const std::uint8_t, 16> iv,
                   std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

enum class AesPath { kPortable, kAesNi };

// Whether this processor (and this build) has the AES instructions.
bool AesNiAvailable();
// The path in use: AES-NI where available, unless a test or benchmark chose otherwise.
AesPath ActiveAesPath();
// Chooses the path; false (nothing changed) when AES-NI is asked for but not available. Meant for
// tests and benchmarks, before any concurrent use.
bool SelectAesPath(AesPath path);

namespace aes_detail {
// The AES-NI path (aes_ni.cpp); only called when AesNiAvailable().
void NiEncryptBlock(const AesRoundKeys& keys, const std::uint8_t* in, std::uint8_t* out);
void NiDecryptBlock(const AesRoundKeys& keys, const std::uint8_t* in, std::uint8_t* out);
void NiCbcEncrypt(const AesRoundKeys& keys, const std::uint8_t* iv, const std::uint8_t* in,
                  std::uint8_t* out, std::size_t blocks);
void NiCbcDecrypt(const AesRoundKeys& keys, const std::uint8_t* iv, const std::uint8_t* in,
                  std::uint8_t* out, std::size_t blocks);
bool NiSupported();
} // namespace aes_detail

} // namespace ket
