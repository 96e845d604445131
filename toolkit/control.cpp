// TComponent, TControl and the two painted kinds, TGraphicControl and TCustomControl. TWinControl
// is in win_control.cpp and win_control_messages.cpp.
#include "toolkit/control.h"

#include "toolkit/application.h"
#include "toolkit/form.h"

namespace ket {

namespace {

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

// Both painting kinds hand Paint a canvas on the device context, set up with the control's font
// and a solid brush of its colour, and take the context back afterwards.
template <class PaintFn>
void PaintWithCanvas(TCanvas& canvas, HDC dc, const TControl& control, PaintFn paint) {
  canvas.SetHandle(dc);
  canvas.Font().Assign(control.Font());
  canvas.SetBrushColor(control.Color());
  canvas.SetBrushStyle(bsSolid);
  paint();
  canvas.SetHandle(nullptr);
}

} // namespace

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
  visible_ = value;
  VisibleChanged();
  RequestAlign();
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
  if (enabled_ != value)
    ChangeEnabled(value);
}

void TControl::ChangeEnabled(bool value) {
  enabled_ = value;
  EnabledChanged();
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
  if (parent_ && parent_->HandleAllocated()) {
    const RECT r = BoundsRect();
    InvalidateRect(parent_->Handle(), &r, TRUE);
  }
}

void TControl::Repaint() {
  Invalidate();
  if (parent_ && parent_->HandleAllocated())
    UpdateWindow(parent_->Handle());
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
  if (parent_ && parent_->HandleAllocated()) {
    const RECT r = BoundsRect();
    InvalidateRect(parent_->Handle(), &r, TRUE);
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

// --- TGraphicControl

TGraphicControl::TGraphicControl(TComponent* AOwner) : TControl(AOwner) {}

void TGraphicControl::Paint() {}

void TGraphicControl::PaintTo(HDC dc) {
  PaintWithCanvas(canvas_, dc, *this, [this] { Paint(); });
}

// --- TCustomControl

TCustomControl::TCustomControl(TComponent* AOwner) : TWinControl(AOwner) {}

void TCustomControl::Paint() {}

void TCustomControl::PaintWindow(HDC dc) {
  PaintWithCanvas(canvas_, dc, *this, [this] { Paint(); });
}

} // namespace ket
