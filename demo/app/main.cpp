// Ketro: the demo product's program. Shows the cities of Ketro.cts, the encrypted database the
// setup installs next to it.
//
//   Ketro.exe            the window
//   Ketro.exe --count    prints the number of cities and exits, without a window
//
// Exit codes: 0 success; 1 the database could not be opened or read (a message box, or with
// --count the engine's message on standard error); 2 an unknown argument.

// windows.h before the headers that build on it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include "base/text.h"
#include "base/wide.h"
#include "db/ket_database.h"
#include "demo/app/cities.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ketro {
namespace {

constexpr wchar_t kTitle[] = L"Ketro";
constexpr wchar_t kWindowClass[] = L"TKetroCities";
constexpr int kMargin = 8;

std::filesystem::path ProgramFolder() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (size == 0) {
      return {};
    }
    if (size < buffer.size()) {
      buffer.resize(size);
      return std::filesystem::path(buffer).parent_path();
    }
    buffer.resize(buffer.size() * 2); // a long path was cut short
  }
}

std::wstring MessageOf(const std::exception& e) {
  if (const auto* db = dynamic_cast<const ket::EKetDatabase*>(&e);
      db != nullptr && !db->ErrorMessage().empty()) {
    return {db->ErrorMessage().begin(), db->ErrorMessage().end()};
  }
  return ket::WideFromUtf8(e.what());
}

// Standard output and error exist for a GUI program only when the caller handed them over.
void Write(DWORD which, std::string_view text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD written = 0;
  WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

struct FontDeleter {
  void operator()(HFONT font) const { DeleteObject(font); }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

FontHandle MessageFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    return nullptr;
  }
  return FontHandle(CreateFontIndirectW(&metrics.lfMessageFont));
}

// The main window: a line with the number of cities above a list of them.
class CitiesWindow {
 public:
  explicit CitiesWindow(std::vector<City> cities) : cities_(std::move(cities)) {}

  bool Create(HINSTANCE instance, int show) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &CitiesWindow::Procedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = kWindowClass;
    if (RegisterClassExW(&wc) == 0) {
      return false;
    }
    const HWND window = CreateWindowExW(0, kWindowClass, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                        CW_USEDEFAULT, 640, 480, nullptr, nullptr, instance, this);
    if (window == nullptr) {
      return false;
    }
    ShowWindow(window, show);
    UpdateWindow(window);
    return true;
  }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CitiesWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return self != nullptr ? self->Handle(window, message, wParam, lParam)
                           : DefWindowProcW(window, message, wParam, lParam);
  }

  LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
      return MakeChildren(window) ? 0 : -1;
    case WM_SIZE:
      Layout(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_SETFOCUS:
      SetFocus(list_);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
    }
  }

  bool MakeChildren(HWND window) {
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
    font_ = MessageFont();
    const std::wstring line = std::to_wstring(cities_.size()) + L" cities in Ketro.cts";
    count_ = CreateWindowExW(0, WC_STATICW, line.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 0, 0,
                             0, window, nullptr, instance, nullptr);
    list_ = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL |
                                LVS_SHOWSELALWAYS,
                            0, 0, 0, 0, window, nullptr, instance, nullptr);
    if (count_ == nullptr || list_ == nullptr) {
      return false;
    }
    if (font_) {
      SendMessageW(count_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
      SendMessageW(list_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    }
    ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    Fill();
    return true;
  }

  void Fill() {
    const wchar_t* headings[] = {L"City", L"Country", L"Latitude", L"Longitude"};
    for (int i = 0; i < 4; ++i) {
      LVCOLUMNW column{};
      column.mask = LVCF_TEXT | LVCF_FMT | LVCF_SUBITEM;
      column.fmt = i < 2 ? LVCFMT_LEFT : LVCFMT_RIGHT;
      column.pszText = const_cast<wchar_t*>(headings[i]);
      column.iSubItem = i;
      ListView_InsertColumn(list_, i, &column);
    }
    SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    int row = 0;
    for (City& city : cities_) {
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = row;
      item.pszText = city.name.data();
      const int index = ListView_InsertItem(list_, &item);
      if (index < 0) {
        continue;
      }
      ListView_SetItemText(list_, index, 1, city.country.data());
      ListView_SetItemText(list_, index, 2, city.latitude.data());
      ListView_SetItemText(list_, index, 3, city.longitude.data());
      ++row;
    }
    // Wide enough for the longest entry and for the heading (the control's own header sizing
    // would stretch the last column over the whole width it has when it is first laid out).
    for (int i = 0; i < 4; ++i) {
      ListView_SetColumnWidth(list_, i, LVSCW_AUTOSIZE);
      const int content = ListView_GetColumnWidth(list_, i) + kMargin;
      const int heading = ListView_GetStringWidth(list_, headings[i]) + 3 * kMargin;
      ListView_SetColumnWidth(list_, i, std::max(content, heading));
    }
    SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
  }

  void Layout(int width, int height) {
    const int line = LineHeight();
    MoveWindow(count_, kMargin, kMargin, width - 2 * kMargin, line, TRUE);
    const int top = 2 * kMargin + line;
    MoveWindow(list_, kMargin, top, width - 2 * kMargin, height - top - kMargin, TRUE);
  }

  int LineHeight() const {
    const HDC dc = GetDC(count_);
    const HGDIOBJ old = SelectObject(dc, font_ ? font_.get() : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(count_, dc);
    return metrics.tmHeight + 2;
  }

  std::vector<City> cities_;
  FontHandle font_;
  HWND count_ = nullptr;
  HWND list_ = nullptr;
};

struct ArgvDeleter {
  void operator()(LPWSTR* argv) const { LocalFree(argv); }
};

std::vector<std::wstring> Arguments() {
  int count = 0;
  const std::unique_ptr<LPWSTR, ArgvDeleter> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::wstring> result;
  for (int i = 1; argv && i < count; ++i) {
    result.emplace_back(argv.get()[i]);
  }
  return result;
}

int Run(HINSTANCE instance, int show) {
  const std::vector<std::wstring> arguments = Arguments();
  const bool countOnly = arguments.size() == 1 && arguments[0] == L"--count";
  if (!arguments.empty() && !countOnly) {
    Write(STD_ERROR_HANDLE, "usage: Ketro.exe [--count]\n");
    return 2;
  }
  const std::filesystem::path file = ProgramFolder() / L"Ketro.cts";
  std::vector<City> cities;
  try {
    cities = ReadCities(file);
  } catch (const std::exception& e) {
    const std::wstring message = MessageOf(e);
    if (countOnly) {
      const std::u16string text(message.begin(), message.end());
      Write(STD_ERROR_HANDLE, "Ketro: " + ket::Utf16ToUtf8(text) + "\n");
    } else {
      const std::wstring shown = file.wstring() + L"\n\n" + message;
      MessageBoxW(nullptr, shown.c_str(), kTitle, MB_OK | MB_ICONERROR);
    }
    return 1;
  }
  if (countOnly) {
    Write(STD_OUTPUT_HANDLE, std::to_string(cities.size()) + "\n");
    return 0;
  }

  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_LISTVIEW_CLASSES;
  InitCommonControlsEx(&controls);
  CitiesWindow window(std::move(cities));
  if (!window.Create(instance, show)) {
    return 1;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

} // namespace
} // namespace ketro

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  return ketro::Run(instance, show);
}
