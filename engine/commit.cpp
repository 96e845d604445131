#include "engine/commit.h"

#include "base/text.h"
#include "engine/install_name.h"
#include "engine/run.h"

#include <bit>
#include <cstring>

namespace ket {

namespace {

// The record, as FormatCommitRecord writes it and ParseCommitRecord reads it: UTF-8 text, one
// item per line, each line ending in "\n".
//
//   ketro commit record 1
//   stage<TAB>prepare | commit | cleanup
//   folder<TAB>NAME                                       (any number, outermost first)
//   file<TAB>FLAGS<TAB>DATE<TAB>TARGET<TAB>TEMPORARY<TAB>ASIDE   (any number, in move order)
//   end
//
// NAMEs are relative to the installation folder with "\" between folders and must pass the
// install-name check (so a record can never send a move outside the folder); a name never holds
// a tab or a line break, as names hold no control character. An empty TARGET, TEMPORARY or
// ASIDE means none (see CommitEntry). FLAGS is "d" for a database's temporary file, "-"
// otherwise. DATE is the creation time as the 16 hexadecimal digits of its IEEE 754 bits, or
// "0". The closing "end" line tells a whole record from a cut one; anything else that differs
// makes the whole record unreadable.
constexpr std::string_view kRecordHeader = "ketro commit record 1";
// Far above any product's record (some 100 bytes a file).
constexpr std::size_t kMaxRecordSize = 16 * 1024 * 1024;

std::string_view StageName(CommitStage stage) {
  switch (stage) {
  case CommitStage::kPrepare:
    return "prepare";
  case CommitStage::kCommit:
    return "commit";
  case CommitStage::kCleanup:
    return "cleanup";
  }
  return "";
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) {
      return fields;
    }
    start = tab + 1;
  }
}

std::optional<std::u16string> ParseName(std::string_view field, bool mayBeEmpty) {
  if (field.empty()) {
    return mayBeEmpty ? std::optional<std::u16string>(std::u16string()) : std::nullopt;
  }
  std::u16string name = Utf8ToUtf16(field);
  if (!InstallNameProblem(name, NameKind::File).empty()) {
    return std::nullopt;
  }
  return name;
}

std::optional<DateTime> ParseDate(std::string_view field) {
  if (field == "0") {
    return 0.0;
  }
  if (field.size() != 16) {
    return std::nullopt;
  }
  std::uint64_t bits = 0;
  for (const char c : field) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) {
      return std::nullopt;
    }
    bits = bits << 4 | static_cast<std::uint64_t>(digit);
  }
  return std::bit_cast<DateTime>(bits);
}

std::string FormatDate(DateTime date) {
  if (date == 0) {
    return "0";
  }
  const auto bits = std::bit_cast<std::uint64_t>(date);
  std::string out(16, '0');
  for (int i = 15, shift = 0; i >= 0; --i, shift += 4) {
    out[static_cast<std::size_t>(i)] = "0123456789abcdef"[(bits >> shift) & 0xF];
  }
  return out;
}

bool Exists(FileSystem& files, const std::u16string& path) {
  return files.GetAttributes(path).has_value();
}

std::u16string WithSeparator(std::u16string_view folder) {
  std::u16string f(folder);
  if (!f.empty() && f.back() != u'\\' && f.back() != u'/') {
    f.push_back(u'\\');
  }
  return f;
}

} // namespace

std::u16string WorkName(std::uint32_t number) {
  std::u16string name = u"~ket00000000.tmp";
  for (int i = 11; i >= 4; --i, number >>= 4) {
    name[static_cast<std::size_t>(i)] = u"0123456789ABCDEF"[number & 0xF];
  }
  return name;
}

bool IsRunOwnName(std::u16string_view name) {
  if (name == kCommitRecordName || name == kCommitRecordNewName || name == kFolderLockName) {
    return true;
  }
  if (name.size() != 16 || !name.starts_with(u"~ket") || !name.ends_with(u".tmp")) {
    return false;
  }
  for (std::size_t i = 4; i < 12; ++i) {
    const char16_t c = name[i];
    if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) {
      return false;
    }
  }
  return true;
}

