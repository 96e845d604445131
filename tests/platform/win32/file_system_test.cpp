// Win32FileSystem against the real platform calls (under Wine in our builds).
#include "platform/win32/file_time.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_name_comparer.h"
#include "tests/platform/win32/test_support.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <set>
#include <windows.h>

namespace ket {
namespace {

using test::TempFolder;

std::set<std::u16string> Names(Win32FileSystem& fs, const std::wstring& pattern) {
  std::set<std::u16string> names;
  ForEachFound(fs, FromWide(pattern), [&](const FindEntry& e) {
    names.insert(e.name);
    return true;
  });
  return names;
}

// A UTC time for the cases below, through the platform's conversion (checked against
// independent counts in FileTime.FieldsAsTheyStand).
FILETIME Utc(std::uint16_t y, std::uint16_t mo, std::uint16_t d, std::uint16_t h, std::uint16_t mi,
             std::uint16_t s) {
  return ToFileTime({y, mo, d, h, mi, s, 0}).value();
}

struct Times {
  FILETIME created, written;
};

Times FileTimes(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  return {data.ftCreationTime, data.ftLastWriteTime};
}

bool operator==(const FILETIME& a, const FILETIME& b) {
  return Ticks(a) == Ticks(b);
}

class FileSystemTest : public ::testing::Test {
 protected:
  std::wstring At(const std::wstring& name) const { return ToWide(tmp.Path()) + name; }
  std::u16string U(const std::wstring& name) const { return FromWide(At(name)); }

