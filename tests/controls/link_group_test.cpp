// TLink: colours under the pointer and the shell call; TGroupPanel: enabling at every depth.
#include "controls/check_box.h"
#include "controls/group_panel.h"
#include "controls/link.h"
#include "controls/styled_button.h"
#include "tests/toolkit/test_support.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace ket::test {
namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);

class LinkTest : public ::testing::Test {
 protected:
  LinkTest() {
    panel.SetParent(&form);
    panel.SetBounds(0, 0, 400, 300);
    panel.SetBevelOuter(bvNone);
    link.SetParent(&panel);
    link.SetBounds(0, 0, 400, 30);
    link.SetCaption(u"Official website of the program ");
    link.SetAlignment(taRightJustify);
    link.SetLayout(tlCenter);
    link.Font().SetStyle(fsBold | fsUnderline);
    link.Font().SetColor(RGB(0, 128, 0));
    link.OnClick = [this](TObject* Sender) {
      EXPECT_EQ(Sender, &link);
      ++clicks;
    };
    // As at the end of a window's set-up.
    link.Loaded();
    Pump();
  }

  int Count(COLORREF color) { return Capture(panel).Count(link.BoundsRect(), color); }

  TForm& form = SharedForm();
  TPanel panel{&form};
  TLink link{&form};
  int clicks = 0;
};

TEST_F(LinkTest, IsBlueOnceLoadedRedUnderThePointerAndBlueAgainAfter) {
  EXPECT_EQ(link.Font().Color(), clBlue);
  EXPECT_EQ(link.Cursor(), crHandPoint);
  EXPECT_EQ(link.Font().Style(), fsBold | fsUnderline);
  EXPECT_GT(Count(kBlue), 50);
  EXPECT_EQ(Count(RGB(0, 128, 0)), 0);

  SendMouse(panel, WM_MOUSEMOVE, 350, 15);
  EXPECT_EQ(link.Font().Color(), clRed);
  EXPECT_EQ(link.Font().Style(), fsBold | fsUnderline) << "only the colour changes";
  EXPECT_GT(Count(kRed), 50);
  EXPECT_EQ(Count(kBlue), 0);

  SendMouse(panel, WM_MOUSEMOVE, 350, 200);
  EXPECT_EQ(link.Font().Color(), clBlue);
  EXPECT_GT(Count(kBlue), 50);

  // The pointer handlers do not ask the enabled state; the label's own events do not run.
  bool baseEvent = false;
  link.OnMouseEnter = [&](TObject*) { baseEvent = true; };
  link.SetEnabled(false);
  SendMouse(panel, WM_MOUSEMOVE, 350, 15);
  EXPECT_EQ(link.Font().Color(), clRed);
  EXPECT_FALSE(baseEvent);
}

