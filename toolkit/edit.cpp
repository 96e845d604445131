#include "toolkit/edit.h"

namespace ket {

TEdit::TEdit(TComponent* AOwner) : TWinControl(AOwner) {
  SetBounds(0, 0, 121, 21);
  SetTabStop(true);
  SetParentColor(false);
  SetColor(clWindow);
}

void TEdit::CreateParams(TCreateParams& Params) {
  TWinControl::CreateParams(Params);
  Params.SystemClass = L"EDIT";
  Params.Style |= ES_AUTOHSCROLL | ES_LEFT;
  Params.ExStyle |= WS_EX_CLIENTEDGE;
}

HBRUSH TEdit::CtlColor(HDC dc) {
  SetTextColor(dc, ColorToRGB(Font().Color()));
  SetBkColor(dc, ColorToRGB(Color()));
  return ColorBrush();
}

TMemo::TMemo(TComponent* AOwner) : TEdit(AOwner) {
  SetBounds(0, 0, 185, 89);
}

void TMemo::CreateParams(TCreateParams& Params) {
  TEdit::CreateParams(Params);
  Params.Style &= ~static_cast<DWORD>(ES_AUTOHSCROLL);
  Params.Style |= ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL;
  if (!wordWrap_)
    Params.Style |= ES_AUTOHSCROLL;
}

void TMemo::SetWordWrap(bool value) {
  if (wordWrap_ == value)
    return;
  wordWrap_ = value;
  RecreateWnd();
}

void TMemo::SetText(std::u16string_view value) {
  // The edit control breaks lines at CR LF only.
  std::u16string text;
  text.reserve(value.size() + 8);
  for (size_t i = 0; i < value.size(); ++i) {
    const char16_t c = value[i];
    if (c == u'\r') {
      text += u"\r\n";
      if (i + 1 < value.size() && value[i + 1] == u'\n')
        ++i;
    } else if (c == u'\n') {
      text += u"\r\n";
    } else {
      text += c;
    }
  }
  TEdit::SetText(text);
}

std::u16string TMemo::Text() const {
  return TEdit::Text();
}

} // namespace ket
