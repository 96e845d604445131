#include "toolkit/speed_button.h"

#include "toolkit/control.h"

#include <vector>

namespace ket {

TSpeedButton::TSpeedButton(TComponent* AOwner) : TGraphicControl(AOwner) {
  SetBounds(0, 0, 23, 22);
  SetParentColor(false);
  SetColor(clBtnFace);
  // The button clicks itself on release (and a double click is one more press).
  clickEvents_ = false;
}

bool TSpeedButton::LoadGlyph(std::u16string_view resourceName) {
  const std::u16string name(resourceName);
  HINSTANCE module = GetModuleHandleW(nullptr);
  if (!FindResourceW(module, Wide(name), reinterpret_cast<LPCWSTR>(RT_BITMAP)))
    return false;
  if (!glyph_.LoadFromResourceName(module, name))
    return false;
  Invalidate();
  return true;
}

void TSpeedButton::SetFlat(bool value) {
  if (flat_ == value)
    return;
  flat_ = value;
  Invalidate();
}

void TSpeedButton::SetTransparent(bool value) {
  if (transparent_ == value)
    return;
  transparent_ = value;
  Invalidate();
}

void TSpeedButton::SetGroupIndex(int value) {
  if (groupIndex_ == value)
    return;
  groupIndex_ = value;
  if (groupIndex_ == 0)
    SetDown(false);
  UpdateExclusive();
}

void TSpeedButton::SetDown(bool value) {
  if (groupIndex_ == 0)
    value = false;
  if (value == down_)
    return;
  down_ = value;
  if (value) {
    if (state_ == bsUp)
      state_ = bsExclusive;
  } else {
    state_ = bsUp;
  }
  Invalidate();
  if (value)
    UpdateExclusive();
}

void TSpeedButton::UpdateExclusive() {
  if (!down_ || groupIndex_ == 0 || !Parent())
    return;
  for (TControl* c : Parent()->Controls()) {
    auto* other = dynamic_cast<TSpeedButton*>(c);
    if (other && other != this && other->groupIndex_ == groupIndex_ && other->down_) {
      other->down_ = false;
      other->state_ = bsUp;
      other->Invalidate();
    }
  }
}

void TSpeedButton::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
  TGraphicControl::MouseDown(Button, Shift, X, Y);
  if (Button == mbLeft && Enabled()) {
    if (!down_) {
      state_ = bsDown;
      Invalidate();
    }
    dragging_ = true;
  }
}

void TSpeedButton::MouseMove(TShiftState Shift, int X, int Y) {
  TGraphicControl::MouseMove(Shift, X, Y);
  if (!dragging_)
    return;
  const POINT p{X, Y};
  const RECT client = ClientRect();
  TButtonState next = down_ ? bsExclusive : bsUp;
  if (PtInRect(&client, p))
    next = down_ ? bsExclusive : bsDown;
  if (next != state_) {
    state_ = next;
    Invalidate();
  }
}

void TSpeedButton::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) {
  TGraphicControl::MouseUp(Button, Shift, X, Y);
  if (!dragging_ || Button != mbLeft)
    return;
  dragging_ = false;
  const POINT p{X, Y};
  const RECT client = ClientRect();
  const bool doClick = PtInRect(&client, p) != FALSE;
  if (groupIndex_ == 0) {
    state_ = bsUp;
  } else if (doClick) {
    // A latched button stays down until another one of its group is pressed.
    SetDown(true);
    state_ = bsExclusive;
  } else {
    state_ = down_ ? bsExclusive : bsUp;
  }
  Invalidate();
  if (doClick)
    Click();
}

void TSpeedButton::MouseEnter() {
  mouseInControl_ = true;
  if (flat_ && Enabled())
    Invalidate();
  TGraphicControl::MouseEnter();
}

void TSpeedButton::MouseLeave() {
  mouseInControl_ = false;
  if (flat_ && Enabled())
    Invalidate();
  TGraphicControl::MouseLeave();
}

void TSpeedButton::EnabledChanged() {
  if (!Enabled()) {
    state_ = bsDisabled;
    dragging_ = false;
  } else {
    state_ = down_ ? bsExclusive : bsUp;
  }
  Repaint();
}

void TSpeedButton::DialogChar(TCMDialogChar& Message) {
  if (IsAccel(Message.CharCode, Caption()) && Enabled() && Visible() && Parent() &&
      Parent()->Showing()) {
    Click();
    Message.Result = 1;
    return;
  }
  TGraphicControl::DialogChar(Message);
}