TEST_F(LinkTest, HandCursorOverTheLink) {
  POINT p{350, 15};
  ClientToScreen(panel.Handle(), &p);
  SetCursorPos(p.x, p.y);
  SendMessageW(panel.Handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(panel.Handle()),
               MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
}

TEST_F(LinkTest, ClickRaisesOnClickAndAsksTheShellToOpenTheLinkIfAny) {
  ClickAt(panel, 350, 15); // no link: only the event
  EXPECT_EQ(clicks, 1);

  // The link names a batch file; the shell's "open" runs it, and it leaves a mark.
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  const std::wstring marker = std::wstring(dir) + L"ket_link_opened.txt";
  const std::wstring batch = std::wstring(dir) + L"ket_link_open.bat";
  DeleteFileW(marker.c_str());
  {
    FILE* f = _wfopen(batch.c_str(), L"wb");
    ASSERT_NE(f, nullptr);
    std::string m(marker.begin(), marker.end());
    std::fprintf(f, "@echo opened> \"%s\"\r\n", m.c_str());
    std::fclose(f);
  }
  link.SetLink(std::u16string(batch.begin(), batch.end()));
  ClickAt(panel, 350, 15);
  EXPECT_EQ(clicks, 2);
  bool opened = false;
  for (int i = 0; i < 100 && !opened; ++i) {
    opened = GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!opened)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(opened);
  DeleteFileW(marker.c_str());
  DeleteFileW(batch.c_str());

  // A link that cannot be opened: nothing is reported, OnClick all the same.
  link.SetLink(u"C:\\no\\such\\file.ketro-none");
  ClickAt(panel, 350, 15);
  EXPECT_EQ(clicks, 3);
}

class GroupPanelTest : public ::testing::Test {
 protected:
  GroupPanelTest() {
    gp.SetParent(&form);
    gp.SetBounds(0, 0, 400, 300);
    inner.SetParent(&gp);
    inner.SetBounds(10, 10, 380, 200);
    deeper.SetParent(&inner);
    deeper.SetBounds(10, 100, 360, 90);
    label.SetParent(&gp);
    label.SetCaption(u"Label");
    combo.SetParent(&gp);
    combo.SetBounds(10, 220, 150, 24);
    combo.SetItems({u"English", u"Russian"});
    box.SetParent(&inner);
    box.SetBounds(10, 10, 150, 19);
    box.SetCaption(u"Create desktop icon");
    box.SetChecked(true);
    edit.SetParent(&deeper);
    deepCombo.SetParent(&deeper);
    deepCombo.SetBounds(150, 10, 150, 24);
    deepCombo.Font().SetColor(clRed);
    button.SetParent(&deeper);
    Pump();
  }

  std::vector<TControl*> All() {
    return {&inner, &deeper, &label, &combo, &box, &edit, &deepCombo, &button};
  }

  TForm& form = SharedForm();
  TGroupPanel gp{&form};
  TPanel inner{&form};
  TPanel deeper{&form};
  TLabel label{&form};
  TComboBox combo{&form};
  TEwCheckBox box{&form};
  TEdit edit{&form};
  TComboBox deepCombo{&form};
  TSB button{&form};
};

TEST_F(GroupPanelTest, DisablingAndEnablingReachEveryDepthAndRecolourComboBoxes) {
  edit.SetEnabled(false);
  gp.SetEnabled(false);
  EXPECT_FALSE(gp.Enabled());
  for (TControl* c : All())
    EXPECT_FALSE(c->Enabled());
  EXPECT_FALSE(IsWindowEnabled(deepCombo.Handle()));
  EXPECT_EQ(combo.Font().Color(), clGrayText);
  EXPECT_EQ(deepCombo.Font().Color(), clGrayText);

  gp.SetEnabled(true);
  for (TControl* c : All())
    EXPECT_TRUE(c->Enabled()) << "also the edit that was disabled on its own";
  EXPECT_TRUE(IsWindowEnabled(edit.Handle()));
  EXPECT_EQ(combo.Font().Color(), clBtnText);
  EXPECT_EQ(deepCombo.Font().Color(), clBtnText) << "not the colour it had before";
}

TEST_F(GroupPanelTest, ThePlainControlInterfaceSetsThePanelAlone) {
  TControl& plain = gp;
  plain.SetEnabled(false);
  EXPECT_FALSE(gp.Enabled());
  for (TControl* c : All())
    EXPECT_TRUE(c->Enabled());
}

TEST_F(GroupPanelTest, ACheckBoxInsideRepaintsInItsDisabledLook) {
  const COLORREF face = ColorToRGB(clBtnFace);
  EXPECT_EQ(Capture(box).At(2 + 11, 1 + 4), RGB(0, 0, 0)) << "the tick";
  gp.SetEnabled(false);
  Pump();
  const Pixels p = Capture(box);
  EXPECT_EQ(p.At(2 + 11, 1 + 4), face) << "no mark, transparent interior";
  EXPECT_EQ(p.Count({22, 0, 150, 19}, ColorToRGB(clWindowText)), 0);
  EXPECT_GT(p.Count({22, 0, 150, 19}, ColorToRGB(clBtnShadow)), 20);
}

} // namespace
} // namespace ket::test
