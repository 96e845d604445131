// The page that holds the engine's lock byte never holds content and the re-key leaves it alone.
// A database over 1 GiB is too slow for a test, so this program moves the lock byte to 64 KiB
// (before any connection exists, as the engine requires) and uses 1024-byte pages: page 65.
#include "base/text.h"
#include "db/ket_database.h"
#include "tests/db/test_support.h"

#include <gtest/gtest.h>

namespace ket {
namespace {

constexpr unsigned kLockByte = 0x10000;
constexpr int kPageSize = 1024;
constexpr std::int64_t kLockPage = kLockByte / kPageSize + 1;

const unsigned kMoved = [] {
  sqlite3_test_control(SQLITE_TESTCTRL_PENDING_BYTE, kLockByte);
  return kLockByte;
}();

TEST(LockBytePage, IsNeitherReadNorJournaledNorRewritten) {
  ASSERT_EQ(kMoved, kLockByte);
  test::TempDir dir;
  const std::string path = dir.File("big.db");
  test::MakeDatabase(path, 200, kPageSize);
  const auto plain = test::ReadBytes(path);
  ASSERT_GT(plain.size(), static_cast<std::size_t>(kLockPage * kPageSize));
  const std::int64_t lockStart = (kLockPage - 1) * kPageSize;
  int touched = 0;
  int journaled = 0;
  {
    test::IoHookScope hook([&](const IoEvent& e) {
      const bool io = e.op == IoOp::kRead || e.op == IoOp::kWrite;
      if (io && e.file == IoFile::kDatabase && e.offset < lockStart + kPageSize &&
          e.offset + e.amount > lockStart) {
        ++touched;
      }
      if (e.op == IoOp::kWrite && e.file == IoFile::kJournal && e.amount == kPageSize) {
        ++journaled;
      }
      return 0;
    });
    TKetDatabase db;
    db.SetDatabaseName(Utf8ToUtf16(path));
    db.Open();
    db.ReKey("k");
    db.Close();
  }
  EXPECT_EQ(touched, 0);
  EXPECT_EQ(journaled, static_cast<int>(plain.size() / kPageSize) - 1);
  const auto file = test::ReadBytes(path);
  ASSERT_EQ(file.size(), plain.size());
  auto deciphered = test::DecipherFile(file, "k", kPageSize);
  // The lock-byte page is as it was; every other page is in the stored form.
  const auto lock = static_cast<std::size_t>(lockStart);
  EXPECT_TRUE(
      std::equal(file.begin() + lock, file.begin() + lock + kPageSize, plain.begin() + lock));
  std::copy(plain.begin() + lock, plain.begin() + lock + kPageSize, deciphered.begin() + lock);
  EXPECT_TRUE(test::SameExceptCommitFields(deciphered, plain));
  EXPECT_EQ(test::Integrity(path, "k"), "ok");
}

} // namespace
} // namespace ket