  TempFolder tmp;
  Win32FileSystem fs;
};

// The contract's cases are tests/engine/file_system_test.cpp's; these are Windows' own.
TEST_F(FileSystemTest, HiddenAndReadOnlyAreSetAndClearedTogether) {
  test::WriteFileBytes(At(L"f.txt"), "x");
  ASSERT_TRUE(fs.SetAttributes(U(L"f.txt"), kAttrReadOnly | kAttrHidden));
  EXPECT_EQ(*fs.GetAttributes(U(L"f.txt")) & (kAttrReadOnly | kAttrHidden | kAttrDirectory),
            kAttrReadOnly | kAttrHidden);
  ASSERT_TRUE(fs.SetAttributes(U(L"f.txt"), 0));
  EXPECT_EQ(*fs.GetAttributes(U(L"f.txt")) & (kAttrReadOnly | kAttrHidden), 0u);
}

TEST_F(FileSystemTest, NewFilesAreHeldExclusively) {
  auto file = fs.CreateNewFile(U(L"f.bin"));
  ASSERT_NE(file, nullptr);
  // Share mode 0: nobody else can open it meanwhile.
  HANDLE other = ::CreateFileW(At(L"f.bin").c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) {
    ::CloseHandle(other);
  }
}

TEST_F(FileSystemTest, ARunningProgramsFileGoesAsideButGetsNoSecondName) {
  test::WriteFileBytes(At(L"a.txt"), "A");
  // Held with delete sharing, as a running program's image is: it can go aside.
  HANDLE held =
      ::CreateFileW(At(L"a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(fs.MoveNew(U(L"a.txt"), U(L"aside.tmp"), true));
  ::CloseHandle(held);
  EXPECT_EQ(test::ReadFileBytes(At(L"aside.tmp")), "A");
  EXPECT_FALSE(fs.LinkNew(U(L"aside.tmp"), U(L"second.tmp")));
  // Names compare as NTFS compares them.
  EXPECT_TRUE(fs.SameName(u"KETRO.CTS", u"Ketro.cts"));
  EXPECT_FALSE(fs.SameName(u"Ketro.cts", u"Ketro.ct"));
}

TEST(FileTime, FieldsAsTheyStand) {
  const auto ticks = [](const CalendarTime& fields) -> std::optional<std::uint64_t> {
    const std::optional<FILETIME> time = ToFileTime(fields);
    return time ? std::optional(Ticks(*time)) : std::nullopt;
  };
  // 2025-11-10 14:02:50 UTC, whatever the zone the test runs in (Europe/Moscow).
  EXPECT_EQ(ticks({2025, 11, 10, 14, 2, 50, 0}), 134072569700000000ULL);
  EXPECT_EQ(ticks({2025, 11, 10, 14, 2, 50, 7}), 134072569700070000ULL);
  EXPECT_EQ(ticks({1601, 1, 1, 0, 0, 0, 0}), 0ULL);
  EXPECT_EQ(ticks({1899, 12, 30, 0, 0, 0, 0}), 94353120000000000ULL);
  // What Windows refuses, refused on every platform: before 1601, days and times that do not
  // exist.
  EXPECT_EQ(ticks({1600, 12, 31, 23, 59, 59, 999}), std::nullopt);
  EXPECT_EQ(ticks({2025, 2, 29, 0, 0, 0, 0}), std::nullopt);
  EXPECT_TRUE(ticks({2024, 2, 29, 0, 0, 0, 0}).has_value());
  EXPECT_EQ(ticks({1900, 2, 29, 0, 0, 0, 0}), std::nullopt);
  EXPECT_TRUE(ticks({2000, 2, 29, 0, 0, 0, 0}).has_value());
  EXPECT_EQ(ticks({2025, 4, 31, 0, 0, 0, 0}), std::nullopt);
  EXPECT_EQ(ticks({2025, 13, 1, 0, 0, 0, 0}), std::nullopt);
  EXPECT_EQ(ticks({2025, 1, 1, 24, 0, 0, 0}), std::nullopt);
  EXPECT_EQ(ticks({2025, 1, 1, 0, 60, 0, 0}), std::nullopt);
  EXPECT_EQ(ticks({2025, 1, 1, 0, 0, 60, 0}), std::nullopt);
  EXPECT_EQ(ticks({2025, 1, 1, 0, 0, 0, 1000}), std::nullopt);
  EXPECT_EQ(ticks({}), std::nullopt);

  // And back: the same fields, and none for a time Windows cannot convert.
  EXPECT_EQ(ToCalendarTime(FILETIME{0xB318B270, 0x01DC524A}),
            (CalendarTime{2025, 11, 10, 14, 2, 50, 7}));
  EXPECT_EQ(ToCalendarTime(FILETIME{0, 0x80000000}), std::nullopt);
}

// Whether this platform keeps a creation time that is set. Linux file systems under Wine do
// not: their birth time cannot be changed, and SetFileTime reports success all the same.
bool PlatformKeepsCreationTimes(const std::wstring& probe) {
  test::WriteFileBytes(probe, "");
  const FILETIME wanted = Utc(2001, 2, 3, 4, 5, 6);
  HANDLE h =
      ::CreateFileW(probe.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ::SetFileTime(h, &wanted, nullptr, nullptr);
  ::CloseHandle(h);
  const bool kept = FileTimes(probe).created == wanted;
  ::DeleteFileW(probe.c_str());
  return kept;
}

TEST_F(FileSystemTest, CreationTimeIsSetAloneAndTheLastWriteTimeStays) {
  test::WriteFileBytes(At(L"f.txt"), "x");
  const FILETIME written = Utc(2026, 1, 2, 3, 4, 5);
  HANDLE h = ::CreateFileW(At(L"f.txt").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(::SetFileTime(h, nullptr, nullptr, &written));
  ::CloseHandle(h);

  // Shared with readers and writers: a file open elsewhere that way still gets its time.
  HANDLE reader =
      ::CreateFileW(At(L"f.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(fs.SetCreationTime(U(L"f.txt"), {2025, 11, 10, 14, 2, 50, 0}));
  ::CloseHandle(reader);
  const Times times = FileTimes(At(L"f.txt"));
  EXPECT_TRUE(times.written == written) << "the last-write time stays";
  if (PlatformKeepsCreationTimes(At(L"probe"))) {
    EXPECT_TRUE(times.created == Utc(2025, 11, 10, 14, 2, 50));
  } else {
    std::printf("note: this platform keeps no creation times; only the call is checked\n");
  }
}

TEST_F(FileSystemTest, NoCreationTimeForImpossibleDates) {
  test::WriteFileBytes(At(L"f.txt"), "x");
  EXPECT_FALSE(fs.SetCreationTime(U(L"f.txt"), {1600, 12, 30, 0, 0, 0, 0}));
  EXPECT_FALSE(fs.SetCreationTime(U(L"f.txt"), {2025, 2, 30, 0, 0, 0, 0}));
  EXPECT_FALSE(fs.SetCreationTime(U(L"f.txt"), {}));
}

TEST_F(FileSystemTest, SearchReturnsHiddenAndSystemFilesWithTheirAttributes) {
  test::WriteFileBytes(At(L"hidden.sys"), "1");
  ::SetFileAttributesW(At(L"hidden.sys").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(Names(fs, At(L"*")), (std::set<std::u16string>{u".", u"..", u"hidden.sys"}));
  auto hit = fs.FindFirst(U(L"hidden.sys"));
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->first.attributes & (kAttrHidden | kAttrSystem), kAttrHidden | kAttrSystem);
  EXPECT_EQ(hit->first.size, 1u);
}

TEST_F(FileSystemTest, SizesBeyondFourGigabytesAreWhole) {
  HANDLE h = ::CreateFileW(At(L"big.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD ignored = 0;
  ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = 0x100000005LL;
  const bool sized = ::SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && ::SetEndOfFile(h);
  ::CloseHandle(h);
  if (!sized) {
    GTEST_SKIP() << "the temporary folder's file system cannot hold a 4 GB file";
  }
  auto hit = fs.FindFirst(U(L"big.bin"));
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->first.size, 0x100000005ULL);
}

TEST_F(FileSystemTest, LastWriteTimeComesBackInLocalClockTime) {
  test::WriteFileBytes(At(L"f.txt"), "x");
  HANDLE h = ::CreateFileW(At(L"f.txt").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const FILETIME utc = Utc(2025, 7, 1, 12, 30, 15);
  ASSERT_TRUE(::SetFileTime(h, nullptr, nullptr, &utc));
  ::CloseHandle(h);

  auto hit = fs.FindFirst(U(L"f.txt"));
  ASSERT_TRUE(hit.has_value());
  // The test runs with TZ=Europe/Moscow: UTC+3 all year round.
  TIME_ZONE_INFORMATION zone{};
  ::GetTimeZoneInformation(&zone);
  ASSERT_EQ(zone.Bias, -180) << "the test expects the time zone Europe/Moscow";
  EXPECT_EQ(hit->first.lastWriteLocal, (CalendarTime{2025, 7, 1, 15, 30, 15, 0}));
}

TEST(NameComparer, IgnoresCaseByTheUsersLocale) {
  const Win32NameComparer names;
  EXPECT_TRUE(names.EqualIgnoringCase(u"KETRO.EXE", u"Ketro.exe"));
  EXPECT_TRUE(names.EqualIgnoringCase(u"data\\Base.DAT", u"DATA\\base.dat"));
  EXPECT_TRUE(names.EqualIgnoringCase(u"\x041A\x0415\x0422\x0420\x041E",
                                      u"\x043A\x0435\x0442\x0440\x043E"));
  EXPECT_TRUE(names.EqualIgnoringCase(u"", u""));
  EXPECT_FALSE(names.EqualIgnoringCase(u"", u"a"));
  EXPECT_FALSE(names.EqualIgnoringCase(u"Ketro.exe", u"Ketro.ex"));
  EXPECT_FALSE(names.EqualIgnoringCase(u"a\\b", u"a/b"));
  // The lengths count, not a terminator: an embedded NUL is compared like any character.
  EXPECT_FALSE(names.EqualIgnoringCase(std::u16string_view(u"ab\0c", 4), u"ab"));
}

} // namespace
} // namespace ket
