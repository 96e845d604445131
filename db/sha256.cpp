#include "db/sha256.h"

#include "db/bytes.h"

#include <algorithm>
#include <cstring>

namespace ket {
namespace {

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

} // namespace

void Sha256::Reset() {
  state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  buffered_ = 0;
  length_ = 0;
}

void Sha256::Compress(const std::uint8_t* block) {
  std::array<std::uint32_t, 64> w;
  for (int i = 0; i < 16; ++i) {
    w[i] = LoadBe32(block + 4 * i);
  }
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
    const std::uint32_t ch = (e & f) ^ (~e & g);
    const std::uint32_t t1 = h + s1 + ch + kRound[i] + w[i];
    const std::uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
    const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t t2 = s0 + maj;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
  SecureWipe(w.data(), sizeof w); // the message schedule of a padded key is key material
}

void Sha256::Update(std::span<const std::uint8_t> data) {
  // An empty span may have a null pointer, which memcpy must not get even for no bytes.
  if (data.empty()) {
    return;
  }
  length_ += data.size();
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  if (buffered_ > 0) {
    const std::size_t take = std::min(n, kBlockSize - buffered_);
    std::memcpy(buffer_.data() + buffered_, p, take);
    buffered_ += take;
    p += take;
    n -= take;
    if (buffered_ < kBlockSize) {
      return;
    }
    Compress(buffer_.data());
    buffered_ = 0;
  }
  for (; n >= kBlockSize; p += kBlockSize, n -= kBlockSize) {
    Compress(p);
  }
  if (n > 0) {
    std::memcpy(buffer_.data(), p, n);
    buffered_ = n;
  }
}

Sha256Digest Sha256::Finish() {
  const std::uint64_t bits = length_ * 8;
  buffer_[buffered_++] = 0x80;
  if (buffered_ > kBlockSize - 8) {
    std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_), buffer_.end(), 0);
    Compress(buffer_.data());
    buffered_ = 0;
  }
  std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_), buffer_.end() - 8, 0);
  StoreBe32(buffer_.data() + 56, static_cast<std::uint32_t>(bits >> 32));
  StoreBe32(buffer_.data() + 60, static_cast<std::uint32_t>(bits));
  Compress(buffer_.data());
  Sha256Digest out;
  for (int i = 0; i < 8; ++i) {
    StoreBe32(out.data() + 4 * i, state_[i]);
  }
  Reset();
  return out;
}

Sha256Digest Sha256::Hash(std::span<const std::uint8_t> data) {
  Sha256 h;
  h.Update(data);
  return h.Finish();
}

HmacSha256::HmacSha256(std::span<const std::uint8_t> key) {
  std::array<std::uint8_t, Sha256::kBlockSize> block{};
  if (key.size() > block.size()) {
    Sha256Digest hashed = Sha256::Hash(key);
    std::copy(hashed.begin(), hashed.end(), block.begin());
    SecureWipe(hashed.data(), hashed.size());
  } else {
    std::copy(key.begin(), key.end(), block.begin());
  }
  std::array<std::uint8_t, Sha256::kBlockSize> pad;
  for (std::size_t i = 0; i < pad.size(); ++i) {
    pad[i] = static_cast<std::uint8_t>(block[i] ^ 0x36);
  }
  inner_.Update(pad);
  for (std::size_t i = 0; i < pad.size(); ++i) {
    pad[i] = static_cast<std::uint8_t>(block[i] ^ 0x5c);
  }
  outer_.Update(pad);
  SecureWipe(pad.data(), pad.size());
  SecureWipe(block.data(), block.size());
}

Sha256Digest HmacSha256::Mac(std::span<const std::uint8_t> message) const {
  return Mac(message, {});
}

Sha256Digest HmacSha256::Mac(std::span<const std::uint8_t> head,
                             std::span<const std::uint8_t> tail) const {
  Sha256 inner = inner_;
  inner.Update(head);
  inner.Update(tail);
  Sha256Digest innerDigest = inner.Finish();
  Sha256 outer = outer_;
  outer.Update(innerDigest);
  SecureWipe(innerDigest.data(), innerDigest.size());
  return outer.Finish();
}

void Pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                      std::uint32_t iterations, std::span<std::uint8_t> out) {
  const HmacSha256 prf(password);
  std::uint32_t blockIndex = 1;
  for (std::size_t done = 0; done < out.size(); ++blockIndex) {
    std::array<std::uint8_t, 4> index;
    StoreBe32(index.data(), blockIndex);
    Sha256Digest u = prf.Mac(salt, index); // U1 = PRF(P, S || INT(i))
    Sha256Digest t = u;
    for (std::uint32_t k = 1; k < iterations; ++k) {
      u = prf.Mac(u);
      for (std::size_t j = 0; j < t.size(); ++j) {
        t[j] ^= u[j];
      }
    }
    const std::size_t take = std::min(t.size(), out.size() - done);
    std::copy_n(t.begin(), take, out.begin() + static_cast<std::ptrdiff_t>(done));
    done += take;
    SecureWipe(u.data(), u.size());
    SecureWipe(t.data(), t.size());
  }
}

} // namespace ket
