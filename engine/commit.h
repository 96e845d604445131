// The commit of an installation run: the record that lets a run killed in the middle be
// finished or undone by the next one, and the moves that put prepared files in place.
//
// A run prepares every new file under a temporary name beside its target first. Only then does
// it write the record (which file goes where, and where each old file is set aside) and move
// the files: the old file aside to a free name, the new one to the target's. Each move is one
// rename, so at every moment each target holds either the old file whole or the new one whole,
// and the record says which way to go on.
#pragma once

#include "engine/date_time.h"
#include "engine/file_system.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ket {

// The run's own files in the installation folder: the record, the record while it is written,
// and the folder's lock.
inline constexpr std::u16string_view kCommitRecordName = u"~ketro.commit";
inline constexpr std::u16string_view kCommitRecordNewName = u"~ketro.commit-new";
inline constexpr std::u16string_view kFolderLockName = u"~ketro.lock";

// A temporary or set-aside name: "~ket", 8 hexadecimal digits of number, ".tmp". Sixteen
// characters, so it fits in any folder where the file it stands for fits.
std::u16string WorkName(std::uint32_t number);
// Whether a name (without its folder) is one of the run's own: the record, the lock, a
// WorkName. Deletion masks leave them alone.
bool IsRunOwnName(std::u16string_view name);

// One target of a commit; every name is relative to the installation folder.
struct CommitEntry {
  std::u16string target;    // empty: a set-aside file of an earlier run, only to be removed
  std::u16string temporary; // the prepared new file; empty: the old file only goes aside
  std::u16string aside;     // where the old file goes, if there is one
  bool database = false;    // the temporary file is a database: its engine's side files go too
  DateTime date = 0;        // the creation time the new file gets, 0 for none
  friend bool operator==(const CommitEntry&, const CommitEntry&) = default;
};

enum class CommitStage {
  kPrepare, // temporary files are being written; nothing of the product has changed
  kCommit,  // every temporary file is complete; the moves may have begun
  kCleanup, // the moves are done; only set-aside files are left to remove
};

struct CommitRecord {
  CommitStage stage = CommitStage::kPrepare;
  std::vector<std::u16string> folders; // made by this run, outermost first
  std::vector<CommitEntry> entries;    // in the order of the moves
  friend bool operator==(const CommitRecord&, const CommitRecord&) = default;
};

// The record as text (its format is described in commit.cpp, where it is parsed), and back;
// nullopt for text that is not a whole record of this format or names a path outside the
// folder.
std::string FormatCommitRecord(const CommitRecord& record);
std::optional<CommitRecord> ParseCommitRecord(std::string_view text);

// Replaces the small file `path` with `text` in one step: written under `fresh` (a leftover of a
// killed run there is removed first), then moved over `path`; durable: the bytes and the name
// are on the disk when it returns. False on failure: `path` stays as it was, `fresh` is gone.
bool ReplaceSmallFile(FileSystem& files, std::u16string_view path, std::u16string_view fresh,
                      std::string_view text, bool durable);

// Writes the record under kCommitRecordNewName and moves it over kCommitRecordName in one step;
// durable: the record's bytes and its name are on the disk when it returns. False on failure
// (an older record then stays as it was).
bool WriteCommitRecord(FileSystem& files, std::u16string_view folder, const CommitRecord& record,
                       bool durable);
// Removes the record; false when it stays.
bool RemoveCommitRecord(FileSystem& files, std::u16string_view folder);

// Removes a file, or a link as itself, that the run left or found in its way; a read-only file
// is made writable first. A real folder is never removed. True when the name is free.
bool RemoveLeftover(FileSystem& files, std::u16string_view path);

enum class MoveResult {
  kDone,
  kInUse,  // an old file could be neither replaced nor set aside
  kFailed, // any other move failed
};

// Carries out the entries' moves in order, from wherever an earlier attempt stopped: an old
// target goes aside, then the temporary file takes its name and the entry's creation time. On
// a failure `failed` is the index of the entry and nothing after it has been tried.
MoveResult ApplyEntries(FileSystem& files, std::u16string_view folder,
                        const std::vector<CommitEntry>& entries, std::size_t& failed);
// Takes back every move of the entries, the last first: a new file goes back to its temporary
// name, the old one back to its own. True when every target holds its old file again (or
// nothing, where there was none).
bool UndoEntries(FileSystem& files, std::u16string_view folder,
                 const std::vector<CommitEntry>& entries);
// Removes every temporary file (with a database's side files) and then the folders the run
// made, the innermost first, where they are empty. Never fails; what stays, stays.
void DiscardPrepared(FileSystem& files, std::u16string_view folder, const CommitRecord& record);
// Removes the set-aside files; returns those that stay (a program still runs from one) as
// entries of their own, for the next run to remove.
std::vector<CommitEntry> RemoveSetAside(FileSystem& files, std::u16string_view folder,
                                        const std::vector<CommitEntry>& entries);

struct Recovery {
  enum class Status {
    kNothing,  // no record: nothing was interrupted
    kFinished, // an interrupted commit was completed (or only its clean-up was left)
    kUndone,   // an interrupted run was undone: the folder holds what it held before that run
    kFailed,   // it could be neither completed nor undone; the record stays
  } status = Status::kNothing;
  std::u16string blocking;            // kFailed: the file that stood in the way
  std::vector<CommitEntry> leftovers; // set-aside files that could not be removed yet
};

// What every run does first in a folder, before it plans: reads the record an interrupted run
// left and completes its commit, or undoes its preparation, then removes the record (or keeps
// only the set-aside files still to remove). A record that cannot be parsed is removed
// unused. Never throws.
Recovery RecoverInterruptedCommit(FileSystem& files, std::u16string_view folder);

} // namespace ket
