#include "controls/link.h"

#include <shellapi.h>

namespace ket {

TLink::TLink(TComponent* AOwner) : TLabel(AOwner) {
  SetCursor(crHandPoint);
  Font().SetColor(clBlue);
}

void TLink::Loaded() {
  TLabel::Loaded();
  // Blue whatever colour the window description gave.
  Font().SetColor(clBlue);
}

void TLink::Click() {
  if (!fLink.empty())
    ShellExecuteW(nullptr, L"open", Wide(fLink), nullptr, nullptr, SW_SHOWNORMAL);
  TLabel::Click();
}

// Only the colour changes: the label's own enter and leave handling does not run, and the
// enabled state is not asked.
void TLink::MouseEnter() {
  Font().SetColor(clRed);
}

void TLink::MouseLeave() {
  Font().SetColor(clBlue);
}

} // namespace ket
