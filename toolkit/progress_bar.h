// A progress bar over the common controls' progress class.
#pragma once

#include "toolkit/control.h"

namespace ket {

class TProgressBar : public TWinControl {
 public:
  explicit TProgressBar(TComponent* AOwner);

  int Min() const { return min_; }
  int Max() const { return max_; }
  void SetMax(int value) { SetRange(min_, value); }
  void SetRange(int min, int max);
  int Position() const { return position_; }
  void SetPosition(int value);

 protected:
  void CreateParams(TCreateParams& Params) override;
  void HandleCreated() override;

 private:
  int min_ = 0;
  int max_ = 100;
  int position_ = 0;
};

} // namespace ket
