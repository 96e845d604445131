// The toolkit's layout and painting: alignment, scaling from the design density, and how
// the standard pieces paint.
#include "tests/toolkit/test_support.h"

#include <algorithm>
#include <commctrl.h>
#include <cstddef>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace ket::test {
namespace {

// Puts `control` into `parent` with `align` and the bounds it was designed with.
void Place(TControl& control, TWinControl& parent, TAlign align, int x, int y, int w, int h) {
  control.SetParent(&parent);
  control.SetAlign(align);
  control.SetBounds(x, y, w, h);
}

// The main window's layout, reduced: panels aligned top, bottom and client inside a panel.
TEST(Alignment, StacksTopAndBottomControlsByTheirPlacesAndFillsTheRest) {
  TestForm form(550, 299);
  TPanel gp(&form), panel1(&form), panel6(&form), panel4(&form);
  TBevel bevel3(&form), bevel1(&form);
  TLabel top(&form);
  gp.SetParent(&form);
  gp.SetAlign(alClient);
  gp.SetBevelOuter(bvNone);
  Place(bevel3, gp, alBottom, 0, 235, 550, 3);
  Place(bevel1, gp, alTop, 0, 119, 550, 2);
  Place(panel1, gp, alBottom, 0, 238, 550, 30);
  panel6.SetParent(&gp);
  panel6.SetAlign(alClient);
  Place(panel4, gp, alTop, 0, 0, 550, 119);
  Place(top, form, alTop, 0, 0, 550, 31);
  form.FinishCreate();

  EXPECT_EQ(gp.BoundsRect().top, 31);
  EXPECT_EQ(gp.Height(), 268);
  EXPECT_EQ(panel4.Top(), 0);
  EXPECT_EQ(bevel1.Top(), 119);
  EXPECT_EQ(panel1.Top(), 238);
  EXPECT_EQ(bevel3.Top(), 235);
  EXPECT_EQ(panel6.Top(), 121);
  EXPECT_EQ(panel6.Height(), 114);
  EXPECT_EQ(panel6.Width(), 550);
}

// --- Scaling

class ScaledForm : public TForm {
 public:
  // Designed where the font's text height is twice what this screen measures: all halves.
  ScaledForm() : TForm(nullptr) {
    SetClientSize(550, 299);
    panel.SetParent(this);
    panel.SetBounds(5, 7, 11, 100);
    panel.Font().SetHeight(15);
    label.SetParent(&panel);
    label.SetBounds(1, 1, 40, 20);
    SetDesignTextHeight(2 * MeasureHeight());
    FinishCreate();
  }

  static int MeasureHeight() {
    TFont font;
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font.Handle());
    SIZE size;
    GetTextExtentPoint32W(dc, L"0", 1, &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size.cy;
  }

