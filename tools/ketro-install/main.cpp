// ketro-install: the installation run on the local file system, from the console.
//
//   ketro-install --archive ARCHIVE --dir DIR [--force] [--no-desktop] [--no-start-menu]
//                 [--desktop-dir D] [--programs-dir D]
//   ketro-install --uninstall --dir DIR
//   ketro-install --version
//
// Edition "P". An update is all or nothing; the exit code says what happened (engine/exit_code.h,
// the same table as KetroSetup.exe's):
//   0 everything done
//   1 the archive could not be loaded, or it is damaged: nothing changed
//   2 the folder was refused (the refusal text on stderr)
//   3 wrong usage
//   4 the update could not be carried out (a file that could not be written, too little disk
//     space): it was undone, the folder is as before (the reason on stderr)
//   5 carried out, but some obsolete files could not be deleted (their names on stderr)
//   6 a file of the product is held by another program: cancelled, nothing changed
//   8 another setup is working on the folder: nothing changed
// Before anything else, a run that was killed in the folder is completed or undone. A completed
// run leaves the record of what it installed, "Uninstall Ketro.lst", in the folder.
//
// --uninstall removes what the record names, the folders that became empty and the record,
// and keeps the user's files and settings files: 0, or 5 with what stayed on stderr (1 without
// a record, 8 while another run works on the folder).
#include "base/text.h"
#include "db/city_database_rekeyer.h"
#include "engine/commit.h"
#include "engine/exit_code.h"
#include "engine/payload.h"
#include "engine/run.h"
#include "engine/setup_state.h"
#include "engine/uninstall.h"
#include "ket_version.h"
#include "platform/posix/mapped_file.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/shell_link.h"
#include "tools/ketro-install/console_window.h"
#include "tools/options.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

using ket::ExitCode;
using ket::ToInt;

const char* const kUsageText =
    "usage: ketro-install --archive ARCHIVE --dir DIR [--force] [--no-desktop]\n"
    "                     [--no-start-menu] [--desktop-dir D] [--programs-dir D]\n"
    "       ketro-install --uninstall --dir DIR\n"
    "       ketro-install --version\n";

struct Options {
  std::string archive;
  std::string dir;
  bool force = false;
  bool uninstall = false;
  bool desktop = true;
  bool startMenu = true;
  std::string desktopDir;  // where the desktop shortcut goes
  std::string programsDir; // where the Start-menu shortcut goes
};

// The options, or nullopt when --help or --version was answered.
std::optional<Options> ParseOptions(std::span<char* const> arguments) {
  const ket::CommandLine line(arguments, {{"--archive", true},
                                          {"--dir", true},
                                          {"--force"},
                                          {"--uninstall"},
                                          {"--no-desktop"},
                                          {"--no-start-menu"},
                                          {"--desktop-dir", true},
                                          {"--programs-dir", true},
                                          {"--help"},
                                          {"-h"},
                                          {"--version"}});
  if (line.Has("--help") || line.Has("-h")) {
    std::cout << kUsageText;
    return std::nullopt;
  }
  if (line.Has("--version")) {
    std::cout << "ketro-install (" KET_PRODUCT_NAME ") " KET_VERSION_TEXT "\n";
    return std::nullopt;
  }
  line.Operands(0, "unexpected argument");
  Options o;
  o.uninstall = line.Has("--uninstall");
  o.archive = line.Value("--archive").value_or("");
  if (o.archive.empty() && !o.uninstall) {
    throw ket::UsageError("missing --archive");
  }
  o.dir = line.Need("--dir");
  o.force = line.Has("--force");
  o.desktop = !line.Has("--no-desktop");
  o.startMenu = !line.Has("--no-start-menu");
  o.desktopDir = line.Value("--desktop-dir").value_or("");
  o.programsDir = line.Value("--programs-dir").value_or("");
  return o;
}

// Removes what the record in options.dir says was installed; the exit code.
int Uninstall(ket::PosixFileSystem& files, const Options& options) {
  std::u16string folder = ket::Utf8ToUtf16(options.dir);
  if (folder.empty() || folder.back() != u'/') {
    folder.push_back(u'/');
  }
  auto [status, lock] = files.LockFolder(folder + std::u16string(ket::kFolderLockName));
  if (status == ket::LockStatus::kBusy) {
    std::cerr << "ketro-install: another run is working on " << options.dir << "\n";
    return ToInt(ExitCode::kFolderBusy);
  }
  if (!files.GetAttributes(folder + std::u16string(ket::kUninstallRecordName))) {
    std::cerr << "ketro-install: " << options.dir << " holds no record of an installation\n";
    return ToInt(ExitCode::kCannotStart);
  }
  const auto left = ket::RemoveInstalled(files, folder);
  lock.reset();
  files.RemoveFolder(folder.substr(0, folder.size() - 1)); // only when it became empty
  for (const auto& name : left) {
    std::cerr << "ketro-install: could not remove " << ket::Utf16ToUtf8(name) << "\n";
  }
  return ToInt(left.empty() ? ExitCode::kDone : ExitCode::kIncomplete);
}

