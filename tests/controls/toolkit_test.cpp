#include "base/error.h"
#include "tests/controls/test_support.h"

#include <algorithm>
#include <commctrl.h>
#include <cstddef>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ket::test {
namespace {

// The main window's layout, reduced: panels aligned top, bottom and client inside a panel.
TEST(Alignment, StacksTopAndBottomControlsByTheirPlacesAndFillsTheRest) {
  TestForm form(550, 299);
  TPanel gp(&form);
  gp.SetParent(&form);
  gp.SetAlign(alClient);
  gp.SetBevelOuter(bvNone);
  TBevel bevel3(&form);
  bevel3.SetParent(&gp);
  bevel3.SetAlign(alBottom);
  bevel3.SetBounds(0, 235, 550, 3);
  TBevel bevel1(&form);
  bevel1.SetParent(&gp);
  bevel1.SetAlign(alTop);
  bevel1.SetBounds(0, 119, 550, 2);
  TPanel panel1(&form);
  panel1.SetParent(&gp);
  panel1.SetAlign(alBottom);
  panel1.SetBounds(0, 238, 550, 30);
  TPanel panel6(&form);
  panel6.SetParent(&gp);
  panel6.SetAlign(alClient);
  TPanel panel4(&form);
  panel4.SetParent(&gp);
  panel4.SetAlign(alTop);
  panel4.SetBounds(0, 0, 550, 119);
  TLabel top(&form);
  top.SetParent(&form);
  top.SetAlign(alTop);
  top.SetBounds(0, 0, 550, 31);
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

} // namespace
} // namespace ket::test

namespace ket::test {
namespace {

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

// --- Keyboard

class KeyboardTest : public ::testing::Test {
 protected:
  // The main window's tab structure: GP (Panel1: combo; Panel6: boxes; Panel4: edit) after a
  // hidden panel with a progress bar.
  KeyboardTest() {
    host.SetParent(&form);
    host.SetBounds(0, 0, 550, 300);
    panel3.SetParent(&host);
    bar.SetParent(&panel3);
    panel3.Hide();
    gp.SetParent(&host);
    gp.SetBounds(0, 0, 550, 300);
    for (TPanel* p : {&panel1, &panel6, &panel4})
      p->SetParent(&gp);
    panel1.SetBounds(0, 250, 550, 30);
    panel6.SetBounds(0, 120, 550, 114);
    panel4.SetBounds(0, 0, 550, 119);
    combo.SetParent(&panel1);
    combo.SetItems({u"English", u"Russian"});
    ok.SetParent(&panel1);
    ok.SetBounds(400, 0, 138, 30);
    ok.SetCaption(u"&Install");
    ok.OnClick = [this](TObject*) { ++okClicks; };
    desktop.SetParent(&panel6);
    start.SetParent(&panel6);
    force.SetParent(&panel6);
    edit.SetParent(&panel4);
    edit.SetTabOrder(0);
    memo.SetParent(&panel4);
    memo.SetBounds(0, 40, 200, 60);
    memo.SetTabStop(false);
  }

