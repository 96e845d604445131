#include "toolkit/application.h"

#include "toolkit/control.h"
#include "toolkit/form.h"
#include "toolkit/graphics.h"

#include <algorithm>
#include <commctrl.h>
#include <objbase.h>
#include <string_view>
#include <vector>

namespace ket {

namespace {

const wchar_t kHintClass[] = L"TKetHintWindow";
constexpr DWORD kHintStyle = WS_POPUP | WS_BORDER;
constexpr DWORD kHintExStyle = WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_NOACTIVATE;
// As the system's tooltips: the text with a margin of two pixels round it, inside the border,
// lines broken only where the text breaks them, so that a hint is never wrapped or cut.
constexpr int kHintMargin = 2;

// Measures the hint's text in the font selected into dc and, given an origin, draws it there.
// Each character is put where the measurement put it: some systems draw a text a few pixels
// wider than they measure it, which would cut its end.
SIZE HintText(HDC dc, std::wstring_view text, const POINT* origin) {
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SIZE total{0, 0};
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(L"\r\n", start);
    if (end == std::wstring_view::npos)
      end = text.size();
    const std::wstring_view line = text.substr(start, end - start);
    const int n = static_cast<int>(line.size());
    std::vector<int> extents(line.size() + 1, 0);
    SIZE size{0, 0};
    if (n > 0)
      GetTextExtentExPointW(dc, line.data(), n, 0, nullptr, extents.data(), &size);
    if (origin && n > 0) {
      std::vector<int> advances(line.size());
      for (size_t i = 0; i < line.size(); ++i)
        advances[i] = extents[i] - (i > 0 ? extents[i - 1] : 0);
      ExtTextOutW(dc, origin->x, origin->y + total.cy, 0, nullptr, line.data(),
                  static_cast<UINT>(n), advances.data());
    }
    total.cx = std::max(total.cx, size.cx);
    total.cy += metrics.tmHeight;
    if (end < text.size() && text[end] == L'\r' && end + 1 < text.size() && text[end + 1] == L'\n')
      ++end;
    start = end + 1;
  }
  return total;
}

LRESULT CALLBACK HintWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
  case WM_NCHITTEST:
    return HTTRANSPARENT;
  case WM_PAINT: {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT r;
    GetClientRect(hwnd, &r);
    // The background; its brush is freed as soon as it has filled it.
    {
      const UniqueGdi<HBRUSH> brush(CreateSolidBrush(GetSysColor(COLOR_INFOBK)));
      FillRect(dc, &r, brush.get());
    }
    const int n = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    GetWindowTextW(hwnd, text.data(), n + 1);
    text.resize(static_cast<size_t>(n));
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(GetWindowLongPtrW(hwnd, 0)));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
    const POINT origin{kHintMargin, kHintMargin};
    HintText(dc, text, &origin);
    SelectObject(dc, old);
    EndPaint(hwnd, &ps);
    return 0;
  }
  default:
    return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

bool IsInputMessage(UINT msg) {
  return msg == WM_KEYDOWN || msg == WM_SYSKEYDOWN || msg == WM_LBUTTONDOWN ||
         msg == WM_RBUTTONDOWN || msg == WM_MBUTTONDOWN || msg == WM_MOUSEWHEEL ||
         msg == WM_NCLBUTTONDOWN;
}

} // namespace

struct TApplication::HintState {
  HWND window = nullptr;
  UniqueGdi<HFONT> font;
  UINT_PTR showTimer = 0;
  UINT_PTR hideTimer = 0;
  TControl* control = nullptr;
};

TApplication::TApplication() : hint_(std::make_unique<HintState>()) {}

TApplication::~TApplication() {
  CancelHint();
  if (hint_->window)
    DestroyWindow(hint_->window);
  if (comInitialized_)
    CoUninitialize();
}

TApplication& Application() {
  static TApplication application;
  return application;
}

void TApplication::Initialize() {
  if (!comInitialized_)
    comInitialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
}

void TApplication::Run(TForm& mainForm) {
  mainForm_ = &mainForm;
  mainForm.Show();
  while (!terminated_)
    HandleMessage();
}

namespace {

void Dispatch(const MSG& msg) {
  if (IsInputMessage(msg.message))
    Application().CancelHint();
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

} // namespace

void TApplication::HandleMessage() {
  MSG msg;
  const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
  if (got <= 0) {
    terminated_ = true;
    return;
  }
  Dispatch(msg);
}

void TApplication::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      terminated_ = true;
      return;
    }
    Dispatch(msg);
  }
}

void TApplication::Terminate() {
  PostQuitMessage(0);
}

void TApplication::Restore() {
  if (mainForm_ && mainForm_->HandleAllocated() && IsIconic(mainForm_->Handle()))
    ShowWindow(mainForm_->Handle(), SW_RESTORE);
}

HWND TApplication::MessageOwner() const {
  if (HWND active = GetActiveWindow())
    return active;
  if (mainForm_ && mainForm_->HandleAllocated() && IsWindowVisible(mainForm_->Handle()))
    return mainForm_->Handle();
  return nullptr;
}

