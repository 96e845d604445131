// The page transform (TransformPage) and the typed page operations of PageCodec it is built
// on: every operation code against a published AES-256-CBC vector and against the cipher's own
// page functions, on both AES paths.
#include "db/aes.h"
#include "db/key_state.h"
#include "db/page_codec.h"
#include "tests/db/test_support_aes.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace ket {
namespace {

using test::Bytes;
using test::RandomBytes;

KeyMaterial MaterialWithKey(const Bytes& key) {
  KeyMaterial material{};
  std::memcpy(material.data(), key.data(), 32);
  return material;
}

AesEncryptSchedule ScheduleOf(const KeyMaterial& material) {
  return AesEncryptSchedule(std::span<const std::uint8_t, 32>(material.data(), 32));
}

// A page enciphered with IV P gives the published vector's cipher blocks when its first block
// is the vector's first plain block xor the vector's IV xor P.
struct Sp80038a : test::Sp80038a {
  Bytes PlainPage(std::uint32_t pageNumber) const {
    Bytes page = plain;
    const AesBlock pageIv = PageIv(pageNumber);
    for (std::size_t i = 0; i < kAesBlockSize; ++i) {
      page[i] = static_cast<std::uint8_t>(page[i] ^ iv[i] ^ pageIv[i]);
    }
    return page;
  }
};

class PageTransform : public test::AesPathTest {};

TEST_P(PageTransform, EveryOperationCodeGivesThePublishedBytes) {
  const Sp80038a v;
  const std::uint32_t pgno = 0x01020304;
  const int size = static_cast<int>(v.plain.size());
  const auto codec = PageCodec::Keyed(MaterialWithKey(v.key), size);
  const Bytes plain = v.PlainPage(pgno);
  for (const int operation : {kPageEncipherForFile, kPageEncipherForJournal}) {
    SCOPED_TRACE(operation);
    Bytes page = plain;
    const std::uint8_t* out = TransformPage(*codec, page.data(), pgno, operation);
    // Into the codec's buffer; the engine's page keeps its plain bytes.
    EXPECT_EQ(out, codec->pageBuffer.data());
    EXPECT_EQ(Bytes(out, out + size), v.cipher);
    EXPECT_EQ(page, plain);
  }
  // 3 deciphers in place, and 0 and 2 are the same operation.
  for (const int operation : {kPageDecipher, 0, 2}) {
    SCOPED_TRACE(operation);
    Bytes page = v.cipher;
    EXPECT_EQ(TransformPage(*codec, page.data(), pgno, operation), page.data());
    EXPECT_EQ(page, plain);
  }
}

// During a re-key the write side holds the new key: 6 enciphers under it, 7 under the key the
// file is stored in, and the decipherment stays on the stored form. Each code gives the bytes of
// its typed operation and of the cipher's page functions.
TEST_P(PageTransform, EachCodeIsItsTypedOperation) {
  std::mt19937 rng(6);
  for (const int size : {512, 4096, 65536}) {
    SCOPED_TRACE(size);
    const KeyMaterial stored = MaterialWithKey(RandomBytes(rng, 32));
    const KeyMaterial next = MaterialWithKey(RandomBytes(rng, 32));
    KeyState keys;
    keys.Attach(PageCodec::Keyed(stored, size));
    ASSERT_TRUE(keys.BeginRekey(next, 0, size));
    PageCodec* codec = keys.Codec();
    const auto pgno = static_cast<std::uint32_t>(rng());
    const Bytes plain = RandomBytes(rng, static_cast<std::size_t>(size));
    const auto usize = static_cast<std::size_t>(size);

    Bytes forFile(usize), forJournal(usize);
    ASSERT_TRUE(EncipherPage(ScheduleOf(next), pgno, plain, forFile));
    ASSERT_TRUE(EncipherPage(ScheduleOf(stored), pgno, plain, forJournal));
    ASSERT_NE(forFile, forJournal);

    Bytes page = plain;
    const std::uint8_t* out = TransformPage(*codec, page.data(), pgno, kPageEncipherForFile);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Bytes(out, out + size), forFile);
    out = codec->EncipherForFile(plain, pgno);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Bytes(out, out + size), forFile);

