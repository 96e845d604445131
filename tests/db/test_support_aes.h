// The AES-path fixture shared by the cipher tests: a test of a suite derived from AesPathTest
// runs once on the portable path and once on the AES instructions (skipped, visibly, where the
// processor has none), and the best path is selected again after it. With it the bytes those
// tests are written in: hexadecimal, random, and the published CBC-AES256 vector.
#pragma once

#include "db/aes.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace ket::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Hex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

inline Bytes RandomBytes(std::mt19937& rng, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) {
    b = static_cast<std::uint8_t>(rng());
  }
  return out;
}

// SP 800-38A F.2.5 (CBC-AES256.Encrypt).
struct Sp80038a {
  Bytes key = Hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  Bytes iv = Hex("000102030405060708090a0b0c0d0e0f");
  Bytes plain = Hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  Bytes cipher = Hex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
                     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
};

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