std::string FormatCommitRecord(const CommitRecord& record) {
  std::string text(kRecordHeader);
  text += "\nstage\t";
  text += StageName(record.stage);
  text += '\n';
  for (const auto& folder : record.folders) {
    text += "folder\t" + Utf16ToUtf8(folder) + '\n';
  }
  for (const auto& e : record.entries) {
    text += "file\t";
    text += e.database ? "d" : "-";
    text += '\t' + FormatDate(e.date) + '\t' + Utf16ToUtf8(e.target) + '\t' +
            Utf16ToUtf8(e.temporary) + '\t' + Utf16ToUtf8(e.aside) + '\n';
  }
  text += "end\n";
  return text;
}

std::optional<CommitRecord> ParseCommitRecord(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      return std::nullopt; // cut off in the middle of a line
    }
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (lines.size() < 3 || lines.front() != kRecordHeader || lines.back() != "end") {
    return std::nullopt;
  }
  CommitRecord record;
  const auto stage = SplitTabs(lines[1]);
  if (stage.size() != 2 || stage[0] != "stage") {
    return std::nullopt;
  }
  if (stage[1] == "prepare") {
    record.stage = CommitStage::kPrepare;
  } else if (stage[1] == "commit") {
    record.stage = CommitStage::kCommit;
  } else if (stage[1] == "cleanup") {
    record.stage = CommitStage::kCleanup;
  } else {
    return std::nullopt;
  }
  for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
    const auto f = SplitTabs(lines[i]);
    if (f.size() == 2 && f[0] == "folder" && record.entries.empty()) {
      auto name = ParseName(f[1], false);
      if (!name) {
        return std::nullopt;
      }
      record.folders.push_back(std::move(*name));
      continue;
    }
    if (f.size() != 6 || f[0] != "file" || (f[1] != "d" && f[1] != "-")) {
      return std::nullopt;
    }
    CommitEntry e;
    e.database = f[1] == "d";
    const auto date = ParseDate(f[2]);
    auto target = ParseName(f[3], true);
    auto temporary = ParseName(f[4], true);
    auto aside = ParseName(f[5], true);
    // An entry moves something, and a temporary file has a target to go to.
    if (!date || !target || !temporary || !aside || aside->empty() ||
        (target->empty() && !temporary->empty())) {
      return std::nullopt;
    }
    e.date = *date;
    e.target = std::move(*target);
    e.temporary = std::move(*temporary);
    e.aside = std::move(*aside);
    record.entries.push_back(std::move(e));
  }
  return record;
}

bool WriteCommitRecord(FileSystem& files, std::u16string_view folder, const CommitRecord& record,
                       bool durable) {
  const std::u16string base = WithSeparator(folder);
  return ReplaceSmallFile(files, base + std::u16string(kCommitRecordName),
                          base + std::u16string(kCommitRecordNewName), FormatCommitRecord(record),
                          durable);
}

