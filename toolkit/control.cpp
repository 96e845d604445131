#include "toolkit/control.h"

#include "base/error.h"
#include "toolkit/application.h"
#include "toolkit/form.h"

#include <algorithm>
#include <set>
#include <windowsx.h>

namespace ket {

LRESULT CALLBACK InitialWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ControlWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

namespace {

const wchar_t kControlProp[] = L"KetControl";

// The control whose window CreateWindowExW is making; its first message binds the two.
thread_local TWinControl* creatingControl = nullptr;

HINSTANCE Instance() {
  return GetModuleHandleW(nullptr);
}

TShiftState ShiftFromKeys(WPARAM keys) {
  TShiftState s = 0;
  if (keys & MK_SHIFT)
    s |= ssShift;
  if (keys & MK_CONTROL)
    s |= ssCtrl;
  if (keys & MK_LBUTTON)
    s |= ssLeft;
  if (keys & MK_RBUTTON)
    s |= ssRight;
  if (keys & MK_MBUTTON)
    s |= ssMiddle;
  if (GetKeyState(VK_MENU) < 0)
    s |= ssAlt;
  return s;
}

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

} // namespace

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

// --- TComponent

TComponent::TComponent(TComponent* AOwner) : TComponent(AOwner, AOwner && AOwner->Loading()) {}

TComponent::TComponent(TComponent* AOwner, bool loading) : owner_(AOwner), loading_(loading) {
  if (owner_)
    owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  for (TComponent* c : components_)
    c->owner_ = nullptr;
  if (owner_)
    std::erase(owner_->components_, this);
}

void TComponent::Loaded() {
  loading_ = false;
}

// --- TControl

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {
  font_.OnChange = [this] { FontAttributeChanged(); };
}

TControl::TControl(TComponent* AOwner, bool loading) : TComponent(AOwner, loading) {
  font_.OnChange = [this] { FontAttributeChanged(); };
}

TControl::~TControl() {
  Application().ControlDestroyed(this);
  if (parent_)
    parent_->RemoveControl(this);
}

void TControl::SetParent(TWinControl* parent) {
  if (parent_ == parent)
    return;
  if (parent_)
    parent_->RemoveControl(this);
  if (parent)
    parent->InsertControl(this);
}

TForm* TControl::ParentForm() {
  TControl* c = this;
  while (c->parent_)
    c = c->parent_;
  return dynamic_cast<TForm*>(c);
}

void TControl::SetBounds(int left, int top, int width, int height) {
  if (left == left_ && top == top_ && width == width_ && height == height_)
    return;
  Invalidate();
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Invalidate();
  RequestAlign();
}

void TControl::SetAlign(TAlign value) {
  if (align_ == value)
    return;
  align_ = value;
  if (parent_)
    parent_->Realign();
}

void TControl::RequestAlign() {
  if (parent_ && align_ != alNone)
    parent_->Realign();
}

void TControl::SetVisible(bool value) {
  if (visible_ == value)
    return;
  auto* self = dynamic_cast<TWinControl*>(this);
  const TWinControl::FocusInside focus =
      self && !value ? self->FindFocusInside() : TWinControl::FocusInside{};
  visible_ = value;
  VisibleChanged();
  RequestAlign();
  if (focus.holder)
    self->PassFocusOn(focus);
}

bool TControl::Showing() const {
  const TControl* c = this;
  for (;;) {
    if (!c->visible_)
      return false;
    if (!c->parent_)
      return dynamic_cast<const TForm*>(c) != nullptr;
    c = c->parent_;
  }
}

void TControl::SetEnabled(bool value) {
  if (enabled_ == value)
    return;
  auto* self = dynamic_cast<TWinControl*>(this);
  const TWinControl::FocusInside focus =
      self && !value ? self->FindFocusInside() : TWinControl::FocusInside{};
  enabled_ = value;
  EnabledChanged();
  if (focus.holder)
    self->PassFocusOn(focus);
}

void TControl::SetText(std::u16string_view value) {
  if (Text() == value)
    return;
  text_ = value;
  TextChanged();
}

void TControl::SetParentFont(bool value) {
  parentFont_ = value;
  if (value)
    ParentFontChanged();
}

void TControl::SetColor(TColor value) {
  parentColor_ = false;
  if (color_ == value)
    return;
  color_ = value;
  ColorChanged();
}

void TControl::SetParentColor(bool value) {
  parentColor_ = value;
  if (value)
    ParentColorChanged();
}

void TControl::FontAttributeChanged() {
  if (!inheritingFont_)
    parentFont_ = false;
  FontChanged();
}

void TControl::InheritFont(const TFont& font) {
  inheritingFont_ = true;
  font_.Assign(font);
  inheritingFont_ = false;
}

void TControl::Invalidate() {
  if (auto* self = dynamic_cast<TWinControl*>(this)) {
    if (self->hwnd_)
      InvalidateRect(self->hwnd_, nullptr, TRUE);
    return;
  }
  if (parent_ && parent_->hwnd_) {
    const RECT r = BoundsRect();
    InvalidateRect(parent_->hwnd_, &r, TRUE);
  }
}

void TControl::Repaint() {
  Invalidate();
  if (auto* self = dynamic_cast<TWinControl*>(this)) {
    if (self->hwnd_)
      UpdateWindow(self->hwnd_);
  } else if (parent_ && parent_->hwnd_) {
    UpdateWindow(parent_->hwnd_);
  }
}

void TControl::Click() {
  if (OnClick)
    OnClick(this);
}

void TControl::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
  if (OnMouseDown)
    OnMouseDown(this, Button, Shift, X, Y);
}

