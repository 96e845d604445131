// The AES-path fixture shared by the cipher tests: a test of a suite derived from AesPathTest
// runs once on the portable path and once on the AES instructions (skipped, visibly, where the
// processor has none), and the best path is selected again after it.
#pragma once

#include "db/aes.h"

#include <gtest/gtest.h>
#include <string>

namespace ket::test {

class AesPathTest : public ::testing::TestWithParam<AesPath> {
 protected:
  void SetUp() override {
    if (!SelectAesPath(GetParam())) {
      GTEST_SKIP() << "this processor has no AES instructions";
    }
  }
  void TearDown() override {
    SelectAesPath(AesNiAvailable() ? AesPath::kAesNi : AesPath::kPortable);
  }
};

inline std::string AesPathName(const ::testing::TestParamInfo<AesPath>& path) {
  return path.param == AesPath::kPortable ? "Portable" : "AesNi";
}

} // namespace ket::test

// Instantiates the AesPathTest-derived `suite` as Both/<suite>.<test>/Portable and .../AesNi.
#define KET_TEST_ON_BOTH_AES_PATHS(suite)                                                          \
  INSTANTIATE_TEST_SUITE_P(Both, suite,                                                            \
                           ::testing::Values(::ket::AesPath::kPortable, ::ket::AesPath::kAesNi),   \
                           ::ket::test::AesPathName)
