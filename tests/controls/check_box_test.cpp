// The owner-drawn check box through real window messages, and its painting checked by pixels.
#include "controls/check_box.h"
#include "controls/styled_button.h"
#include "tests/toolkit/test_support.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <vector>

namespace ket::test {
namespace {

constexpr COLORREF kGrey = RGB(128, 128, 128);
constexpr COLORREF kLightGrey = RGB(192, 192, 192);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

class CheckBoxTest : public ::testing::Test {
 protected:
  CheckBoxTest() {
    panel.SetParent(&form);
    panel.SetBounds(0, 0, 400, 300);
    panel.SetBevelOuter(bvNone);
    box.SetParent(&panel);
    box.SetBounds(10, 10, 200, 19);
    box.SetCaption(u"Create desktop icon");
    box.OnClick = [this](TObject* Sender) {
      EXPECT_EQ(Sender, &box);
      clicks.push_back(box.Checked());
    };
    box.OnMouseDown = [this](TObject*, TMouseButton, TShiftState, int, int) {
      mouseDowns.push_back(box.Checked());
    };
    box.OnKeyDown = [this](TObject*, WORD& key, TShiftState) { keyDowns.push_back(key); };
    Pump();
  }

  COLORREF Face() const { return ColorToRGB(clBtnFace); }