void TControl::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) {
  if (OnMouseUp)
    OnMouseUp(this, Button, Shift, X, Y);
}

void TControl::MouseMove(TShiftState Shift, int X, int Y) {
  if (OnMouseMove)
    OnMouseMove(this, Shift, X, Y);
}

void TControl::MouseEnter() {
  DoMouseEnter();
}
void TControl::MouseLeave() {
  DoMouseLeave();
}

void TControl::DoMouseEnter() {
  if (OnMouseEnter)
    OnMouseEnter(this);
}

void TControl::DoMouseLeave() {
  if (OnMouseLeave)
    OnMouseLeave(this);
}

void TControl::FontChanged() {
  Invalidate();
}
void TControl::TextChanged() {
  Invalidate();
}
void TControl::VisibleChanged() {
  // A graphic control's area belongs to its parent, which paints it (or no longer).
  if (parent_ && parent_->hwnd_) {
    const RECT r = BoundsRect();
    InvalidateRect(parent_->hwnd_, &r, TRUE);
  }
}
void TControl::EnabledChanged() {
  Invalidate();
}
void TControl::ColorChanged() {
  Invalidate();
}

void TControl::ParentColorChanged() {
  if (parentColor_ && parent_ && color_ != parent_->color_) {
    color_ = parent_->color_;
    ColorChanged();
  }
}

void TControl::ParentFontChanged() {
  if (parentFont_ && parent_)
    InheritFont(parent_->font_);
}

void TControl::DialogKey(TCMDialogKey&) {}
void TControl::DialogChar(TCMDialogChar&) {}

void TControl::ChangeScale(int M, int D) {
  const int l = MulDiv(left_, M, D);
  const int t = MulDiv(top_, M, D);
  const int w = MulDiv(left_ + width_, M, D) - l;
  const int h = MulDiv(top_ + height_, M, D) - t;
  SetBounds(l, t, w, h);
  if (!parentFont_) {
    inheritingFont_ = true;
    font_.SetHeight(MulDiv(font_.Height(), M, D));
    inheritingFont_ = false;
  }
}