    out = TransformPage(*codec, page.data(), pgno, kPageEncipherForJournal);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Bytes(out, out + size), forJournal);
    out = codec->EncipherForJournal(plain, pgno);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Bytes(out, out + size), forJournal);
    EXPECT_EQ(page, plain);

    // In place, into and out of the stored form.
    Bytes inPlace = plain;
    codec->EncipherStored(inPlace, pgno);
    EXPECT_EQ(inPlace, forJournal);
    codec->DecipherStored(inPlace, pgno);
    EXPECT_EQ(inPlace, plain);
    Bytes viaCode = forJournal;
    EXPECT_EQ(TransformPage(*codec, viaCode.data(), pgno, kPageDecipher), viaCode.data());
    EXPECT_EQ(viaCode, plain);
  }
}

// A side without a key leaves the page plain: the transform hands back the engine's own page
// unchanged, and the typed encipherment has nothing to give.
TEST_P(PageTransform, ASideWithoutAKeyLeavesThePagePlain) {
  std::mt19937 rng(60);
  const Bytes plain = RandomBytes(rng, 4096);
  const auto empty = PageCodec::Empty(4096);
  for (const int operation : {kPageDecipher, 0, 2, kPageEncipherForFile, kPageEncipherForJournal}) {
    SCOPED_TRACE(operation);
    Bytes page = plain;
    EXPECT_EQ(TransformPage(*empty, page.data(), 9, operation), page.data());
    EXPECT_EQ(page, plain);
  }
  EXPECT_EQ(empty->EncipherForFile(plain, 9), nullptr);
  EXPECT_EQ(empty->EncipherForJournal(plain, 9), nullptr);
  Bytes page = plain;
  empty->EncipherStored(page, 9);
  empty->DecipherStored(page, 9);
  EXPECT_EQ(page, plain);

  // A re-key to no key: the write side is clear, the journal still gets the stored form.
  KeyState keys;
  keys.Attach(PageCodec::Keyed(MaterialWithKey(RandomBytes(rng, 32)), 4096));
  ASSERT_TRUE(keys.BeginRekey(std::nullopt, 0, 4096));
  PageCodec* rekey = keys.Codec();
  page = plain;
  EXPECT_EQ(TransformPage(*rekey, page.data(), 9, kPageEncipherForFile), page.data());
  EXPECT_EQ(page, plain);
  const std::uint8_t* out = TransformPage(*rekey, page.data(), 9, kPageEncipherForJournal);
  EXPECT_EQ(out, rekey->pageBuffer.data());
  EXPECT_NE(Bytes(out, out + 4096), plain);
}