  TForm& form = SharedForm();
  TPanel panel{&form};
  TEwCheckBox box{&form};
  std::vector<bool> clicks;
  std::vector<bool> mouseDowns;
  std::vector<WORD> keyDowns;
};

TEST_F(CheckBoxTest, LeftClickChecksOnPressAndClicksOnRelease) {
  SendMouse(box, WM_LBUTTONDOWN, 5, 5, MK_LBUTTON);
  EXPECT_TRUE(box.Checked());
  EXPECT_EQ(mouseDowns, std::vector<bool>{true});
  EXPECT_TRUE(clicks.empty());
  EXPECT_TRUE(box.Focused());
  SendMouse(box, WM_LBUTTONUP, 5, 5);
  EXPECT_EQ(clicks, std::vector<bool>{true});

  ClickAt(box, 5, 5);
  EXPECT_FALSE(box.Checked());
  EXPECT_EQ(clicks, (std::vector<bool>{true, false}));
}

TEST_F(CheckBoxTest, ReleaseOutsideTheBoxIsNoClick) {
  SendMouse(box, WM_LBUTTONDOWN, 5, 5, MK_LBUTTON);
  SendMouse(box, WM_LBUTTONUP, 500, 5);
  EXPECT_TRUE(box.Checked());
  EXPECT_TRUE(clicks.empty());
}

TEST_F(CheckBoxTest, DoubleClickTogglesTwiceAndClicksTwice) {
  SendMouse(box, WM_LBUTTONDOWN, 5, 5, MK_LBUTTON);
  SendMouse(box, WM_LBUTTONUP, 5, 5);
  SendMouse(box, WM_LBUTTONDBLCLK, 5, 5, MK_LBUTTON);
  SendMouse(box, WM_LBUTTONUP, 5, 5);
  EXPECT_FALSE(box.Checked());
  EXPECT_EQ(clicks, (std::vector<bool>{true, false}));
  EXPECT_EQ(mouseDowns, (std::vector<bool>{true, false}));
}

TEST_F(CheckBoxTest, RightAndMiddleButtonsChangeNothing) {
  for (UINT down : {WM_RBUTTONDOWN, WM_MBUTTONDOWN}) {
    SendMouse(box, down, 5, 5);
    SendMouse(box, down + 1, 5, 5);
  }
  EXPECT_FALSE(box.Checked());
  EXPECT_TRUE(mouseDowns.empty());
  EXPECT_TRUE(clicks.empty());
}

TEST_F(CheckBoxTest, DisabledBoxIgnoresThePointer) {
  bool entered = false, left = false;
  box.SetHot(true);
  box.SetOnMouseEnter([&](TObject*) { entered = true; });
  box.SetOnMouseExit([&](TObject*) { left = true; });
  box.SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(box.Handle()));
  ClickAt(box, 5, 5);
  SendMouse(box, WM_MOUSEMOVE, 5, 5);
  SendMouse(panel, WM_MOUSEMOVE, 300, 200);
  EXPECT_FALSE(box.Checked());
  EXPECT_TRUE(mouseDowns.empty());
  EXPECT_TRUE(clicks.empty());
  EXPECT_FALSE(entered);
  EXPECT_FALSE(left);
}

TEST_F(CheckBoxTest, EnterClicksWithoutChangingAndSpaceDoesNothing) {
  box.SetFocus();
  ASSERT_TRUE(box.Focused());
  SendKey(box, VK_RETURN);
  EXPECT_EQ(clicks, std::vector<bool>{false});
  EXPECT_FALSE(box.Checked());
  SendKey(box, VK_SPACE);
  SendMessageW(box.Handle(), WM_CHAR, u' ', 1);
  EXPECT_EQ(clicks.size(), 1u);
  EXPECT_FALSE(box.Checked());
  EXPECT_EQ(keyDowns, (std::vector<WORD>{VK_RETURN, VK_SPACE}));
}

TEST_F(CheckBoxTest, AnOkButtonOfTheWindowTakesEnterBeforeTheBox) {
  TSB ok(&form);
  ok.SetParent(&panel);
  ok.SetBounds(300, 250, 80, 30);
  ok.SetsbType(sbOk);
  int okClicks = 0;
  ok.OnClick = [&](TObject*) { ++okClicks; };
  box.SetFocus();
  SendKey(box, VK_RETURN);
  EXPECT_EQ(okClicks, 1);
  EXPECT_TRUE(clicks.empty());
  EXPECT_TRUE(keyDowns.empty());
  EXPECT_EQ(form.ModalResult(), mrOk);

  // A disabled button lets the key pass on to the focused box.
  ok.SetEnabled(false);
  SendKey(box, VK_RETURN);
  EXPECT_EQ(okClicks, 1);
  EXPECT_EQ(clicks, std::vector<bool>{false});
  EXPECT_EQ(keyDowns, std::vector<WORD>{VK_RETURN});
}

TEST_F(CheckBoxTest, RadioRuleClearsOnlyTheOtherRoundBoxesOfTheSameParent) {
  TEwCheckBox r1(&form), r2(&form), square(&form), elsewhere(&form);
  TPanel other(&form);
  other.SetParent(&form);
  for (TEwCheckBox* b : {&r1, &r2, &square})
    b->SetParent(&panel);
  elsewhere.SetParent(&other);
  box.SetRound(true);
  r1.SetRound(true);
  r2.SetRound(true);
  elsewhere.SetRound(true);
  EXPECT_EQ(box.Glyph(), igRound);
  r1.SetChecked(true);
  r2.SetChecked(true);
  square.SetChecked(true);
  elsewhere.SetChecked(true);
  EXPECT_FALSE(r1.Checked());
  EXPECT_TRUE(r2.Checked());

  // By the mouse: a checked round box stays checked and clears the others again.
  r1.SetChecked(true);
  SendMouse(box, WM_LBUTTONDOWN, 5, 5, MK_LBUTTON);
  SendMouse(box, WM_LBUTTONUP, 5, 5);
  EXPECT_TRUE(box.Checked());
  EXPECT_FALSE(r1.Checked());
  EXPECT_FALSE(r2.Checked());
  EXPECT_TRUE(square.Checked());
  EXPECT_TRUE(elsewhere.Checked());
  ClickAt(box, 5, 5);
  EXPECT_TRUE(box.Checked());
  EXPECT_EQ(clicks, (std::vector<bool>{true, true}));

  // Clearing one changes no sibling; turning Round on for a checked box clears nothing.
  r2.SetChecked(true);
  r2.SetChecked(false);
  EXPECT_FALSE(box.Checked());
  square.SetRound(true);
  EXPECT_TRUE(square.Checked());
  EXPECT_TRUE(elsewhere.Checked());
  EXPECT_EQ(square.Glyph(), igRound);
  square.SetRound(false);
  EXPECT_EQ(square.Glyph(), igCheck);

  // Without a parent only the value is stored.
  TEwCheckBox alone(nullptr);
  alone.SetRound(true);
  alone.SetChecked(true);
  EXPECT_TRUE(alone.Checked());
}

TEST_F(CheckBoxTest, AcceleratorClicksBeforeTheChangeThenFocusesAndInverts) {
  box.SetCaption(u"Create &desktop icon");
  TEwCheckBox other(&form);
  other.SetParent(&panel);
  other.SetBounds(10, 40, 200, 19);
  other.SetFocus();
  ASSERT_TRUE(other.Focused());
  SendMessageW(other.Handle(), WM_SYSCHAR, u'D', 1);
  EXPECT_EQ(clicks, std::vector<bool>{false});
  EXPECT_TRUE(box.Checked());
  EXPECT_TRUE(box.Focused());

  // A plain character on a control that takes no characters is a mnemonic too; a round box is
  // cleared by it.
  box.SetRound(true);
  SendMessageW(box.Handle(), WM_CHAR, u'd', 1);
  EXPECT_EQ(clicks, (std::vector<bool>{false, true}));
  EXPECT_FALSE(box.Checked());

  // Not for a character that is not the accelerator, nor for a hidden box.
  SendMessageW(box.Handle(), WM_CHAR, u'x', 1);
  box.Hide();
  SendMessageW(other.Handle(), WM_SYSCHAR, u'd', 1);
  EXPECT_EQ(clicks.size(), 2u);
  EXPECT_FALSE(box.Checked());
}

TEST_F(CheckBoxTest, MouseEnterAndExitFollowThePointerAndHotColoursTheCaption) {
  int entered = 0, left = 0;
  box.SetOnMouseEnter([&](TObject* Sender) {
    EXPECT_EQ(Sender, &box);
    ++entered;
  });
  box.SetOnMouseExit([&](TObject*) { ++left; });
  box.SetHotColor(clRed);
  SendMouse(box, WM_MOUSEMOVE, 30, 9);
  EXPECT_EQ(entered, 1);
  EXPECT_EQ(Capture(box).Count(box.ClientRect(), RGB(255, 0, 0)), 0) << "Hot is off";
  SendMouse(panel, WM_MOUSEMOVE, 300, 200);
  EXPECT_EQ(left, 1);

  box.SetHot(true);
  SendMouse(box, WM_MOUSEMOVE, 30, 9);
  EXPECT_GT(Capture(box).Count(box.ClientRect(), RGB(255, 0, 0)), 20);
  SendMouse(panel, WM_MOUSEMOVE, 300, 200);
  const Pixels after = Capture(box);
  EXPECT_EQ(after.Count(box.ClientRect(), RGB(255, 0, 0)), 0);
  EXPECT_GT(after.Count({22, 0, 200, 19}, ColorToRGB(clWindowText)), 20);
  EXPECT_EQ(entered, 2);
  EXPECT_EQ(left, 2);
}

TEST_F(CheckBoxTest, AlignmentAndGlyphRecreateTheWindowKeepingStateAndFocus) {
  EXPECT_TRUE(box.TabStop()) << "a new box is in the tab sequence";
  box.SetChecked(true);
  box.SetFocus();
  HWND before = box.Handle();
  box.SetAlignment(taLeftJustify);
  EXPECT_NE(box.Handle(), before);
  EXPECT_TRUE(IsWindow(box.Handle()));
  EXPECT_FALSE(IsWindow(before));
  EXPECT_TRUE(box.Focused());
  EXPECT_TRUE(box.Checked());
  RECT r;
  GetWindowRect(box.Handle(), &r);
  EXPECT_EQ(r.right - r.left, 200);
  before = box.Handle();
  box.SetGlyph(igCross);
  EXPECT_NE(box.Handle(), before);
  before = box.Handle();
  box.SetGlyph(igCross);
  EXPECT_EQ(box.Handle(), before) << "an unchanged value does nothing";
  EXPECT_EQ(TWinControl::FromHandle(box.Handle()), &box);
}

// --- Painting

struct Dot {
  int x, y;
  COLORREF colour;
};

// The colour of each dot, counted from (left, top) of the picture (where the box image lies).
void ExpectDots(const Pixels& p, int left, int top, std::initializer_list<Dot> dots) {
  for (const Dot& d : dots)
    EXPECT_EQ(p.At(left + d.x, top + d.y), d.colour)
        << "at " << left << "+" << d.x << ", " << top << "+" << d.y;
}

TEST_F(CheckBoxTest, PaintsTheBoxImageAtItsPlaceAndTheMarkWhenChecked) {
  // 3-D square box at (2, 1): "Blank", its magenta background transparent, no mark unchecked.
  Pixels p = Capture(box);
  EXPECT_EQ(p.At(0, 0), Face());
  ExpectDots(p, 2, 1,
             {{1, 1, kGrey},
              {2, 2, kBlack},
              {13, 13, kLightGrey},
              {14, 14, kWhite},
              {0, 15, Face()},
              {11, 4, kWhite}});
  EXPECT_EQ(p.Count(box.ClientRect(), RGB(255, 0, 255)), 0);

  box.SetChecked(true);
  ExpectDots(Capture(box), 2, 1, {{11, 4, kBlack}, {6, 11, kBlack}, {10, 4, kWhite}}); // "ImCheck"
  box.SetGlyph(igCross);
  ExpectDots(Capture(box), 2, 1, {{4, 5, kBlack}, {11, 4, kBlack}}); // "ImCross"
  box.SetGlyph(igRound);
  ExpectDots(Capture(box), 2, 1, {{7, 8, kBlack}, {11, 4, kWhite}}); // "ImRound"

  // Flat: "BlankFlat"; flat round: "BlankFlatRound", with the dot; round 3-D: "BlankRound".
  box.SetFlat(true);
  box.SetGlyph(igCheck);
  ExpectDots(Capture(box), 2, 1, {{2, 2, kGrey}, {1, 1, Face()}});
  box.SetRound(true);
  ExpectDots(Capture(box), 2, 1, {{2, 7, kGrey}, {2, 2, Face()}, {7, 8, kBlack}});
  box.SetFlat(false);
  ExpectDots(Capture(box), 2, 1, {{3, 7, kBlack}, {13, 7, kWhite}});
}

TEST_F(CheckBoxTest, AlignmentPlacesTheBoxRightOrCentresBoxAndCaption) {
  box.SetAlignment(taLeftJustify);
  const Pixels p = Capture(box);
  ExpectDots(p, 200 - 18, 1, {{1, 1, kGrey}});
  ExpectDots(p, 2, 1, {{1, 1, Face()}});
  EXPECT_GT(p.Count({2, 0, 60, 19}, ColorToRGB(clWindowText)), 20) << "caption from the left";

  box.SetCaption(u"");
  box.SetAlignment(taCenter);
  ExpectDots(Capture(box), (200 - 16) / 2, 1, {{1, 1, kGrey}, {14, 14, kWhite}});
}

TEST_F(CheckBoxTest, DisabledBoxShowsTheDisabledImageNoMarkAndAnEngravedCaption) {
  box.SetChecked(true);
  box.SetEnabled(false);
  const Pixels p = Capture(box);
  // The interior transparent, no mark.
  ExpectDots(p, 2, 1, {{1, 1, kGrey}, {11, 4, Face()}, {6, 11, Face()}});
  const RECT caption{22, 0, 200, 19};
  const COLORREF shadow = ColorToRGB(clBtnShadow);
  const COLORREF highlight = ColorToRGB(clWindow);
  EXPECT_EQ(p.Count(caption, ColorToRGB(clWindowText)), 0);
  EXPECT_GT(p.Count(caption, shadow), 20);
  // The HotColor copy lies one pixel right and down of the shadow-coloured text. Wine smooths
  // text, so only whole-colour pixels are counted.
  int copies = 0;
  for (int y = 0; y < 18; ++y)
    for (int x = 22; x < 199; ++x)
      copies += p.At(x, y) == shadow && p.At(x + 1, y + 1) == highlight;
  EXPECT_GT(copies, 10);

  // Round and flat round disabled boxes: "DisabledRound", "DisabledFlatRound".
  box.SetRound(true);
  ExpectDots(Capture(box), 2, 1, {{3, 7, kBlack}, {7, 8, Face()}});
  box.SetFlat(true);
  ExpectDots(Capture(box), 2, 1, {{1, 7, kGrey}, {7, 8, Face()}});
}

TEST_F(CheckBoxTest, FocusRectangleIsAsWideAsTheVisibleTextPlusThree) {
  box.SetCaption(u"&Desktop");
  box.SetFocus();
  const Pixels p = Capture(box);
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, box.Font().Handle());
  SIZE tw, amp;
  GetTextExtentPoint32W(dc, L"&Desktop", 8, &tw);
  GetTextExtentPoint32W(dc, L"&", 1, &amp);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  const int top = (19 - tw.cy) / 2;
  const int left = 22 - 1;
  const int right = 22 + tw.cx - amp.cx + 3; // last column of the inflated rectangle
  auto edgeDots = [&](int x) {
    int n = 0;
    for (int y = top; y < top + tw.cy; ++y)
      n += p.At(x, y) != Face();
    return n;
  };
  EXPECT_GE(edgeDots(left), 3);
  EXPECT_GE(edgeDots(right), 3);
  EXPECT_EQ(edgeDots(right + 1), 0);
  EXPECT_EQ(edgeDots(right + 2), 0);
  EXPECT_EQ(edgeDots(left - 1), 0);