  TPanel panel{this};
  TLabel label{this};
};

TEST(Scaling, ControlsAndTheirFontsScaleByMeasuredOverDesignTextHeight) {
  ScaledForm form;
  EXPECT_EQ(form.MeasuredTextHeight(), ScaledForm::MeasureHeight());
  EXPECT_EQ(form.ClientWidth(), 275);
  EXPECT_EQ(form.ClientHeight(), 150); // 149.5 rounds up
  // Edges scale, so that neighbours stay neighbours: 5..16 becomes 3..8.
  EXPECT_EQ(form.panel.Left(), 3);
  EXPECT_EQ(form.panel.Width(), 5);
  EXPECT_EQ(form.panel.Top(), 4);
  EXPECT_EQ(form.panel.Height(), 50);
  EXPECT_EQ(form.panel.Font().Height(), 8);
  EXPECT_FALSE(form.panel.ParentFont());
  EXPECT_EQ(form.label.Font().Height(), 8) << "a parent's font is followed";
  EXPECT_TRUE(form.label.ParentFont());
  TFont standard;
  EXPECT_EQ(form.Font().Height(), standard.Height()) << "the form's own font stays";
}

TEST(Scaling, NothingChangesWhereTheTextHeightIsTheDesignOne) {
  TestForm form(550, 299);
  TPanel panel(&form);
  panel.SetParent(&form);
  panel.SetBounds(5, 7, 11, 100);
  form.SetScaled(true);
  form.SetDesignTextHeight(ScaledForm::MeasureHeight());
  form.FinishCreate();
  EXPECT_EQ(panel.BoundsRect().right, 16);
  EXPECT_EQ(form.ClientWidth(), 550);
}

// --- Painting of the standard pieces

class PaintTest : public ::testing::Test {
 protected:
  PaintTest() {
    host.SetParent(&form);
    host.SetBounds(0, 0, 550, 300);
    host.SetBevelOuter(bvNone);
  }
  TForm& form = SharedForm();
  TPanel host{nullptr};
};

TEST_F(PaintTest, PanelBevelsAndBorderLeaveTheirClientArea) {
  TPanel panel(nullptr);
  panel.SetParent(&host);
  panel.SetBounds(10, 10, 423, 104);
  panel.SetBevelInner(bvRaised);
  panel.SetBevelOuter(bvLowered);
  panel.SetBorderWidth(5);
  TLabel inside(nullptr);
  inside.SetParent(&panel);
  inside.SetAlign(alClient);
  EXPECT_EQ(inside.BoundsRect().left, 7);
  EXPECT_EQ(inside.BoundsRect().top, 7);
  EXPECT_EQ(inside.Width(), 409);
  EXPECT_EQ(inside.Height(), 90);
  inside.SetColor(clRed);
  const Pixels p = Capture(panel);
  const COLORREF shadow = ColorToRGB(clBtnShadow), highlight = ColorToRGB(clBtnHighlight);
  EXPECT_EQ(p.At(0, 50), shadow); // outer lowered: shadow top-left
  EXPECT_EQ(p.At(422, 50), highlight);
  EXPECT_EQ(p.At(3, 50), ColorToRGB(clBtnFace)); // the border
  EXPECT_EQ(p.At(6, 50), highlight);             // inner raised: highlight top-left
  EXPECT_EQ(p.At(416, 50), shadow);
  EXPECT_EQ(p.At(7, 50), RGB(255, 0, 0)); // the client-aligned label
}

TEST_F(PaintTest, BevelLinesAlongTheBottomEdge) {
  TBevel two(nullptr), one(nullptr), raised(nullptr);
  for (TBevel* b : {&two, &one, &raised})
    b->SetParent(&host);
  two.SetBounds(0, 10, 550, 2);
  one.SetBounds(0, 20, 550, 1);
  raised.SetBounds(0, 30, 550, 3);
  raised.SetStyle(bsRaised);
  const Pixels p = Capture(host);
  const COLORREF shadow = ColorToRGB(clBtnShadow), highlight = ColorToRGB(clBtnHighlight);
  EXPECT_EQ(p.At(100, 10), shadow);
  EXPECT_EQ(p.At(100, 11), highlight);
  EXPECT_EQ(p.At(100, 20), highlight) << "one pixel high: the highlight line only";
  EXPECT_EQ(p.At(100, 30), ColorToRGB(clBtnFace));
  EXPECT_EQ(p.At(100, 31), highlight);
  EXPECT_EQ(p.At(100, 32), shadow);
}

TEST_F(PaintTest, LabelAlignsLaysOutAndBreaksLinesAtCR) {
  TLabel label(nullptr);
  label.SetParent(&host);
  label.SetBounds(0, 0, 300, 100);
  label.SetCaption(u"first line\rsecond");
  const COLORREF text = ColorToRGB(clWindowText);
  auto rows = [&](const Pixels& p) {
    std::vector<int> inked;
    for (int y = 0; y < 100; ++y)
      if (p.Count({0, y, 300, y + 1}, text) > 0)
        inked.push_back(y);
    return inked;
  };
  auto columns = [&](const Pixels& p) {
    int first = 300, last = -1;
    for (int y = 0; y < 100; ++y) {
      const auto [a, b] = p.Span(y, text);
      if (a >= 0 && a < first)
        first = a;
      if (b > last && b < 300)
        last = b;
    }
    return std::pair{first, last};
  };
  std::vector<int> top = rows(Capture(host));
  ASSERT_FALSE(top.empty());
  const int lineHeight = label.Font().Height();
  EXPECT_LT(top.front(), 4);
  EXPECT_GT(top.back() - top.front(), lineHeight) << "two lines";

  label.SetLayout(tlBottom);
  std::vector<int> bottom = rows(Capture(host));
  EXPECT_GT(bottom.back(), 90);
  label.SetLayout(tlCenter);
  std::vector<int> centre = rows(Capture(host));
  EXPECT_NEAR((centre.front() + centre.back()) / 2, 50, 3);

  EXPECT_LT(columns(Capture(host)).first, 3);
  label.SetAlignment(taRightJustify);
  EXPECT_GT(columns(Capture(host)).second, 295);
  label.SetAlignment(taCenter);
  const auto [a, b] = columns(Capture(host));
  EXPECT_NEAR((a + b) / 2, 150, 4);
}

// The text-coloured pixels of each column of a label's row band, from the first inked column
// to the last one.
std::vector<int> InkColumns(const Pixels& p, int top, int width) {
  const COLORREF text = ColorToRGB(clWindowText);
  std::vector<int> counts;
  for (int x = 0; x < width; ++x)
    counts.push_back(p.Count({x, top, x + 1, top + 20}, text));
  const auto first = std::find_if(counts.begin(), counts.end(), [](int n) { return n > 0; });
  const auto last = std::find_if(counts.rbegin(), counts.rend(), [](int n) { return n > 0; });
  if (first == counts.end())
    return {};
  return {first, last.base()};
}

TEST_F(PaintTest, LabelShortensALongPathInTheMiddleAndKeepsTheFileName) {
  const std::u16string path =
      u"data\\a folder with a rather long name\\and one more inside it\\cities of the world.dat";
  TLabel clipped(nullptr), middle(nullptr), end(nullptr), name(nullptr), shortPath(nullptr);
  int top = 0;
  for (TLabel* l : {&clipped, &middle, &end, &name, &shortPath}) {
    l->SetParent(&host);
    l->SetBounds(0, top, 200, 20);
    l->SetShowAccelChar(false);
    top += 30;
  }
  clipped.SetCaption(path);
  middle.SetCaption(path);
  middle.SetEllipsisPosition(epPathEllipsis);
  end.SetCaption(path);
  end.SetEllipsisPosition(epEndEllipsis);
  name.SetCaption(u"cities of the world.dat");
  shortPath.SetCaption(u"data\\b.txt");
  shortPath.SetEllipsisPosition(epPathEllipsis);
  const Pixels p = Capture(host);

  // Without an ellipsis the text runs into the edge and is cut there: what shows is the start
  // of the whole text as a wide enough label draws it.
  TLabel wide(nullptr);
  wide.SetParent(&host);
  wide.SetBounds(0, 200, 550, 20);
  wide.SetShowAccelChar(false);
  wide.SetCaption(path);
  const std::vector<int> all = InkColumns(Capture(host), 200, 550);
  const std::vector<int> cut = InkColumns(p, 0, 200);
  ASSERT_GT(all.size(), 200u);
  ASSERT_FALSE(cut.empty());
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), all.begin()));
  // In the middle: the text ends inside the label with the file's own name, whole.
  const std::vector<int> shortened = InkColumns(p, 30, 200);
  const std::vector<int> own = InkColumns(p, 90, 200);
  ASSERT_FALSE(own.empty());
  ASSERT_GT(shortened.size(), own.size());
  EXPECT_LT(static_cast<int>(shortened.size()), 198);
  EXPECT_TRUE(
      std::equal(own.begin(), own.end(), shortened.end() - static_cast<std::ptrdiff_t>(own.size())))
      << "the label ends in the file's own name";
  // At the end: the beginning stays, the file's name is gone.
  const std::vector<int> start = InkColumns(p, 60, 200);
  const std::vector<int> whole = InkColumns(p, 0, 200);
  EXPECT_LT(static_cast<int>(start.size()), 198);
  EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 40, start.begin()));
  EXPECT_FALSE(
      std::equal(own.begin(), own.end(), start.end() - static_cast<std::ptrdiff_t>(own.size())));
  // A name that fits is drawn as it is.
  TLabel plain(nullptr);
  plain.SetParent(&host);
  plain.SetBounds(0, top, 200, 20);
  plain.SetCaption(u"data\\b.txt");
  EXPECT_EQ(InkColumns(Capture(host), top, 200), InkColumns(p, 120, 200));
}

