// Every text the setup window shows: the two built-in tables (English and Russian), the texts of
// the Finished state and the few texts that are the same in both languages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ket {

// The ten texts that cbLangChange writes, in the order it writes them.
struct LanguageTable {
  std::u16string_view installCaption;   // SB1
  std::u16string_view folderHint;       // SB2
  std::u16string_view folderTitle;      // Label3
  std::u16string_view iconsTitle;       // Label7
  std::u16string_view desktopCaption;   // cbDesktop
  std::u16string_view startMenuCaption; // cbStart
  std::u16string_view forceCaption;     // cbForce
  std::u16string_view copyingTitle;     // Label13
  std::u16string_view siteCaption;      // Link1
  std::u16string_view folderNote;       // Label4: two lines, one CR between them
};

// Item index 1 of the language box selects Russian; any other index (0, or none: -1) English.
const LanguageTable& LanguageTableFor(int itemIndex);
inline constexpr int kRussianItemIndex = 1;

// Texts of the Finished state, by RussianUi.
std::u16string_view CloseCaption(bool russian);
// Paragraph 1, two CRs, paragraph 2 ending in the support e-mail address.
std::u16string ClosingNote(bool russian);
// Shown above the closing note when a completed run could not delete some obsolete files,
// followed by up to kFailedNamesShown of their names.
std::u16string_view FailuresNote(bool russian);
inline constexpr std::size_t kFailedNamesShown = 10;

// The boxes of a run that changed nothing, by RussianUi. The files-in-use box names the file
// (relative to the installation folder); its buttons are Retry and Cancel.
std::u16string FileInUseText(bool russian, std::u16string_view name);
std::u16string_view DamagedSetupText(bool russian);
// Both figures in one unit: megabytes (1,048,576 bytes) with one decimal and the language's
// decimal mark, or bytes when both are below a megabyte. The need is rounded up and the free
// space down, so that a need just above the free space never reads as the same figure.
std::u16string NotEnoughSpaceText(bool russian, std::uint64_t needed, std::uint64_t available);
std::u16string_view FolderBusyText(bool russian);

// Texts that do not depend on the language.
inline constexpr std::u16string_view kApplicationTitle = u"Ketro FULL";
inline constexpr std::u16string_view kEnglishItem = u"English";
inline constexpr std::u16string_view kRussianItem = u"Russian (Русский)";
inline constexpr std::u16string_view kBrowseFolderTitle = u"Выберите каталог";
inline constexpr std::u16string_view kDefaultInstallFolder = u"C:\\!KetroNew\\";
// Appended to the folder the browser returns.
inline constexpr std::u16string_view kBrowsedFolderSuffix = u"\\KetroNew\\";

} // namespace ket
