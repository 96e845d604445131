// The application object (error and message boxes, the message loop, pointer enter and
// leave, hints) and the form's window.
#include "base/error.h"
#include "tests/toolkit/test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ket::test {
namespace {

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

// What a message box of this thread showed; a watcher thread reads it and presses OK. Each box
// counts once: the OK it posts may not have closed the box by the next look (a slow machine, an
// emulated one above all), and a box seen twice is not two boxes.
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
    if (std::find(w->handled_.begin(), w->handled_.end(), hwnd) != w->handled_.end()) {
      PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
      return FALSE;
    }
    w->handled_.push_back(hwnd);
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
  std::vector<HWND> handled_;
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

// A button with a hint on a panel; the hint pause as at start-up afterwards.
class HintTest : public ::testing::Test {
 protected:
  HintTest() {
    panel.SetParent(&SharedForm());
    panel.SetBounds(0, 0, 300, 100);
    button.SetParent(&panel);
    button.SetBounds(0, 0, 30, 30);
    button.SetShowHint(true);
    Application().SetHintPause(0);
  }
  ~HintTest() override {
    SendMouse(panel, WM_MOUSEMOVE, 200, 80);
    Application().SetHintPause(500);
  }

  // The hint window, when it shows.
  static HWND HintWindow() {
    HWND h = FindWindowW(L"TKetHintWindow", nullptr);
    return h && IsWindowVisible(h) ? h : nullptr;
  }

  TPanel panel{nullptr};
  TSpeedButton button{nullptr};
};

TEST_F(HintTest, AControlsHintShowsAfterTheHintPause) {
  TSpeedButton quiet(nullptr);
  quiet.SetParent(&panel);
  quiet.SetBounds(100, 0, 30, 30);
  button.SetHint(u"Select folder");
  quiet.SetHint(u"Not shown");
  SendMouse(panel, WM_MOUSEMOVE, 10, 10);
  HWND hint = HintWindow();
  ASSERT_NE(hint, nullptr);
  wchar_t text[64];
  GetWindowTextW(hint, text, 64);
  EXPECT_EQ(std::wstring(text), L"Select folder");
  SendMouse(panel, WM_MOUSEMOVE, 110, 10);
  EXPECT_EQ(HintWindow(), nullptr) << "ShowHint is off for the other button";

  Application().SetHintPause(200);
  SendMouse(panel, WM_MOUSEMOVE, 10, 10);
  EXPECT_EQ(HintWindow(), nullptr);
  const DWORD until = GetTickCount() + 3000;
  while (!HintWindow() && GetTickCount() < until) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    Pump();
  }
  EXPECT_NE(HintWindow(), nullptr);
  SendMouse(panel, WM_MOUSEMOVE, 200, 80);
  EXPECT_EQ(HintWindow(), nullptr);
}

TEST_F(HintTest, AHintWindowHoldsItsWholeTextWithAMarginAsATooltipDoes) {
  // The tooltip font's metrics, measured here as the hint measures them.
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  const HFONT font = CreateFontIndirectW(&metrics.lfStatusFont);
  HDC screen = GetDC(nullptr);
  const HGDIOBJ old = SelectObject(screen, font);
  TEXTMETRICW tm{};
  GetTextMetricsW(screen, &tm);
  struct Case {
    std::u16string hint;
    std::u16string widest; // empty: the whole hint
    int lines;
  };
  const Case cases[] = {
      {u"Select folder", u"", 1},
      {u"\x0412\x044B\x0431\x0440\x0430\x0442\x044C \x043A\x0430\x0442\x0430\x043B\x043E\x0433",
       u"", 1},
      // Broken only where the text breaks itself, never wrapped.
      {u"A rather long hint that is never wrapped at all, however wide it is", u"", 1},
      {u"two\rlines, the second wider", u"lines, the second wider", 2}};
  for (const Case& c : cases) {
    button.SetHint(c.hint);
    SendMouse(panel, WM_MOUSEMOVE, 200, 80);
    SendMouse(panel, WM_MOUSEMOVE, 10, 10);
    HWND hint = HintWindow();
    ASSERT_NE(hint, nullptr);
    RECT client{}, window{};
    GetClientRect(hint, &client);
    GetWindowRect(hint, &window);
    const std::u16string& widest = c.widest.empty() ? c.hint : c.widest;
    SIZE text{};
    GetTextExtentPoint32W(screen, reinterpret_cast<const wchar_t*>(widest.c_str()),
                          static_cast<int>(widest.size()), &text);
    EXPECT_EQ(client.right, text.cx + 4) << "two pixels each side";
    EXPECT_EQ(client.bottom, c.lines * tm.tmHeight + 4);
    EXPECT_EQ(window.right - window.left, client.right + 2) << "and a border of one";
  }
  SelectObject(screen, old);
  ReleaseDC(nullptr, screen);
  DeleteObject(font);
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
