#include "controls/check_box.h"

namespace ket {

TEwCustomCheck::TEwCustomCheck(TComponent* AOwner) : TCustomControl(AOwner) {
  SetBounds(0, 0, 97, 19);
  SetTabStop(true);
  // The paint covers the whole face (or the parent's image does).
  opaque_ = true;
}

TEwCustomCheck::~TEwCustomCheck() = default;

void TEwCustomCheck::CreateParams(TCreateParams& Params) {
  TCustomControl::CreateParams(Params);
  Params.WinClassName = u"TEwCheckBox";
}

// --- Properties

void TEwCustomCheck::SetTransparent(bool Value) {
  if (VTransparent == Value)
    return;
  VTransparent = Value;
  Repaint();
}

void TEwCustomCheck::SetShowFocused(bool Value) {
  // The next paint shows the change.
  VShowFocused = Value;
}

void TEwCustomCheck::SetFlat(bool Value) {
  if (VFlat == Value)
    return;
  VFlat = Value;
  Repaint();
}

void TEwCustomCheck::SetRound(bool Value) {
  if (VRound == Value)
    return;
  VRound = Value;
  SetGlyph(Value ? igRound : igCheck);
  Repaint();
}

void TEwCustomCheck::SetHot(bool Value) {
  if (VHot == Value)
    return;
  VHot = Value;
  Repaint();
}

void TEwCustomCheck::SetHotColor(TColor Value) {
  if (VHotColor == Value)
    return;
  VHotColor = Value;
  Repaint();
}

void TEwCustomCheck::SetChecked(bool Value) {
  // Always stored, also when unchanged: the radio rule runs again.
  VChecked = Value;
  Invalidate();
  if (!Value || !VRound || !Parent())
    return;
  for (TControl* c : Parent()->Controls()) {
    auto* other = dynamic_cast<TEwCheckBox*>(c);
    if (other && other != this && other->VRound)
      other->SetChecked(false);
  }
}

void TEwCustomCheck::SetAlignment(TAlignment Value) {
  if (VLeft == Value)
    return;
  VLeft = Value;
  RecreateWnd();
}

void TEwCustomCheck::SetGlyph(TImageType Value) {
  if (VGlyph == Value)
    return;
  VGlyph = Value;
  RecreateWnd();
}

void TEwCustomCheck::SetStyle(TMargine Value) {
  if (VMargine == Value)
    return;
  VMargine = Value;
  Invalidate();
}

void TEwCustomCheck::SetColor(TColor Value) {
  if (VColor == Value)
    return;
  VColor = Value;
  Repaint();
}

// --- Notifications

void TEwCustomCheck::WndProc(TMessage& Message) {
  switch (Message.Msg) {
  case WM_SETFOCUS:
  case WM_KILLFOCUS:
    // The focus rectangle is shown or removed.
    TCustomControl::WndProc(Message);
    Repaint();
    return;
  case WM_LBUTTONDBLCLK:
    // The base runs the mouse-down handling once more; the double click is a second click.
    TCustomControl::WndProc(Message);
    Click();
    return;
  default:
    TCustomControl::WndProc(Message);
  }
}

void TEwCustomCheck::FontChanged() {
  TCustomControl::FontChanged();
  Invalidate();
}

void TEwCustomCheck::TextChanged() {
  TCustomControl::TextChanged();
  Invalidate();
}

void TEwCustomCheck::VisibleChanged() {
  TCustomControl::VisibleChanged();
  Invalidate();
}

void TEwCustomCheck::ParentColorChanged() {
  TCustomControl::ParentColorChanged();
  Invalidate();
}

void TEwCustomCheck::EnabledChanged() {
  TCustomControl::EnabledChanged();
  Invalidate();
}

void TEwCustomCheck::MouseEnter() {
  if (!Enabled())
    return;
  if (VHot) {
    Index = 1;
    Repaint();
  }
  if (VOnMouseOver)
    VOnMouseOver(this);
}

void TEwCustomCheck::MouseLeave() {
  if (!Enabled())
    return;
  if (VHot) {
    Index = 0;
    Repaint();
  }
  if (VOnMouseOut)
    VOnMouseOut(this);
}

void TEwCustomCheck::Click() {
  TCustomControl::Click();
}

void TEwCustomCheck::FireClickEvent() {
  if (OnClick)
    OnClick(this);
}

void TEwCustomCheck::KeyDown(WORD& Key, TShiftState Shift) {
  if (Key == VK_RETURN)
    FireClickEvent();
  TCustomControl::KeyDown(Key, Shift);
}

void TEwCustomCheck::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
  if (Button != mbLeft || !Enabled())
    return;
  SetFocus();
  // A round box can be checked but not cleared with the mouse.
  if (VChecked && !VRound)
    SetChecked(false);
  else
    SetChecked(true);
  Repaint();
  TCustomControl::MouseDown(Button, Shift, X, Y);
}

void TEwCustomCheck::DialogChar(TCMDialogChar& Message) {
  if (IsAccel(Message.CharCode, Caption()) && CanFocus()) {
    Click();
    Message.Result = 1;
    SetFocus();
    SetChecked(!VChecked);
    return;
  }
  TCustomControl::DialogChar(Message);
}

// --- Painting

