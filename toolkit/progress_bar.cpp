#include "toolkit/progress_bar.h"

#include <algorithm>
#include <commctrl.h>

namespace ket {

TProgressBar::TProgressBar(TComponent* AOwner) : TWinControl(AOwner) {
  SetBounds(0, 0, 150, 16);
}

void TProgressBar::CreateParams(TCreateParams& Params) {
  TWinControl::CreateParams(Params);
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  Params.SystemClass = PROGRESS_CLASSW;
}

void TProgressBar::HandleCreated() {
  SendMessageW(Handle(), PBM_SETRANGE32, static_cast<WPARAM>(min_), static_cast<LPARAM>(max_));
  SendMessageW(Handle(), PBM_SETPOS, static_cast<WPARAM>(position_), 0);
}

void TProgressBar::SetRange(int min, int max) {
  min_ = min;
  max_ = max;
  position_ = std::clamp(position_, min_, std::max(min_, max_));
  if (HandleAllocated())
    HandleCreated();
}

void TProgressBar::SetPosition(int value) {
  position_ = std::clamp(value, min_, std::max(min_, max_));
  if (HandleAllocated())
    SendMessageW(Handle(), PBM_SETPOS, static_cast<WPARAM>(position_), 0);
}

} // namespace ket
