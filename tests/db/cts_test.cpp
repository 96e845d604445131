// ketro-cts as a user runs it: exit codes, output, and the file unchanged after a failure.
#include "tests/db/test_support.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>

namespace ket {
namespace {

struct Result {
  int exit = -1;
  std::string out;
  std::string err;
};

class Cts : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("Ketro.cts");
    test::MakeDatabase(path_, 60);
  }

  Result Run(const std::string& arguments) {
    const std::string out = dir_.File("out.txt");
    const std::string err = dir_.File("err.txt");
    const int status = std::system(
        (std::string(KET_CTS) + " " + arguments + " >'" + out + "' 2>'" + err + "'").c_str());
    auto slurp = [](const std::string& file) {
      std::ifstream in(file);
      std::stringstream s;
      s << in.rdbuf();
      return s.str();
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
  }

  std::string File() const { return "'" + path_ + "'"; }

  test::TempDir dir_;
  std::string path_;
};

TEST_F(Cts, RekeyAndCheck) {
  const Result plain = Run("check " + File());
  EXPECT_EQ(plain.exit, 0);
  EXPECT_EQ(plain.out, "ok\npage size 4096\npage count 60\n");

  EXPECT_EQ(Run("rekey " + File() + " --password secret").exit, 0);
  const Result keyed = Run("check " + File() + " --key secret");
  EXPECT_EQ(keyed.exit, 0);
  EXPECT_EQ(keyed.out, plain.out);

  const Result noKey = Run("check " + File());
  EXPECT_EQ(noKey.exit, 1);
  EXPECT_EQ(noKey.err, "ketro-cts: " + path_ + ": file is not a database\n");

  // An empty new password makes the file plain again.
  EXPECT_EQ(Run("rekey " + File() + " --key secret --password ''").exit, 0);
  EXPECT_EQ(Run("check " + File()).out, plain.out);
}

TEST_F(Cts, FailedRekeyLeavesTheFileUnchanged) {
  ASSERT_EQ(Run("rekey " + File() + " --password secret").exit, 0);
  const auto before = test::ReadBytes(path_);
  const Result wrong = Run("rekey " + File() + " --key wrong --password other");
  EXPECT_EQ(wrong.exit, 1);
  EXPECT_EQ(wrong.err, "ketro-cts: " + path_ + ": file is not a database\n");
  EXPECT_EQ(test::ReadBytes(path_), before);
  const Result missing = Run("check '" + dir_.File("missing.cts") + "'");
  EXPECT_EQ(missing.exit, 1);
  EXPECT_NE(missing.err.find("unable to open database file"), std::string::npos);
}

// A log that still holds committed frames (its writer ended without merging it) is merged in
// the file's old form before the pass; the re-key then succeeds at the first try and keeps them.
TEST_F(Cts, RekeyOfALogThatStillHoldsFrames) {
  for (const std::string from : {"", "secret"}) {
    SCOPED_TRACE(from);
    std::filesystem::remove(path_);
    test::MakeDatabase(path_, 60, 4096, "wal");
    if (!from.empty()) {
      ASSERT_EQ(Run("rekey " + File() + " --password " + from).exit, 0);
    }
    {
      test::Db db = test::OpenDb(path_, from, SQLITE_OPEN_READWRITE);
      ASSERT_EQ(sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr),
                SQLITE_OK);
      test::Exec(db.get(), "PRAGMA wal_autocheckpoint = 0; "
                           "INSERT INTO items(name, body) VALUES('late', randomblob(3000))");
    }
    ASSERT_GT(test::ReadBytes(path_ + "-wal").size(), 4096u);
    const Result rekey =
        Run("rekey " + File() + (from.empty() ? "" : " --key " + from) + " --password other");
    EXPECT_EQ(rekey.exit, 0) << rekey.err;
    EXPECT_EQ(Run("check " + File() + " --key other").exit, 0);
    test::Db db = test::OpenDb(path_, "other", SQLITE_OPEN_READWRITE);
    EXPECT_EQ(test::QueryInt(db.get(), "SELECT count(*) FROM items WHERE name = 'late'"), 1);
  }
}

TEST_F(Cts, WrongUsage) {
  for (const std::string& args : std::vector<std::string>{
           "", "rekey " + File(), "check", "frob " + File(), "check " + File() + " --password x",
           "check " + File() + " --key", "rekey " + File() + " --password a --password b"}) {
    const Result r = Run(args);
    EXPECT_EQ(r.exit, 3) << args;
    EXPECT_NE(r.err.find("usage: ketro-cts rekey FILE --password NEW [--key OLD]"),
              std::string::npos);
  }
}

} // namespace
} // namespace ket