void TControl::MouseMessage(UINT msg, WPARAM keys, int x, int y) {
  // A disabled control takes no pointer input, whoever sends the message.
  if (!enabled_ && msg != WM_MOUSEMOVE) {
    clicked_ = false;
    return;
  }
  const TShiftState shift = ShiftFromKeys(keys);
  switch (msg) {
  case WM_LBUTTONDOWN:
    clicked_ = clickEvents_;
    MouseDown(mbLeft, shift, x, y);
    break;
  case WM_LBUTTONDBLCLK:
    MouseDown(mbLeft, shift | ssDouble, x, y);
    break;
  case WM_RBUTTONDOWN:
  case WM_RBUTTONDBLCLK:
    MouseDown(mbRight, shift | (msg == WM_RBUTTONDBLCLK ? ssDouble : 0), x, y);
    break;
  case WM_MBUTTONDOWN:
  case WM_MBUTTONDBLCLK:
    MouseDown(mbMiddle, shift | (msg == WM_MBUTTONDBLCLK ? ssDouble : 0), x, y);
    break;
  case WM_LBUTTONUP: {
    const POINT p{x, y};
    const RECT client = ClientRect();
    const bool click = clicked_ && PtInRect(&client, p);
    clicked_ = false;
    if (click)
      Click();
    MouseUp(mbLeft, shift, x, y);
    break;
  }
  case WM_RBUTTONUP:
    MouseUp(mbRight, shift, x, y);
    break;
  case WM_MBUTTONUP:
    MouseUp(mbMiddle, shift, x, y);
    break;
  case WM_MOUSEMOVE:
    MouseMove(shift, x, y);
    break;
  default:
    break;
  }
}

// --- TWinControl

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner) {}

TWinControl::TWinControl(TComponent* AOwner, bool loading) : TControl(AOwner, loading) {}

TWinControl::~TWinControl() {
  DestroyHandle();
  // Children outliving their parent are left without one.
  for (TControl* c : controls_)
    c->parent_ = nullptr;
  controls_.clear();
  tabList_.clear();
}

TWinControl* TWinControl::FromHandle(HWND hwnd) {
  if (!hwnd)
    return nullptr;
  return static_cast<TWinControl*>(GetPropW(hwnd, kControlProp));
}

HWND TWinControl::Handle() {
  if (!hwnd_)
    CreateHandle();
  return hwnd_;
}

HWND TWinControl::ParentHandle() {
  return parent_ ? parent_->Handle() : nullptr;
}

void TWinControl::CreateParams(TCreateParams& Params) {
  Params.Style = WS_CLIPCHILDREN;
  if (parent_)
    Params.Style |= WS_CHILD | WS_CLIPSIBLINGS;
}

void TWinControl::CreateHandle() {
  if (hwnd_)
    return;
  HWND parentWnd = ParentHandle();
  if (parent_ && !parentWnd)
    return;
  TCreateParams params;
  CreateParams(params);
  DWORD style = params.Style;
  if (parent_ && visible_)
    style |= WS_VISIBLE;
  if (!enabled_)
    style |= WS_DISABLED;
  if (tabStop_)
    style |= WS_TABSTOP;
  ownClass_ = params.SystemClass == nullptr;
  const wchar_t* cls = params.SystemClass;
  if (ownClass_) {
    RegisterOwnClass(params.WinClassName, params.ClassStyle);
    cls = Wide(params.WinClassName);
    creatingControl = this;
  }
  HWND hwnd =
      CreateWindowExW(params.ExStyle, cls, Wide(text_), style, left_, top_, width_,
                      height_ + extraWindowHeight_, parentWnd, nullptr, Instance(), nullptr);
  creatingControl = nullptr;
  if (!hwnd)
    throw Error("cannot create a window");
  if (!ownClass_) {
    AttachHandle(hwnd);
    systemProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ControlWndProc)));
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(Font().Handle()), FALSE);
  }
  UpdateZOrder();
  HandleCreated();
  for (TControl* c : controls_)
    if (auto* w = dynamic_cast<TWinControl*>(c))
      w->CreateHandle();
}

void TWinControl::AttachHandle(HWND hwnd) {
  hwnd_ = hwnd;
  SetPropW(hwnd, kControlProp, this);
}

void TWinControl::HandleCreated() {}
void TWinControl::HandleDestroying() {
  // Text typed into a system control lives in its window only.
  if (!ownClass_ && hwnd_)
    text_ = Text();
}

void TWinControl::DestroyHandle() {
  if (hwnd_)
    DestroyWindow(hwnd_);
}

void TWinControl::RecreateWnd() {
  if (!hwnd_)
    return;
  const bool hadFocus = Focused();
  DestroyHandle();
  CreateHandle();
  if (hadFocus && hwnd_)
    ::SetFocus(hwnd_);
}

