#include "controls/group_panel.h"

#include "toolkit/combo_box.h"

namespace ket {

void TGroupPanel::SetEnabled(bool V) {
  TPanel::SetEnabled(V);
  EnableChildren(*this, V);
}

void TGroupPanel::EnableChildren(TWinControl& C, bool V) {
  // Depth first, each control before its own children; the former states are not remembered.
  for (TControl* child : C.Controls()) {
    child->SetEnabled(V);
    if (auto* combo = dynamic_cast<TComboBox*>(child))
      combo->Font().SetColor(V ? clBtnText : clGrayText);
    if (auto* container = dynamic_cast<TWinControl*>(child))
      EnableChildren(*container, V);
  }
}

} // namespace ket