void TEwCustomCheck::MeasureCaption() {
  TCanvas& canvas = Canvas();
  canvas.Font().Assign(Font());
  const std::u16string caption = Caption();
  th_ = canvas.TextHeight(caption);
  tw_ = canvas.TextWidth(caption);
  // Divisions by 2 truncate toward zero, as C++'s do.
  captionTop_ = R.top + (R.bottom - R.top - th_) / 2;
  switch (VLeft) {
  case taLeftJustify:
    captionLeft_ = R.left + 2;
    break;
  case taRightJustify:
    captionLeft_ = R.left + 22;
    break;
  case taCenter: {
    const int ampW = caption.find(u'&') != std::u16string::npos ? canvas.TextWidth(u"&") : 0;
    const int visible = caption.empty() ? 0 : tw_ - ampW;
    const int total = caption.empty() ? 16 : 20 + visible;
    captionLeft_ = R.left + (R.right - R.left - total) / 2 + 20;
    break;
  }
  }
}

void TEwCustomCheck::Paint() {
  PaintFace();
  if (VTransparent)
    PaintParentImage();
  MeasureCaption();
  TCanvas& canvas = Canvas();
  const std::u16string caption = Caption();
  const int ampW = caption.find(u'&') != std::u16string::npos ? canvas.TextWidth(u"&") : 0;
  if (VShowFocused && Focused()) {
    RECT focus{captionLeft_, captionTop_, captionLeft_ + tw_ - ampW + 3, captionTop_ + th_};
    InflateRect(&focus, 1, 1);
    canvas.DrawFocusRect(focus);
  }
  PaintCaption();
  PaintBox();
  if (VChecked)
    PaintMark();
}

void TEwCustomCheck::PaintFace() {
  TCanvas& canvas = Canvas();
  R = ClientRect();
  canvas.SetBrushStyle(bsSolid);
  canvas.SetBrushColor(VColor);
  if (VMargine == bmLowered)
    Frame3D(canvas, R, clBtnShadow, clBtnHighlight, 1);
  else if (VMargine == bmRaised)
    Frame3D(canvas, R, clBtnHighlight, clBtnShadow, 1);
  canvas.FillRect(R);
}

void TEwCustomCheck::PaintParentImage() {
  TWinControl* parent = Parent();
  if (!parent || !parent->HandleAllocated())
    return;
  HDC dc = Canvas().Handle();
  const int saved = SaveDC(dc);
  POINT origin;
  GetViewportOrgEx(dc, &origin);
  SetViewportOrgEx(dc, origin.x - Left(), origin.y - Top(), nullptr);
  IntersectClipRect(dc, 0, 0, parent->ClientWidth(), parent->ClientHeight());
  SendMessageW(parent->Handle(), WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  SendMessageW(parent->Handle(), WM_PAINT, reinterpret_cast<WPARAM>(dc), 0);
  RestoreDC(dc, saved);
}

void TEwCustomCheck::PaintCaption() {
  TCanvas& canvas = Canvas();
  canvas.Font().Assign(Font());
  if (VHot && Index == 1)
    canvas.Font().SetColor(VHotColor);
  canvas.SetBrushStyle(bsClear);
  CaptRect = {captionLeft_, captionTop_, captionLeft_ + tw_, captionTop_ + th_};
  if (!Enabled())
    PaintDisabledCaption();
  canvas.DrawText(Caption(), CaptRect, static_cast<UINT>(BiDiFlags));
}

void TEwCustomCheck::PaintDisabledCaption() {
  TCanvas& canvas = Canvas();
  canvas.Font().Assign(Font());
  canvas.SetBrushStyle(bsClear);
  const std::u16string caption = Caption();
  RECT rect = CaptRect;
  canvas.DrawText(caption, rect, static_cast<UINT>(BiDiFlags));
  canvas.Font().SetColor(VHotColor);
  RECT moved = CaptRect;
  OffsetRect(&moved, 1, 1);
  canvas.DrawText(caption, moved, static_cast<UINT>(BiDiFlags));
  canvas.Font().SetColor(clBtnShadow);
}

void TEwCustomCheck::DrawImage(std::u16string_view name) {
  // No cache: each paint loads its images afresh into the one work bitmap.
  VBitmap.LoadFromResourceName(GetModuleHandleW(nullptr), name);
  if (VBitmap.Empty())
    return;
  VTransColor = VBitmap.Pixel(0, VBitmap.Height() - 1);
  const int y = R.top + (R.bottom - R.top - VBitmap.Height()) / 2;
  int x = R.left + 2;
  if (VLeft == taLeftJustify)
    x = R.right - 18;
  else if (VLeft == taCenter)
    x = captionLeft_ - 20;
  Canvas().DrawTransparent(x, y, VBitmap, VTransColor);
}

void TEwCustomCheck::PaintBox() {
  const bool enabled = Enabled();
  const char16_t* name;
  if (!VFlat && !VRound)
    name = enabled ? u"Blank" : u"Disabled";
  else if (!VFlat)
    name = enabled ? u"BlankRound" : u"DisabledRound";
  else if (!VRound)
    name = enabled ? u"BlankFlat" : u"DisabledFlat";
  else
    name = enabled ? u"BlankFlatRound" : u"DisabledFlatRound";
  DrawImage(name);
}

void TEwCustomCheck::PaintMark() {
  const char16_t* name;
  if (Enabled()) {
    name = VGlyph == igCross ? u"ImCross" : VGlyph == igRound ? u"ImRound" : u"ImCheck";
  } else {
    // The box's own disabled image: drawn over the box it changes nothing, so no mark shows.
    if (VFlat && !VRound)
      name = u"DisabledFlat";
    else if (VRound && !VFlat)
      name = u"DisabledRound";
    else if (VFlat && VRound)
      name = u"DisabledFlatRound";
    else
      name = u"Disabled";
  }
  DrawImage(name);
}

} // namespace ket
