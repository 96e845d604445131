// TSB: Enter and Escape roles, modal results, the MyStyle edge and the resource glyphs.
#include "controls/check_box.h"
#include "controls/styled_button.h"
#include "tests/toolkit/test_support.h"

#include <gtest/gtest.h>

namespace ket::test {
namespace {

class StyledButtonTest : public ::testing::Test {
 protected:
  StyledButtonTest() {
    panel.SetParent(&form);
    panel.SetBounds(0, 0, 400, 300);
    panel.SetBevelOuter(bvNone);
    box.SetParent(&panel);
    box.SetBounds(10, 10, 150, 19);
    box.OnClick = [this](TObject*) { ++boxClicks; };
    button.SetParent(&panel);
    button.SetBounds(200, 200, 138, 30);
    button.OnClick = [this](TObject* Sender) {
      EXPECT_EQ(Sender, &button);
      ++clicks;
    };
    box.SetFocus();
    Pump();
  }

  // Enter or Escape pressed while the check box has the focus.
  void Press(WORD vk) {
    form.SetModalResult(mrNone);
    SendKey(box, vk);
  }

  TForm& form = SharedForm();
  TPanel panel{&form};
  TEwCheckBox box{&form};
  TSB button{&form};
  int clicks = 0;
  int boxClicks = 0;
};

TEST_F(StyledButtonTest, ClickHandsTheModalResultOrTheRoleToTheWindow) {
  button.SetsbType(sbCancel);
  button.SetModalResult(5);
  ClickAt(panel, 250, 210);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(form.ModalResult(), 5);

  for (int result : {0, -3}) {
    form.SetModalResult(mrNone);
    button.SetsbType(sbOk);
    button.SetModalResult(result);
    ClickAt(panel, 250, 210);
    EXPECT_EQ(form.ModalResult(), mrOk);
  }
  form.SetModalResult(mrNone);
  button.SetsbType(sbCancel);
  ClickAt(panel, 250, 210);
  EXPECT_EQ(form.ModalResult(), mrCancel);

  form.SetModalResult(mrNone);
  button.SetsbType(sbNone);
  ClickAt(panel, 250, 210);
  EXPECT_EQ(form.ModalResult(), mrNone);
  EXPECT_EQ(clicks, 5);

  // A release away from the button is no click.
  SendMouse(panel, WM_LBUTTONDOWN, 250, 210, MK_LBUTTON);
  SendMouse(panel, WM_LBUTTONUP, 10, 250);
  EXPECT_EQ(clicks, 5);

  // Disabled: no click at all, even when asked directly.
  button.SetEnabled(false);
  button.SetModalResult(7);
  button.Click();
  ClickAt(panel, 250, 210);
  EXPECT_EQ(clicks, 5);
  EXPECT_EQ(form.ModalResult(), mrNone);

  // Without a window the click is still raised.
  TSB alone(nullptr);
  int aloneClicks = 0;
  alone.OnClick = [&](TObject*) { ++aloneClicks; };
  alone.SetsbType(sbOk);
  alone.Click();
  EXPECT_EQ(aloneClicks, 1);
}

TEST_F(StyledButtonTest, EnterAndEscapeRoles) {
  struct Case {
    TsbType type;
    bool cancel;
    bool enter;
    bool escape;
  };
  for (const Case c : {Case{sbNone, false, false, false}, Case{sbOk, false, true, false},
                       Case{sbCancel, false, false, true}, Case{sbNone, true, false, true},
                       Case{sbOk, true, true, true}}) {
    button.SetsbType(c.type);
    button.SetCancel(c.cancel);
    clicks = boxClicks = 0;
    Press(VK_RETURN);
    EXPECT_EQ(clicks, c.enter ? 1 : 0) << c.type << c.cancel;
    EXPECT_EQ(boxClicks, c.enter ? 0 : 1) << "Enter not taken reaches the focused box";
    Press(VK_ESCAPE);
    EXPECT_EQ(clicks, (c.enter ? 1 : 0) + (c.escape ? 1 : 0)) << c.type << c.cancel;
  }
  // Escape with sbCancel sets the result 2; with a ModalResult, that value.
  button.SetsbType(sbCancel);
  button.SetCancel(false);
  Press(VK_ESCAPE);
  EXPECT_EQ(form.ModalResult(), mrCancel);
}

// Visibility is not asked (a disabled button lets the key pass: CheckBoxTest).
TEST_F(StyledButtonTest, AHiddenEnabledButtonStillAnswersItsKey) {
  button.SetsbType(sbOk);
  button.Hide();
  Press(VK_RETURN);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(boxClicks, 0);
}

TEST_F(StyledButtonTest, AModallyShownFormEndsWithTheButtonsResult) {
  TestForm dialog(200, 100);
  TSB ok(&dialog);
  ok.SetParent(&dialog);
  ok.SetBounds(10, 10, 80, 30);
  ok.SetModalResult(5);
  dialog.FinishCreate();
  dialog.Handle();
  PostMessageW(dialog.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 20));
  PostMessageW(dialog.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(20, 20));
  EXPECT_EQ(dialog.ShowModal(), 5);
  EXPECT_FALSE(IsWindowVisible(dialog.Handle()));
  EXPECT_TRUE(IsWindowEnabled(form.Handle())) << "the other windows are enabled again";