TEST_F(PaintTest, LabelShowsOneAmpersandForTwoAndDisabledIsEngraved) {
  TLabel doubled(nullptr), plain(nullptr);
  doubled.SetParent(&host);
  plain.SetParent(&host);
  doubled.SetBounds(0, 0, 200, 20);
  plain.SetBounds(0, 30, 200, 20);
  doubled.SetCaption(u"A&&B");
  plain.SetCaption(u"A&B");
  plain.SetShowAccelChar(false);
  const COLORREF text = ColorToRGB(clWindowText);
  Pixels p = Capture(host);
  EXPECT_EQ(p.Count({0, 0, 200, 20}, text), p.Count({0, 30, 200, 50}, text));

  doubled.SetEnabled(false);
  p = Capture(host);
  EXPECT_EQ(p.Count({0, 0, 200, 20}, text), 0);
  EXPECT_GT(p.Count({0, 0, 200, 20}, ColorToRGB(clBtnShadow)), 5);
  EXPECT_GT(p.Count({0, 0, 200, 20}, ColorToRGB(clBtnHighlight)), 5);
}

TEST_F(PaintTest, ComboBoxTextTakesTheFontColour) {
  TComboBox combo(nullptr);
  combo.SetParent(&host);
  combo.SetBounds(5, 2, 186, 24);
  combo.SetItems({u"English", u"Russian"});
  combo.SetItemIndex(0);
  combo.Font().SetColor(clRed);
  Pump();
  EXPECT_GT(Capture(host).Count({5, 2, 191, 26}, RGB(255, 0, 0)), 5);
}

