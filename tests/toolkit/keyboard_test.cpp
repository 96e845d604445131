// The toolkit's keyboard: the tab sequence, focus passed on from hidden and disabled
// controls, dialog keys and mnemonics.
#include "tests/toolkit/test_support.h"

#include <gtest/gtest.h>
#include <vector>

namespace ket::test {
namespace {

// A default button: takes Enter as a dialog key while it is enabled, and clicks.
struct OkButton : TSpeedButton {
  using TSpeedButton::TSpeedButton;
  void DialogKey(TCMDialogKey& m) override {
    if (m.CharCode == VK_RETURN && Enabled()) {
      Click();
      m.Result = 1;
    }
  }
};

// --- Keyboard

// What a key does goes by the window that has the focus: it is sent there.
void PressOnFocused(WORD vk) {
  TWinControl* focused = TWinControl::FromHandle(GetFocus());
  ASSERT_NE(focused, nullptr);
  SendKey(*focused, vk);
}

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
    PressOnFocused(VK_TAB);
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

TEST_F(KeyboardTest, HidingTheFocusedControlOrItsParentPassesTheFocusOn) {
  OkButton enter(nullptr);
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
  OkButton enter(nullptr);
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

  OkButton enter(nullptr);
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
  ok.Show();
  ok.SetEnabled(false);
  SendMessageW(edit.Handle(), WM_SYSCHAR, u'I', 1);
  EXPECT_EQ(okClicks, 1) << "nor for a disabled one";
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

} // namespace
} // namespace ket::test
