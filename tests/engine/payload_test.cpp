// Manifest text loading, LoadPayload and the portable start-up.
#include "base/error.h"
#include "base/product.h"
#include "engine/archive_writer.h"
#include "engine/payload.h"
#include "engine/startup.h"

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

// Records what start-up asks of the platform; the lock answers from a script.
class FakeStartup final : public StartupPlatform {
 public:
  struct HandedOver {};
  std::vector<std::u16string> args;
  int busyTries = 0; // this many tries fail before the lock is had
  std::optional<std::u16string> oemcp;
  int tries = 0, sleeps = 0;
  std::uint32_t locale = 0;

  std::vector<std::u16string> Arguments() override { return args; }
  LockResult TryCreateLock() override {
    return ++tries > busyTries ? LockResult::kTaken : LockResult::kBusy;
  }
  void Sleep(unsigned ms) override {
    EXPECT_EQ(ms, 500u);
    ++sleeps;
  }
  [[noreturn]] void SignalRunningInstance() override { throw HandedOver{}; }
  void SetThreadLocale(std::uint32_t lcid) override { locale = lcid; }
  std::optional<std::u16string> ReadOemCodePage() override { return oemcp; }
};

TEST(Startup, CommandLineGivesTheFolderOnlyAfterUpdate) {
  struct Case {
    std::vector<std::u16string> args;
    std::optional<std::u16string> folder;
  };
  const Case cases[] = {
      {{u"/UPDATE", u"D:\\Work\\"}, u"D:\\Work\\"},
      {{u"/Update", u"D:\\Work\\", u"more"}, u"D:\\Work\\"},
      {{u"/update"}, std::nullopt},
      {{u"/update", u""}, std::nullopt},
      {{u"D:\\Work\\"}, std::nullopt},
      {{u"/install", u"D:\\Work\\"}, std::nullopt},
      {{u"/\x0130PDATE", u"D:\\"}, std::nullopt}, // only ASCII capitals are lowered
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    SetupState state;
    FakeStartup p;
    p.args = c.args;
    EXPECT_EQ(PrepareSetup(state, p).folder, c.folder);
    EXPECT_EQ(p.locale, 1049u);
    EXPECT_EQ(state.SiteUrl, kProductSiteUrl);
  }
}

TEST(Startup, BusyLockHandsOverAtOnceWithoutUpdate) {
  SetupState state;
  FakeStartup p;
  p.args = {u"D:\\Work\\"};
  p.busyTries = 1;
  EXPECT_THROW(PrepareSetup(state, p), FakeStartup::HandedOver);
  EXPECT_EQ(p.tries, 1);
  EXPECT_EQ(p.sleeps, 0);
  EXPECT_EQ(p.locale, 0u); // nothing after the hand-over
}

TEST(Startup, UpdateWaitsUpToSixtyTimes) {
  {
    SetupState state;
    FakeStartup p;
    p.args = {u"/update", u"C:\\K\\"};
    p.busyTries = 60; // free at the 61st try
    EXPECT_EQ(PrepareSetup(state, p).folder, u"C:\\K\\");
    EXPECT_EQ(p.tries, 61);
    EXPECT_EQ(p.sleeps, 60);
  }
  {
    SetupState state;
    FakeStartup p;
    p.args = {u"/update"};
    p.busyTries = 61;
    EXPECT_THROW(PrepareSetup(state, p), FakeStartup::HandedOver);
    EXPECT_EQ(p.tries, 61);
    EXPECT_EQ(p.sleeps, 60);
  }
}

TEST(Startup, OemCodePageChoosesTheLanguage) {
  struct Case {
    std::optional<std::u16string> value;
    std::uint16_t page;
    int language;
  };
  const Case cases[] = {
      {u"866", 866, 1},     {u"437", 437, 0},   {u"abc", 0, 0},         {u"", 0, 0},
      {std::nullopt, 0, 0}, {u"66402", 866, 1}, // low 16 bits
      {u"-1", 0xFFFF, 0},   {u"866x", 0, 0},    {u"99999999999", 0, 0}, {u" 866", 866, 1},
  };
  for (const auto& c : cases) {
    SetupState state;
    FakeStartup p;
    p.oemcp = c.value;
    EXPECT_EQ(PrepareSetup(state, p).languageIndex, c.language);
    EXPECT_EQ(state.OemCodePage, c.page);
  }
}

} // namespace
} // namespace ket
