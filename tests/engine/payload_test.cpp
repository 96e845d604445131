// Manifest text loading and LoadPayload.
#include "base/error.h"
#include "engine/archive_writer.h"
#include "engine/payload.h"

#include <gtest/gtest.h>

namespace ket {
namespace {

std::vector<std::u16string> Lines(std::string_view text) {
  return LoadManifestLines(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

using V = std::vector<std::u16string>;

TEST(Manifest, LineBreaksOfEveryKind) {
  EXPECT_EQ(Lines("a\r\nb\rc\nd"), (V{u"a", u"b", u"c", u"d"}));
  EXPECT_EQ(Lines("a\r\n"), (V{u"a"}));
  EXPECT_EQ(Lines("a\n\r"), (V{u"a", u""})); // LF then a lone CR: two breaks
  EXPECT_EQ(Lines("a\r\n\r\n\r\nb\r\n"), (V{u"a", u"", u"", u"b"}));
  EXPECT_EQ(Lines("\r\n"), (V{u""}));
  EXPECT_EQ(Lines(""), V{});
}

TEST(Manifest, ByteOrderMarkNulAndUtf8) {
  EXPECT_EQ(Lines("\xEF\xBB\xBFx|P|#|d\r\n"), (V{u"x|P|#|d"}));
  EXPECT_EQ(Lines("x\xEF\xBB\xBF"), (V{u"x\xFEFF"})); // only a leading mark is skipped
  EXPECT_EQ(Lines(std::string_view("a\r\nb\0c\r\nd", 9)), (V{u"a", u"b"}));
  EXPECT_EQ(Lines(std::string_view("\0a", 2)), V{});
  EXPECT_EQ(Lines("\xD0\x9A\xD0\xB5|O|#|\r\n"), (V{u"\x041A\x0435|O|#|"}));
}

struct Fixture : ::testing::Test {
  SetupState state;
  Payload payload;
  int opens = 0;
  std::vector<std::uint8_t> archive;

  ArchiveOpener Opener() {
    return [this] {
      ++opens;
      return std::make_unique<MemoryArchiveBytes>(archive);
    };
  }
};

TEST_F(Fixture, LoadPayloadReadsDirectoryAndManifestOnce) {
  const std::string list = "a.txt||#|x\r\nold|K|\r\n";
  archive = BuildArchive(std::vector<ArchiveEntry>{{"list", {list.begin(), list.end()}, 0},
                                                   {"a.txt", {'A'}, 0x5B6A7059}});
  LoadPayload(state, payload, Opener());
  ASSERT_TRUE(state.ManifestLines);
  EXPECT_EQ(*state.ManifestLines, (V{u"a.txt||#|x", u"old|K|"}));
  EXPECT_EQ(payload.Content(), (V{u"list", u"a.txt"}));

  state.ManifestLines->pop_back(); // as planning would
  LoadPayload(state, payload, Opener());
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(state.ManifestLines->size(), 1u);
}

TEST_F(Fixture, AnArchiveWithoutManifestOrEmptyIsADamagedSetup) {
  // Neither is a payload: it would install nothing and call that up to date.
  for (const bool empty : {false, true}) {
    SCOPED_TRACE(empty);
    archive = empty ? std::vector<std::uint8_t>{}
                    : BuildArchive(std::vector<ArchiveEntry>{{"other", {'x'}, 0}});
    state = SetupState();
    payload = Payload();
    EXPECT_THROW(LoadPayload(state, payload, Opener()), DamagedSetupError);
    EXPECT_FALSE(state.ManifestLines);
  }
}

TEST_F(Fixture, AManifestLargerThanTheLimitIsRefusedBeforeItIsInflated) {
  // One line of exactly the limit is a manifest; a byte more is a malformed archive.
  std::vector<std::uint8_t> list(static_cast<std::size_t>(kMaxManifestSize), 'a');
  archive = BuildArchive(std::vector<ArchiveEntry>{{"list", list, 0}});
  LoadPayload(state, payload, Opener());
  ASSERT_TRUE(state.ManifestLines);
  EXPECT_EQ(state.ManifestLines->size(), 1u);

  list.push_back('\n');
  archive = BuildArchive(std::vector<ArchiveEntry>{{"list", list, 0}});
  // Corrupt data past the header: it would fail to inflate, so only the size can refuse it.
  archive.back() ^= 0xFF;
  SetupState fresh;
  Payload other;
  try {
    LoadPayload(fresh, other, Opener());
    FAIL() << "an oversized manifest was loaded";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Malformed archive: the manifest \"list\" inflates to 16777217 "
                           "bytes, more than the 16777216 a manifest may have");
  }
  EXPECT_FALSE(fresh.ManifestLines);
}

TEST_F(Fixture, AFailedLoadReportsOnceAndLeavesTheManifestAbsent) {
  const auto missing = [this]() -> std::unique_ptr<ArchiveBytes> {
    ++opens;
    throw Error("Resource MAIN not found");
  };
  EXPECT_THROW(LoadPayload(state, payload, missing), Error);
  // The next activation must not raise the same box again and again.
  EXPECT_NO_THROW(LoadPayload(state, payload, missing));
  EXPECT_EQ(opens, 1);
  EXPECT_FALSE(state.ManifestLines);

  Payload damaged;
  archive = {3, 'a', 'b'};
  EXPECT_THROW(LoadPayload(state, damaged, Opener()), Error);
  EXPECT_FALSE(state.ManifestLines);
}

} // namespace
} // namespace ket
