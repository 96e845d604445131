// Helpers shared by the database tests: temporary folders, generated databases, raw engine
// connections and file bytes.
#pragma once

#include "db/codec_vfs.h"
#include "fixtures/sample_database.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sqlite3.h>
#include <string>
#include <string_view>
#include <vector>

namespace ket::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::string File(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

// Opens through the engine's default VFS (the codec layer); applies `key` when non-empty.
Db OpenDb(const std::string& path, std::string_view key = {}, int flags = 0);
// Runs SQL; fails the test on an error. Returns the engine's result.
int Exec(sqlite3* db, const std::string& sql);
using sample::QueryInt;
std::string QueryText(sqlite3* db, const std::string& sql);
// A digest of every row of every table, for comparing two databases' content.
std::string ContentDigest(sqlite3* db);

// A plain database of `pages` pages (shared with the benchmarks).
using sample::MakeDatabase;

std::vector<std::uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool Exists(const std::string& path);

// Every page of an encrypted file deciphered with our cipher under `password`.
std::vector<std::uint8_t> DecipherFile(const std::vector<std::uint8_t>& file,
                                       std::string_view password, int pageSize);

// True when two database images differ only where a commit changes page 1's header: the change
// counter (24..27) and the version-valid-for number and engine version (92..99).
bool SameExceptCommitFields(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// Installs an I/O hook of the codec layer for its lifetime.
class IoHookScope {
 public:
  explicit IoHookScope(std::function<int(const IoEvent&)> hook);
  ~IoHookScope();
  IoHookScope(const IoHookScope&) = delete;
  IoHookScope& operator=(const IoHookScope&) = delete;

 private:
  std::function<int(const IoEvent&)> hook_;
};

// A file-system layer over the platform's own on which a rollback journal cannot grow past a
// limit: a write across it stores what fits and fails with SQLITE_FULL, as a full disk does.
// Registered on first use; the codec layer goes over it when a connection names it.
class FullDiskVfs {
 public:
  static const char* Name();
  // Negative: no limit (the default).
  static void SetJournalLimit(std::int64_t bytes);
  // The next write to a database file fails with an I/O error and stores nothing.
  static void FailNextDatabaseWrite();
};

// Sets a journal limit for its lifetime.
class JournalLimitScope {
 public:
  explicit JournalLimitScope(std::int64_t bytes) { FullDiskVfs::SetJournalLimit(bytes); }
  ~JournalLimitScope() { FullDiskVfs::SetJournalLimit(-1); }
  JournalLimitScope(const JournalLimitScope&) = delete;
  JournalLimitScope& operator=(const JournalLimitScope&) = delete;
};

// Opens `path` with `key` (empty: none) through TKetDatabase-free raw access and reports
// integrity_check's first row.
std::string Integrity(const std::string& path, std::string_view key);

inline constexpr std::string_view kInstallerPassword = "xq_plume_vortex_731_bells";

// ---- re-keys through the codec entry points, on the engine's own connections ----

// Opens through the codec layer over the VFS named `vfs`; applies `key` when non-empty.
Db OpenDbOver(const char* vfs, const std::string& path, std::string_view key);

// codec_rekey of the connection's main database to `password` (empty: none), as the connection
// object calls it. Returns the engine's result.
int ReKey(sqlite3* db, std::string_view password);

// Re-keys the file at `path` from `oldPassword` to `newPassword` (empty: none); fails the test
// on an error.
void RekeyFile(const std::string& path, std::string_view oldPassword, std::string_view newPassword);

// Whether the main database's codec record holds the key of `password`; for an empty password,
// whether it has no record.
bool KeyedWith(sqlite3* db, std::string_view password);

// A plain file begins with the engine's header string, an encrypted one does not.
bool StartsWithMagic(const std::vector<std::uint8_t>& file);

// Writes to the database file or its journal while `fn` runs.
template <class Fn> int CountWrites(Fn fn) {
  int writes = 0;
  IoHookScope hook([&](const IoEvent& e) {
    if (e.op == IoOp::kWrite && e.file != IoFile::kOther) {
      ++writes;
    }
    return 0;
  });
  fn();
  return writes;
}

// A plain database of 200 pages of 4096 bytes, with its bytes and its content's digest.
class Encrypted : public ::testing::Test {
 protected:
  void SetUp() override;
  // The content's digest read with `key`.
  std::string Digest(std::string_view key);
  // Puts the plain file back, re-keyed to `key` when non-empty; returns its bytes.
  std::vector<std::uint8_t> Restore(std::string_view key);

  TempDir dir_;
  std::string path_;
  std::vector<std::uint8_t> plain_;
  std::string digest_;
};

} // namespace ket::test
