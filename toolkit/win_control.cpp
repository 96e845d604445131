// TWinControl: its window (made, bound, destroyed), the tree of children, tab order, focus,
// alignment and the properties kept in step with the window. The messages are in
// win_control_messages.cpp.
#include "base/error.h"
#include "toolkit/application.h"
#include "toolkit/control.h"
#include "toolkit/form.h"
#include "toolkit/window_class.h"

#include <algorithm>

namespace ket {

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner) {}

TWinControl::TWinControl(TComponent* AOwner, bool loading) : TControl(AOwner, loading) {}

TWinControl::~TWinControl() {
  DestroyHandle();
  // ~TControl takes the control out of its parent, but by then it is no longer a windowed
  // control to RemoveControl, so its place in the parent's tab sequence goes here.
  if (parent_)
    std::erase(parent_->tabList_, this);
  // Children outliving their parent are left without one.
  for (TControl* c : controls_)
    c->parent_ = nullptr;
  controls_.clear();
  tabList_.clear();
}

TWinControl* TWinControl::FromHandle(HWND hwnd) {
  if (!hwnd)
    return nullptr;
  return WindowControl(hwnd);
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
    SetCreatingControl(this);
  }
  HWND hwnd =
      CreateWindowExW(params.ExStyle, cls, Wide(text_), style, left_, top_, width_,
                      height_ + extraWindowHeight_, parentWnd, nullptr, Instance(), nullptr);
  SetCreatingControl(nullptr);
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
  SetWindowControl(hwnd, this);
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

void TWinControl::SetVisible(bool value) {
  if (Visible() == value)
    return;
  const FocusInside focus = value ? FocusInside{} : FindFocusInside();
  TControl::SetVisible(value);
  if (focus.holder)
    PassFocusOn(focus);
}

void TWinControl::ChangeEnabled(bool value) {
  const FocusInside focus = value ? FocusInside{} : FindFocusInside();
  TControl::ChangeEnabled(value);
  if (focus.holder)
    PassFocusOn(focus);
}

void TWinControl::Invalidate() {
  if (hwnd_)
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void TWinControl::Repaint() {
  Invalidate();
  if (hwnd_)
    UpdateWindow(hwnd_);
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

} // namespace ket