bool ReplaceSmallFile(FileSystem& files, std::u16string_view path, std::u16string_view fresh,
                      std::string_view text, bool durable) {
  if (!RemoveLeftover(files, fresh)) {
    return false;
  }
  auto file = files.CreateNewFile(fresh);
  if (!file) {
    return false;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  bool written = file->Write(std::span<const std::uint8_t>(bytes, text.size()));
  written = written && (!durable || file->Flush());
  written = file->Close() && written;
  if (!written || !files.MoveOver(fresh, path, durable)) {
    RemoveLeftover(files, fresh);
    return false;
  }
  return true;
}

bool RemoveCommitRecord(FileSystem& files, std::u16string_view folder) {
  return RemoveLeftover(files, WithSeparator(folder) + std::u16string(kCommitRecordName));
}

bool RemoveLeftover(FileSystem& files, std::u16string_view path) {
  const auto attributes = files.GetAttributes(path);
  if (!attributes) {
    return true;
  }
  const bool link = (*attributes & kAttrReparsePoint) != 0;
  if ((*attributes & kAttrDirectory) && !link) {
    return false;
  }
  if (!link && (*attributes & kAttrReadOnly)) {
    files.SetAttributes(path, 0);
  }
  // A link that stands for a folder goes with RemoveDirectoryW, which removes the link alone.
  if (!files.RemoveFile(path) && link && (*attributes & kAttrDirectory)) {
    files.RemoveFolder(path);
  }
  return !files.GetAttributes(path).has_value();
}

namespace {

// The new file takes the target's name; the old one is at `aside` already (a second name of
// it, or the only one). False when the target cannot be replaced.
bool ReplaceTarget(FileSystem& files, const std::u16string& temporary, const std::u16string& target,
                   DateTime date) {
  if (!files.MoveOver(temporary, target, false)) {
    return false;
  }
  // Set on the final name: a file that takes the name of one just moved away may inherit that
  // one's creation time (Windows' file-name tunnelling).
  SetFileCreationTime(files, target, date);
  return true;
}

MoveResult ApplyEntry(FileSystem& files, const std::u16string& base, const CommitEntry& e) {
  if (e.target.empty()) {
    return MoveResult::kDone;
  }
  const std::u16string target = base + e.target;
  const std::u16string temporary = base + e.temporary;
  const std::u16string aside = base + e.aside;
  const bool hasNew = !e.temporary.empty() && Exists(files, temporary);
  if (!e.temporary.empty() && !hasNew) {
    return MoveResult::kDone; // moved in already
  }
  // Nothing is moved through a folder that has become a link.
  if (CrossesLink(files, base, e.target)) {
    return MoveResult::kFailed;
  }
  if (Exists(files, target)) {
    if (Exists(files, aside)) {
      // Only a second name of the old file, made by an attempt cut short, is found there while
      // the target still has its own.
      if (!hasNew) {
        return MoveResult::kFailed;
      }
      return ReplaceTarget(files, temporary, target, e.date) ? MoveResult::kDone
                                                             : MoveResult::kInUse;
    }
    // Where a file can have two names, the old one keeps its own until the new one replaces
    // it, so no moment finds the name empty. A read-only file cannot be replaced: it is renamed.
    const bool blocked =
        files.GetAttributes(target).value_or(0) & (kAttrReadOnly | kAttrHidden | kAttrSystem);
    if (hasNew && !blocked && files.LinkNew(target, aside)) {
      if (ReplaceTarget(files, temporary, target, e.date)) {
        return MoveResult::kDone;
      }
      if (!files.RemoveFile(aside)) {
        return MoveResult::kInUse;
      }
    }
    if (!files.MoveNew(target, aside, false)) {
      return MoveResult::kInUse;
    }
  }
  if (hasNew) {
    if (!files.MoveNew(temporary, target, false)) {
      return MoveResult::kFailed;
    }
    SetFileCreationTime(files, target, e.date);
  }
  return MoveResult::kDone;
}

// Takes one entry's moves back; false when its target cannot hold its old file again.
bool UndoEntry(FileSystem& files, const std::u16string& base, const CommitEntry& e) {
  if (e.target.empty()) {
    return true;
  }
  const std::u16string target = base + e.target;
  const std::u16string temporary = base + e.temporary;
  const std::u16string aside = base + e.aside;
  const bool hasNew = !e.temporary.empty() && Exists(files, temporary);
  const bool hasAside = Exists(files, aside);
  if (!e.temporary.empty() && !hasNew && Exists(files, target)) {
    // The new file is in place: it gets its temporary name back, the old one its own.
    if (hasAside && files.LinkNew(target, temporary)) {
      return files.MoveOver(aside, target, false);
    }
    if (!files.MoveNew(target, temporary, false)) {
      return false;
    }
    return !hasAside || files.MoveNew(aside, target, false);
  }
  if (!hasAside) {
    return true;
  }
  if (Exists(files, target)) {
    // The old file with a second name beside it: only that name goes.
    return hasNew && files.RemoveFile(aside);
  }
  return files.MoveNew(aside, target, false);
}

} // namespace

MoveResult ApplyEntries(FileSystem& files, std::u16string_view folder,
                        const std::vector<CommitEntry>& entries, std::size_t& failed) {
  const std::u16string base = WithSeparator(folder);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    failed = i;
    const MoveResult result = ApplyEntry(files, base, entries[i]);
    if (result != MoveResult::kDone) {
      return result;
    }
  }
  failed = entries.size();
  return MoveResult::kDone;
}