  // ShowFocused off: stored only, the next paint has no rectangle.
  box.SetShowFocused(false);
  const Pixels q = Capture(box);
  EXPECT_EQ(q.At(right, top + 2), Face());
  EXPECT_EQ(q.At(left, top + 2), Face());
}

TEST_F(CheckBoxTest, StyleFramesTheControlAndMovesEverythingInward) {
  box.SetStyle(bmLowered);
  const COLORREF shadow = ColorToRGB(clBtnShadow), highlight = ColorToRGB(clBtnHighlight);
  // The top-right and bottom-left corners take the second colour.
  const Pixels p = Capture(box);
  ExpectDots(p, 0, 0,
             {{0, 0, shadow},
              {100, 0, shadow},
              {0, 10, shadow},
              {199, 0, highlight},
              {0, 18, highlight},
              {199, 10, highlight},
              {100, 18, highlight}});
  // The working rectangle is 198 x 17 from (1, 1): the box at (3, 1).
  ExpectDots(p, 3, 1, {{1, 1, kGrey}, {14, 14, kWhite}});

  box.SetStyle(bmRaised);
  ExpectDots(Capture(box), 0, 0, {{100, 0, highlight}, {199, 0, shadow}, {100, 18, shadow}});
}

TEST_F(CheckBoxTest, TransparentFaceShowsTheParentAndCoversTheFrame) {
  panel.SetColor(clRed);
  box.SetStyle(bmLowered);
  box.SetTransparent(true);
  const Pixels p = Capture(box);
  const COLORREF red = RGB(255, 0, 0);
  ExpectDots(p, 0, 0, {{0, 0, red}, {199, 18, red}}); // the frame is covered
  ExpectDots(p, 3, 1, {{0, 15, red}, {1, 1, kGrey}}); // through the image's transparent pixels
  EXPECT_GT(p.Count({23, 0, 200, 19}, red), 1000);
}

TEST_F(CheckBoxTest, ACaptionTallerThanTheBoxGetsANegativeOffsetTruncatedTowardZero) {
  box.SetHeight(13);
  // (13 - 16) / 2 = -1 (not -2): image row 1, the grey top edge, is the control's top row.
  ExpectDots(Capture(box), 2, 0, {{5, 0, kGrey}, {5, 1, kBlack}});
}

} // namespace
} // namespace ket::test
