// SHA-256, HMAC, PBKDF2 and AES-256-CBC against published vectors; the AES tests run on every
// path this processor has.
#include "db/aes.h"
#include "db/page_codec.h"
#include "db/secure_wipe.h"
#include "db/sha256.h"
#include "tests/db/test_support_aes.h"

#include <algorithm>
#include <cstdint>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace ket {
namespace {

using test::Hex;
using test::RandomBytes;

std::vector<std::uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

template <std::size_t N> std::vector<std::uint8_t> Vec(const std::array<std::uint8_t, N>& a) {
  return {a.begin(), a.end()};
}

TEST(Sha256, FipsVectors) {
  EXPECT_EQ(Vec(Sha256::Hash({})),
            Hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
  EXPECT_EQ(Vec(Sha256::Hash(Bytes("abc"))),
            Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(Vec(Sha256::Hash(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            Hex("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"));
}

TEST(Sha256, PiecewiseUpdatesMatchOneShot) {
  // One million 'a' fed in uneven pieces: crosses every buffering case.
  const std::vector<std::uint8_t> million(1000000, 'a');
  Sha256 h;
  std::size_t done = 0;
  for (std::size_t step = 1; done < million.size(); step = step * 7 % 131 + 1) {
    const std::size_t take = std::min(step, million.size() - done);
    h.Update({million.data() + done, take});
    done += take;
  }
  EXPECT_EQ(Vec(h.Finish()),
            Hex("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
}

TEST(HmacSha256, Rfc4231) {
  EXPECT_EQ(Vec(HmacSha256(std::vector<std::uint8_t>(20, 0x0b)).Mac(Bytes("Hi There"))),
            Hex("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"));
  EXPECT_EQ(Vec(HmacSha256(Bytes("Jefe")).Mac(Bytes("what do ya want for nothing?"))),
            Hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
  // Case 6: a key longer than the block is hashed first.
  EXPECT_EQ(Vec(HmacSha256(std::vector<std::uint8_t>(131, 0xaa))
                    .Mac(Bytes("Test Using Larger Than Block-Size Key - Hash Key First"))),
            Hex("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"));
}

TEST(Pbkdf2HmacSha256, KnownVectors) {
  std::vector<std::uint8_t> out(32);
  Pbkdf2HmacSha256(Bytes("password"), Bytes("salt"), 1, out);
  EXPECT_EQ(out, Hex("120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"));
  Pbkdf2HmacSha256(Bytes("password"), Bytes("salt"), 2, out);
  EXPECT_EQ(out, Hex("ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"));
  Pbkdf2HmacSha256(Bytes("password"), Bytes("salt"), 4096, out);
  EXPECT_EQ(out, Hex("c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"));
  // More than one output block: the second block starts where the first ends.
  std::vector<std::uint8_t> longer(60);
  Pbkdf2HmacSha256(Bytes("password"), Bytes("salt"), 4096, longer);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), longer.begin()));
}

TEST(KeyMaterial, PasswordsAreUsedAsBytes) {
  const std::string longPassword(100, 'k');
  const KeyMaterial full = DeriveKeyMaterial(Bytes(longPassword));
  const KeyMaterial first64 = DeriveKeyMaterial(Bytes(longPassword.substr(0, 64)));
  EXPECT_NE(full, first64); // HMAC hashes a long key instead of cutting it
  EXPECT_NE(DeriveKeyMaterial(Bytes("Secret")), DeriveKeyMaterial(Bytes("secret")));
  const std::string material(reinterpret_cast<const char*>(full.data()), full.size());
  const auto fromMaterial = KeyFromArgument(material.data(), kKeyMaterialLength, true);
  ASSERT_TRUE(fromMaterial.has_value());
  EXPECT_EQ(*fromMaterial, full);
  EXPECT_FALSE(KeyFromArgument(material.data(), kKeyMaterialLength, false).has_value());
  EXPECT_FALSE(KeyFromArgument(material.data(), 0, true).has_value());
  EXPECT_FALSE(KeyFromArgument(material.data(), -59, true).has_value());
  EXPECT_FALSE(KeyFromArgument(nullptr, 5, true).has_value());
}

TEST(PageIv, PageNumberFourTimesLittleEndian) {
  EXPECT_EQ(Vec(PageIv(1)), Hex("01000000010000000100000001000000"));
  EXPECT_EQ(Vec(PageIv(300)), Hex("2c0100002c0100002c0100002c010000"));
}

class AesPaths : public test::AesPathTest {};

TEST_P(AesPaths, RefusesPartialBlocks) {
  const AesEncryptSchedule enc(
      std::span<const std::uint8_t, 32>(Hex(std::string(64, '7')).data(), 32));
  const AesBlock iv{};
  std::vector<std::uint8_t> in(40, 1), out(40, 9);
  EXPECT_FALSE(AesCbcEncrypt(enc, iv, in, out));
  EXPECT_EQ(out, std::vector<std::uint8_t>(40, 9));
  EXPECT_FALSE(AesCbcDecrypt(AesDecryptSchedule(enc), iv, in, out));
  EXPECT_EQ(out, std::vector<std::uint8_t>(40, 9));
}

TEST_P(AesPaths, PagesRoundTripAndDependOnTheirNumber) {
  std::mt19937 rng(7);
  const std::vector<std::uint8_t> key = RandomBytes(rng, 32);
  const AesEncryptSchedule enc(std::span<const std::uint8_t, 32>(key.data(), 32));
  const AesDecryptSchedule dec(enc);
  for (const std::size_t size : {512u, 4096u, 65536u}) {
    const std::vector<std::uint8_t> page = RandomBytes(rng, size);
    std::vector<std::uint8_t> c1(size), c1again(size), c2(size);
    ASSERT_TRUE(EncipherPage(enc, 5, page, c1));
    ASSERT_TRUE(EncipherPage(enc, 5, page, c1again));
    ASSERT_TRUE(EncipherPage(enc, 6, page, c2));
    EXPECT_EQ(c1, c1again);
    EXPECT_NE(c1, c2);
    // A leading part deciphers on its own: the IV depends only on the page number.
    std::vector<std::uint8_t> head(c1.begin(), c1.begin() + 112);
    ASSERT_TRUE(DecipherPage(dec, 5, head));
    EXPECT_TRUE(std::equal(head.begin(), head.end(), page.begin()));
    ASSERT_TRUE(DecipherPage(dec, 5, c1));
    EXPECT_EQ(c1, page);
  }
}

TEST(AesPathsAgree, PortableAndAesNiGiveTheSameBytes) {
  if (!AesNiAvailable()) {
    GTEST_SKIP() << "this processor has no AES instructions";
  }
  std::mt19937 rng(99);
  for (int round = 0; round < 20; ++round) {
    const std::vector<std::uint8_t> key = RandomBytes(rng, 32);
    const std::vector<std::uint8_t> page = RandomBytes(rng, 16 * (1 + rng() % 300));
    const AesEncryptSchedule enc(std::span<const std::uint8_t, 32>(key.data(), 32));
    const AesDecryptSchedule dec(enc);
    const auto pgno = static_cast<std::uint32_t>(rng());
    std::vector<std::uint8_t> a(page.size()), b(page.size());
    SelectAesPath(AesPath::kPortable);
    EncipherPage(enc, pgno, page, a);
    std::vector<std::uint8_t> backA = a;
    DecipherPage(dec, pgno, backA);
    SelectAesPath(AesPath::kAesNi);
    EncipherPage(enc, pgno, page, b);
    std::vector<std::uint8_t> backB = a;
    DecipherPage(dec, pgno, backB);
    EXPECT_EQ(a, b);
    EXPECT_EQ(backA, page);
    EXPECT_EQ(backB, page);
  }
  SelectAesPath(AesPath::kAesNi);
}

// ---- placement ----
//
// The 32-bit Windows heap aligns blocks to 8 bytes only, and the engine hands the cipher pages
// at whatever address it holds them. So the cipher may assume nothing of where its schedules and
// its data lie: here both are put at every distance 0..15 from a 16-byte boundary, which makes an
// access that needs 16-byte alignment fault on every run instead of by heap luck.

unsigned char* NextBoundary(unsigned char* p) {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  return p + (16 - address % 16) % 16;
}

// A T built `offset` bytes past a 16-byte boundary inside storage of its own.
template <class T> class Placed {
 public:
  template <class... Args> explicit Placed(std::size_t offset, Args&&... args) {
    object_ = ::new (NextBoundary(storage_.data()) + offset) T(std::forward<Args>(args)...);
  }
  ~Placed() {
    if (object_ != nullptr) {
      std::destroy_at(object_);
    }
  }
  Placed(const Placed&) = delete;
  Placed& operator=(const Placed&) = delete;
  T& operator*() const { return *object_; }

  // Destroys the object and returns what its storage then holds (read through volatile, so the
  // reads really happen).
  std::vector<std::uint8_t> DestroyAndRead() {
    auto* at = reinterpret_cast<const volatile unsigned char*>(object_);
    std::destroy_at(object_);
    object_ = nullptr;
    std::vector<std::uint8_t> remains(sizeof(T));
    for (std::size_t i = 0; i < remains.size(); ++i) {
      remains[i] = at[i];
    }
    return remains;
  }

 private:
  std::array<unsigned char, sizeof(T) + 32> storage_{};
  T* object_ = nullptr;
};

// `size` bytes starting `offset` bytes past a 16-byte boundary.
class PlacedBytes {
 public:
  PlacedBytes(std::size_t offset, std::size_t size) : storage_(size + 32) {
    span_ = {NextBoundary(storage_.data()) + offset, size};
  }
  std::span<std::uint8_t> Span() const { return span_; }
  void Fill(const std::vector<std::uint8_t>& bytes) const {
    std::copy(bytes.begin(), bytes.end(), span_.begin());
  }
  std::vector<std::uint8_t> Bytes() const { return {span_.begin(), span_.end()}; }

 private:
  std::vector<std::uint8_t> storage_;
  std::span<std::uint8_t> span_;
};

// The published vectors (FIPS-197's AES-256 block, SP 800-38A's CBC-AES256), and longer data
// against the portable path, with schedules and data at every placement.
TEST_P(AesPaths, SchedulesAndDataAtAnyPlacement) {
  const auto [key, iv, plain, cipher] = test::Sp80038a();
  const std::span<const std::uint8_t, 16> ivSpan(iv.data(), 16);
  const auto blockKey = Hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const auto blockPlain = Hex("00112233445566778899aabbccddeeff");
  const auto blockCipher = Hex("8ea2b7ca516745bfeafc49904b496089");
  // 23 blocks: two rounds of the eight-lane decryption and seven single blocks after them.
  std::mt19937 rng(2024);
  const std::vector<std::uint8_t> page = RandomBytes(rng, 23 * 16);
  // The reference for the longer data: the portable path with schedules and data where the
  // compiler put them (its instance of this test checks it against the published vectors).
  std::vector<std::uint8_t> reference(page.size());
  {
    SelectAesPath(AesPath::kPortable);
    const AesEncryptSchedule enc(std::span<const std::uint8_t, 32>(key.data(), 32));
    ASSERT_TRUE(AesCbcEncrypt(enc, ivSpan, page, reference));
    SelectAesPath(GetParam());
  }

  std::vector<std::string> wrong;
  auto check = [&](bool good, std::size_t keys, std::size_t data, const char* what) {
    if (!good) {
      wrong.push_back("keys+" + std::to_string(keys) + " data+" + std::to_string(data) + " " +
                      what);
    }
  };
  for (std::size_t k = 0; k < 16; ++k) {
    const Placed<AesEncryptSchedule> enc(k, std::span<const std::uint8_t, 32>(key.data(), 32));
    const Placed<AesDecryptSchedule> dec(k, std::span<const std::uint8_t, 32>(key.data(), 32));
    const Placed<AesDecryptSchedule> decFromEnc(15 - k, *enc);
    const Placed<AesEncryptSchedule> blockEnc(
        k, std::span<const std::uint8_t, 32>(blockKey.data(), 32));
    const Placed<AesDecryptSchedule> blockDec(
        k, std::span<const std::uint8_t, 32>(blockKey.data(), 32));
    for (std::size_t d = 0; d < 16; ++d) {
      // Out of place, source and target at different distances from a boundary.
      const PlacedBytes in(d, plain.size());
      const PlacedBytes out((d + 9) % 16, plain.size());
      in.Fill(plain);
      check(AesCbcEncrypt(*enc, ivSpan, in.Span(), out.Span()) && out.Bytes() == cipher, k, d,
            "encrypt vector");
      // In place, as the codec deciphers pages.
      check(AesCbcDecrypt(*dec, ivSpan, out.Span(), out.Span()) && out.Bytes() == plain, k, d,
            "decrypt vector in place");
      const PlacedBytes longIn(d, page.size());
      const PlacedBytes longOut(15 - d, page.size());
      longIn.Fill(page);
      check(AesCbcEncrypt(*enc, ivSpan, longIn.Span(), longOut.Span()) &&
                longOut.Bytes() == reference,
            k, d, "encrypt 23 blocks");
      check(AesCbcDecrypt(*decFromEnc, ivSpan, longOut.Span(), longIn.Span()) &&
                longIn.Bytes() == page,
            k, d, "decrypt 23 blocks");
      const PlacedBytes block(d, 16);
      const PlacedBytes blockOut((d + 3) % 16, 16);
      block.Fill(blockPlain);
      AesEncryptBlock(*blockEnc, std::span<const std::uint8_t, 16>(block.Span().data(), 16),
                      std::span<std::uint8_t, 16>(blockOut.Span().data(), 16));
      check(blockOut.Bytes() == blockCipher, k, d, "encrypt block");
      AesDecryptBlock(*blockDec, std::span<const std::uint8_t, 16>(blockOut.Span().data(), 16),
                      std::span<std::uint8_t, 16>(block.Span().data(), 16));
      check(block.Bytes() == blockPlain, k, d, "decrypt block");
    }
  }
  EXPECT_THAT(wrong, ::testing::IsEmpty());
}

// The codec record as the heap hands it out: at every distance from a 16-byte boundary that an
// allocator aligning to 8 bytes (or to the record's own alignment, if less) can give.
TEST_P(AesPaths, PageCodecAtHeapAlignment) {
  const KeyMaterial material = DeriveKeyMaterial(Bytes("xq_plume_vortex_731_bells"));
  const AesEncryptSchedule enc(std::span<const std::uint8_t, 32>(material.data(), 32));
  std::mt19937 rng(5);
  const std::vector<std::uint8_t> page = RandomBytes(rng, 4096);
  std::vector<std::uint8_t> expected(page.size());
  ASSERT_TRUE(EncipherPage(enc, 77, page, expected));
  const std::size_t step = std::min<std::size_t>(alignof(PageCodec), 8);
  for (std::size_t offset = 0; offset < 16; offset += step) {
    SCOPED_TRACE(offset);
    const Placed<PageCodec> codec(offset);
    (*codec).SetAllSides(material);
    (*codec).SetPageSize(4096);
    for (const std::size_t d : {0u, 4u, 8u, 12u}) {
      const PlacedBytes data(d, page.size());
      data.Fill(page);
      for (const int op : {kPageEncipherForFile, kPageEncipherForJournal}) {
        const std::uint8_t* stored = TransformPage(*codec, data.Span().data(), 77, op);
        ASSERT_NE(stored, nullptr);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stored)) << d << " " << op;
      }
      std::copy(expected.begin(), expected.end(), data.Span().begin());
      EXPECT_EQ(TransformPage(*codec, data.Span().data(), 77, kPageDecipher), data.Span().data());
      EXPECT_EQ(data.Bytes(), page) << d;
    }
  }
}

// Whatever asks for more alignment than the heap keeps gets it from new all the same (the
// 32-bit Windows heap keeps 8 bytes; the build sends such types through aligned new).
TEST(HeapAlignment, OverAlignedTypesGetTheirAlignmentFromNew) {
  struct alignas(16) Wide {
    std::array<std::uint8_t, 24> bytes{};
  };
  std::vector<std::unique_ptr<Wide>> objects;
  std::vector<std::unique_ptr<std::uint8_t[]>> spacers; // shift the heap between objects
  for (std::size_t i = 0; i < 64; ++i) {
    objects.push_back(std::make_unique<Wide>());
    spacers.push_back(std::make_unique<std::uint8_t[]>(1 + i % 13));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(objects.back().get()) % 16, 0u) << i;
  }
  std::vector<Wide> block(5);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.data()) % 16, 0u);
}