void TWinControl::UpdateZOrder() {
  if (!parent_ || !hwnd_)
    return;
  // Above the windowed siblings made before it, below those made after it.
  auto& siblings = parent_->controls_;
  auto it = std::find(siblings.begin(), siblings.end(), this);
  HWND after = HWND_TOP;
  for (++it; it != siblings.end(); ++it) {
    auto* w = dynamic_cast<TWinControl*>(*it);
    if (w && w->hwnd_) {
      after = w->hwnd_;
      break;
    }
  }
  SetWindowPos(hwnd_, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void TWinControl::InsertControl(TControl* control) {
  controls_.push_back(control);
  control->parent_ = this;
  auto* w = dynamic_cast<TWinControl*>(control);
  if (w)
    tabList_.push_back(w);
  control->ParentFontChanged();
  control->ParentColorChanged();
  if (w) {
    if (hwnd_)
      w->CreateHandle();
  } else {
    control->Invalidate();
  }
  control->RequestAlign();
}

void TWinControl::RemoveControl(TControl* control) {
  if (auto* w = dynamic_cast<TWinControl*>(control)) {
    w->DestroyHandle();
    std::erase(tabList_, w);
  } else {
    control->Invalidate();
  }
  if (captureControl_ == control) {
    captureControl_ = nullptr;
    if (hwnd_ && GetCapture() == hwnd_)
      ReleaseCapture();
  }
  if (TForm* form = ParentForm()) {
    if (form->activeControl_ == control)
      form->activeControl_ = nullptr;
  }
  std::erase(controls_, control);
  control->parent_ = nullptr;
  if (control->align_ != alNone)
    Realign();
}

TControl* TWinControl::ControlAtPos(POINT point, bool allowDisabled) const {
  for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
    TControl* c = *it;
    if (dynamic_cast<TWinControl*>(c) || !c->visible_ || (!allowDisabled && !c->enabled_))
      continue;
    const RECT r = c->BoundsRect();
    if (PtInRect(&r, point))
      return c;
  }
  return nullptr;
}

int TWinControl::TabOrder() const {
  if (!parent_)
    return -1;
  auto& list = parent_->tabList_;
  auto it = std::find(list.begin(), list.end(), this);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

void TWinControl::SetTabOrder(int value) {
  if (!parent_)
    return;
  auto& list = parent_->tabList_;
  std::erase(list, this);
  const int n = static_cast<int>(list.size());
  const int at = std::clamp(value, 0, n);
  list.insert(list.begin() + at, this);
}

void TWinControl::SetTabStop(bool value) {
  if (tabStop_ == value)
    return;
  tabStop_ = value;
  if (hwnd_) {
    LONG_PTR style = GetWindowLongPtrW(hwnd_, GWL_STYLE);
    style = value ? (style | WS_TABSTOP) : (style & ~static_cast<LONG_PTR>(WS_TABSTOP));
    SetWindowLongPtrW(hwnd_, GWL_STYLE, style);
  }
}

void TWinControl::GetTabOrderList(std::vector<TWinControl*>& list) {
  for (TWinControl* c : tabList_) {
    if (c->tabStop_)
      list.push_back(c);
    c->GetTabOrderList(list);
  }
}

void TWinControl::GetWindowedControls(std::vector<TWinControl*>& list) {
  for (TWinControl* c : tabList_) {
    list.push_back(c);
    c->GetWindowedControls(list);
  }
}

bool TWinControl::Focused() const {
  return hwnd_ && GetFocus() == hwnd_;
}

bool TWinControl::CanFocus() const {
  for (const TControl* c = this; c; c = c->parent_)
    if (!c->visible_ || !c->enabled_)
      return false;
  return true;
}

void TWinControl::SetFocus() {
  TForm* form = ParentForm();
  if (form && form != this) {
    form->FocusControl(this);
    return;
  }
  if (hwnd_)
    ::SetFocus(hwnd_);
}

TWinControl::FocusInside TWinControl::FindFocusInside() {
  TForm* form = ParentForm();
  if (!form || form == this)
    return {};
  if (hwnd_) {
    HWND focus = GetFocus();
    if (focus && (focus == hwnd_ || IsChild(hwnd_, focus))) {
      // The control of ours whose window, or a window inside it, has the focus.
      TWinControl* holder = nullptr;
      for (HWND h = focus; h && !holder; h = GetParent(h))
        holder = FromHandle(h);
      return {holder, true};
    }
  }
  // Without the keyboard focus (the window is not the active one), the control the form gives it
  // to at its next activation.
  for (TControl* c = form->activeControl_; c; c = c->parent_)
    if (c == this)
      return {form->activeControl_, false};
  return {};
}

void TWinControl::PassFocusOn(const FocusInside& focus) {
  if (TForm* form = ParentForm(); form && form != this)
    form->FocusNextAfter(focus.holder, focus.keyboard);
}

void TWinControl::EnableAlign() {
  if (alignDisabled_ > 0 && --alignDisabled_ == 0)
    Realign();
}

void TWinControl::Realign() {
  if (alignDisabled_ > 0 || Loading())
    return;
  AlignControls();
}

void TWinControl::AdjustClientRect(RECT&) const {}

void TWinControl::AlignControls() {
  if (aligning_)
    return;
  aligning_ = true;
  RECT rect = ClientRect();
  AdjustClientRect(rect);
  for (TAlign kind : {alTop, alBottom, alLeft, alRight, alClient}) {
    std::vector<TControl*> list;
    for (TControl* c : controls_)
      if (c->align_ == kind && c->visible_)
        list.push_back(c);
    // Stacking follows the controls' present places: top ones downward in the order of their
    // top edges, bottom ones upward from the lowest bottom edge, and so on.
    std::stable_sort(list.begin(), list.end(), [kind](const TControl* a, const TControl* b) {
      switch (kind) {
      case alTop:
        return a->top_ < b->top_;
      case alBottom:
        return a->top_ + a->height_ > b->top_ + b->height_;
      case alLeft:
        return a->left_ < b->left_;
      case alRight:
        return a->left_ + a->width_ > b->left_ + b->width_;
      default:
        return false;
      }
    });
    for (TControl* c : list) {
      const int w = rect.right - rect.left;
      const int h = rect.bottom - rect.top;
      switch (kind) {
      case alTop:
        c->SetBounds(rect.left, rect.top, w, c->height_);
        rect.top += c->height_;
        break;
      case alBottom:
        c->SetBounds(rect.left, rect.bottom - c->height_, w, c->height_);
        rect.bottom -= c->height_;
        break;
      case alLeft:
        c->SetBounds(rect.left, rect.top, c->width_, h);
        rect.left += c->width_;
        break;
      case alRight:
        c->SetBounds(rect.right - c->width_, rect.top, c->width_, h);
        rect.right -= c->width_;
        break;
      default:
        c->SetBounds(rect.left, rect.top, std::max(w, 0), std::max(h, 0));
        break;
      }
    }
  }
  aligning_ = false;
}

std::u16string TWinControl::Text() const {
  if (hwnd_ && !ownClass_) {
    const int n = GetWindowTextLengthW(hwnd_);
    std::u16string s(static_cast<size_t>(n) + 1, u'\0');
    const int got = GetWindowTextW(hwnd_, reinterpret_cast<wchar_t*>(s.data()), n + 1);
    s.resize(static_cast<size_t>(std::max(got, 0)));
    return s;
  }
  return TControl::Text();
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
  if (left == left_ && top == top_ && width == width_ && height == height_)
    return;
  const bool resized = width != width_ || height != height_;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  if (hwnd_) {
    settingBounds_ = true;
    SetWindowPos(hwnd_, nullptr, left, top, width, height + extraWindowHeight_,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    settingBounds_ = false;
  }
  if (resized)
    Realign();
  RequestAlign();
}

void TWinControl::FontChanged() {
  if (hwnd_) {
    if (ownClass_)
      InvalidateRect(hwnd_, nullptr, TRUE);
    else
      SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(Font().Handle()), TRUE);
  }
  for (TControl* c : controls_)
    c->ParentFontChanged();
}

void TWinControl::TextChanged() {
  if (hwnd_) {
    SetWindowTextW(hwnd_, Wide(text_));
    if (ownClass_)
      InvalidateRect(hwnd_, nullptr, TRUE);
  }
}

void TWinControl::VisibleChanged() {
  UpdateShowing();
}

void TWinControl::UpdateShowing() {
  if (!hwnd_)
    return;
  SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE |
                   (visible_ ? SWP_SHOWWINDOW : SWP_HIDEWINDOW));
}

void TWinControl::EnabledChanged() {
  if (hwnd_) {
    EnableWindow(hwnd_, enabled_ ? TRUE : FALSE);
    if (ownClass_)
      InvalidateRect(hwnd_, nullptr, TRUE);
  }
}

void TWinControl::ColorChanged() {
  Invalidate();
  for (TControl* c : controls_)
    c->ParentColorChanged();
}

void TWinControl::DialogKey(TCMDialogKey& Message) {
  for (size_t i = 0; i < controls_.size() && !Message.Result; ++i)
    controls_[i]->DialogKey(Message);
}

void TWinControl::DialogChar(TCMDialogChar& Message) {
  for (size_t i = 0; i < controls_.size() && !Message.Result; ++i)
    controls_[i]->DialogChar(Message);
}

void TWinControl::ChangeScale(int M, int D) {
  DisableAlign();
  TControl::ChangeScale(M, D);
  for (TControl* c : controls_)
    c->ChangeScale(M, D);
  EnableAlign();
}

void TWinControl::KeyDown(WORD& Key, TShiftState Shift) {
  if (OnKeyDown)
    OnKeyDown(this, Key, Shift);
}

void TWinControl::KeyUp(WORD& Key, TShiftState Shift) {
  if (OnKeyUp)
    OnKeyUp(this, Key, Shift);
}

void TWinControl::KeyPress(char16_t& Key) {
  if (OnKeyPress)
    OnKeyPress(this, Key);
}

void TWinControl::DoEnter() {
  if (OnEnter)
    OnEnter(this);
}

void TWinControl::DoExit() {
  if (OnExit)
    OnExit(this);
}

void TWinControl::CommandNotify(WORD) {}
HBRUSH TWinControl::CtlColor(HDC) {
  return nullptr;
}

HBRUSH TWinControl::ColorBrush() {
  if (!ctlBrush_ || ctlBrushColor_ != Color()) {
    ctlBrush_.reset(CreateSolidBrush(ColorToRGB(Color())));
    ctlBrushColor_ = Color();
  }
  return ctlBrush_.get();
}

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

void TWinControl::SetCursorMessage(TMessage& message) {
  if (reinterpret_cast<HWND>(message.WParam) == hwnd_ && LOWORD(message.LParam) == HTCLIENT) {
    POINT p;
    GetCursorPos(&p);
    ScreenToClient(hwnd_, &p);
    TControl* c = ControlAtPos(p, true);
    if (!c)
      c = this;
    if (c->cursor_ == crHandPoint) {
      ::SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
      message.Result = TRUE;
      return;
    }
  }
  DefaultHandler(message);
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

void TWinControl::WndProc(TMessage& Message) {
  const UINT msg = Message.Msg;
  if (IsMouseMessage(msg)) {
    if (!RouteMouse(Message) && hwnd_)
      DefaultHandler(Message);
    return;
  }
  switch (msg) {
  case WM_PAINT:
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
    return;
  case WM_ERASEBKGND:
    if (!ownClass_) {
      DefaultHandler(Message);
      return;
    }
    if (!opaque_)
      EraseBackground(reinterpret_cast<HDC>(Message.WParam));
    Message.Result = 1;
    return;
  case WM_PRINTCLIENT:
    if (!ownClass_) {
      DefaultHandler(Message);
      return;
    }
    if (!opaque_)
      EraseBackground(reinterpret_cast<HDC>(Message.WParam));
    PaintHandler(reinterpret_cast<HDC>(Message.WParam));
    Message.Result = 0;
    return;
  case WM_KEYDOWN:
  case WM_SYSKEYDOWN: {
    if (HandleKeyDown(Message))
      return;
    WORD key = static_cast<WORD>(Message.WParam);
    KeyDown(key, KeyboardShift());
    if (key == 0)
      return;
    Message.WParam = key;
    DefaultHandler(Message);
    return;
  }
  case WM_KEYUP:
  case WM_SYSKEYUP: {
    WORD key = static_cast<WORD>(Message.WParam);
    KeyUp(key, KeyboardShift());
    if (key == 0)
      return;
    Message.WParam = key;
    DefaultHandler(Message);
    return;
  }
  case WM_CHAR: {
    if (HandleChar(Message, false))
      return;
    auto ch = static_cast<char16_t>(Message.WParam);
    KeyPress(ch);
    if (ch == 0)
      return;
    Message.WParam = ch;
    DefaultHandler(Message);
    return;
  }
  case WM_SYSCHAR:
    if (HandleChar(Message, true))
      return;
    DefaultHandler(Message);
    return;
  case WM_SETFOCUS:
    if (TForm* form = ParentForm(); form && form != this) {
      form->activeControl_ = this;
      form->focusOnForm_ = false;
    }
    DefaultHandler(Message);
    DoEnter();
    return;
  case WM_KILLFOCUS:
    DefaultHandler(Message);
    DoExit();
    return;
  case WM_MOUSELEAVE: {
    trackingLeave_ = false;
    TControl* m = Application().MouseControl();
    if (m == this || (m && m->parent_ == this && !dynamic_cast<TWinControl*>(m)))
      Application().SetMouseControl(nullptr);
    DefaultHandler(Message);
    return;
  }
  case WM_SETCURSOR:
    SetCursorMessage(Message);
    return;
  case WM_COMMAND:
    if (Message.LParam) {
      TWinControl* c = FromHandle(reinterpret_cast<HWND>(Message.LParam));
      if (c && c != this) {
        c->CommandNotify(HIWORD(Message.WParam));
        Message.Result = 0;
        return;
      }
    }
    DefaultHandler(Message);
    return;
  case WM_CTLCOLOREDIT:
  case WM_CTLCOLORLISTBOX:
  case WM_CTLCOLORSTATIC:
  case WM_CTLCOLORBTN: {
    TWinControl* c = FromHandle(reinterpret_cast<HWND>(Message.LParam));
    if (c && c != this) {
      if (HBRUSH brush = c->CtlColor(reinterpret_cast<HDC>(Message.WParam))) {
        Message.Result = reinterpret_cast<LRESULT>(brush);
        return;
      }
    }
    DefaultHandler(Message);
    return;
  }
  case WM_CLOSE:
    // Only a form closes. A multi-line edit posts this to its parent on Escape, as in a dialog,
    // and the default handling would destroy the parent's window with every control in it.
    if (parent_) {
      Message.Result = 0;
      return;
    }
    DefaultHandler(Message);
    return;
  case WM_DESTROY:
    HandleDestroying();
    DefaultHandler(Message);
    return;
  case WM_NCDESTROY: {
    DefaultHandler(Message);
    HWND hwnd = hwnd_;
    RemovePropW(hwnd, kControlProp);
    if (systemProc_)
      SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(systemProc_));
    systemProc_ = nullptr;
    hwnd_ = nullptr;
    captureControl_ = nullptr;
    trackingLeave_ = false;
    return;
  }
  default:
    DefaultHandler(Message);
    return;
  }
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

// --- TGraphicControl

TGraphicControl::TGraphicControl(TComponent* AOwner) : TControl(AOwner) {}

void TGraphicControl::Paint() {}

void TGraphicControl::PaintTo(HDC dc) {
  canvas_.SetHandle(dc);
  canvas_.Font().Assign(Font());
  canvas_.SetBrushColor(Color());
  canvas_.SetBrushStyle(bsSolid);
  Paint();
  canvas_.SetHandle(nullptr);
}

// --- TCustomControl

TCustomControl::TCustomControl(TComponent* AOwner) : TWinControl(AOwner) {}

void TCustomControl::Paint() {}

void TCustomControl::PaintWindow(HDC dc) {
  canvas_.SetHandle(dc);
  canvas_.Font().Assign(Font());
  canvas_.SetBrushColor(Color());
  canvas_.SetBrushStyle(bsSolid);
  Paint();
  canvas_.SetHandle(nullptr);
}

} // namespace ket
