#include "tests/toolkit/test_support.h"

namespace ket::test {

COLORREF Pixels::At(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height)
    return 0xFFFFFFFFu;
  const std::uint32_t v =
      data[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
  return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

int Pixels::Count(const RECT& rect, COLORREF color) const {
  int n = 0;
  for (int y = rect.top; y < rect.bottom; ++y)
    for (int x = rect.left; x < rect.right; ++x)
      if (At(x, y) == color)
        ++n;
  return n;
}

std::pair<int, int> Pixels::Span(int y, COLORREF color) const {
  int first = -1, last = -1;
  for (int x = 0; x < width; ++x) {
    if (At(x, y) == color) {
      if (first < 0)
        first = x;
      last = x;
    }
  }
  return {first, last};
}

namespace {

void PrintTree(HWND hwnd, HDC dc, POINT origin) {
  SetViewportOrgEx(dc, origin.x, origin.y, nullptr);
  RECT client;
  GetClientRect(hwnd, &client);
  const int saved = SaveDC(dc);
  IntersectClipRect(dc, 0, 0, client.right, client.bottom);
  SendMessageW(hwnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
  RestoreDC(dc, saved);
  // Children in stacking order, the lowest first.
  std::vector<HWND> children;
  for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    children.push_back(c);
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    if (!IsWindowVisible(*it))
      continue;
    RECT r;
    GetWindowRect(*it, &r);
    POINT topLeft{r.left, r.top};
    ScreenToClient(hwnd, &topLeft);
    // Client origin of the child within its window (borders such as the edit's edge).
    POINT clientOrigin{0, 0};
    ClientToScreen(*it, &clientOrigin);
    const POINT inner{origin.x + topLeft.x + (clientOrigin.x - r.left),
                      origin.y + topLeft.y + (clientOrigin.y - r.top)};
    PrintTree(*it, dc, inner);
    SetViewportOrgEx(dc, origin.x, origin.y, nullptr);
  }
}

} // namespace

Pixels Capture(TWinControl& control) {
  HWND hwnd = control.Handle();
  RECT client;
  GetClientRect(hwnd, &client);
  Pixels p;
  p.width = client.right;
  p.height = client.bottom;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = p.width;
  info.bmiHeader.biHeight = -p.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, bitmap);
  PrintTree(hwnd, dc, {0, 0});
  GdiFlush();
  const auto* src = static_cast<const std::uint32_t*>(bits);
  p.data.assign(src, src + static_cast<size_t>(p.width) * static_cast<size_t>(p.height));
  for (auto& v : p.data)
    v &= 0xFFFFFFu;
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return p;
}

void Pump() {
  Application().ProcessMessages();
}

void SendMouse(TWinControl& window, UINT msg, int x, int y, WPARAM keys) {
  SendMessageW(window.Handle(), msg, keys, MAKELPARAM(x, y));
}

void ClickAt(TWinControl& window, int x, int y) {
  SendMouse(window, WM_LBUTTONDOWN, x, y, MK_LBUTTON);
  SendMouse(window, WM_LBUTTONUP, x, y, 0);
}

void SendKey(TWinControl& window, WORD vk) {
  SendMessageW(window.Handle(), WM_KEYDOWN, vk, 1);
  SendMessageW(window.Handle(), WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
}

TestForm::TestForm(int width, int height) : TForm(nullptr) {
  SetScaled(false);
  SetClientSize(width, height);
}

void TestForm::CreateParams(TCreateParams& Params) {
  TForm::CreateParams(Params);
  Params.Style = WS_POPUP | WS_CLIPCHILDREN;
}

TestForm& SharedForm() {
  static TestForm form(600, 400);
  static const bool shown = [] {
    form.FinishCreate();
    form.Show();
    Pump();
    return true;
  }();
  (void)shown;
  form.SetModalResult(mrNone);
  return form;
}

} // namespace ket::test
