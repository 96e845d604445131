#include "base/path.h"

#include <gtest/gtest.h>

namespace ket {
namespace {

TEST(PlatformPath, FoldersKeepTheirOrderAndOnlySeparatorsChange) {
#ifdef _WIN32
  EXPECT_EQ(PlatformPath(u"C:\\Ketro\\data\\Ketro.cts"), u"C:\\Ketro\\data\\Ketro.cts");
  EXPECT_EQ(PlatformPath(u"\\\\server\\share\\a"), u"\\\\server\\share\\a");
#else
  EXPECT_EQ(PlatformPath(u"/tmp/Ketro\\data\\Ketro.cts"), u"/tmp/Ketro/data/Ketro.cts");
  EXPECT_EQ(PlatformPath(u"\u041A\\\u0435"), u"\u041A/\u0435");
#endif
  EXPECT_EQ(PlatformPath(u""), u"");
}

} // namespace
} // namespace ket