bool UndoEntries(FileSystem& files, std::u16string_view folder,
                 const std::vector<CommitEntry>& entries) {
  const std::u16string base = WithSeparator(folder);
  bool whole = true;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    whole = UndoEntry(files, base, *it) && whole;
  }
  return whole;
}

void DiscardPrepared(FileSystem& files, std::u16string_view folder, const CommitRecord& record) {
  const std::u16string base = WithSeparator(folder);
  try {
    for (const auto& e : record.entries) {
      if (e.temporary.empty()) {
        continue;
      }
      const std::u16string temporary = base + e.temporary;
      RemoveLeftover(files, temporary);
      if (e.database) {
        for (const auto side : kDatabaseSideFiles) {
          RemoveLeftover(files, temporary + std::u16string(side));
        }
      }
    }
    for (auto it = record.folders.rbegin(); it != record.folders.rend(); ++it) {
      files.RemoveFolder(base + *it);
    }
  } catch (...) {
    // What stays, stays: the next run's record names it again.
  }
}

std::vector<CommitEntry> RemoveSetAside(FileSystem& files, std::u16string_view folder,
                                        const std::vector<CommitEntry>& entries) {
  const std::u16string base = WithSeparator(folder);
  std::vector<CommitEntry> left;
  for (const auto& e : entries) {
    if (!e.aside.empty() && !RemoveLeftover(files, base + e.aside)) {
      left.push_back(CommitEntry{u"", u"", e.aside, false, 0});
    }
  }
  return left;
}

Recovery RecoverInterruptedCommit(FileSystem& files, std::u16string_view folder) {
  Recovery recovery;
  try {
    const std::u16string base = WithSeparator(folder);
    const std::u16string recordPath = base + std::u16string(kCommitRecordName);
    RemoveLeftover(files, base + std::u16string(kCommitRecordNewName));
    const auto text = files.ReadSmallFile(recordPath, kMaxRecordSize);
    if (!text) {
      if (Exists(files, recordPath)) {
        recovery.status = Recovery::Status::kFailed;
        recovery.blocking = std::u16string(kCommitRecordName);
      }
      return recovery;
    }
    const auto record = ParseCommitRecord(*text);
    if (!record) {
      RemoveLeftover(files, recordPath);
      return recovery;
    }
    std::vector<CommitEntry> toClean;
    switch (record->stage) {
    case CommitStage::kPrepare:
      DiscardPrepared(files, base, *record);
      for (const auto& e : record->entries) {
        if (e.target.empty()) {
          toClean.push_back(e);
        }
      }
      recovery.status = Recovery::Status::kUndone;
      break;
    case CommitStage::kCommit: {
      std::size_t failed = 0;
      if (ApplyEntries(files, base, record->entries, failed) == MoveResult::kDone) {
        toClean = record->entries;
        recovery.status = Recovery::Status::kFinished;
      } else if (UndoEntries(files, base, record->entries)) {
        DiscardPrepared(files, base, *record);
        for (const auto& e : record->entries) {
          if (e.target.empty()) {
            toClean.push_back(e);
          }
        }
        recovery.status = Recovery::Status::kUndone;
      } else {
        recovery.status = Recovery::Status::kFailed;
        recovery.blocking = record->entries[failed].target;
        return recovery; // the record stays for the next attempt
      }
      break;
    }
    case CommitStage::kCleanup:
      toClean = record->entries;
      recovery.status = Recovery::Status::kFinished;
      break;
    }
    recovery.leftovers = RemoveSetAside(files, base, toClean);
    if (recovery.leftovers.empty()) {
      RemoveLeftover(files, recordPath);
    } else {
      WriteCommitRecord(files, base, CommitRecord{CommitStage::kCleanup, {}, recovery.leftovers},
                        false);
    }
  } catch (...) {
    recovery.status = Recovery::Status::kFailed;
    recovery.blocking = std::u16string(kCommitRecordName);
  }
  return recovery;
}

} // namespace ket