  TForm& form = SharedForm();
  TPanel host{nullptr};
  TPanel panel3{nullptr};
  TProgressBar bar{nullptr};
  TPanel gp{nullptr};
  TPanel panel1{nullptr}, panel6{nullptr}, panel4{nullptr};
  TComboBox combo{nullptr};
  TSpeedButton ok{nullptr};
  TEdit desktop{nullptr}, start{nullptr}, force{nullptr};
  TEdit edit{nullptr};
  TMemo memo{nullptr};
  int okClicks = 0;
};

TEST_F(KeyboardTest, TabWalksTheTabSequenceDepthFirstAndWraps) {
  form.SelectFirst();
  EXPECT_TRUE(combo.Focused());
  EXPECT_EQ(form.ActiveControl(), &combo);
  std::vector<TWinControl*> seen;
  for (int i = 0; i < 5; ++i) {
    TWinControl* focused = TWinControl::FromHandle(GetFocus());
    ASSERT_NE(focused, nullptr);
    SendKey(*focused, VK_TAB);
    seen.push_back(TWinControl::FromHandle(GetFocus()));
  }
  EXPECT_EQ(seen, (std::vector<TWinControl*>{&desktop, &start, &force, &edit, &combo}));
  form.SelectNext(&combo, false);
  EXPECT_TRUE(edit.Focused());

  // Hidden and disabled controls are passed over.
  panel6.Hide();
  edit.SetEnabled(false);
  form.SelectNext(&combo, true);
  EXPECT_TRUE(combo.Focused());
}

// What a key does goes by the window that has the focus: it is sent there.
void PressOnFocused(WORD vk) {
  TWinControl* focused = TWinControl::FromHandle(GetFocus());
  ASSERT_NE(focused, nullptr);
  SendKey(*focused, vk);
}

TEST_F(KeyboardTest, HidingTheFocusedControlOrItsParentPassesTheFocusOn) {
  struct OkButton : TSpeedButton {
    using TSpeedButton::TSpeedButton;
    void DialogKey(TCMDialogKey& m) override {
      if (m.CharCode == VK_RETURN && Enabled()) {
        Click();
        m.Result = 1;
      }
    }
  } enter(nullptr);
  enter.SetParent(&host);
  int enterClicks = 0;
  enter.OnClick = [&](TObject*) { ++enterClicks; };
  int changes = 0;
  combo.OnChange = [&](TObject*) { ++changes; };
  combo.SetItemIndex(0);

  // To the next control of the tab sequence that can take it.
  start.SetFocus();
  start.Hide();
  EXPECT_TRUE(force.Focused());
  EXPECT_EQ(form.ActiveControl(), &force);
  start.Show();

  // Nothing left to take it: the form has it, and keys no longer reach the hidden controls.
  form.SelectFirst();
  ASSERT_TRUE(combo.Focused());
  gp.Hide();
  EXPECT_EQ(GetFocus(), form.Handle());
  EXPECT_EQ(form.ActiveControl(), nullptr);
  PressOnFocused(VK_DOWN);
  SendMessageW(GetFocus(), WM_CHAR, u'R', 1);
  EXPECT_EQ(combo.ItemIndex(), 0);
  EXPECT_EQ(changes, 0);
  PressOnFocused(VK_RETURN);
  EXPECT_EQ(enterClicks, 1) << "Enter still reaches the window's button";

  // A control shown meanwhile does not take the focus at the next activation; the form keeps it.
  TMemo note(nullptr);
  note.SetParent(&host);
  note.SetBounds(0, 0, 200, 60);
  SendMessageW(form.Handle(), WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_EQ(GetFocus(), form.Handle());
  PressOnFocused(VK_RETURN);
  EXPECT_EQ(enterClicks, 2);
  EXPECT_EQ(note.Text(), u"");

  // Once a control has taken it again, activations give it back to that control.
  gp.Show();
  edit.SetFocus();
  SendMessageW(form.Handle(), WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_TRUE(edit.Focused());
}

TEST_F(KeyboardTest, DisablingTheFocusedControlOrItsParentPassesTheFocusOn) {
  // The next one wraps round to the first of the sequence.
  edit.SetFocus();
  edit.SetEnabled(false);
  EXPECT_TRUE(combo.Focused());
  EXPECT_FALSE(edit.Focused());
  edit.SetEnabled(true);

  desktop.SetFocus();
  panel6.SetEnabled(false);
  EXPECT_TRUE(edit.Focused()) << "past every control of the disabled panel";
  panel6.SetEnabled(true);

  // A control that does not hold the focus changes nothing.
  edit.SetFocus();
  desktop.SetEnabled(false);
  desktop.Hide();
  EXPECT_TRUE(edit.Focused());
}

TEST_F(KeyboardTest, TheFocusTheFormGivesAtItsNextActivationIsPassedOnToo) {
  form.SelectFirst();
  ASSERT_TRUE(combo.Focused());
  // Another window has the keyboard focus: only the form's choice changes.
  ::SetFocus(nullptr);
  panel1.Hide();
  EXPECT_EQ(GetFocus(), nullptr);
  EXPECT_EQ(form.ActiveControl(), &desktop);
  SendMessageW(form.Handle(), WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_TRUE(desktop.Focused());

  ::SetFocus(nullptr);
  gp.Hide();
  EXPECT_EQ(form.ActiveControl(), nullptr);
  SendMessageW(form.Handle(), WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_EQ(GetFocus(), form.Handle());
}

TEST_F(KeyboardTest, TabOrderIsThePlaceInTheParentsSequence) {
  EXPECT_EQ(panel1.TabOrder(), 0);
  EXPECT_EQ(panel4.TabOrder(), 2);
  panel4.SetTabOrder(0);
  EXPECT_EQ(panel4.TabOrder(), 0);
  EXPECT_EQ(panel1.TabOrder(), 1);
  form.SelectFirst();
  EXPECT_TRUE(edit.Focused());
  panel4.SetTabOrder(99);
  EXPECT_EQ(panel4.TabOrder(), 2);
}

TEST_F(KeyboardTest, AWindowedControlDestroyedInItsParentLeavesTheTabSequence) {
  {
    TEdit gone(nullptr);
    gone.SetParent(&panel6);
    gone.SetTabOrder(0);
    EXPECT_EQ(desktop.TabOrder(), 1);
  }
  // Before the walk, which would reach a destroyed control's place.
  ASSERT_EQ(desktop.TabOrder(), 0);
  EXPECT_EQ(force.TabOrder(), 2);
  form.SelectNext(&combo, true);
  EXPECT_TRUE(desktop.Focused()) << "the walk goes on past the place of the destroyed control";
}

TEST_F(KeyboardTest, EnterIsOfferedToTheWindowUnlessTheFocusedControlWantsIt) {
  struct OkButton : TSpeedButton {
    using TSpeedButton::TSpeedButton;
    void DialogKey(TCMDialogKey& m) override {
      if (m.CharCode == VK_RETURN) {
        Click();
        m.Result = 1;
      }
    }
  } enter(nullptr);
  enter.SetParent(&panel6);
  int enterClicks = 0;
  enter.OnClick = [&](TObject*) { ++enterClicks; };

  edit.SetFocus();
  SendKey(edit, VK_RETURN);
  EXPECT_EQ(enterClicks, 1) << "a single-line edit leaves Enter to the window";
  memo.SetFocus();
  SendKey(memo, VK_RETURN);
  EXPECT_EQ(enterClicks, 1) << "a multi-line edit keeps Enter";
  const HWND panelWindow = panel4.Handle();
  const HWND memoWindow = memo.Handle();
  SendKey(memo, VK_ESCAPE);
  Pump();
  EXPECT_EQ(enterClicks, 1);
  // A multi-line edit asked about Escape closes its parent as in a dialog: a panel is no dialog
  // and keeps its window, and with it its controls.
  EXPECT_TRUE(IsWindow(panelWindow));
  EXPECT_TRUE(IsWindow(memoWindow));
  EXPECT_EQ(GetFocus(), memoWindow);

  // Also when no control has the focus: the form itself gets the key.
  SetFocus(form.Handle());
  SendKey(form, VK_RETURN);
  EXPECT_EQ(enterClicks, 2);
}

TEST_F(KeyboardTest, ATakenKeysCharacterNeverReachesTheControl) {
  std::vector<char16_t> pressed;
  edit.OnKeyPress = [&](TObject*, char16_t& key) { pressed.push_back(key); };
  // As a keyboard does it: the message loop's TranslateMessage puts the key's character into
  // the queue before the key-down is handled.
  auto type = [&] {
    edit.SetFocus();
    PostMessageW(edit.Handle(), WM_KEYDOWN, VK_RETURN, 1);
    Pump();
  };
  type();
  EXPECT_EQ(pressed, std::vector<char16_t>{u'\r'}) << "nobody takes Enter: the edit gets it";

  struct OkButton : TSpeedButton {
    using TSpeedButton::TSpeedButton;
    void DialogKey(TCMDialogKey& m) override {
      if (m.CharCode == VK_RETURN) {
        Click();
        m.Result = 1;
      }
    }
  } enter(nullptr);
  enter.SetParent(&panel6);
  // The handler handles messages itself, as the installation run does.
  enter.OnClick = [](TObject*) { Application().ProcessMessages(); };
  pressed.clear();
  type();
  EXPECT_TRUE(pressed.empty());
}

TEST_F(KeyboardTest, MnemonicsReachGraphicControlsButNotFromAnEditThatTakesCharacters) {
  edit.SetFocus();
  SendMessageW(edit.Handle(), WM_CHAR, u'i', 1);
  EXPECT_EQ(okClicks, 0);
  EXPECT_EQ(edit.Text(), u"i");
  SendMessageW(edit.Handle(), WM_SYSCHAR, u'I', 1);
  EXPECT_EQ(okClicks, 1);
  ok.Hide();
  SendMessageW(edit.Handle(), WM_SYSCHAR, u'I', 1);
  EXPECT_EQ(okClicks, 1);
}

TEST_F(KeyboardTest, ComboBoxRaisesOnChangeForTheUsersChoiceOnly) {
  int changes = 0;
  combo.OnChange = [&](TObject*) { ++changes; };
  combo.SetItemIndex(0);
  EXPECT_EQ(changes, 0);
  combo.SetFocus();
  SendKey(combo, VK_DOWN);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(combo.ItemIndex(), 1);
  combo.SetItemIndex(5);
  EXPECT_EQ(combo.ItemIndex(), -1);
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

// --- The application object

TEST(ErrorBoxText, AddsAFullStopUnlessTheMessageEndsInOneOrALowerCharacter) {
  EXPECT_EQ(ErrorBoxText(u"Unable to create directory"), u"Unable to create directory.");
  EXPECT_EQ(ErrorBoxText(u"Done."), u"Done.");
  EXPECT_EQ(ErrorBoxText(u"Stop!"), u"Stop!");
  EXPECT_EQ(ErrorBoxText(u"a,"), u"a,");
  EXPECT_EQ(ErrorBoxText(u"e-mail -"), u"e-mail -");
  EXPECT_EQ(ErrorBoxText(u"folder/"), u"folder/.") << "'/' comes after '.'";
  EXPECT_EQ(ErrorBoxText(u"Нет"), u"Нет.");
  EXPECT_EQ(ErrorBoxText(u""), u"");
}

// What a message box of this thread showed; a watcher thread reads it and presses OK.
struct SeenBox {
  std::wstring caption;
  std::wstring text;
  bool icon = false;
};

class BoxWatcher {
 public:
  BoxWatcher() : thread_(GetCurrentThreadId()) {
    worker_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
  }
  ~BoxWatcher() {
    stop_ = true;
    WaitForSingleObject(worker_, 5000);
    CloseHandle(worker_);
  }
  const std::vector<SeenBox>& Seen() {
    stop_ = true;
    WaitForSingleObject(worker_, 5000);
    return seen_;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    auto* w = static_cast<BoxWatcher*>(self);
    for (int i = 0; i < 200 && !w->stop_; ++i) {
      EnumThreadWindows(w->thread_, Found, reinterpret_cast<LPARAM>(w));
      Sleep(25);
    }
    return 0;
  }
  static BOOL CALLBACK Found(HWND hwnd, LPARAM lParam) {
    auto* w = reinterpret_cast<BoxWatcher*>(lParam);
    wchar_t cls[64];
    GetClassNameW(hwnd, cls, 64);
    if (std::wstring(cls) != L"#32770" || !IsWindowVisible(hwnd))
      return TRUE;
    SeenBox box;
    wchar_t buffer[512];
    GetWindowTextW(hwnd, buffer, 512);
    box.caption = buffer;
    GetDlgItemTextW(hwnd, 0xFFFF, buffer, 512);
    box.text = buffer;
    for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
      GetClassNameW(c, cls, 64);
      // The box's template has an icon control; it shows only with an icon.
      if (std::wstring(cls) == L"Static" && (GetWindowLongW(c, GWL_STYLE) & SS_ICON) &&
          IsWindowVisible(c) && SendMessageW(c, STM_GETICON, 0, 0))
        box.icon = true;
    }
    w->seen_.push_back(box);
    PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
    return FALSE;
  }

  DWORD thread_;
  HANDLE worker_;
  volatile bool stop_ = false;
  std::vector<SeenBox> seen_;
};

TEST(ApplicationBoxes, AnExceptionEscapingAHandlerGoesToTheErrorBox) {
  TForm& form = SharedForm();
  Application().SetTitle(u"Ketro FULL");
  TPanel panel(nullptr);
  panel.SetParent(&form);
  panel.SetBounds(0, 0, 100, 100);
  panel.OnClick = [](TObject*) { throw Error("Unable to create directory"); };
  {
    BoxWatcher watcher;
    ClickAt(panel, 10, 10);
    const auto& seen = watcher.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, L"Ketro FULL");
    EXPECT_EQ(seen[0].text, L"Unable to create directory.");
    EXPECT_TRUE(seen[0].icon);
  }
  {
    BoxWatcher watcher;
    Application().ShowMessage(u"Не правильно имя папки!");
    const auto& seen = watcher.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, L"Ketro FULL");
    EXPECT_EQ(seen[0].text, L"Не правильно имя папки!");
    EXPECT_FALSE(seen[0].icon);
  }
}

TEST(Application, ProcessMessagesHandlesEverythingWaitingThenReturns) {
  struct Counting : TPanel {
    using TPanel::TPanel;
    int count = 0;
    void WndProc(TMessage& m) override {
      if (m.Msg == WM_USER + 7) {
        ++count;
        if (count == 2)
          PostMessageW(Handle(), WM_USER + 7, 0, 0); // posted while handling: handled too
        return;
      }
      TPanel::WndProc(m);
    }
  } panel(nullptr);
  panel.SetParent(&SharedForm());
  for (int i = 0; i < 3; ++i)
    PostMessageW(panel.Handle(), WM_USER + 7, 0, 0);
  Application().ProcessMessages();
  EXPECT_EQ(panel.count, 4);
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
}

TEST(Application, PointerEnterAndLeaveFollowTheControlUnderIt) {
  TPanel panel(nullptr);
  panel.SetParent(&SharedForm());
  panel.SetBounds(0, 0, 300, 100);
  TLabel a(nullptr), b(nullptr);
  a.SetParent(&panel);
  b.SetParent(&panel);
  a.SetBounds(0, 0, 100, 20);
  b.SetBounds(150, 0, 100, 20);
  std::vector<std::string> events;
  a.OnMouseEnter = [&](TObject*) { events.push_back("enter a"); };
  a.OnMouseLeave = [&](TObject*) { events.push_back("leave a"); };
  b.OnMouseEnter = [&](TObject*) { events.push_back("enter b"); };
  b.OnMouseLeave = [&](TObject*) { events.push_back("leave b"); };
  SendMouse(panel, WM_MOUSEMOVE, 10, 10);
  SendMouse(panel, WM_MOUSEMOVE, 20, 10);
  SendMouse(panel, WM_MOUSEMOVE, 160, 10);
  SendMouse(panel, WM_MOUSEMOVE, 160, 80);
  SendMouse(panel, WM_MOUSEMOVE, 10, 10);
  SendMessageW(panel.Handle(), WM_MOUSELEAVE, 0, 0);
  EXPECT_EQ(events, (std::vector<std::string>{"enter a", "leave a", "enter b", "leave b", "enter a",
                                              "leave a"}));
}

TEST(Application, AControlsHintShowsAfterTheHintPause) {
  TPanel panel(nullptr);
  panel.SetParent(&SharedForm());
  panel.SetBounds(0, 0, 300, 100);
  TSpeedButton button(nullptr), quiet(nullptr);
  button.SetParent(&panel);
  quiet.SetParent(&panel);
  button.SetBounds(0, 0, 30, 30);
  quiet.SetBounds(100, 0, 30, 30);
  button.SetHint(u"Select folder");
  button.SetShowHint(true);
  quiet.SetHint(u"Not shown");
  Application().SetHintPause(0);
  auto hintWindow = [] {
    HWND h = FindWindowW(L"TKetHintWindow", nullptr);
    return h && IsWindowVisible(h) ? h : nullptr;
  };
  SendMouse(panel, WM_MOUSEMOVE, 10, 10);
  HWND hint = hintWindow();
  ASSERT_NE(hint, nullptr);
  wchar_t text[64];
  GetWindowTextW(hint, text, 64);
  EXPECT_EQ(std::wstring(text), L"Select folder");
  SendMouse(panel, WM_MOUSEMOVE, 110, 10);
  EXPECT_EQ(hintWindow(), nullptr) << "ShowHint is off for the other button";

  Application().SetHintPause(200);
  SendMouse(panel, WM_MOUSEMOVE, 10, 10);
  EXPECT_EQ(hintWindow(), nullptr);
  const DWORD until = GetTickCount() + 3000;
  while (!hintWindow() && GetTickCount() < until) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    Pump();
  }
  EXPECT_NE(hintWindow(), nullptr);
  SendMouse(panel, WM_MOUSEMOVE, 200, 80);
  EXPECT_EQ(hintWindow(), nullptr);
  Application().SetHintPause(500);
}

TEST(Application, AHintWindowHoldsItsWholeTextWithAMarginAsATooltipDoes) {
  TPanel panel(nullptr);
  panel.SetParent(&SharedForm());
  panel.SetBounds(0, 0, 300, 100);
  TSpeedButton button(nullptr);
  button.SetParent(&panel);
  button.SetBounds(0, 0, 30, 30);
  Application().SetHintPause(0);
  // The tooltip font's metrics, measured here as the hint measures them.
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  const HFONT font = CreateFontIndirectW(&metrics.lfStatusFont);
  HDC screen = GetDC(nullptr);
  const HGDIOBJ old = SelectObject(screen, font);
  auto extent = [&](const std::wstring& s) {
    SIZE size{};
    GetTextExtentPoint32W(screen, s.c_str(), static_cast<int>(s.size()), &size);
    return size;
  };
  TEXTMETRICW tm{};
  GetTextMetricsW(screen, &tm);
  struct Case {
    std::u16string hint;
    std::wstring widest;
    int lines;
  };
  const Case cases[] = {{u"Select folder", L"Select folder", 1},
                        {u"\x0412\x044B\x0431\x0440\x0430\x0442\x044C \x043A\x0430\x0442\x0430"
                         u"\x043B\x043E\x0433",
                         L"\x0412\x044B\x0431\x0440\x0430\x0442\x044C \x043A\x0430\x0442\x0430"
                         L"\x043B\x043E\x0433",
                         1},
                        // Broken only where the text breaks itself, never wrapped.
                        {u"A rather long hint that is never wrapped at all, however wide it is",
                         L"A rather long hint that is never wrapped at all, however wide it is", 1},
                        {u"two\rlines, the second wider", L"lines, the second wider", 2}};
  for (const Case& c : cases) {
    button.SetHint(c.hint);
    button.SetShowHint(true);
    SendMouse(panel, WM_MOUSEMOVE, 200, 80);
    SendMouse(panel, WM_MOUSEMOVE, 10, 10);
    HWND hint = FindWindowW(L"TKetHintWindow", nullptr);
    ASSERT_TRUE(hint && IsWindowVisible(hint));
    RECT client{}, window{};
    GetClientRect(hint, &client);
    GetWindowRect(hint, &window);
    const SIZE text = extent(c.widest);
    EXPECT_EQ(client.right, text.cx + 4) << "two pixels each side";
    EXPECT_EQ(client.bottom, c.lines * tm.tmHeight + 4);
    EXPECT_EQ(window.right - window.left, client.right + 2) << "and a border of one";
  }
  SendMouse(panel, WM_MOUSEMOVE, 200, 80);
  SelectObject(screen, old);
  ReleaseDC(nullptr, screen);
  DeleteObject(font);
  Application().SetHintPause(500);
}

TEST(Form, WindowOfTheFormsClassFixedBorderCloseBoxOnlyCentredOnTheDesktop) {
  struct NamedForm : TForm {
    NamedForm() : TForm(nullptr) {
      SetClientSize(550, 299);
      SetPosition(poDesktopCenter);
      SetScaled(false);
      SetCaption(u"Ketro FULL");
      box.SetParent(this);
      box.SetBounds(10, 10, 100, 24);
      OnCreate = [this](TObject*) { created = box.Loading() ? -1 : 1; };
      OnActivate = [this](TObject*) { ++activations; };
      FinishCreate();
    }
    void CreateParams(TCreateParams& p) override {
      TForm::CreateParams(p);
      p.WinClassName = u"TKetFormTest";
    }
    TEdit box{this};
    int created = 0;
    int activations = 0;
  } form;
  EXPECT_EQ(form.created, 1) << "OnCreate after Loaded";
  HWND hwnd = form.Handle();
  wchar_t cls[64];
  GetClassNameW(hwnd, cls, 64);
  EXPECT_EQ(std::wstring(cls), L"TKetFormTest");
  EXPECT_EQ(FindWindowW(L"TKetFormTest", nullptr), hwnd);
  const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
  RECT client;
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, 550);
  EXPECT_EQ(client.bottom, 299);
  wchar_t caption[64];
  GetWindowTextW(hwnd, caption, 64);
  EXPECT_EQ(std::wstring(caption), L"Ketro FULL");

  form.Show();
  Pump();
  RECT r;
  GetWindowRect(hwnd, &r);
  const int vx = GetSystemMetrics(SM_XVIRTUALSCREEN), vw = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int vy = GetSystemMetrics(SM_YVIRTUALSCREEN), vh = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  EXPECT_EQ(r.left, std::max<LONG>(vx, vx + vw / 2 - (r.right - r.left) / 2));
  EXPECT_EQ(r.top, std::max<LONG>(vy, vy + vh / 2 - (r.bottom - r.top) / 2));
  EXPECT_GE(form.activations, 1);
  EXPECT_TRUE(form.box.Focused()) << "the first control of the tab sequence";
  EXPECT_EQ(form.Color(), clBtnFace);
}

} // namespace
} // namespace ket::test
