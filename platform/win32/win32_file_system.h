// The engine's file system on Windows: each operation is the one platform call it is named
// after, with the access, share and creation flags the installation run relies on.
#pragma once

#include "engine/file_system.h"

namespace ket {

class Win32FileSystem final : public FileSystem {
 public:
  std::optional<std::uint32_t> GetAttributes(std::u16string_view path) override;
  bool CreateFolder(std::u16string_view path) override;
  bool SetAttributes(std::u16string_view path, std::uint32_t attributes) override;
  std::unique_ptr<WritableFile> CreateNewFile(std::u16string_view path) override;
  bool MoveOver(std::u16string_view from, std::u16string_view to, bool durable) override;
  bool SetCreationTime(std::u16string_view path, const CalendarTime& utc) override;
  std::optional<std::pair<FindEntry, std::unique_ptr<FileSearch>>>
  FindFirst(std::u16string_view pattern) override;
  bool RemoveFile(std::u16string_view path) override;
  bool RemoveFolder(std::u16string_view path) override;
  bool MoveNew(std::u16string_view from, std::u16string_view to, bool durable) override;
  bool LinkNew(std::u16string_view from, std::u16string_view to) override;
  std::optional<std::string> ReadSmallFile(std::u16string_view path, std::size_t maxBytes) override;
  std::optional<std::uint64_t> FreeSpace(std::u16string_view folder) override;
  std::pair<LockStatus, std::unique_ptr<FolderLock>> LockFolder(std::u16string_view path) override;
  // CompareStringOrdinal ignoring case: how NTFS and FAT compare names.
  bool SameName(std::u16string_view a, std::u16string_view b) const override;
  std::uint32_t LastError() const override;
};

} // namespace ket
