// OpenSSL's libcrypto as an independent oracle (a test dependency only, never linked into the
// product): the cipher on random keys and pages, the key derivation, and the stored form of a
// database the shape of the shipped city database, re-keyed by the connection object and by a
// whole installation run of ketro-install.
#include "base/text.h"
#include "db/aes.h"
#include "db/city_database_rekeyer.h"
#include "db/page_codec.h"
#include "db/sha256.h"
#include "tests/db/test_support.h"
#include "tests/db/test_support_aes.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <random>

namespace ket {
namespace {

using test::Bytes;
using test::RandomBytes;

Bytes OpenSslCbc(bool encrypt, const Bytes& key, const AesBlock& iv, const Bytes& in) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EXPECT_EQ(
      EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0),
      1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  Bytes out(in.size());
  int n = 0;
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
  EXPECT_EQ(static_cast<std::size_t>(n), in.size());
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

KeyMaterial OpenSslKeyMaterial(std::string_view password) {
  KeyMaterial out{};
  EXPECT_EQ(PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), kCodecSalt.data(),
                              static_cast<int>(kCodecSalt.size()), static_cast<int>(kKdfIterations),
                              EVP_sha256(), static_cast<int>(out.size()), out.data()),
            1);
  return out;
}

// Every page of `file` deciphered by OpenSSL, the key derived by OpenSSL too.
Bytes OpenSslDecipherFile(const Bytes& file, std::string_view password, std::size_t pageSize) {
  const KeyMaterial material = OpenSslKeyMaterial(password);
  const Bytes key(material.begin(), material.begin() + 32);
  Bytes plain;
  plain.reserve(file.size());
  for (std::size_t off = 0; off < file.size(); off += pageSize) {
    const Bytes page(file.begin() + static_cast<std::ptrdiff_t>(off),
                     file.begin() + static_cast<std::ptrdiff_t>(off + pageSize));
    const Bytes out =
        OpenSslCbc(false, key, PageIv(static_cast<std::uint32_t>(off / pageSize + 1)), page);
    plain.insert(plain.end(), out.begin(), out.end());
  }
  return plain;
}

class OracleAesPaths : public test::AesPathTest {};

TEST_P(OracleAesPaths, CbcPagesMatchOpenSsl) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 200; ++round) {
    const Bytes key = RandomBytes(rng, 32);
    const std::size_t size = std::size_t{512} << (rng() % 8); // 512 .. 65536
    const Bytes page = RandomBytes(rng, size);
    const auto pgno = static_cast<std::uint32_t>(rng());
    const AesEncryptSchedule enc(std::span<const std::uint8_t, 32>(key.data(), 32));
    Bytes ours(size);
    ASSERT_TRUE(EncipherPage(enc, pgno, page, ours));
    ASSERT_EQ(ours, OpenSslCbc(true, key, PageIv(pgno), page)) << round;
    const Bytes cipher = RandomBytes(rng, size);
    Bytes back = cipher;
    ASSERT_TRUE(DecipherPage(AesDecryptSchedule(enc), pgno, back));
    ASSERT_EQ(back, OpenSslCbc(false, key, PageIv(pgno), cipher)) << round;
  }
}

// The page transform's encipherments and its decipherment under key material derived by
// OpenSSL, for the operation codes the engine passes.
TEST_P(OracleAesPaths, PageTransformMatchesOpenSsl) {
  std::mt19937 rng(4096);
  for (int round = 0; round < 40; ++round) {
    const std::string password(1 + rng() % 40, static_cast<char>('a' + rng() % 26));
    const KeyMaterial material = OpenSslKeyMaterial(password);
    const Bytes key(material.begin(), material.begin() + 32);
    const int pageSize = 512 << (rng() % 8);
    const auto codec = PageCodec::Keyed(material, pageSize);
    const Bytes page = RandomBytes(rng, static_cast<std::size_t>(pageSize));
    const auto pgno = static_cast<std::uint32_t>(rng());
    const Bytes expected = OpenSslCbc(true, key, PageIv(pgno), page);
    for (const int operation : {kPageEncipherForFile, kPageEncipherForJournal}) {
      Bytes in = page;
      const std::uint8_t* out = TransformPage(*codec, in.data(), pgno, operation);
      ASSERT_NE(out, nullptr);
      ASSERT_EQ(Bytes(out, out + pageSize), expected) << round << " " << operation;
    }
    Bytes stored = expected;
    ASSERT_EQ(TransformPage(*codec, stored.data(), pgno, kPageDecipher), stored.data());
    ASSERT_EQ(stored, page) << round;
  }
}

