// Shared pieces of the planning and run scenarios: an archive built by the packer's code and
// loaded like the setup loads it, a window that records what the run asks of it, and
// recording stand-ins for the file system, the database re-key and the shortcuts.
#pragma once

#include "base/error.h"
#include "base/text.h"
#include "engine/archive.h"
#include "engine/archive_writer.h"
#include "engine/payload.h"
#include "engine/setup_state.h"
#include "engine/window_operations.h"
#include "tests/engine/test_support_platform.h"

#include <algorithm>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace ket::test {

inline constexpr std::uint32_t kEntryDos = 0x5B6A7059; // 2025-11-10 14:02:50
inline const CalendarTime kEntryTime{2025, 11, 10, 14, 2, 50, 0};

struct FileSpec {
  std::string name;
  std::string data;
  std::uint32_t dos = kEntryDos;
};

// Packs the manifest lines (joined with CR LF) as "list" and the files, then loads the archive
// into state and payload through LoadPayload.
inline void LoadScenario(SetupState& state, Payload& payload,
                         const std::vector<std::string>& manifest,
                         const std::vector<FileSpec>& files) {
  std::string list;
  for (const auto& line : manifest) {
    list += line + "\r\n";
  }
  std::vector<ArchiveEntry> entries{{"list", {list.begin(), list.end()}, 0}};
  for (const auto& f : files) {
    entries.push_back({f.name, {f.data.begin(), f.data.end()}, f.dos});
  }
  auto bytes = BuildArchive(entries);
  LoadPayload(state, payload, [&] { return std::make_unique<MemoryArchiveBytes>(bytes); });
}

// How many of the recorded lines begin with prefix.
inline int CountStartingWith(const std::vector<std::string>& lines, std::string_view prefix) {
  return static_cast<int>(std::ranges::count_if(
      lines, [&](const std::string& line) { return line.starts_with(prefix); }));
}

class RecordingWindow final : public WindowOperations {
 public:
  Choices choices;
  std::vector<std::string> calls;
  std::function<void()> onPendingMessages;

  void EnterCopyingState() override { calls.push_back("EnterCopyingState"); }
  Choices ReadChoices() override {
    calls.push_back("ReadChoices");
    return choices;
  }
  void ReturnToOptionsState() override { calls.push_back("ReturnToOptionsState"); }
  void ShowProgressPanel(int highest) override {
    calls.push_back("ShowProgressPanel " + std::to_string(highest));
  }
  void SetProgressPosition(int index) override {
    calls.push_back("SetProgressPosition " + std::to_string(index));
  }
  void ShowCurrentFile(std::u16string_view name) override {
    calls.push_back("ShowCurrentFile " + Utf16ToUtf8(name));
  }
  void ProcessPendingMessages() override {
    calls.push_back("ProcessPendingMessages");
    if (onPendingMessages) {
      onPendingMessages();
    }
  }
  // What the last EnterFinishedState was given.
  std::vector<std::u16string> failures;
  void EnterFinishedState(std::span<const std::u16string> failed) override {
    calls.push_back("EnterFinishedState");
    failures.assign(failed.begin(), failed.end());
  }
  void ShowMessage(std::u16string_view text) override {
    calls.push_back("ShowMessage " + Utf16ToUtf8(text));
  }
  void ShowError(std::u16string_view message) override {
    calls.push_back("ShowError " + Utf16ToUtf8(message));
  }
  // The answer to the files-in-use question (true: Retry); Cancel when unset.
  std::function<bool()> answerRetry;
  bool AskRetryFileInUse(std::u16string_view name) override {
    calls.push_back("AskRetryFileInUse " + Utf16ToUtf8(name));
    return answerRetry && answerRetry();
  }
  void ShowDamagedSetup() override { calls.push_back("ShowDamagedSetup"); }
  void ShowNotEnoughSpace(std::uint64_t needed, std::uint64_t available) override {
    calls.push_back("ShowNotEnoughSpace " + std::to_string(needed) + " " +
                    std::to_string(available));
  }
  void ShowFolderBusy() override { calls.push_back("ShowFolderBusy"); }

  int Count(std::string_view prefix) const { return CountStartingWith(calls, prefix); }
};

// Passes everything to the platform's file system, records the creation times set and the
// calls that change something, and fails the calls a test picks (a full disk, an I/O error, a
// file another program holds) as the platform would report them. "MoveNew" and "MoveOver" name
// the path moved to.
class RecordingFileSystem final : public FileSystem {
 public:
  std::unique_ptr<FileSystem> real = MakePlatformFileSystem();
  std::vector<std::pair<std::u16string, CalendarTime>> creationTimes;
  // "Operation path" of every call that changes something ("Write" and "Flush" name the file
  // they write), in order.
  std::vector<std::string> changes;
  // Called before each of those; true makes it fail. "Write" writes half the bytes first, as
  // a disk that fills up does.
  std::function<bool(std::string_view operation, std::u16string_view path)> failWhen;

