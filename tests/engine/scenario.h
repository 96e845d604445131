// Shared pieces of the planning and run scenarios: an archive built by the packer's code and
// loaded like the setup loads it, a window that records what the run asks of it, and
// recording stand-ins for the file system, the database re-key and the shortcuts.
#pragma once

#include "engine/archive.h"
#include "engine/error.h"
#include "engine/payload.h"
#include "engine/setup_state.h"
#include "engine/text.h"
#include "engine/window_operations.h"
#include "tests/engine/test_platform.h"
#include "tools/ketro-pack/archive_writer.h"

#include <functional>
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
  void EnterFinishedState() override { calls.push_back("EnterFinishedState"); }
  void ShowMessage(std::u16string_view text) override {
    calls.push_back("ShowMessage " + Utf16ToUtf8(text));
  }
  void ShowError(std::u16string_view message) override {
    calls.push_back("ShowError " + Utf16ToUtf8(message));
  }

  int Count(std::string_view prefix) const {
    int n = 0;
    for (const auto& c : calls) {
      n += c.starts_with(prefix) ? 1 : 0;
    }
    return n;
  }
};

// Passes everything to the platform's file system and records the creation times set.
class RecordingFileSystem final : public FileSystem {
 public:
  std::unique_ptr<FileSystem> real = MakePlatformFileSystem();
  std::vector<std::pair<std::u16string, CalendarTime>> creationTimes;

  std::optional<std::uint32_t> GetAttributes(std::u16string_view p) override {
    return real->GetAttributes(p);
  }
  bool CreateFolder(std::u16string_view p) override { return real->CreateFolder(p); }
  bool SetAttributes(std::u16string_view p, std::uint32_t a) override {
    return real->SetAttributes(p, a);
  }
  std::unique_ptr<WritableFile> CreateFile(std::u16string_view p) override {
    return real->CreateFile(p);
  }
  bool SetCreationTime(std::u16string_view p, const CalendarTime& t) override {
    creationTimes.emplace_back(std::u16string(p), t);
    return real->SetCreationTime(p, t);
  }
  std::optional<std::pair<FindEntry, std::unique_ptr<FileSearch>>>
  FindFirst(std::u16string_view p) override {
    return real->FindFirst(p);
  }
  bool DeleteFile(std::u16string_view p) override { return real->DeleteFile(p); }
  bool RemoveFolder(std::u16string_view p) override { return real->RemoveFolder(p); }
};

class FakeRekeyer final : public DatabaseRekeyer {
 public:
  std::vector<std::pair<std::u16string, std::string>> calls;
  bool fail = false;
  void RekeyDatabase(std::u16string_view path, std::string_view password) override {
    calls.emplace_back(std::u16string(path), std::string(password));
    if (fail) {
      throw Error("file is not a database");
    }
  }
};

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
