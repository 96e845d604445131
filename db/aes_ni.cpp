// The AES-NI path. Compiled for the baseline processor of each target; only the functions below
// use the AES instructions (target attribute), and they are called only after CPUID said yes.
#include "db/aes.h"

#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KET_AES_NI 1
#endif

namespace ket::aes_detail {

#ifdef KET_AES_NI

#define KET_NI_TARGET __attribute__((target("aes,sse2")))
// The entry points. The compiler keeps round keys that do not fit in registers in stack slots and
// reads them as 16-byte-aligned operands. The 32-bit Windows ABI aligns the stack to only 4 bytes
// (window procedures and other callbacks come from system code that keeps no more), while the
// compiler assumes 16 there: on i686 these functions realign the stack themselves.
#ifdef __i386__
#define KET_NI_ENTRY KET_NI_TARGET __attribute__((force_align_arg_pointer))
#else
#define KET_NI_ENTRY KET_NI_TARGET
#endif

namespace {

KET_NI_TARGET inline __m128i Load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

KET_NI_TARGET inline void Store(std::uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// The round keys, loaded once per call with unaligned loads: the schedule may lie at any address
// (the 32-bit Windows heap aligns only 8 bytes). From here they stay in registers, or in stack
// slots the compiler aligns itself; the copy is wiped before the call returns.
struct Keys {
  __m128i k[kAes256Rounds + 1];

  Keys() = default;
  Keys(const Keys&) = delete;
  Keys& operator=(const Keys&) = delete;
  ~Keys() { SecureWipe(k, sizeof k); }
};

KET_NI_TARGET inline void LoadKeys(const AesRoundKeys& keys, Keys& out) {
  for (int r = 0; r <= kAes256Rounds; ++r) {
    out.k[r] = Load(keys.bytes.data() + kAesBlockSize * static_cast<std::size_t>(r));
  }
}

KET_NI_TARGET inline __m128i Encrypt(const Keys& keys, __m128i x) {
  x = _mm_xor_si128(x, keys.k[0]);
#pragma GCC unroll 16
  for (int r = 1; r < kAes256Rounds; ++r) {
    x = _mm_aesenc_si128(x, keys.k[r]);
  }
  return _mm_aesenclast_si128(x, keys.k[kAes256Rounds]);
}

KET_NI_TARGET inline __m128i Decrypt(const Keys& keys, __m128i x) {
  x = _mm_xor_si128(x, keys.k[0]);
#pragma GCC unroll 16
  for (int r = 1; r < kAes256Rounds; ++r) {
    x = _mm_aesdec_si128(x, keys.k[r]);
  }
  return _mm_aesdeclast_si128(x, keys.k[kAes256Rounds]);
}

} // namespace

bool NiSupported() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    return false;
  }
  const bool sse2 = (edx & (1u << 26)) != 0;
  const bool aes = (ecx & (1u << 25)) != 0;
  return sse2 && aes;
}

KET_NI_ENTRY void NiEncryptBlock(const AesRoundKeys& schedule, const std::uint8_t* in,
                                 std::uint8_t* out) {
  Keys keys;
  LoadKeys(schedule, keys);
  Store(out, Encrypt(keys, Load(in)));
}

KET_NI_ENTRY void NiDecryptBlock(const AesRoundKeys& schedule, const std::uint8_t* in,
                                 std::uint8_t* out) {
  Keys keys;
  LoadKeys(schedule, keys);
  Store(out, Decrypt(keys, Load(in)));
}

// Encryption chains block to block, so it runs one block at a time.
KET_NI_ENTRY void NiCbcEncrypt(const AesRoundKeys& schedule, const std::uint8_t* iv,
                               const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) {
  Keys keys;
  LoadKeys(schedule, keys);
  __m128i chain = Load(iv);
  for (std::size_t b = 0; b < blocks; ++b) {
    chain = Encrypt(keys, _mm_xor_si128(Load(in + 16 * b), chain));
    Store(out + 16 * b, chain);
  }
}

// Decryption is parallel: eight blocks in flight hide the instructions' latency. The lanes are
// spelled out so that they stay in registers; all eight ciphertext blocks are loaded before
// anything is stored, so in-place use is safe.
KET_NI_ENTRY void NiCbcDecrypt(const AesRoundKeys& schedule, const std::uint8_t* iv,
                               const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) {
  Keys keys;
  LoadKeys(schedule, keys);
  __m128i chain = Load(iv);
  std::size_t b = 0;
  for (; b + 8 <= blocks; b += 8) {
    const std::uint8_t* p = in + 16 * b;
    const __m128i c0 = Load(p), c1 = Load(p + 16), c2 = Load(p + 32), c3 = Load(p + 48);
    const __m128i c4 = Load(p + 64), c5 = Load(p + 80), c6 = Load(p + 96), c7 = Load(p + 112);
    __m128i k = keys.k[0];
    __m128i x0 = _mm_xor_si128(c0, k), x1 = _mm_xor_si128(c1, k), x2 = _mm_xor_si128(c2, k);
    __m128i x3 = _mm_xor_si128(c3, k), x4 = _mm_xor_si128(c4, k), x5 = _mm_xor_si128(c5, k);
    __m128i x6 = _mm_xor_si128(c6, k), x7 = _mm_xor_si128(c7, k);
    for (int r = 1; r < kAes256Rounds; ++r) {
      k = keys.k[r];
      x0 = _mm_aesdec_si128(x0, k);
      x1 = _mm_aesdec_si128(x1, k);
      x2 = _mm_aesdec_si128(x2, k);
      x3 = _mm_aesdec_si128(x3, k);
      x4 = _mm_aesdec_si128(x4, k);
      x5 = _mm_aesdec_si128(x5, k);
      x6 = _mm_aesdec_si128(x6, k);
      x7 = _mm_aesdec_si128(x7, k);
    }
    k = keys.k[kAes256Rounds];
    std::uint8_t* q = out + 16 * b;
    Store(q, _mm_xor_si128(_mm_aesdeclast_si128(x0, k), chain));
    Store(q + 16, _mm_xor_si128(_mm_aesdeclast_si128(x1, k), c0));
    Store(q + 32, _mm_xor_si128(_mm_aesdeclast_si128(x2, k), c1));
    Store(q + 48, _mm_xor_si128(_mm_aesdeclast_si128(x3, k), c2));
    Store(q + 64, _mm_xor_si128(_mm_aesdeclast_si128(x4, k), c3));
    Store(q + 80, _mm_xor_si128(_mm_aesdeclast_si128(x5, k), c4));
    Store(q + 96, _mm_xor_si128(_mm_aesdeclast_si128(x6, k), c5));
    Store(q + 112, _mm_xor_si128(_mm_aesdeclast_si128(x7, k), c6));
    chain = c7;
  }
  for (; b < blocks; ++b) {
    const __m128i c = Load(in + 16 * b);
    Store(out + 16 * b, _mm_xor_si128(Decrypt(keys, c), chain));
    chain = c;
  }
}

#else // no AES instructions on this architecture

bool NiSupported() {
  return false;
}
void NiEncryptBlock(const AesRoundKeys&, const std::uint8_t*, std::uint8_t*) {
  std::abort();
}
void NiDecryptBlock(const AesRoundKeys&, const std::uint8_t*, std::uint8_t*) {
  std::abort();
}
void NiCbcEncrypt(const AesRoundKeys&, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                  std::size_t) {
  std::abort();
}
void NiCbcDecrypt(const AesRoundKeys&, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                  std::size_t) {
  std::abort();
}

#endif

} // namespace ket::aes_detail