TEST_F(PaintTest, MemoBreaksLinesAtALoneCROrLFAndProgressBarKeepsItsRange) {
  TMemo memo(nullptr);
  memo.SetText(u"first\r\rsecond\nthird\r\nfourth");
  memo.SetParent(&host);
  memo.SetBounds(0, 0, 300, 120);
  EXPECT_EQ(memo.Text(), u"first\r\n\r\nsecond\r\nthird\r\nfourth");
  EXPECT_EQ(SendMessageW(memo.Handle(), EM_GETLINECOUNT, 0, 0), 5);
  SetFocus(memo.Handle());
  EXPECT_TRUE(SendMessageW(memo.Handle(), WM_GETDLGCODE, VK_RETURN, 0) & DLGC_WANTALLKEYS);

  // Range and position are kept before the window exists and reach it when it is made.
  TProgressBar bar(nullptr);
  bar.SetMax(296);
  bar.SetPosition(300);
  EXPECT_EQ(bar.Position(), 296);
  bar.SetPosition(40);
  bar.SetParent(&host);
  EXPECT_EQ(SendMessageW(bar.Handle(), PBM_GETRANGE, FALSE, 0), 296);
  EXPECT_EQ(SendMessageW(bar.Handle(), PBM_GETRANGE, TRUE, 0), 0);
  EXPECT_EQ(SendMessageW(bar.Handle(), PBM_GETPOS, 0, 0), 40);
  bar.SetPosition(41);
  EXPECT_EQ(SendMessageW(bar.Handle(), PBM_GETPOS, 0, 0), 41);
}

} // namespace
} // namespace ket::test
