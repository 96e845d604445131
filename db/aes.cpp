#include "db/aes.h"

#include "db/bytes.h"

#include <atomic>
#include <cstring>

namespace ket {
namespace {

// GF(2^8) arithmetic modulo x^8 + x^4 + x^3 + x + 1, used only to build the tables at compile
// time.
constexpr std::uint8_t Xtime(std::uint8_t x) {
  return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}

constexpr std::uint8_t GfMul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t r = 0;
  while (b) {
    if (b & 1) {
      r ^= a;
    }
    a = Xtime(a);
    b >>= 1;
  }
  return r;
}

struct Tables {
  std::array<std::uint8_t, 256> sbox{};
  std::array<std::uint8_t, 256> inverse{};
  std::array<std::array<std::uint32_t, 256>, 4> te{};
  std::array<std::array<std::uint32_t, 256>, 4> td{};
};

constexpr std::uint32_t Rotr8(std::uint32_t x) {
  return (x >> 8) | (x << 24);
}

constexpr Tables MakeTables() {
  Tables t;
  // The S-box: multiplicative inverse followed by the affine map (FIPS 197 5.1.1).
  for (int x = 0; x < 256; ++x) {
    std::uint8_t inv = 0;
    for (int y = 1; y < 256 && x != 0; ++y) {
      if (GfMul(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)) == 1) {
        inv = static_cast<std::uint8_t>(y);
        break;
      }
    }
    std::uint8_t s = inv;
    std::uint8_t r = inv;
    for (int i = 0; i < 4; ++i) {
      r = static_cast<std::uint8_t>((r << 1) | (r >> 7));
      s ^= r;
    }
    s ^= 0x63;
    t.sbox[x] = s;
    t.inverse[s] = static_cast<std::uint8_t>(x);
  }
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t s = t.sbox[x];
    const std::uint32_t e = (std::uint32_t{GfMul(s, 2)} << 24) | (std::uint32_t{s} << 16) |
                            (std::uint32_t{s} << 8) | std::uint32_t{GfMul(s, 3)};
    const std::uint8_t v = t.inverse[x];
    const std::uint32_t d = (std::uint32_t{GfMul(v, 14)} << 24) |
                            (std::uint32_t{GfMul(v, 9)} << 16) |
                            (std::uint32_t{GfMul(v, 13)} << 8) | std::uint32_t{GfMul(v, 11)};
    t.te[0][x] = e;
    t.te[1][x] = Rotr8(e);
    t.te[2][x] = Rotr8(Rotr8(e));
    t.te[3][x] = Rotr8(Rotr8(Rotr8(e)));
    t.td[0][x] = d;
    t.td[1][x] = Rotr8(d);
    t.td[2][x] = Rotr8(Rotr8(d));
    t.td[3][x] = Rotr8(Rotr8(Rotr8(d)));
  }
  return t;
}

constexpr Tables kTables = MakeTables();

std::uint32_t SubWord(std::uint32_t w) {
  const auto& s = kTables.sbox;
  return (std::uint32_t{s[w >> 24]} << 24) | (std::uint32_t{s[(w >> 16) & 0xff]} << 16) |
         (std::uint32_t{s[(w >> 8) & 0xff]} << 8) | std::uint32_t{s[w & 0xff]};
}

std::uint32_t InvMixColumn(std::uint32_t w) {
  // Td[k][S[b]] is InvMixColumns applied to b in row k, so the S-box cancels the inverse S-box.
  const auto& s = kTables.sbox;
  const auto& td = kTables.td;
  return td[0][s[w >> 24]] ^ td[1][s[(w >> 16) & 0xff]] ^ td[2][s[(w >> 8) & 0xff]] ^
         td[3][s[w & 0xff]];
}

using Words = std::array<std::uint32_t, AesRoundKeys::kWords>;

void Store(const Words& w, AesRoundKeys& keys) {
  for (std::size_t i = 0; i < w.size(); ++i) {
    keys.SetWord(i, w[i]);
    StoreBe32(keys.bytes.data() + 4 * i, w[i]);
  }
}

void ExpandKey(std::span<const std::uint8_t, 32> key, AesRoundKeys& keys) {
  Words w;
  for (int i = 0; i < 8; ++i) {
    w[i] = LoadBe32(key.data() + 4 * i);
  }
  std::uint32_t rcon = 0x01000000;
  for (std::size_t i = 8; i < w.size(); ++i) {
    std::uint32_t temp = w[i - 1];
    if (i % 8 == 0) {
      temp = SubWord((temp << 8) | (temp >> 24)) ^ rcon;
      rcon = std::uint32_t{Xtime(static_cast<std::uint8_t>(rcon >> 24))} << 24;
    } else if (i % 8 == 4) {
      temp = SubWord(temp);
    }
    w[i] = w[i - 8] ^ temp;
  }
  Store(w, keys);
  SecureWipe(w.data(), sizeof w);
}