  PostMessageW(dialog.Handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(dialog.ShowModal(), mrCancel);
}

TEST_F(StyledButtonTest, MyStyleTurnsFlatOnButNotOff) {
  EXPECT_FALSE(button.Flat());
  button.SetMyStyle(true);
  EXPECT_TRUE(button.Flat());
  button.SetMyStyle(false);
  EXPECT_TRUE(button.Flat());
  EXPECT_FALSE(button.MyStyle());
}

TEST_F(StyledButtonTest, MyStyleEdgeIsRaisedAtRestSunkenWhilePressedAndAbsentWhileDown) {
  button.SetMyStyle(true);
  const COLORREF shadow = ColorToRGB(clBtnShadow), highlight = ColorToRGB(clBtnHighlight);
  // The button at (200, 200) in the panel; its edge one pixel inside.
  auto edge = [&](const Pixels& p) {
    struct {
      COLORREF top, left, bottom, right, outer;
    } e{p.At(200 + 60, 201), p.At(201, 200 + 15), p.At(200 + 60, 200 + 28),
        p.At(200 + 136, 200 + 15), p.At(200 + 60, 200)};
    return e;
  };
  auto rest = edge(Capture(panel));
  EXPECT_EQ(rest.top, highlight);
  EXPECT_EQ(rest.left, highlight);
  EXPECT_EQ(rest.bottom, shadow);
  EXPECT_EQ(rest.right, shadow);
  EXPECT_EQ(rest.outer, ColorToRGB(clBtnFace)) << "flat: no frame of the base at rest";

  SendMouse(panel, WM_LBUTTONDOWN, 250, 210, MK_LBUTTON);
  auto pressed = edge(Capture(panel));
  EXPECT_EQ(pressed.top, shadow);
  EXPECT_EQ(pressed.left, shadow);
  EXPECT_EQ(pressed.bottom, highlight);
  EXPECT_EQ(pressed.right, highlight);
  SendMouse(panel, WM_LBUTTONUP, 250, 210);
  EXPECT_EQ(edge(Capture(panel)).top, highlight);

  // Latched down: the base draws its sunken frame and checkered face, TSB no edge.
  button.SetGroupIndex(1);
  button.SetDown(true);
  const Pixels p = Capture(panel);
  int shadowPixels = 0;
  for (int x = 202; x < 336; ++x)
    shadowPixels += p.At(x, 201) == shadow;
  EXPECT_EQ(shadowPixels, 0);
  EXPECT_EQ(p.At(260, 200), shadow) << "the base's own sunken frame";
}

TEST_F(StyledButtonTest, GlyphComesFromResPictOrElseResName) {
  TSB byPict(&form), byName(&form), fallback(&form), none(&form);
  byPict.SetResPict(u"TestPict");
  byPict.SetResName(7);
  byName.SetResName(7);
  fallback.SetResPict(u"NoSuchPicture");
  fallback.SetResName(7);
  byPict.Loaded();
  byName.Loaded();
  fallback.Loaded();
  none.Loaded();
  EXPECT_EQ(byPict.Glyph().Width(), 12);
  EXPECT_EQ(byName.Glyph().Width(), 8);
  EXPECT_EQ(fallback.Glyph().Width(), 8);
  EXPECT_TRUE(none.Glyph().Empty());

  // The glyph is drawn centred (no caption), without its transparent silver.
  byPict.SetParent(&panel);
  byPict.SetBounds(10, 100, 30, 20);
  const Pixels p = Capture(panel);
  EXPECT_EQ(p.At(10 + 15, 100 + 9), RGB(255, 0, 0));
  if (ColorToRGB(clBtnFace) != RGB(192, 192, 192)) {
    EXPECT_EQ(p.Count({10, 100, 40, 120}, RGB(192, 192, 192)), 0);
  }
}

} // namespace
} // namespace ket::test
