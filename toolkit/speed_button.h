// The speed button: a graphic control with a face (a raised frame, or with Flat only an edge
// while the pointer is over it and a sunken one while pressed), an optional glyph left of the
// caption, latching groups, a click when the left button is released over it, and its
// accelerator.
#pragma once

#include "toolkit/control.h"

namespace ket {

enum TButtonState { bsUp, bsDisabled, bsDown, bsExclusive };

class TSpeedButton : public TGraphicControl {
 public:
  // 23 x 22 pixels, face colour clBtnFace.
  explicit TSpeedButton(TComponent* AOwner);

  bool Flat() const { return flat_; }
  void SetFlat(bool value);
  // When on (the default) the parent shows through the face; otherwise Color fills it.
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool value);
  // The glyph, drawn left of the caption; its bottom-left pixel's colour is transparent.
  const TBitmap& Glyph() const { return glyph_; }
  // Loads the glyph from a bitmap resource of the program's module; false (glyph unchanged)
  // when there is none.
  bool LoadGlyph(std::u16string_view resourceName);
  // Buttons of one parent with the same GroupIndex (not 0) latch: a click puts one Down and
  // releases the others of its group.
  int GroupIndex() const { return groupIndex_; }
  void SetGroupIndex(int value);
  bool Down() const { return down_; }
  void SetDown(bool value);

  TButtonState State() const { return state_; }

 protected:
  void Paint() override;
  void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) override;
  void MouseMove(TShiftState Shift, int X, int Y) override;
  void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) override;
  void MouseEnter() override;
  void MouseLeave() override;
  void EnabledChanged() override;
  void DialogChar(TCMDialogChar& Message) override;

 private:
  void DrawGlyphAndCaption(RECT client, int offset);
  void UpdateExclusive();

  bool flat_ = false;
  bool transparent_ = true;
  TBitmap glyph_;
  int groupIndex_ = 0;
  bool down_ = false;
  TButtonState state_ = bsUp;
  bool dragging_ = false;
  bool mouseInControl_ = false;
};

} // namespace ket
