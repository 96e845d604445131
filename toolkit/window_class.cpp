#include "toolkit/window_class.h"

#include "base/error.h"
#include "toolkit/application.h"
#include "toolkit/control.h"

#include <set>

namespace ket {

namespace {

const wchar_t kControlProp[] = L"KetControl";

// The control whose window CreateWindowExW is making; its first message binds the two.
thread_local TWinControl* creatingControl = nullptr;

} // namespace

HINSTANCE Instance() {
  return GetModuleHandleW(nullptr);
}

void RegisterOwnClass(const std::u16string& name, UINT style) {
  static std::set<std::u16string> registered;
  if (registered.count(name))
    return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = InitialWndProc;
  wc.hInstance = Instance();
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = Wide(name);
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    throw Error("cannot register the window class");
  registered.insert(name);
}

void SetWindowControl(HWND hwnd, TWinControl* control) {
  SetPropW(hwnd, kControlProp, control);
}

TWinControl* WindowControl(HWND hwnd) {
  return static_cast<TWinControl*>(GetPropW(hwnd, kControlProp));
}

void RemoveWindowControl(HWND hwnd) {
  RemovePropW(hwnd, kControlProp);
}

void SetCreatingControl(TWinControl* control) {
  creatingControl = control;
}

// The first message of a window of our classes binds it to the control being created.
LRESULT CALLBACK InitialWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TWinControl* control = creatingControl;
  if (!control)
    return DefWindowProcW(hwnd, msg, wParam, lParam);
  creatingControl = nullptr;
  control->AttachHandle(hwnd);
  SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ControlWndProc));
  return ControlWndProc(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK ControlWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TWinControl* control = TWinControl::FromHandle(hwnd);
  if (!control)
    return DefWindowProcW(hwnd, msg, wParam, lParam);
  TMessage message{msg, wParam, lParam, 0};
  // Exceptions must not cross the system's frames: an escaping one goes to the error box.
  try {
    control->WndProc(message);
  } catch (...) {
    Application().HandleException();
  }
  return message.Result;
}

} // namespace ket
