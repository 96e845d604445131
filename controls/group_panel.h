// TGroupPanel: a panel whose Enabled, set through the group panel itself, is passed down to every
// control inside it at every depth, combo boxes also recoloured.
#pragma once

#include "toolkit/panel.h"

namespace ket {

class TGroupPanel : public TPanel {
 public:
  using TPanel::TPanel;

  bool Enabled() const { return TPanel::Enabled(); }
  // Hides the control's own SetEnabled: through TControl only the panel changes.
  void SetEnabled(bool V);

 private:
  static void EnableChildren(TWinControl& C, bool V);
};

} // namespace ket
