// Removing a test's folder with all it holds, over any FileSystem (the Windows suites use it).
#pragma once

#include "engine/file_system.h"

#include <string>

namespace ket::test {

// Removes `folder` (with or without its final "\") and everything below it, read-only files
// too; a link goes as itself, since what it points at is not the test's to remove. Best effort:
// what cannot be removed stays.
inline void RemoveTree(FileSystem& files, std::u16string folder) {
  if (!folder.empty() && folder.back() == u'\\') {
    folder.pop_back();
  }
  ForEachFound(files, folder + u"\\*", [&](const FindEntry& entry) {
    if (entry.name == u"." || entry.name == u"..") {
      return true;
    }
    const std::u16string path = folder + u"\\" + entry.name;
    if (entry.attributes & kAttrReparsePoint) {
      if (!files.RemoveFile(path)) {
        files.RemoveFolder(path);
      }
      return true;
    }
    files.SetAttributes(path, kAttrNormal);
    if (entry.attributes & kAttrDirectory) {
      RemoveTree(files, path);
    } else {
      files.RemoveFile(path);
    }
    return true;
  });
  files.RemoveFolder(folder);
}

} // namespace ket::test