std::u16string ErrorBoxText(std::u16string_view message) {
  std::u16string text(message);
  if (!text.empty() && text.back() > u'.')
    text += u'.';
  return text;
}

void TApplication::ShowError(std::u16string_view message) {
  CancelHint();
  const std::u16string text = ErrorBoxText(message);
  MessageBoxW(MessageOwner(), Wide(text), Wide(title_), MB_OK | MB_ICONERROR);
}

void TApplication::ShowException(const std::exception& error) {
  ShowError(Utf8ToUtf16(error.what()));
}

void TApplication::HandleException() {
  try {
    throw;
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
    ShowError(u"Unknown error");
  }
}

void TApplication::ShowMessage(std::u16string_view text) {
  CancelHint();
  const std::u16string terminated(text);
  MessageBoxW(MessageOwner(), Wide(terminated), Wide(title_), MB_OK);
}

void TApplication::SetMouseControl(TControl* control) {
  if (control == mouseControl_)
    return;
  TControl* old = mouseControl_;
  mouseControl_ = control;
  CancelHint();
  if (old)
    old->MouseLeave();
  if (control && control == mouseControl_)
    control->MouseEnter();
  if (control && control == mouseControl_ && control->ShowHint() && !control->Hint().empty()) {
    hint_->control = control;
    if (hintPause_ <= 0)
      ShowHintNow();
    else
      hint_->showTimer = SetTimer(nullptr, 0, static_cast<UINT>(hintPause_), HintTimerProc);
  }
}

void TApplication::ControlDestroyed(TControl* control) {
  if (mouseControl_ == control)
    mouseControl_ = nullptr;
  if (hint_ && hint_->control == control)
    CancelHint();
}

void TApplication::CancelHint() {
  if (!hint_)
    return;
  if (hint_->showTimer)
    KillTimer(nullptr, hint_->showTimer);
  if (hint_->hideTimer)
    KillTimer(nullptr, hint_->hideTimer);
  hint_->showTimer = hint_->hideTimer = 0;
  hint_->control = nullptr;
  if (hint_->window && IsWindowVisible(hint_->window))
    ShowWindow(hint_->window, SW_HIDE);
}

void CALLBACK TApplication::HintTimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  TApplication& app = Application();
  HintState& hint = *app.hint_;
  if (id == hint.showTimer) {
    KillTimer(nullptr, hint.showTimer);
    hint.showTimer = 0;
    app.ShowHintNow();
  } else if (id == hint.hideTimer) {
    app.CancelHint();
  } else {
    KillTimer(nullptr, id);
  }
}

void TApplication::ShowHintNow() {
  HintState& hint = *hint_;
  TControl* control = hint.control;
  if (!control || control != mouseControl_)
    return;
  if (!hint.window) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_SAVEBITS;
    wc.lpfnWndProc = HintWndProc;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kHintClass;
    RegisterClassExW(&wc);
    hint.window = CreateWindowExW(kHintExStyle, kHintClass, L"", kHintStyle, 0, 0, 0, 0, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    hint.font.reset(CreateFontIndirectW(&metrics.lfStatusFont));
    SetWindowLongPtrW(hint.window, 0, reinterpret_cast<LONG_PTR>(hint.font.get()));
  }
  if (!hint.window)
    return;
  const std::u16string text = control->Hint();
  SetWindowTextW(hint.window, Wide(text));
  HDC dc = GetDC(hint.window);
  HGDIOBJ old = SelectObject(dc, hint.font.get());
  const SIZE extent = HintText(dc, std::wstring_view(WideData(text), text.size()), nullptr);
  SelectObject(dc, old);
  ReleaseDC(hint.window, dc);
  // The window round that: the margins, then the border (as the system computes it for the style).
  RECT frame{0, 0, extent.cx + 2 * kHintMargin, extent.cy + 2 * kHintMargin};
  AdjustWindowRectEx(&frame, kHintStyle, FALSE, kHintExStyle);
  const int w = frame.right - frame.left;
  const int h = frame.bottom - frame.top;
  POINT p;
  GetCursorPos(&p);
  p.y += GetSystemMetrics(SM_CYCURSOR) * 3 / 4;
  const int sw = GetSystemMetrics(SM_CXVIRTUALSCREEN) + GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int sh = GetSystemMetrics(SM_CYVIRTUALSCREEN) + GetSystemMetrics(SM_YVIRTUALSCREEN);
  p.x = std::min(p.x, static_cast<LONG>(sw - w));
  p.y = std::min(p.y, static_cast<LONG>(sh - h));
  SetWindowPos(hint.window, HWND_TOPMOST, p.x, p.y, w, h, SWP_SHOWWINDOW | SWP_NOACTIVATE);
  InvalidateRect(hint.window, nullptr, TRUE);
  if (hintHidePause_ > 0)
    hint.hideTimer = SetTimer(nullptr, 0, static_cast<UINT>(hintHidePause_), HintTimerProc);
}

} // namespace ket
