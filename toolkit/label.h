// A label: a graphic control that draws its caption (alignment, vertical layout, word wrap, "&"
// as the accelerator mark, CR as a line break, an ellipsis where a one-line caption is too long;
// engraved when disabled). It never sizes itself.
#pragma once

#include "toolkit/control.h"

namespace ket {

class TLabel : public TGraphicControl {
 public:
  explicit TLabel(TComponent* AOwner);

  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment value);
  TTextLayout Layout() const { return layout_; }
  void SetLayout(TTextLayout value);
  bool WordWrap() const { return wordWrap_; }
  void SetWordWrap(bool value);
  // Whether "&" marks the accelerator ("&&" shows one "&"); on by default.
  bool ShowAccelChar() const { return showAccelChar_; }
  void SetShowAccelChar(bool value);
  // Off (epNone) by default. With an ellipsis the caption is drawn as one line.
  TEllipsisPosition EllipsisPosition() const { return ellipsis_; }
  void SetEllipsisPosition(TEllipsisPosition value);

 protected:
  void Paint() override;

 private:
  UINT TextFlags() const;

  TAlignment alignment_ = taLeftJustify;
  TTextLayout layout_ = tlTop;
  bool wordWrap_ = false;
  bool showAccelChar_ = true;
  TEllipsisPosition ellipsis_ = epNone;
};

} // namespace ket
