#include "toolkit/label.h"

namespace ket {

TLabel::TLabel(TComponent* AOwner) : TGraphicControl(AOwner) {
  SetBounds(0, 0, 65, 17);
}

void TLabel::SetAlignment(TAlignment value) {
  if (alignment_ == value)
    return;
  alignment_ = value;
  Invalidate();
}

void TLabel::SetLayout(TTextLayout value) {
  if (layout_ == value)
    return;
  layout_ = value;
  Invalidate();
}

void TLabel::SetWordWrap(bool value) {
  if (wordWrap_ == value)
    return;
  wordWrap_ = value;
  Invalidate();
}

void TLabel::SetShowAccelChar(bool value) {
  if (showAccelChar_ == value)
    return;
  showAccelChar_ = value;
  Invalidate();
}

void TLabel::SetEllipsisPosition(TEllipsisPosition value) {
  if (ellipsis_ == value)
    return;
  ellipsis_ = value;
  Invalidate();
}

UINT TLabel::TextFlags() const {
  UINT flags = DT_EXPANDTABS;
  if (ellipsis_ == epPathEllipsis)
    flags |= DT_SINGLELINE | DT_PATH_ELLIPSIS;
  else if (ellipsis_ == epEndEllipsis)
    flags |= DT_SINGLELINE | DT_END_ELLIPSIS;
  else if (wordWrap_)
    flags |= DT_WORDBREAK;
  if (!showAccelChar_)
    flags |= DT_NOPREFIX;
  switch (alignment_) {
  case taRightJustify:
    flags |= DT_RIGHT;
    break;
  case taCenter:
    flags |= DT_CENTER;
    break;
  default:
    flags |= DT_LEFT;
    break;
  }
  return flags;
}

void TLabel::Paint() {
  TCanvas& canvas = Canvas();
  const RECT client = ClientRect();
  canvas.SetBrushColor(Color());
  canvas.FillRect(client);
  canvas.SetBrushStyle(bsClear);

  std::u16string text = Caption();
  const UINT flags = TextFlags();
  RECT rect = client;
  if (layout_ != tlTop) {
    // DrawTextW centres vertically only single lines: measure, then move the rectangle.
    RECT calc = client;
    std::u16string measured = text.empty() ? u" " : text;
    canvas.DrawText(measured, calc, flags | DT_CALCRECT);
    const int free = (client.bottom - client.top) - (calc.bottom - calc.top);
    OffsetRect(&rect, 0, layout_ == tlBottom ? free : free / 2);
  }
  if (!Enabled()) {
    // Engraved: a highlight copy one pixel right and down, the shadow-coloured text on top.
    OffsetRect(&rect, 1, 1);
    canvas.Font().SetColor(clBtnHighlight);
    canvas.DrawText(text, rect, flags);
    OffsetRect(&rect, -1, -1);
    canvas.Font().SetColor(clBtnShadow);
  }
  canvas.DrawText(text, rect, flags);
}

} // namespace ket
