// TWinControl's messages: painting, keys and characters, mouse routing to graphic children, and
// the window procedure.
#include "toolkit/application.h"
#include "toolkit/control.h"
#include "toolkit/form.h"
#include "toolkit/window_class.h"

#include <windowsx.h>

namespace ket {

namespace {

TShiftState KeyboardShift() {
  TShiftState s = 0;
  if (GetKeyState(VK_SHIFT) < 0)
    s |= ssShift;
  if (GetKeyState(VK_CONTROL) < 0)
    s |= ssCtrl;
  if (GetKeyState(VK_MENU) < 0)
    s |= ssAlt;
  return s;
}

bool IsButtonDown(UINT msg) {
  return msg == WM_LBUTTONDOWN || msg == WM_RBUTTONDOWN || msg == WM_MBUTTONDOWN ||
         msg == WM_LBUTTONDBLCLK || msg == WM_RBUTTONDBLCLK || msg == WM_MBUTTONDBLCLK;
}

bool IsButtonUp(UINT msg) {
  return msg == WM_LBUTTONUP || msg == WM_RBUTTONUP || msg == WM_MBUTTONUP;
}

bool IsMouseMessage(UINT msg) {
  return msg == WM_MOUSEMOVE || IsButtonDown(msg) || IsButtonUp(msg);
}

} // namespace

void TWinControl::PaintWindow(HDC) {}

void TWinControl::EraseBackground(HDC dc) {
  RECT r;
  GetClientRect(hwnd_, &r);
  FillRect(dc, &r, ColorBrush());
}

void TWinControl::PaintHandler(HDC dc) {
  PaintWindow(dc);
  PaintControls(dc);
}

void TWinControl::PaintControls(HDC dc) {
  for (TControl* c : controls_) {
    auto* g = dynamic_cast<TGraphicControl*>(c);
    if (!g || !g->visible_)
      continue;
    const RECT bounds = g->BoundsRect();
    if (!RectVisible(dc, &bounds))
      continue;
    const int saved = SaveDC(dc);
    POINT origin;
    GetViewportOrgEx(dc, &origin);
    SetViewportOrgEx(dc, origin.x + g->left_, origin.y + g->top_, nullptr);
    IntersectClipRect(dc, 0, 0, g->width_, g->height_);
    g->PaintTo(dc);
    RestoreDC(dc, saved);
  }
}

UINT TWinControl::DialogCode(const TMessage& message) {
  MSG msg{hwnd_, message.Msg, message.WParam, message.LParam, 0, {0, 0}};
  return static_cast<UINT>(
      SendMessageW(hwnd_, WM_GETDLGCODE, message.WParam, reinterpret_cast<LPARAM>(&msg)));
}

bool TWinControl::HandleKeyDown(TMessage& message) {
  Application().CancelHint();
  TForm* form = ParentForm();
  if (!form)
    return false;
  const WORD key = static_cast<WORD>(message.WParam);
  if (key != VK_TAB && key != VK_RETURN && key != VK_ESCAPE)
    return false;
  const UINT code = DialogCode(message);
  if (code & DLGC_WANTMESSAGE)
    return false;
  // The key's WM_CHAR, if TranslateMessage made one, is taken out of the queue first: a taken
  // key's handler may run for long and handle messages itself (the installation run does), and
  // the character must not reach the control meanwhile. It goes back when nobody took the key.
  HWND self = hwnd_;
  const auto ch = static_cast<WPARAM>(key == VK_TAB ? u'\t' : key == VK_RETURN ? u'\r' : 0x1B);
  MSG pending{};
  const bool hadChar = PeekMessageW(&pending, self, WM_CHAR, WM_CHAR, PM_NOREMOVE) &&
                       pending.wParam == ch &&
                       PeekMessageW(&pending, self, WM_CHAR, WM_CHAR, PM_REMOVE);
  auto giveBack = [&] {
    if (hadChar)
      PostMessageW(self, WM_CHAR, pending.wParam, pending.lParam);
    return false;
  };
  if (key == VK_TAB) {
    if ((code & DLGC_WANTTAB) || GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0)
      return giveBack();
    form->SelectNext(form == this ? nullptr : this, GetKeyState(VK_SHIFT) >= 0);
    return true;
  }
  TCMDialogKey dialogKey{key, 0};
  form->DialogKey(dialogKey);
  if (!dialogKey.Result)
    return giveBack();
  return true;
}

bool TWinControl::HandleChar(TMessage& message, bool system) {
  TForm* form = ParentForm();
  if (!form)
    return false;
  const auto ch = static_cast<char16_t>(message.WParam);
  if (!system) {
    if (ch < 32)
      return false;
    const UINT code = DialogCode(message);
    if (code & (DLGC_WANTCHARS | DLGC_WANTMESSAGE))
      return false;
  }
  TCMDialogChar dialogChar{ch, 0};
  form->DialogChar(dialogChar);
  return dialogChar.Result != 0;
}

bool TWinControl::RouteMouse(TMessage& message) {
  const POINT p{GET_X_LPARAM(message.LParam), GET_Y_LPARAM(message.LParam)};
  const UINT msg = message.Msg;
  if (msg == WM_MOUSEMOVE) {
    TControl* under = captureControl_ ? captureControl_ : ControlAtPos(p, true);
    Application().SetMouseControl(under ? under : this);
    if (!trackingLeave_ && hwnd_) {
      TRACKMOUSEEVENT tme{sizeof tme, TME_LEAVE, hwnd_, 0};
      trackingLeave_ = TrackMouseEvent(&tme) != FALSE;
    }
  } else if (IsButtonDown(msg)) {
    Application().CancelHint();
  }

  TControl* target = captureControl_;
  if (!target && IsButtonDown(msg))
    target = ControlAtPos(p, false);
  if (!target && msg == WM_MOUSEMOVE)
    target = ControlAtPos(p, false);
  if (target) {
    UINT routed = msg;
    // Graphic controls take a double click as one more press.
    if (msg == WM_LBUTTONDBLCLK)
      routed = WM_LBUTTONDOWN;
    else if (msg == WM_RBUTTONDBLCLK)
      routed = WM_RBUTTONDOWN;
    else if (msg == WM_MBUTTONDBLCLK)
      routed = WM_MBUTTONDOWN;
    if (IsButtonDown(msg)) {
      captureControl_ = target;
      SetCapture(hwnd_);
    }
    target->MouseMessage(routed, message.WParam, p.x - target->left_, p.y - target->top_);
    if (IsButtonUp(msg) && captureControl_ == target) {
      captureControl_ = nullptr;
      if (GetCapture() == hwnd_)
        ReleaseCapture();
    }
    message.Result = 0;
    return true;
  }
  MouseMessage(msg, message.WParam, p.x, p.y);
  return false;
}

void TWinControl::MouseMessage(UINT msg, WPARAM keys, int x, int y) {
  if (ownClass_) {
    // Our own windows keep the pointer while a button is held, so a release outside still comes.
    if (msg == WM_LBUTTONDOWN || msg == WM_LBUTTONDBLCLK)
      SetCapture(hwnd_);
    else if (msg == WM_LBUTTONUP && GetCapture() == hwnd_)
      ReleaseCapture();
  }
  TControl::MouseMessage(msg, keys, x, y);
}

// The messages of every windowed control; a class handles its own first and passes the rest on.
void TWinControl::WndProc(TMessage& Message) {
  switch (Message.Msg) {
  case WM_PAINT:
    WMPaint(Message);
    break;
  case WM_ERASEBKGND:
    WMEraseBkgnd(Message);
    break;
  case WM_PRINTCLIENT:
    WMPrintClient(Message);
    break;
  case WM_KEYDOWN:
  case WM_SYSKEYDOWN:
    WMKeyDown(Message);
    break;
  case WM_KEYUP:
  case WM_SYSKEYUP:
    WMKeyUp(Message);
    break;
  case WM_CHAR:
    WMChar(Message);
    break;
  case WM_SYSCHAR:
    WMSysChar(Message);
    break;
  case WM_SETFOCUS:
    WMSetFocus(Message);
    break;
  case WM_KILLFOCUS:
    WMKillFocus(Message);
    break;
  case WM_MOUSELEAVE:
    WMMouseLeave(Message);
    break;
  case WM_SETCURSOR:
    WMSetCursor(Message);
    break;
  case WM_COMMAND:
    WMCommand(Message);
    break;
  case WM_CTLCOLOREDIT:
  case WM_CTLCOLORLISTBOX:
  case WM_CTLCOLORSTATIC:
  case WM_CTLCOLORBTN:
    WMCtlColor(Message);
    break;
  case WM_CLOSE:
    WMClose(Message);
    break;
  case WM_DESTROY:
    WMDestroy(Message);
    break;
  case WM_NCDESTROY:
    WMNCDestroy(Message);
    break;
  default:
    if (IsMouseMessage(Message.Msg))
      WMMouse(Message);
    else
      DefaultHandler(Message);
    break;
  }
}

// Presses, releases and moves: a graphic child's go to it, the rest are the control's own.
void TWinControl::WMMouse(TMessage& Message) {
  if (!RouteMouse(Message) && hwnd_)
    DefaultHandler(Message);
}

void TWinControl::WMPaint(TMessage& Message) {
  if (!ownClass_) {
    DefaultHandler(Message);
    return;
  }
  if (Message.WParam) {
    PaintHandler(reinterpret_cast<HDC>(Message.WParam));
  } else {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    PaintHandler(dc);
    EndPaint(hwnd_, &ps);
  }
  Message.Result = 0;
}

void TWinControl::WMEraseBkgnd(TMessage& Message) {
  if (!ownClass_) {
    DefaultHandler(Message);
    return;
  }
  if (!opaque_)
    EraseBackground(reinterpret_cast<HDC>(Message.WParam));
  Message.Result = 1;
}

void TWinControl::WMPrintClient(TMessage& Message) {
  if (!ownClass_) {
    DefaultHandler(Message);
    return;
  }
  if (!opaque_)
    EraseBackground(reinterpret_cast<HDC>(Message.WParam));
  PaintHandler(reinterpret_cast<HDC>(Message.WParam));
  Message.Result = 0;
}

// WM_KEYDOWN and WM_SYSKEYDOWN.
void TWinControl::WMKeyDown(TMessage& Message) {
  if (HandleKeyDown(Message))
    return;
  WORD key = static_cast<WORD>(Message.WParam);
  KeyDown(key, KeyboardShift());
  if (key == 0)
    return;
  Message.WParam = key;
  DefaultHandler(Message);
}

// WM_KEYUP and WM_SYSKEYUP.
void TWinControl::WMKeyUp(TMessage& Message) {
  WORD key = static_cast<WORD>(Message.WParam);
  KeyUp(key, KeyboardShift());
  if (key == 0)
    return;
  Message.WParam = key;
  DefaultHandler(Message);
}

void TWinControl::WMChar(TMessage& Message) {
  if (HandleChar(Message, false))
    return;
  auto ch = static_cast<char16_t>(Message.WParam);
  KeyPress(ch);
  if (ch == 0)
    return;
  Message.WParam = ch;
  DefaultHandler(Message);
}

void TWinControl::WMSysChar(TMessage& Message) {
  if (HandleChar(Message, true))
    return;
  DefaultHandler(Message);
}

void TWinControl::WMSetFocus(TMessage& Message) {
  if (TForm* form = ParentForm(); form && form != this) {
    form->activeControl_ = this;
    form->focusOnForm_ = false;
  }
  DefaultHandler(Message);
  DoEnter();
}

void TWinControl::WMKillFocus(TMessage& Message) {
  DefaultHandler(Message);
  DoExit();
}

void TWinControl::WMMouseLeave(TMessage& Message) {
  trackingLeave_ = false;
  TControl* m = Application().MouseControl();
  if (m == this || (m && m->parent_ == this && !dynamic_cast<TWinControl*>(m)))
    Application().SetMouseControl(nullptr);
  DefaultHandler(Message);
}

// The hand over the control, or a graphic child of it, whose cursor is crHandPoint; the class's
// cursor elsewhere.
void TWinControl::WMSetCursor(TMessage& Message) {
  if (reinterpret_cast<HWND>(Message.WParam) == hwnd_ && LOWORD(Message.LParam) == HTCLIENT) {
    POINT p;
    GetCursorPos(&p);
    ScreenToClient(hwnd_, &p);
    TControl* c = ControlAtPos(p, true);
    if (!c)
      c = this;
    if (c->cursor_ == crHandPoint) {
      ::SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
      Message.Result = TRUE;
      return;
    }
  }
  DefaultHandler(Message);
}

// A child window's notification goes to its control (CommandNotify).
void TWinControl::WMCommand(TMessage& Message) {
  if (Message.LParam) {
    TWinControl* c = FromHandle(reinterpret_cast<HWND>(Message.LParam));
    if (c && c != this) {
      c->CommandNotify(HIWORD(Message.WParam));
      Message.Result = 0;
      return;
    }
  }
  DefaultHandler(Message);
}

// WM_CTLCOLOREDIT, WM_CTLCOLORLISTBOX, WM_CTLCOLORSTATIC and WM_CTLCOLORBTN: the child answers
// with its brush, or the default handling does.
void TWinControl::WMCtlColor(TMessage& Message) {
  TWinControl* c = FromHandle(reinterpret_cast<HWND>(Message.LParam));
  if (c && c != this) {
    if (HBRUSH brush = c->CtlColor(reinterpret_cast<HDC>(Message.WParam))) {
      Message.Result = reinterpret_cast<LRESULT>(brush);
      return;
    }
  }
  DefaultHandler(Message);
}

void TWinControl::WMClose(TMessage& Message) {
  // Only a form closes. A multi-line edit posts this to its parent on Escape, as in a dialog,
  // and the default handling would destroy the parent's window with every control in it.
  if (parent_) {
    Message.Result = 0;
    return;
  }
  DefaultHandler(Message);
}

void TWinControl::WMDestroy(TMessage& Message) {
  HandleDestroying();
  DefaultHandler(Message);
}

// The window's last message: the control lets go of it.
void TWinControl::WMNCDestroy(TMessage& Message) {
  DefaultHandler(Message);
  HWND hwnd = hwnd_;
  RemoveWindowControl(hwnd);
  if (systemProc_)
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(systemProc_));
  systemProc_ = nullptr;
  hwnd_ = nullptr;
  captureControl_ = nullptr;
  trackingLeave_ = false;
}

void TWinControl::DefaultHandler(TMessage& Message) {
  if (!hwnd_) {
    Message.Result = 0;
    return;
  }
  Message.Result =
      systemProc_ ? CallWindowProcW(systemProc_, hwnd_, Message.Msg, Message.WParam, Message.LParam)
                  : DefWindowProcW(hwnd_, Message.Msg, Message.WParam, Message.LParam);
}

} // namespace ket