// ---- wiping ----
//
// Keys leave nothing behind: once a schedule, key material, a hash or HMAC state or a codec
// record is gone, its storage holds nothing of the key.

bool AllZero(const std::vector<std::uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Whether any 8-byte piece of `secret` occurs in `bytes`.
bool HoldsAPieceOf(const std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> secret) {
  for (std::size_t at = 0; at + 8 <= secret.size(); at += 8) {
    const auto piece = secret.subspan(at, 8);
    if (std::search(bytes.begin(), bytes.end(), piece.begin(), piece.end()) != bytes.end()) {
      return true;
    }
  }
  return false;
}

KeyMaterial TestMaterial() {
  return DeriveKeyMaterial(Bytes("xq_plume_vortex_731_bells"));
}

TEST(Wiping, SchedulesKeyMaterialHashAndHmacStatesAreWipedWhenTheyGo) {
  const KeyMaterial material = TestMaterial();
  const std::span<const std::uint8_t, 32> key(material.data(), 32);
  const AesEncryptSchedule enc(key);
  EXPECT_TRUE(AllZero(Placed<AesEncryptSchedule>(0, key).DestroyAndRead()));
  EXPECT_TRUE(AllZero(Placed<AesDecryptSchedule>(0, key).DestroyAndRead()));
  EXPECT_TRUE(AllZero(Placed<AesDecryptSchedule>(0, enc).DestroyAndRead()));
  EXPECT_TRUE(AllZero(Placed<KeyMaterial>(0, material).DestroyAndRead()));
  Placed<KeyMaterial> assigned(0);
  *assigned = material;
  EXPECT_TRUE(AllZero(assigned.DestroyAndRead()));

  const auto password = Bytes("xq_plume_vortex_731_bells");
  EXPECT_TRUE(AllZero(Placed<HmacSha256>(0, password).DestroyAndRead()));
  // A long key is hashed first.
  EXPECT_TRUE(
      AllZero(Placed<HmacSha256>(0, std::vector<std::uint8_t>(100, 0x42)).DestroyAndRead()));
  Placed<Sha256> hash(0);
  (*hash).Update(password);
  EXPECT_TRUE(AllZero(hash.DestroyAndRead()));
}

TEST(Wiping, ACodecRecordKeepsNothingOfItsKey) {
  const KeyMaterial material = TestMaterial();
  const std::span<const std::uint8_t, 32> key(material.data(), 32);
  const AesEncryptSchedule enc(key);
  const AesDecryptSchedule dec(enc);
  Placed<PageCodec> codec(0);
  (*codec).SetAllSides(material);
  (*codec).SetPageSize(512);
  const std::vector<std::uint8_t> remains = codec.DestroyAndRead();
  EXPECT_FALSE(HoldsAPieceOf(remains, material));
  EXPECT_FALSE(HoldsAPieceOf(remains, enc.Keys().bytes));
  EXPECT_FALSE(HoldsAPieceOf(remains, dec.Keys().bytes));
  EXPECT_FALSE(HoldsAPieceOf(remains, enc.Keys().words));
  EXPECT_FALSE(HoldsAPieceOf(remains, dec.Keys().words));
}

// An allocator that keeps a copy of every block handed back to it, as it was at that moment.
template <class T> struct Recording {
  using value_type = T;
  explicit Recording(std::vector<std::vector<std::uint8_t>>* blocks) : seen(blocks) {}
  template <class U> Recording(const Recording<U>& other) : seen(other.seen) {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(p);
    seen->emplace_back(bytes, bytes + n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  friend bool operator==(const Recording& a, const Recording& b) { return a.seen == b.seen; }
  std::vector<std::vector<std::uint8_t>>* seen;
};

TEST(Wiping, BuffersWipeEveryBlockTheyGiveBack) {
  static_assert(std::is_same_v<SecretBytes::allocator_type, WipingAllocator<std::uint8_t>>);
  std::vector<std::vector<std::uint8_t>> seen;
  {
    using Alloc = WipingAllocator<std::uint8_t, Recording<std::uint8_t>>;
    std::vector<std::uint8_t, Alloc> buffer{Alloc(Recording<std::uint8_t>(&seen))};
    buffer.assign(100, 0xab);
    buffer.resize(5000, 0xcd); // moves to a bigger block and hands back the first
    EXPECT_EQ(seen.size(), 1u);
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_GE(seen[0].size(), 100u);
  EXPECT_GE(seen[1].size(), 5000u);
  for (const auto& block : seen) {
    EXPECT_TRUE(AllZero(block));
  }
  std::array<std::uint8_t, 37> local;
  local.fill(0x77);
  SecureWipe(local.data(), local.size());
  EXPECT_TRUE(AllZero({local.begin(), local.end()}));
}

KET_TEST_ON_BOTH_AES_PATHS(AesPaths);

} // namespace
} // namespace ket
