#include "toolkit/panel.h"

namespace ket {

namespace {

void BevelColors(TBevelCut cut, TColor& top, TColor& bottom) {
  top = cut == bvLowered ? clBtnShadow : clBtnHighlight;
  bottom = cut == bvLowered ? clBtnHighlight : clBtnShadow;
}

} // namespace

TPanel::TPanel(TComponent* AOwner) : TCustomControl(AOwner) {
  SetBounds(0, 0, 185, 41);
  SetParentColor(false);
  SetColor(clBtnFace);
}

void TPanel::SetBevelOuter(TBevelCut value) {
  if (bevelOuter_ == value)
    return;
  bevelOuter_ = value;
  BordersChanged();
}

void TPanel::SetBevelInner(TBevelCut value) {
  if (bevelInner_ == value)
    return;
  bevelInner_ = value;
  BordersChanged();
}

void TPanel::SetBorderWidth(int value) {
  if (borderWidth_ == value || value < 0)
    return;
  borderWidth_ = value;
  BordersChanged();
}

void TPanel::BordersChanged() {
  Realign();
  Invalidate();
}

void TPanel::AdjustClientRect(RECT& rect) const {
  int inset = borderWidth_;
  if (bevelOuter_ != bvNone)
    inset += bevelWidth_;
  if (bevelInner_ != bvNone)
    inset += bevelWidth_;
  InflateRect(&rect, -inset, -inset);
}

void TPanel::Paint() {
  TCanvas& canvas = Canvas();
  RECT rect = ClientRect();
  TColor top, bottom;
  if (bevelOuter_ != bvNone) {
    BevelColors(bevelOuter_, top, bottom);
    Frame3D(canvas, rect, top, bottom, bevelWidth_);
  }
  Frame3D(canvas, rect, Color(), Color(), borderWidth_);
  if (bevelInner_ != bvNone) {
    BevelColors(bevelInner_, top, bottom);
    Frame3D(canvas, rect, top, bottom, bevelWidth_);
  }
  canvas.FillRect(rect, Color());
}

TBevel::TBevel(TComponent* AOwner) : TGraphicControl(AOwner) {
  SetBounds(0, 0, 50, 50);
}

void TBevel::SetShape(TBevelShape value) {
  if (shape_ == value)
    return;
  shape_ = value;
  Invalidate();
}

void TBevel::SetStyle(TBevelStyle value) {
  if (style_ == value)
    return;
  style_ = value;
  Invalidate();
}

void TBevel::Paint() {
  // Nothing fills the rest: the parent's background shows around the lines.
  TCanvas& canvas = Canvas();
  const TColor first = style_ == bsLowered ? clBtnShadow : clBtnHighlight;
  const TColor second = style_ == bsLowered ? clBtnHighlight : clBtnShadow;
  const int w = Width();
  const int h = Height();
  switch (shape_) {
  case bsTopLine:
    canvas.FillRect({0, 0, w, 1}, first);
    canvas.FillRect({0, 1, w, 2}, second);
    break;
  case bsBottomLine:
    canvas.FillRect({0, h - 2, w, h - 1}, first);
    canvas.FillRect({0, h - 1, w, h}, second);
    break;
  }
}

} // namespace ket
