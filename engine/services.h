// The small interfaces through which the engine reaches the rest of the world, besides the
// file system (engine/file_system.h) and the window (engine/window_operations.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ket {

// Case-insensitive comparison of archive names, by the user's locale.
class NameComparer {
 public:
  virtual ~NameComparer() = default;
  virtual bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) const = 0;
};

// The read-only bytes of the archive where they lie: the resource in the program's image on
// Windows, a memory-mapped file elsewhere. Never a copy of the whole archive.
class ArchiveBytes {
 public:
  virtual ~ArchiveBytes() = default;
  virtual std::span<const std::uint8_t> Bytes() const = 0;
};

// Desktop and Start-menu shortcuts. Reads InstallDir, DesktopShortcut and StartMenuShortcut
// from the setup state; reports nothing.
class ShortcutCreator {
 public:
  virtual ~ShortcutCreator() = default;
  virtual void CreateShortcut(std::u16string_view FN, std::u16string_view Cap) = 0;
};

// What the re-key of the city database came to.
enum class RekeyResult {
  kDone,         // every page enciphered under the password, the file on the disk
  kNotADatabase, // the file begins as a database but its engine finds none: a damaged payload
  kFailed,       // any other failure (disk full, I/O, memory, interrupt): this machine's
};

// Step c of the run: open the city database just written, re-key it with the password, close
// it. Never throws: the database layer maps its own failures to the result, where its result
// codes are known, so the run reads no message.
class DatabaseRekeyer {
 public:
  virtual ~DatabaseRekeyer() = default;
  virtual RekeyResult RekeyDatabase(std::u16string_view path, std::string_view password) = 0;
};

// What a try to take the single-instance lock found.
enum class LockResult {
  kTaken,        // this process holds the lock now
  kBusy,         // another process holds it: a setup is running
  kCannotCreate, // the file cannot be made at all (say, the temporary folder is not writable)
};

// What start-up needs of the platform.
class StartupPlatform {
 public:
  virtual ~StartupPlatform() = default;
  // The command-line arguments after the program's own name.
  virtual std::vector<std::u16string> Arguments() = 0;
  // The single-instance lock: "ketro.tmp" in the short temporary folder, created exclusively and
  // held open for the life of the process. Busy only when another process has the file open;
  // every other failure is kCannotCreate, which no waiting mends.
  virtual LockResult TryCreateLock() = 0;
  virtual void Sleep(unsigned milliseconds) = 0;
  // Posts the activation message to the running setup's window and ends the process with the
  // exit code "handed over" (7).
  [[noreturn]] virtual void SignalRunningInstance() = 0;
  virtual void SetThreadLocale(std::uint32_t lcid) = 0;
  // The string value "OEMCP"; nullopt when the key or the value cannot be read.
  virtual std::optional<std::u16string> ReadOemCodePage() = 0;
};

} // namespace ket
