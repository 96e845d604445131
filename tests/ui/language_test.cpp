#include "base/product.h"
#include "ui/language.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ket {
namespace {

std::vector<std::u16string_view> Texts(const LanguageTable& t) {
  return {t.installCaption,   t.folderHint,   t.folderTitle,  t.iconsTitle,  t.desktopCaption,
          t.startMenuCaption, t.forceCaption, t.copyingTitle, t.siteCaption, t.folderNote};
}

TEST(LanguageTable, ItemOneIsRussianEverythingElseEnglish) {
  EXPECT_EQ(LanguageTableFor(1).installCaption, u"Установить >>");
  for (const int index : {0, -1, 2, 7})
    EXPECT_EQ(LanguageTableFor(index).installCaption, u"Install >>") << index;
}

TEST(LanguageTable, TextsKeepTheirSpacesQuotesAndLineBreak) {
  for (const int index : {0, 1}) {
    const LanguageTable& t = LanguageTableFor(index);
    // The two section titles begin with one space, the link's caption ends with one.
    EXPECT_EQ(t.folderTitle[0], u' ');
    EXPECT_NE(t.folderTitle[1], u' ');
    EXPECT_EQ(t.iconsTitle[0], u' ');
    EXPECT_EQ(t.siteCaption.back(), u' ');
    EXPECT_NE(t.siteCaption[t.siteCaption.size() - 2], u' ');
    // The folder note is two lines with one CR between them and no LF.
    EXPECT_EQ(std::u16string(t.folderNote).find(u'\n'), std::u16string::npos);
    const size_t cr = t.folderNote.find(u'\r');
    ASSERT_NE(cr, std::u16string_view::npos);
    EXPECT_EQ(t.folderNote.find(u'\r', cr + 1), std::u16string_view::npos);
    for (const auto text : Texts(t))
      EXPECT_FALSE(text.empty());
  }
}

TEST(LanguageTable, TheTwoTablesDifferInEveryText) {
  const auto en = Texts(LanguageTableFor(0));
  const auto ru = Texts(LanguageTableFor(1));
  for (size_t i = 0; i < en.size(); ++i)
    EXPECT_NE(en[i], ru[i]) << i;
}

TEST(FinishedTexts, CloseCaptionAndClosingNoteByLanguage) {
  EXPECT_EQ(CloseCaption(false), u"Close");
  EXPECT_EQ(CloseCaption(true), u"Закрыть");
  for (const bool russian : {false, true}) {
    const std::u16string note = ClosingNote(russian);
    // Paragraph 1, two CRs, paragraph 2 ending in the support address.
    const size_t breaks = note.find(u"\r\r");
    ASSERT_NE(breaks, std::u16string::npos);
    EXPECT_EQ(note.find(u'\r', breaks + 2), std::u16string::npos);
    EXPECT_EQ(note.find(u'\n'), std::u16string::npos);
    EXPECT_TRUE(note.ends_with(std::u16string(u"e-mail - ") + std::u16string(kSupportEmail)));
    EXPECT_EQ(note[breaks - 1], u'!');
  }
  EXPECT_NE(ClosingNote(true), ClosingNote(false));
}

std::u16string Contains(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos ? std::u16string(part) : std::u16string(text);
}

TEST(RunBoxes, NameTheFileAndBothFiguresInTheWindowLanguage) {
  for (const bool russian : {false, true}) {
    const std::u16string inUse = FileInUseText(russian, u"bin\\Ketro.exe");
    EXPECT_EQ(Contains(inUse, u"bin\\Ketro.exe"), u"bin\\Ketro.exe");
    EXPECT_FALSE(DamagedSetupText(russian).empty());
    EXPECT_FALSE(FolderBusyText(russian).empty());
  }
  EXPECT_NE(FileInUseText(true, u"a"), FileInUseText(false, u"a"));
  EXPECT_NE(DamagedSetupText(true), DamagedSetupText(false));
  EXPECT_NE(FolderBusyText(true), FolderBusyText(false));

  struct Case {
    std::uint64_t needed, available;
    std::u16string_view english[2], russian[2];
  };
  constexpr std::uint64_t kMB = 1024 * 1024;
  const Case cases[] = {
      // A need just above the free space never reads as the same figure: up and down.
      {10 * kMB + 1,
       10 * kMB - 1,
       {u"10.1\u00A0MB", u"9.9\u00A0MB"},
       {u"10,1\u00A0МБ", u"9,9\u00A0МБ"}},
      {3 * kMB / 2, 600 * 1024, {u"1.5\u00A0MB", u"0.5\u00A0MB"}, {u"1,5\u00A0МБ", u"0,5\u00A0МБ"}},
      // Below a megabyte both are bytes; a full drive has 0 of them.
      {614400,
       0,
       {u"614400\u00A0bytes", u"and 0\u00A0bytes"},
       {u"614400\u00A0байт", u"свободно 0\u00A0байт"}},
      // The largest figures do not overflow.
      {~std::uint64_t{0},
       ~std::uint64_t{0} - 1,
       {u"17592186044416.0\u00A0MB", u"17592186044415.9\u00A0MB"},
       {u"17592186044416,0\u00A0МБ", u"17592186044415,9\u00A0МБ"}},
  };
  for (const Case& c : cases) {
    const std::u16string en = NotEnoughSpaceText(false, c.needed, c.available);
    const std::u16string ru = NotEnoughSpaceText(true, c.needed, c.available);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(Contains(en, c.english[i]), c.english[i]);
      EXPECT_EQ(Contains(ru, c.russian[i]), c.russian[i]);
    }
    EXPECT_LT(en.find(c.english[0]), en.find(c.english[1])) << "the need comes first";
  }
}

} // namespace
} // namespace ket