TEST_P(PageTransform, UnknownCodesAndAMissingBufferGiveNull) {
  std::mt19937 rng(61);
  const Bytes plain = RandomBytes(rng, 4096);
  const auto codec = PageCodec::Keyed(MaterialWithKey(RandomBytes(rng, 32)), 4096);
  for (const int operation : {1, 4, 5, 8, -1, 255}) {
    SCOPED_TRACE(operation);
    Bytes page = plain;
    EXPECT_EQ(TransformPage(*codec, page.data(), 9, operation), nullptr);
    EXPECT_EQ(page, plain);
  }
  // The buffer is gone or too small for the page: the engine's "out of memory" for the
  // encipherments; the decipherment needs no buffer and still works in place.
  Bytes cipher(4096);
  ASSERT_TRUE(EncipherPage(codec->ReadSchedule(), 9, plain, cipher));
  for (const std::size_t left : {std::size_t{0}, std::size_t{4080}}) {
    SCOPED_TRACE(left);
    codec->pageBuffer.assign(left, 0);
    Bytes page = plain;
    EXPECT_EQ(TransformPage(*codec, page.data(), 9, kPageEncipherForFile), nullptr);
    EXPECT_EQ(TransformPage(*codec, page.data(), 9, kPageEncipherForJournal), nullptr);
    EXPECT_EQ(codec->EncipherForFile(plain, 9), nullptr);
    EXPECT_EQ(codec->EncipherForJournal(plain, 9), nullptr);
    EXPECT_EQ(page, plain);
    page = cipher;
    EXPECT_EQ(TransformPage(*codec, page.data(), 9, kPageDecipher), page.data());
    EXPECT_EQ(page, plain);
  }
  // A length that is no whole number of cipher blocks: null, never the buffer's stale bytes.
  codec->pageBuffer.assign(4096, 0xA5);
  EXPECT_EQ(codec->EncipherForFile({plain.data(), 4095}, 9), nullptr);
  EXPECT_EQ(codec->EncipherForJournal({plain.data(), 24}, 9), nullptr);
  // No page size yet: nothing to encipher, nothing deciphered.
  const auto unsized = PageCodec::Keyed(MaterialWithKey(RandomBytes(rng, 32)), 0);
  Bytes page = cipher;
  EXPECT_EQ(TransformPage(*unsized, page.data(), 9, kPageEncipherForFile), nullptr);
  EXPECT_EQ(TransformPage(*unsized, page.data(), 9, kPageEncipherForJournal), nullptr);
  EXPECT_EQ(TransformPage(*unsized, page.data(), 9, kPageDecipher), page.data());
  EXPECT_EQ(page, cipher);
}

// The forms a re-key's page writes take: the new one, the journal's own bytes for the token page
// written back (a rollback), and after an abort the old one, which the page must then also be
// read and kept in (the abort's repair would otherwise turn it into garbage).
TEST_P(PageTransform, ARekeysPagesTakeTheFormTheyAreWrittenIn) {
  std::mt19937 rng(62);
  const KeyMaterial old = MaterialWithKey(RandomBytes(rng, 32));
  const KeyMaterial next = MaterialWithKey(RandomBytes(rng, 32));
  const Bytes plain = RandomBytes(rng, 4096);
  Bytes inOld(4096), inNew(4096);
  ASSERT_TRUE(EncipherPage(ScheduleOf(old), 3, plain, inOld));
  ASSERT_TRUE(EncipherPage(ScheduleOf(next), 3, plain, inNew));
  KeyState keys;
  keys.Attach(PageCodec::Keyed(old, 4096));
  ASSERT_TRUE(keys.BeginRekey(next, 2, 4096));
  ASSERT_TRUE(keys.ReservePage(3));
  Bytes stored(4096);
  keys.StorePage(3, plain, stored);
  EXPECT_EQ(stored, inNew);
  EXPECT_TRUE(keys.InNewForm(3));

  Bytes image = inOld;
  keys.JournalImageRead(3, image);
  EXPECT_EQ(image, plain);
  keys.StorePage(3, plain, stored);
  keys.WriteEnded();
  EXPECT_EQ(stored, inOld);
  EXPECT_FALSE(keys.InNewForm(3));

  keys.StorePage(3, plain, stored);
  EXPECT_TRUE(keys.InNewForm(3));
  keys.Abort();
  keys.StorePage(3, plain, stored); // a rollback's write without a token
  EXPECT_EQ(stored, inOld);
  EXPECT_FALSE(keys.InNewForm(3));
  Bytes read = stored;
  ASSERT_NE(keys.StoredForm(3), nullptr);
  DecipherPage(*keys.StoredForm(3), 3, read);
  EXPECT_EQ(read, plain);
  keys.EndAbort();
  EXPECT_TRUE(keys.Codec()->Material() == old);
}

KET_TEST_ON_BOTH_AES_PATHS(PageTransform);

} // namespace
} // namespace ket
