// ketro-cts as a user runs it: exit codes, output, and the file unchanged after a failure.
#include "tests/db/test_db.h"

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

TEST_F(Cts, WrongUsage) {
  for (const std::string& args : std::vector<std::string>{
           "", "rekey " + File(), "check", "frob " + File(), "check " + File() + " --password x",
           "rekey " + File() + " --password a --password b"}) {
    const Result r = Run(args);
    EXPECT_EQ(r.exit, 2) << args;
    EXPECT_NE(r.err.find("usage: ketro-cts rekey FILE --password NEW [--key OLD]"),
              std::string::npos);
  }
}

} // namespace
} // namespace ket
