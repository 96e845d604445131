// The archive reader against archives written by the packer's own code, and against damage.
#include "base/error.h"
#include "engine/archive.h"
#include "engine/archive_writer.h"
#include "engine/name_comparer.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <zlib.h>

namespace ket {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

std::vector<std::uint8_t> Deflate(std::span<const std::uint8_t> data) {
  uLongf n = compressBound(static_cast<uLong>(data.size()));
  std::vector<std::uint8_t> out(n);
  EXPECT_EQ(compress2(out.data(), &n, data.data(), static_cast<uLong>(data.size()), 6), Z_OK);
  out.resize(n);
  return out;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

// One entry written by hand, so that fields can lie.
std::vector<std::uint8_t> RawEntry(std::string_view name, std::int32_t size, std::uint32_t dos,
                                   std::int32_t packSize, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out(1 + name.size());
  out[0] = static_cast<std::uint8_t>(name.size());
  std::copy(name.begin(), name.end(), out.begin() + 1);
  Put32(out, static_cast<std::uint32_t>(size));
  Put32(out, dos);
  Put32(out, static_cast<std::uint32_t>(packSize));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

struct Opened {
  Payload payload;
  std::vector<std::uint8_t> bytes;
  explicit Opened(std::vector<std::uint8_t> archive) : bytes(std::move(archive)) {}
  void Read() {
    payload.Load([this] { return std::make_unique<SpanArchiveBytes>(bytes); });
  }
  std::optional<std::vector<std::uint8_t>> Inflate(std::u16string_view name) {
    auto found = payload.InflateArchiveItem(name);
    if (!found) {
      return std::nullopt;
    }
    TFileItem item;
    EXPECT_TRUE(payload.FindArchiveItem(name, item));
    EXPECT_EQ(found->Item, item); // the bytes come with their own entry
    return std::move(found->Bytes);
  }
};

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

constexpr std::uint32_t kExampleDos = 0x5B6A7059; // 2025-11-10 14:02:50

// Fields as they are stored, valid or not; seconds are the stored halves.
std::uint32_t Dos(int y, int mo, int d, int h, int mi, int s2) {
  return static_cast<std::uint32_t>((y - 1980) << 25 | mo << 21 | d << 16 | h << 11 | mi << 5 | s2);
}

TEST(Archive, RoundTripKeepsNamesOrderSizesAndDates) {
  std::vector<std::uint8_t> big(300'000);
  for (std::size_t i = 0; i < big.size(); ++i) {
    big[i] = static_cast<std::uint8_t>((i * 7919) ^ (i >> 5));
  }
  const std::vector<ArchiveEntry> entries = {
      {"list", Bytes("a||#|x\r\n"), 0},
      {"Ketro.exe", big, kExampleDos},
      {"data\\\xD0\x93\xD0\xBE\xD1\x80\xD0\xBE\xD0\xB4.txt", Bytes("city"), kExampleDos + 2},
      {"empty.dat", {}, kExampleDos},
  };
  Opened a(BuildArchive(entries));
  a.Read();
  const auto& p = a.payload;
  ASSERT_EQ(p.Content().size(), 4u);
  ASSERT_EQ(p.Items().size(), 4u);
  EXPECT_EQ(p.Content()[2], u"data\\\x0413\x043E\x0440\x043E\x0434.txt");
  EXPECT_EQ(p.Items()[0].FDate, 0);
  EXPECT_EQ(p.Items()[1].Size, 300'000);
  // Each Position points just past its header; entries follow without gaps.
  EXPECT_EQ(p.Items()[0].Position, 1 + 4 + 12);
  for (std::size_t k = 1; k < 4; ++k) {
    const auto& prev = p.Items()[k - 1];
    const auto nameBytes = static_cast<std::int64_t>(entries[k].name.size());
    EXPECT_EQ(p.Items()[k].Position, prev.Position + prev.PackSize + 13 + nameBytes);
  }
  for (std::size_t k = 0; k < entries.size(); ++k) {
    EXPECT_EQ(*a.Inflate(p.Content()[k]), entries[k].data) << k;
  }
  // Streams begin with zlib's default-level header.
  const auto head = static_cast<std::size_t>(p.Items()[1].Position);
  EXPECT_EQ(a.bytes[head], 0x78);
  EXPECT_EQ(a.bytes[head + 1], 0x9C);
}

TEST(Archive, DosDateOfTheExampleAndItsLimits) {
  EXPECT_NEAR(DosDateTimeToFDate(kExampleDos), 45971 + 50'570.0 / 86'400, 1e-9);
  EXPECT_EQ(DosDateTimeToFDate(kExampleDos), EncodeDate(2025, 11, 10) + EncodeTime(14, 2, 50, 0));
  EXPECT_EQ(DosDateTimeToFDate(0), 0);
  EXPECT_EQ(DecodeDateTime(DosDateTimeToFDate(Dos(2024, 2, 29, 23, 59, 29))),
            (CalendarTime{2024, 2, 29, 23, 59, 58, 0}));
  // What cannot be a date or a time is refused, a bad date before a bad time.
  const std::pair<std::uint32_t, std::string_view> refused[] = {
      {Dos(2023, 2, 29, 0, 0, 0), "date"},  {Dos(2100, 2, 29, 0, 0, 0), "date"},
      {Dos(2000, 13, 1, 0, 0, 0), "date"},  {Dos(2000, 4, 0, 0, 0, 0), "date"},
      {Dos(2000, 4, 31, 0, 0, 0), "date"},  {Dos(2000, 4, 30, 24, 0, 0), "time"},
      {Dos(2000, 4, 30, 1, 60, 0), "time"}, {Dos(2000, 4, 30, 1, 0, 30), "time"},
      {Dos(2000, 0, 1, 25, 0, 0), "date"},
  };
  for (const auto& r : refused) {
    EXPECT_EQ(ErrorOf([&] { DosDateTimeToFDate(r.first); }),
              "Invalid argument to " + std::string(r.second) + " encode")
        << std::hex << r.first;
  }
}

TEST(Archive, DateTimeScaleRoundTrips) {
  EXPECT_EQ(DecodeDateTime(0), (CalendarTime{1899, 12, 30, 0, 0, 0, 0}));
  EXPECT_EQ(DecodeDateTime(-1.25), (CalendarTime{1899, 12, 29, 6, 0, 0, 0}));
  EXPECT_EQ(EncodeDateTime({1899, 12, 29, 6, 0, 0, 0}), -1.25);
  EXPECT_EQ(DecodeDateTime(EncodeDate(1601, 1, 1)).year, 1601);
  const CalendarTime t{2031, 7, 4, 9, 30, 15, 999};
  EXPECT_EQ(DecodeDateTime(EncodeDateTime(t)), t);
  // Just under midnight rounds into the next day rather than to 24:00.
  EXPECT_EQ(DecodeDateTime(EncodeDate(2020, 12, 31) + 0.99999999999),
            (CalendarTime{2021, 1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(DecodeDateTime(1e12), CalendarTime{});
  EXPECT_EQ(CalendarToDosDateTime({2025, 11, 10, 14, 2, 51, 0}), kExampleDos);
  EXPECT_EQ(CalendarToDosDateTime({1979, 12, 31, 0, 0, 0, 0}), 0u);
}

TEST(Archive, EmptyArchiveHasAnEmptyDirectory) {
  Opened a({});
  a.Read();
  EXPECT_TRUE(a.payload.IsOpen());
  EXPECT_TRUE(a.payload.Content().empty());
  EXPECT_TRUE(a.payload.Items().empty());
  MemoryStream target;
  target.Write(Bytes("keep"));
  a.payload.ExtractArchiveItem(u"list", target);
  EXPECT_EQ(target.Bytes(), Bytes("keep"));
  EXPECT_EQ(target.Position(), 4);
}

TEST(Archive, LookupIgnoresCaseAndReturnsTheFirstOfEqualNames) {
  Opened a(BuildArchive(std::vector<ArchiveEntry>{
      {"list", {}, 0},
      {"Ketro.exe", Bytes("first"), kExampleDos},
      {"KETRO.EXE", Bytes("second"), kExampleDos},
      {"\xD0\x81\xD0\xBB\xD0\xBA\xD0\xB0.txt", Bytes("yolka"), kExampleDos}, // Ёлка.txt
      {"", Bytes("nameless"), kExampleDos},
  }));
  a.Read();
  TFileItem item;
  ASSERT_TRUE(a.payload.FindArchiveItem(u"KETRO.exe", item));
  EXPECT_EQ(item, a.payload.Items()[1]);
  EXPECT_EQ(*a.Inflate(u"ketro.EXE"), Bytes("first"));
  EXPECT_EQ(*a.Inflate(u"\x0451\x041B\x041A\x0410.TXT"), Bytes("yolka")); // ёЛКА.TXT
  EXPECT_EQ(*a.Inflate(u""), Bytes("nameless"));
  item.Size = 5;
  EXPECT_FALSE(a.payload.FindArchiveItem(u"Ketro.ex", item));
  EXPECT_EQ(item, TFileItem{});
}

TEST(Archive, ExtractWritesAtThePositionAndRewinds) {
  Opened a(BuildArchive(
      std::vector<ArchiveEntry>{{"list", Bytes("abc"), 0}, {"zero", {}, kExampleDos}}));
  a.Read();
  MemoryStream target;
  target.Write(Bytes("0123456"));
  target.Seek(2);
  a.payload.ExtractArchiveItem(u"LIST", target);
  EXPECT_EQ(target.Bytes(), Bytes("01abc56"));
  EXPECT_EQ(target.Position(), 0);

  MemoryStream empty;
  empty.Write(Bytes("xy"));
  a.payload.ExtractArchiveItem(u"zero", empty);
  EXPECT_EQ(empty.Bytes(), Bytes("xy"));
  EXPECT_EQ(empty.Position(), 0);

  MemoryStream untouched;
  untouched.Write(Bytes("xy"));
  a.payload.ExtractArchiveItem(u"absent", untouched);
  EXPECT_EQ(untouched.Position(), 2);
}

TEST(Archive, MalformedHeadersNameTheEntryAndOffset) {
  const auto good = BuildArchive(std::vector<ArchiveEntry>{{"list", Bytes("x"), 0}});
  const auto data = Deflate(Bytes("hello"));
  const auto withSecond = [&](std::vector<std::uint8_t> second) {
    auto all = good;
    all.insert(all.end(), second.begin(), second.end());
    return all;
  };
  const std::string at = "entry 1 at offset " + std::to_string(good.size());

  struct Case {
    std::vector<std::uint8_t> bytes;
    std::string expected;
  };
  auto truncatedHeader =
      RawEntry("name", 5, kExampleDos, static_cast<std::int32_t>(data.size()), data);
  truncatedHeader.resize(1 + 4 + 10);
  auto lengthOnly = std::vector<std::uint8_t>{200};
  const Case cases[] = {
      {withSecond(truncatedHeader), at + ": the header runs past the end"},
      {withSecond(lengthOnly), at + ": the header runs past the end"},
      {withSecond(RawEntry("n", 5, kExampleDos, static_cast<std::int32_t>(data.size()) + 1, data)),
       at + ": the data (" + std::to_string(data.size() + 1) + " bytes) runs past the end"},
      {withSecond(RawEntry("n", -1, kExampleDos, static_cast<std::int32_t>(data.size()), data)),
       at + ": negative Size -1"},
      {withSecond(RawEntry("n", 5, kExampleDos, -8, data)), at + ": negative PackSize -8"},
      {withSecond(RawEntry("n", 5, kExampleDos, 0x7FFFFFFF, data)), at + ": the data"},
  };
  for (const auto& c : cases) {
    Opened a(c.bytes);
    const std::string error = ErrorOf([&] { a.Read(); });
    EXPECT_NE(error.find("Malformed archive: " + c.expected), std::string::npos) << error;
    // The good entry before the damage stays, names and items parallel.
    ASSERT_EQ(a.payload.Content().size(), 1u);
    EXPECT_EQ(a.payload.Items().size(), 1u);
  }
}

TEST(Archive, InvalidDateStopsTheDirectoryAfterTheEntriesBefore) {
  const auto data = Deflate(Bytes("x"));
  auto bytes = BuildArchive(std::vector<ArchiveEntry>{{"list", {}, 0}});
  const auto bad = RawEntry("bad", 1, Dos(2025, 15, 10, 14, 2, 25),
                            static_cast<std::int32_t>(data.size()), data);
  bytes.insert(bytes.end(), bad.begin(), bad.end());
  Opened a(bytes);
  EXPECT_EQ(ErrorOf([&] { a.Read(); }), "Invalid argument to date encode");
  EXPECT_EQ(a.payload.Content().size(), 1u);
  EXPECT_EQ(a.payload.Items().size(), 1u);
}

TEST(Archive, CorruptStreamsAreErrorsNotPaddedOrCutFiles) {
  const auto five = Deflate(Bytes("hello"));
  auto flipped = five;
  flipped[3] ^= 0x55;
  auto badAdler = five;
  badAdler.back() ^= 1;
  auto withTrailer = five;
  withTrailer.push_back(0);
  const auto cut = std::vector<std::uint8_t>(five.begin(), five.end() - 3);

  struct Case {
    std::int32_t size;
    std::vector<std::uint8_t> data;
    std::string expected;
  };
  const Case cases[] = {
      {6, five, "the stream ends after 5 of 6 bytes"},
      {4, five, "the stream holds more than 4 bytes"},
      {5, badAdler, "incorrect data check"},
      {5, flipped, "corrupt compressed data"},
      {5, withTrailer, "1 bytes follow the end of the stream"},
      {5, cut, "does not end after 5 bytes"},
      {100'000, five, "cannot inflate to 100000"},
  };
  for (const auto& c : cases) {
    auto bytes = BuildArchive(std::vector<ArchiveEntry>{{"list", {}, 0}});
    const auto e =
        RawEntry("f.bin", c.size, kExampleDos, static_cast<std::int32_t>(c.data.size()), c.data);
    bytes.insert(bytes.end(), e.begin(), e.end());
    Opened a(bytes);
    a.Read();
    MemoryStream target;
    target.Write(Bytes("old"));
    const std::string error = ErrorOf([&] { a.payload.ExtractArchiveItem(u"f.bin", target); });
    EXPECT_NE(error.find("Entry \"f.bin\": corrupt compressed data"), std::string::npos) << error;
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    EXPECT_EQ(target.Bytes(), Bytes("old"));
  }
}

TEST(Archive, InflationHoldsOnlyWhatTheStreamHasProved) {
  // Pieces of at most kInflateChunk bytes, in order; an entry that claims more than its stream
  // holds has handed over no more than the stream held when it fails, and a sink that refuses
  // stops it.
  std::vector<std::uint8_t> data(3 * static_cast<std::size_t>(kInflateChunk) + 5);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 7 % 251);
  }
  const auto packed = Deflate(data);
  const auto size = static_cast<std::int32_t>(data.size());
  for (const std::int32_t claimed : {size, size + 3 * kInflateChunk}) {
    SCOPED_TRACE(claimed);
    std::vector<std::uint8_t> out;
    std::size_t largest = 0;
    const auto collect = [&](std::span<const std::uint8_t> piece) {
      largest = std::max(largest, piece.size());
      out.insert(out.end(), piece.begin(), piece.end());
      return true;
    };
    if (claimed == size) {
      EXPECT_TRUE(InflateTo(packed, claimed, u"f.bin", collect));
      EXPECT_EQ(out, data);
    } else {
      EXPECT_THROW(InflateTo(packed, claimed, u"f.bin", collect), Error);
      EXPECT_LE(out.size(), data.size());
    }
    EXPECT_LE(largest, static_cast<std::size_t>(kInflateChunk));
  }
  int pieces = 0;
  EXPECT_FALSE(InflateTo(packed, size, u"f.bin", [&](auto) { return ++pieces < 2; }));
  EXPECT_EQ(pieces, 2);
}

TEST(Archive, StreamPositionsAreChecked) {
  ArchiveInputStream s(std::make_unique<MemoryArchiveBytes>(Bytes("abcdef")));
  EXPECT_EQ(s.Size(), 6);
  std::uint8_t buf[4];
  EXPECT_EQ(s.Read(buf), 4u);
  EXPECT_EQ(s.Read(buf), 2u);
  EXPECT_EQ(s.Read(buf), 0u);
  s.Seek(6);
  EXPECT_THROW(s.Seek(7), Error);
  EXPECT_THROW(s.Seek(-1), Error);
  s.Seek(1);
  EXPECT_THROW(s.ReadView(6), Error);
  EXPECT_EQ(s.Position(), 1);
  EXPECT_EQ(s.ReadView(5).size(), 5u);
}

TEST(NameComparer, FoldsLatinGreekAndCyrillicLetters) {
  FoldingNameComparer c;
  EXPECT_TRUE(c.EqualIgnoringCase(u"\x00C0\x00DE\x00D6", u"\x00E0\x00FE\x00F6")); // ÀÞÖ
  EXPECT_FALSE(c.EqualIgnoringCase(u"\x00D7", u"\x00F7")); // × and ÷ are no pair
  EXPECT_TRUE(
      c.EqualIgnoringCase(u"\x0100\x0139\x0150\x0178\x017D", u"\x0101\x013A\x0151\x00FF\x017E"));
  EXPECT_TRUE(c.EqualIgnoringCase(u"\x0391\x03A3\x038F", u"\x03B1\x03C3\x03CE"));
  EXPECT_TRUE(
      c.EqualIgnoringCase(u"\x0401\x0410\x042F\x0462\x04C1", u"\x0451\x0430\x044F\x0463\x04C2"));
  EXPECT_FALSE(c.EqualIgnoringCase(u"\x0415", u"\x0451")); // Е and ё differ
  EXPECT_FALSE(c.EqualIgnoringCase(u"ab", u"abc"));
  EXPECT_FALSE(c.EqualIgnoringCase(u"a\\b", u"a/b"));
}

} // namespace
} // namespace ket