KET_TEST_ON_BOTH_AES_PATHS(OracleAesPaths);

TEST(OracleKdf, HmacAndPbkdf2MatchOpenSsl) {
  std::mt19937 rng(77);
  for (int round = 0; round < 50; ++round) {
    const Bytes key = RandomBytes(rng, rng() % 200);
    const Bytes message = RandomBytes(rng, rng() % 500);
    unsigned char mac[32];
    unsigned int macLength = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(),
         mac, &macLength);
    const Sha256Digest ours = HmacSha256(key).Mac(message);
    ASSERT_EQ(Bytes(ours.begin(), ours.end()), Bytes(mac, mac + macLength));

    const std::string password(key.begin(), key.end());
    if (!password.empty()) {
      const KeyMaterial material = DeriveKeyMaterial(key);
      ASSERT_EQ(material, OpenSslKeyMaterial(password));
    }
  }
  // The installer's password, the one value every installed file depends on.
  EXPECT_EQ(
      DeriveKeyMaterial({reinterpret_cast<const std::uint8_t*>(test::kInstallerPassword.data()),
                         test::kInstallerPassword.size()}),
      OpenSslKeyMaterial(test::kInstallerPassword));
}

// The shipped shape: 5961 pages of 4096 bytes.
class CityDatabase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<test::TempDir>();
    original_ = dir_->File("original.cts");
    test::MakeDatabase(original_, 5961);
  }
  static void TearDownTestSuite() { dir_.reset(); }

  static void ExpectStoredForm(const std::string& path, const Bytes& plain) {
    const Bytes file = test::ReadBytes(path);
    ASSERT_EQ(file.size(), 24416256u);
    EXPECT_NE(std::string(file.begin(), file.begin() + 16), std::string("SQLite format 3\0", 16));
    const Bytes deciphered = OpenSslDecipherFile(file, test::kInstallerPassword, 4096);
    EXPECT_TRUE(test::SameExceptCommitFields(deciphered, plain));
    // The deciphered bytes are a database the plain engine opens.
    const std::string copy = path + ".plain";
    test::WriteBytes(copy, deciphered);
    EXPECT_EQ(test::Integrity(copy, {}), "ok");
  }

  static std::unique_ptr<test::TempDir> dir_;
  static std::string original_;
};

std::unique_ptr<test::TempDir> CityDatabase::dir_;
std::string CityDatabase::original_;

TEST_F(CityDatabase, RekeyedFileDeciphersBackWithOpenSsl) {
  const Bytes plain = test::ReadBytes(original_);
  ASSERT_EQ(plain.size(), 24416256u);
  const std::string path = dir_->File("Ketro.cts");
  test::WriteBytes(path, plain);
  CityDatabaseRekeyer rekeyer;
  ASSERT_EQ(rekeyer.RekeyDatabase(Utf8ToUtf16(path), test::kInstallerPassword), RekeyResult::kDone);
  ExpectStoredForm(path, plain);
}

int RunCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CityDatabase, KetroInstallLeavesTheEncryptedForm) {
  const Bytes plain = test::ReadBytes(original_);
  const std::filesystem::path product = dir_->Path() / "product";
  std::filesystem::create_directories(product / "data");
  test::WriteBytes((product / "Ketro.cts").string(), plain);
  test::WriteBytes((product / "data" / "ketro.cts").string(), plain); // small letters: not keyed
  {
    std::ofstream list(product / "list", std::ios::binary);
    list << "Ketro.cts||#|city database\r\ndata\\ketro.cts||#|a copy\r\n";
  }
  const std::string payload = (dir_->Path() / "payload.bin").string();
  const std::string target = (dir_->Path() / "installed").string();
  ASSERT_EQ(RunCommand(std::string(KET_PACK) + " create --manifest '" +
                       (product / "list").string() + "' --root '" + product.string() +
                       "' --output '" + payload + "' >/dev/null"),
            0);
  ASSERT_EQ(RunCommand(std::string(KET_INSTALL) + " --archive '" + payload + "' --dir '" + target +
                       "' >/dev/null"),
            0);
  ExpectStoredForm(target + "/Ketro.cts", plain);
  EXPECT_EQ(test::ReadBytes(target + "/data/ketro.cts"), plain);
}

} // namespace
} // namespace ket