// A run killed in the folder is completed or undone before anything else: by the run itself
// (DoCopy), or by this when this run's archive cannot even be loaded. A folder another run holds
// is that run's to recover.
void RecoverFolder(ket::PosixFileSystem& files, const std::string& dir) {
  std::u16string folder = ket::Utf8ToUtf16(dir);
  if (folder.empty() || !files.GetAttributes(folder)) {
    return;
  }
  if (folder.back() != u'\\' && folder.back() != u'/') {
    folder.push_back(u'\\');
  }
  auto [status, lock] = files.LockFolder(folder + std::u16string(ket::kFolderLockName));
  if (status != ket::LockStatus::kBusy) {
    ket::RecoverInterruptedCommit(files, folder);
  }
}

// Loads the archive options.archive into state and payload. False, with the reason on stderr and
// an interrupted run in the folder recovered, when it cannot be loaded.
bool LoadArchive(ket::PosixFileSystem& files, const Options& options, ket::SetupState& state,
                 ket::Payload& payload) {
  try {
    ket::LoadPayload(state, payload,
                     [&] { return std::make_unique<ket::MappedFileBytes>(options.archive); });
    return true;
  } catch (const ket::DamagedSetupError& e) {
    RecoverFolder(files, options.dir);
    std::cerr << "ketro-install: " << options.archive << ": " << e.what()
              << "\nThe setup's archive is damaged; nothing was changed.\n";
  } catch (const std::exception& e) {
    RecoverFolder(files, options.dir);
    std::cerr << "ketro-install: " << options.archive << ": " << e.what() << "\n";
  }
  return false;
}

// The run over a loaded payload, through the console window; the exit code.
int Install(ket::PosixFileSystem& files, const Options& options, ket::SetupState& state,
            const ket::Payload& payload) {
  ket::ConsoleWindow window(ket::Choices{ket::Utf8ToUtf16(options.dir), options.force,
                                         options.desktop, options.startMenu},
                            stdout, ::isatty(STDOUT_FILENO) == 1);
  // The city database is re-keyed through TKetDatabase.
  ket::CityDatabaseRekeyer rekeyer;
  // Links in the Shell Link format into the folders given; none where no folder is given.
  std::unique_ptr<ket::ShellLinkShortcutCreator> shortcuts;
  if (!options.desktopDir.empty() || !options.programsDir.empty()) {
    shortcuts = std::make_unique<ket::ShellLinkShortcutCreator>(state, options.desktopDir,
                                                                options.programsDir);
  }

  const std::vector<std::u16string> manifest = *state.ManifestLines;
  ket::RunOutcome outcome;
  try {
    outcome = ket::DoCopy(state, payload, {files, window, shortcuts.get(), &rekeyer});
  } catch (const std::exception& e) {
    std::cerr << "ketro-install: " << e.what() << "\n";
    return ToInt(ExitCode::kCannotStart);
  }
  if (state.InstallDone &&
      !ket::WriteUninstallRecord(files, state.InstallDir, manifest, state.EditionCode)) {
    std::cerr << "ketro-install: the record of the installation could not be written\n";
  }
  if (window.finished()) {
    window.PrintSummary(outcome, stderr);
  }
  return ToInt(outcome.exitCode);
}

} // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    const std::optional<Options> parsed = ParseOptions({argv + 1, argv + argc});
    if (!parsed) {
      return ToInt(ExitCode::kDone);
    }
    options = *parsed;
  } catch (const ket::UsageError& e) {
    return ket::UsageFailure("ketro-install", e.what(), kUsageText);
  }

  ket::PosixFileSystem files;
  if (options.uninstall) {
    return Uninstall(files, options);
  }
  ket::SetupState& state = ket::Setup();
  state.EditionCode = u'P';
  ket::Payload payload;
  if (!LoadArchive(files, options, state, payload)) {
    return ToInt(ExitCode::kCannotStart);
  }
  return Install(files, options, state, payload);
}