  std::optional<std::uint32_t> GetAttributes(std::u16string_view p) override {
    return real->GetAttributes(p);
  }
  bool CreateFolder(std::u16string_view p) override {
    return !Fails("CreateFolder", p) && real->CreateFolder(p);
  }
  bool SetAttributes(std::u16string_view p, std::uint32_t a) override {
    return !Fails("SetAttributes", p) && real->SetAttributes(p, a);
  }
  std::unique_ptr<WritableFile> CreateNewFile(std::u16string_view p) override {
    if (Fails("CreateNewFile", p)) {
      return nullptr;
    }
    auto file = real->CreateNewFile(p);
    if (!file) {
      return nullptr;
    }
    return std::make_unique<File>(*this, std::u16string(p), std::move(file));
  }
  bool MoveOver(std::u16string_view from, std::u16string_view to, bool durable) override {
    return !Fails(durable ? "MoveOver durably" : "MoveOver", to) &&
           real->MoveOver(from, to, durable);
  }
  bool SetCreationTime(std::u16string_view p, const CalendarTime& t) override {
    creationTimes.emplace_back(std::u16string(p), t);
    return real->SetCreationTime(p, t);
  }
  std::optional<std::pair<FindEntry, std::unique_ptr<FileSearch>>>
  FindFirst(std::u16string_view p) override {
    return real->FindFirst(p);
  }
  bool RemoveFile(std::u16string_view p) override {
    return !Fails("RemoveFile", p) && real->RemoveFile(p);
  }
  bool RemoveFolder(std::u16string_view p) override {
    return !Fails("RemoveFolder", p) && real->RemoveFolder(p);
  }
  bool MoveNew(std::u16string_view from, std::u16string_view to, bool durable) override {
    return !Fails("MoveNew", to) && real->MoveNew(from, to, durable);
  }
  bool LinkNew(std::u16string_view from, std::u16string_view to) override {
    return !Fails("LinkNew", to) && real->LinkNew(from, to);
  }
  std::optional<std::string> ReadSmallFile(std::u16string_view p, std::size_t maxBytes) override {
    return real->ReadSmallFile(p, maxBytes);
  }
  // What FreeSpace answers instead of the platform, when set.
  std::optional<std::optional<std::uint64_t>> freeSpace;
  std::optional<std::uint64_t> FreeSpace(std::u16string_view folder) override {
    return freeSpace ? *freeSpace : real->FreeSpace(folder);
  }
  std::pair<LockStatus, std::unique_ptr<FolderLock>> LockFolder(std::u16string_view p) override {
    return real->LockFolder(p);
  }
  bool SameName(std::u16string_view a, std::u16string_view b) const override {
    return real->SameName(a, b);
  }

  int Count(std::string_view prefix) const { return CountStartingWith(changes, prefix); }

 private:
  class File final : public WritableFile {
   public:
    File(RecordingFileSystem& owner, std::u16string path, std::unique_ptr<WritableFile> file)
        : owner_(owner), path_(std::move(path)), file_(std::move(file)) {}
    bool Write(std::span<const std::uint8_t> bytes) override {
      if (owner_.Fails("Write", path_)) {
        file_->Write(bytes.first(bytes.size() / 2));
        return false;
      }
      return file_->Write(bytes);
    }
    bool Flush() override { return !owner_.Fails("Flush", path_) && file_->Flush(); }
    bool Close() override {
      const bool fails = owner_.Fails("Close", path_);
      const bool closed = file_->Close(); // the handle goes either way
      return !fails && closed;
    }

   private:
    RecordingFileSystem& owner_;
    std::u16string path_;
    std::unique_ptr<WritableFile> file_;
  };

  bool Fails(std::string_view operation, std::u16string_view path) {
    changes.push_back(std::string(operation) + " " + Utf16ToUtf8(path));
    return failWhen && failWhen(operation, path);
  }
};

// The re-key step: records the calls and what the file under re-key held, and comes to
// `result`; only a done re-key changes the file.
class FakeRekeyer final : public DatabaseRekeyer {
 public:
  std::vector<std::pair<std::u16string, std::string>> calls;
  // What the file held when the re-key began.
  std::vector<std::string> contents;
  RekeyResult result = RekeyResult::kDone;
  RekeyResult RekeyDatabase(std::u16string_view path, std::string_view password) override {
    calls.emplace_back(std::u16string(path), std::string(password));
    contents.push_back(GetFile(path).value_or("(none)"));
    if (result == RekeyResult::kDone) {
      PutFile(path, "rekeyed " + contents.back()); // what a re-key leaves of the plain bytes
    }
    return result;
  }
};

// The bytes of a plain database file begin with this header, which the run looks for before
// it re-keys the city database.
inline const std::string kPlainDatabase = std::string("SQLite format 3\0", 16) + "pages";

class FakeShortcuts final : public ShortcutCreator {
 public:
  std::vector<std::pair<std::u16string, std::u16string>> calls;
  bool fail = false;
  void CreateShortcut(std::u16string_view FN, std::u16string_view Cap) override {
    calls.emplace_back(std::u16string(FN), std::u16string(Cap));
    if (fail) {
      throw Error("no desktop");
    }
  }
};

} // namespace ket::test