namespace {

// The checkered face of a latched button.
void FillLatched(HDC dc, const RECT& rect) {
  static const WORD pattern[8] = {0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA};
  UniqueGdi<HBITMAP> bits(CreateBitmap(8, 8, 1, 1, pattern));
  UniqueGdi<HBRUSH> brush(CreatePatternBrush(bits.get()));
  const COLORREF oldText = SetTextColor(dc, GetSysColor(COLOR_BTNFACE));
  const COLORREF oldBk = SetBkColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
  FillRect(dc, &rect, brush.get());
  SetTextColor(dc, oldText);
  SetBkColor(dc, oldBk);
}

// A disabled glyph: its dark pixels as an engraved shape.
void DrawDisabledGlyph(HDC dc, int x, int y, const TBitmap& glyph) {
  const int w = glyph.Width();
  const int h = glyph.Height();
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  std::vector<std::uint32_t> pixels(static_cast<size_t>(w) * static_cast<size_t>(h));
  HDC screen = GetDC(nullptr);
  GetDIBits(screen, glyph.Handle(), 0, static_cast<UINT>(h), pixels.data(), &info, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  const std::uint32_t transparent = pixels[static_cast<size_t>(w) * static_cast<size_t>(h - 1)];
  auto opaque = [&](int px, int py) {
    const std::uint32_t v =
        pixels[static_cast<size_t>(py) * static_cast<size_t>(w) + static_cast<size_t>(px)] &
        0xFFFFFFu;
    return v != (transparent & 0xFFFFFFu) && v != 0xFFFFFFu;
  };
  const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT);
  const COLORREF shadow = GetSysColor(COLOR_BTNSHADOW);
  for (int py = 0; py < h; ++py)
    for (int px = 0; px < w; ++px)
      if (opaque(px, py))
        SetPixelV(dc, x + px + 1, y + py + 1, highlight);
  for (int py = 0; py < h; ++py)
    for (int px = 0; px < w; ++px)
      if (opaque(px, py))
        SetPixelV(dc, x + px, y + py, shadow);
}

} // namespace

void TSpeedButton::Paint() {
  if (!Enabled()) {
    state_ = bsDisabled;
    dragging_ = false;
  } else if (state_ == bsDisabled) {
    state_ = (down_ && groupIndex_ != 0) ? bsExclusive : bsUp;
  }
  TCanvas& canvas = Canvas();
  HDC dc = canvas.Handle();
  RECT rect = ClientRect();
  const bool pressed = state_ == bsDown || state_ == bsExclusive;
  if (!flat_) {
    UINT flags = DFCS_BUTTONPUSH | DFCS_ADJUSTRECT;
    if (pressed)
      flags |= DFCS_PUSHED;
    DrawFrameControl(dc, &rect, DFC_BUTTON, flags);
  } else {
    if (pressed || (mouseInControl_ && state_ != bsDisabled)) {
      if (!transparent_)
        canvas.FillRect(rect, Color());
      DrawEdge(dc, &rect, pressed ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
    } else if (!transparent_) {
      canvas.FillRect(rect, Color());
    }
    InflateRect(&rect, -1, -1);
  }
  int offset = 0;
  if (pressed) {
    if (state_ == bsExclusive && (!flat_ || !mouseInControl_))
      FillLatched(dc, rect);
    offset = 1;
  }
  DrawGlyphAndCaption(rect, offset);
}

void TSpeedButton::DrawGlyphAndCaption(RECT client, int offset) {
  TCanvas& canvas = Canvas();
  canvas.Font().Assign(Font());
  canvas.SetBrushStyle(bsClear);
  const std::u16string caption = Caption();
  const int clientW = client.right - client.left;
  const int clientH = client.bottom - client.top;
  SIZE text{0, 0};
  if (!caption.empty()) {
    RECT bounds{0, 0, clientW, 0};
    canvas.DrawText(caption, bounds, DT_CALCRECT);
    text = {bounds.right - bounds.left, bounds.bottom - bounds.top};
  }
  const SIZE glyph{glyph_.Width(), glyph_.Height()};
  const int spacing = (text.cx == 0 || glyph.cx == 0) ? 0 : 4;
  const int margin = (clientW - (glyph.cx + spacing + text.cx) + 1) / 2;
  const int glyphX = client.left + margin + offset;
  const int glyphY = client.top + (clientH - glyph.cy + 1) / 2 + offset;
  const int textX = client.left + margin + glyph.cx + spacing + offset;
  const int textY = client.top + (clientH - text.cy + 1) / 2 + offset;

  if (!glyph_.Empty()) {
    if (state_ == bsDisabled)
      DrawDisabledGlyph(canvas.Handle(), glyphX, glyphY, glyph_);
    else
      canvas.DrawTransparent(glyphX, glyphY, glyph_, glyph_.Pixel(0, glyph.cy - 1));
  }
  if (!caption.empty()) {
    RECT bounds{textX, textY, textX + text.cx, textY + text.cy};
    if (state_ == bsDisabled) {
      OffsetRect(&bounds, 1, 1);
      canvas.Font().SetColor(clBtnHighlight);
      canvas.DrawText(caption, bounds, DT_CENTER | DT_VCENTER);
      OffsetRect(&bounds, -1, -1);
      canvas.Font().SetColor(clBtnShadow);
    }
    canvas.DrawText(caption, bounds, DT_CENTER | DT_VCENTER);
  }
}

} // namespace ket