void InvertSchedule(const AesRoundKeys& enc, AesRoundKeys& dec) {
  Words w;
  for (int r = 0; r <= kAes256Rounds; ++r) {
    for (int c = 0; c < 4; ++c) {
      const std::uint32_t k = enc.Word(4 * (kAes256Rounds - r) + c);
      w[4 * r + c] = (r == 0 || r == kAes256Rounds) ? k : InvMixColumn(k);
    }
  }
  Store(w, dec);
  SecureWipe(w.data(), sizeof w);
}

// Walks the schedule's words four at a time, as the rounds use them.
class RoundKey {
 public:
  explicit RoundKey(const AesRoundKeys& keys) : keys_(keys) {}
  std::uint32_t operator[](std::size_t i) const { return keys_.Word(first_ + i); }
  RoundKey& operator+=(std::size_t n) {
    first_ += n;
    return *this;
  }

 private:
  const AesRoundKeys& keys_;
  std::size_t first_ = 0;
};

void PortableEncrypt(const AesRoundKeys& keys, const std::uint8_t* in, std::uint8_t* out) {
  const auto& te = kTables.te;
  const auto& s = kTables.sbox;
  RoundKey rk(keys);
  std::uint32_t s0 = LoadBe32(in) ^ rk[0];
  std::uint32_t s1 = LoadBe32(in + 4) ^ rk[1];
  std::uint32_t s2 = LoadBe32(in + 8) ^ rk[2];
  std::uint32_t s3 = LoadBe32(in + 12) ^ rk[3];
  for (int r = 1; r < kAes256Rounds; ++r) {
    rk += 4;
    const std::uint32_t t0 = te[0][s0 >> 24] ^ te[1][(s1 >> 16) & 0xff] ^ te[2][(s2 >> 8) & 0xff] ^
                             te[3][s3 & 0xff] ^ rk[0];
    const std::uint32_t t1 = te[0][s1 >> 24] ^ te[1][(s2 >> 16) & 0xff] ^ te[2][(s3 >> 8) & 0xff] ^
                             te[3][s0 & 0xff] ^ rk[1];
    const std::uint32_t t2 = te[0][s2 >> 24] ^ te[1][(s3 >> 16) & 0xff] ^ te[2][(s0 >> 8) & 0xff] ^
                             te[3][s1 & 0xff] ^ rk[2];
    const std::uint32_t t3 = te[0][s3 >> 24] ^ te[1][(s0 >> 16) & 0xff] ^ te[2][(s1 >> 8) & 0xff] ^
                             te[3][s2 & 0xff] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  auto last = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t k) {
    return ((std::uint32_t{s[a >> 24]} << 24) | (std::uint32_t{s[(b >> 16) & 0xff]} << 16) |
            (std::uint32_t{s[(c >> 8) & 0xff]} << 8) | std::uint32_t{s[d & 0xff]}) ^
           k;
  };
  StoreBe32(out, last(s0, s1, s2, s3, rk[0]));
  StoreBe32(out + 4, last(s1, s2, s3, s0, rk[1]));
  StoreBe32(out + 8, last(s2, s3, s0, s1, rk[2]));
  StoreBe32(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void PortableDecrypt(const AesRoundKeys& keys, const std::uint8_t* in, std::uint8_t* out) {
  const auto& td = kTables.td;
  const auto& si = kTables.inverse;
  RoundKey rk(keys);
  std::uint32_t s0 = LoadBe32(in) ^ rk[0];
  std::uint32_t s1 = LoadBe32(in + 4) ^ rk[1];
  std::uint32_t s2 = LoadBe32(in + 8) ^ rk[2];
  std::uint32_t s3 = LoadBe32(in + 12) ^ rk[3];
  for (int r = 1; r < kAes256Rounds; ++r) {
    rk += 4;
    const std::uint32_t t0 = td[0][s0 >> 24] ^ td[1][(s3 >> 16) & 0xff] ^ td[2][(s2 >> 8) & 0xff] ^
                             td[3][s1 & 0xff] ^ rk[0];
    const std::uint32_t t1 = td[0][s1 >> 24] ^ td[1][(s0 >> 16) & 0xff] ^ td[2][(s3 >> 8) & 0xff] ^
                             td[3][s2 & 0xff] ^ rk[1];
    const std::uint32_t t2 = td[0][s2 >> 24] ^ td[1][(s1 >> 16) & 0xff] ^ td[2][(s0 >> 8) & 0xff] ^
                             td[3][s3 & 0xff] ^ rk[2];
    const std::uint32_t t3 = td[0][s3 >> 24] ^ td[1][(s2 >> 16) & 0xff] ^ td[2][(s1 >> 8) & 0xff] ^
                             td[3][s0 & 0xff] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  auto last = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t k) {
    return ((std::uint32_t{si[a >> 24]} << 24) | (std::uint32_t{si[(b >> 16) & 0xff]} << 16) |
            (std::uint32_t{si[(c >> 8) & 0xff]} << 8) | std::uint32_t{si[d & 0xff]}) ^
           k;
  };
  StoreBe32(out, last(s0, s3, s2, s1, rk[0]));
  StoreBe32(out + 4, last(s1, s0, s3, s2, rk[1]));
  StoreBe32(out + 8, last(s2, s1, s0, s3, rk[2]));
  StoreBe32(out + 12, last(s3, s2, s1, s0, rk[3]));
}

void XorBlock(std::uint8_t* dst, const std::uint8_t* a, const std::uint8_t* b) {
  for (std::size_t i = 0; i < kAesBlockSize; ++i) {
    dst[i] = static_cast<std::uint8_t>(a[i] ^ b[i]);
  }
}

void PortableCbcEncrypt(const AesRoundKeys& keys, const std::uint8_t* iv, const std::uint8_t* in,
                        std::uint8_t* out, std::size_t blocks) {
  std::uint8_t chain[kAesBlockSize];
  std::memcpy(chain, iv, kAesBlockSize);
  for (std::size_t b = 0; b < blocks; ++b) {
    std::uint8_t x[kAesBlockSize];
    XorBlock(x, in + b * kAesBlockSize, chain);
    PortableEncrypt(keys, x, chain);
    std::memcpy(out + b * kAesBlockSize, chain, kAesBlockSize);
  }
}

void PortableCbcDecrypt(const AesRoundKeys& keys, const std::uint8_t* iv, const std::uint8_t* in,
                        std::uint8_t* out, std::size_t blocks) {
  std::uint8_t chain[kAesBlockSize];
  std::memcpy(chain, iv, kAesBlockSize);
  for (std::size_t b = 0; b < blocks; ++b) {
    std::uint8_t cipher[kAesBlockSize]; // kept: in and out may be the same bytes
    std::memcpy(cipher, in + b * kAesBlockSize, kAesBlockSize);
    std::uint8_t plain[kAesBlockSize];
    PortableDecrypt(keys, cipher, plain);
    XorBlock(out + b * kAesBlockSize, plain, chain);
    std::memcpy(chain, cipher, kAesBlockSize);
  }
}

std::atomic<AesPath>& PathSetting() {
  static std::atomic<AesPath> path{AesNiAvailable() ? AesPath::kAesNi : AesPath::kPortable};
  return path;
}

bool UseNi() {
  return PathSetting().load(std::memory_order_relaxed) == AesPath::kAesNi;
}

} // namespace

AesEncryptSchedule::AesEncryptSchedule(std::span<const std::uint8_t, 32> key) {
  ExpandKey(key, keys_);
}

AesDecryptSchedule::AesDecryptSchedule(std::span<const std::uint8_t, 32> key)
    : AesDecryptSchedule(AesEncryptSchedule(key)) {}

AesDecryptSchedule::AesDecryptSchedule(const AesEncryptSchedule& encrypt) {
  InvertSchedule(encrypt.Keys(), keys_);
}

void AesEncryptBlock(const AesEncryptSchedule& schedule, std::span<const std::uint8_t, 16> in,
                     std::span<std::uint8_t, 16> out) {
  if (UseNi()) {
    aes_detail::NiEncryptBlock(schedule.Keys(), in.data(), out.data());
  } else {
    PortableEncrypt(schedule.Keys(), in.data(), out.data());
  }
}

void AesDecryptBlock(const AesDecryptSchedule& schedule, std::span<const std::uint8_t, 16> in,
                     std::span<std::uint8_t, 16> out) {
  if (UseNi()) {
    aes_detail::NiDecryptBlock(schedule.Keys(), in.data(), out.data());
  } else {
    PortableDecrypt(schedule.Keys(), in.data(), out.data());
  }
}

bool AesCbcEncrypt(const AesEncryptSchedule& schedule, std::span<const std::uint8_t, 16> iv,
                   std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (in.size() % kAesBlockSize != 0 || out.size() != in.size()) {
    return false;
  }
  const std::size_t blocks = in.size() / kAesBlockSize;
  if (UseNi()) {
    aes_detail::NiCbcEncrypt(schedule.Keys(), iv.data(), in.data(), out.data(), blocks);
  } else {
    PortableCbcEncrypt(schedule.Keys(), iv.data(), in.data(), out.data(), blocks);
  }
  return true;
}

bool AesCbcDecrypt(const AesDecryptSchedule& schedule, std::span<const std::uint8_t, 16> iv,
                   std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (in.size() % kAesBlockSize != 0 || out.size() != in.size()) {
    return false;
  }
  const std::size_t blocks = in.size() / kAesBlockSize;
  if (UseNi()) {
    aes_detail::NiCbcDecrypt(schedule.Keys(), iv.data(), in.data(), out.data(), blocks);
  } else {
    PortableCbcDecrypt(schedule.Keys(), iv.data(), in.data(), out.data(), blocks);
  }
  return true;
}

bool AesNiAvailable() {
  static const bool available = aes_detail::NiSupported();
  return available;
}

AesPath ActiveAesPath() {
  return PathSetting().load();
}

bool SelectAesPath(AesPath path) {
  if (path == AesPath::kAesNi && !AesNiAvailable()) {
    return false;
  }
  PathSetting().store(path);
  return true;
}

} // namespace ket
