#include "base/product.h"
#include "ui/language.h"

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

} // namespace
} // namespace ket
