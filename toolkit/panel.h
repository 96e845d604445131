// Panels (a windowed container with an outer and an inner bevel and a border between them) and
// bevels (graphic lines along one edge).
#pragma once

#include "toolkit/control.h"

namespace ket {

enum TBevelCut { bvNone, bvLowered, bvRaised };

class TPanel : public TCustomControl {
 public:
  explicit TPanel(TComponent* AOwner);

  TBevelCut BevelOuter() const { return bevelOuter_; }
  void SetBevelOuter(TBevelCut value);
  TBevelCut BevelInner() const { return bevelInner_; }
  void SetBevelInner(TBevelCut value);
  int BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int value);

 protected:
  void Paint() override;
  void AdjustClientRect(RECT& rect) const override;

 private:
  void BordersChanged();

  TBevelCut bevelOuter_ = bvRaised;
  TBevelCut bevelInner_ = bvNone;
  // Each bevel is one pixel wide.
  static constexpr int bevelWidth_ = 1;
  int borderWidth_ = 0;
};

enum TBevelShape { bsTopLine, bsBottomLine };
enum TBevelStyle { bsLowered, bsRaised };

// An etched line: the shadow line and the highlight line along the top or bottom edge (lowered),
// or the other way round (raised).
class TBevel : public TGraphicControl {
 public:
  explicit TBevel(TComponent* AOwner);

  TBevelShape Shape() const { return shape_; }
  void SetShape(TBevelShape value);
  TBevelStyle Style() const { return style_; }
  void SetStyle(TBevelStyle value);

 protected:
  void Paint() override;

 private:
  TBevelShape shape_ = bsBottomLine;
  TBevelStyle style_ = bsLowered;
};

} // namespace ket
