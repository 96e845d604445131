// What the planning and run scenarios need of the platform they run on: its FileSystem and
// real files in a temporary folder. Paths are in the product's form (UTF-16, "\" between
// folders). test_support_posix.cpp and test_support_win32.cpp implement it.
#pragma once

#include "engine/date_time.h"
#include "engine/file_system.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ket::test {

std::unique_ptr<FileSystem> MakePlatformFileSystem();

// A new empty folder, removed with all it holds at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Ends in "\".
  const std::u16string& Path() const { return path_; }
  std::u16string operator/(std::u16string_view relative) const {
    return path_ + std::u16string(relative);
  }

 private:
  std::u16string path_;
};

// Writes a file, creating its folders.
void PutFile(std::u16string_view path, std::string_view bytes);
std::optional<std::string> GetFile(std::u16string_view path);
bool FolderExists(std::u16string_view path);
bool PathExists(std::u16string_view path);
void MakeFolders(std::u16string_view path);
// The last-write time, given as local clock time.
void SetLastWriteLocal(std::u16string_view path, const CalendarTime& local);
void SetReadOnly(std::u16string_view path, bool readOnly);
bool IsReadOnly(std::u16string_view path);

// A symbolic link at `link` to `target` (a folder when `folder`); false where the platform
// cannot make one, so the test can say what it could not check.
bool MakeLink(std::u16string_view link, std::u16string_view target, bool folder);
// Whether a link (rather than a file or folder) is at path.
bool IsLink(std::u16string_view path);

// Keeps a file open as another program would, so the setup cannot write it; null where the
// platform cannot express that.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
};
std::unique_ptr<HeldFile> HoldOpen(std::u16string_view path);

} // namespace ket::test
