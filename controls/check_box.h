// The owner-drawn check box: square or round boxes painted from bitmap resources, flat or 3-D,
// three marks, an optional 1-pixel frame round the control, a transparent face, a hot-tracking
// caption colour and an engraved caption when disabled. Checking a round box clears the other
// round boxes of the same parent.
#pragma once

#include "toolkit/control.h"

#include <functional>
#include <string_view>

namespace ket {

enum TImageType { igCheck, igCross, igRound };
enum TMargine { bmNone, bmLowered, bmRaised };

using TOnMouseOverEvent = std::function<void(TObject* Sender)>;
using TOnMouseOutEvent = std::function<void(TObject* Sender)>;

class TEwCustomCheck : public TCustomControl {
 public:
  // 97 x 19 pixels, unchecked, square, 3-D, the box left of the caption; takes the focus by tab.
  explicit TEwCustomCheck(TComponent* AOwner);
  ~TEwCustomCheck() override;

  void Click() override;

 protected:
  // The properties; TEwCheckBox makes them public.
  bool Transparent() const { return VTransparent; }
  void SetTransparent(bool Value);
  bool ShowFocused() const { return VShowFocused; }
  void SetShowFocused(bool Value);
  bool Flat() const { return VFlat; }
  void SetFlat(bool Value);
  bool Round() const { return VRound; }
  void SetRound(bool Value);
  bool Hot() const { return VHot; }
  void SetHot(bool Value);
  TColor HotColor() const { return VHotColor; }
  void SetHotColor(TColor Value);
  const TOnMouseOverEvent& OnMouseEnter() const { return VOnMouseOver; }
  void SetOnMouseEnter(TOnMouseOverEvent Value) { VOnMouseOver = std::move(Value); }
  const TOnMouseOutEvent& OnMouseExit() const { return VOnMouseOut; }
  void SetOnMouseExit(TOnMouseOutEvent Value) { VOnMouseOut = std::move(Value); }
  bool Checked() const { return VChecked; }
  void SetChecked(bool Value);
  // taCenter (left open by the design): the box and the caption, in that order and 4 pixels
  // apart as with taRightJustify, centred together in the control.
  TAlignment Alignment() const { return VLeft; }
  void SetAlignment(TAlignment Value);
  TImageType Glyph() const { return VGlyph; }
  void SetGlyph(TImageType Value);
  TMargine Style() const { return VMargine; }
  void SetStyle(TMargine Value);
  // The face colour; the inherited control colour and ParentColor do not change the painting.
  TColor Color() const { return VColor; }
  void SetColor(TColor Value);

  void CreateParams(TCreateParams& Params) override;
  void WndProc(TMessage& Message) override;
  void Paint() override;
  void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) override;
  void KeyDown(WORD& Key, TShiftState Shift) override;
  void MouseEnter() override;
  void MouseLeave() override;
  void DialogChar(TCMDialogChar& Message) override;
  void FontChanged() override;
  void TextChanged() override;
  void VisibleChanged() override;
  void ParentColorChanged() override;
  void EnabledChanged() override;

  // Raises OnClick directly (Enter on the focused box).
  void FireClickEvent();

 private:
  void PaintFace();
  void PaintParentImage();
  void PaintCaption();
  void PaintDisabledCaption();
  void PaintBox();
  void PaintMark();
  // Loads the named image into VBitmap and copies it into place, without its transparent colour.
  void DrawImage(std::u16string_view name);
  // The caption's left edge (L) and the caption's measures for this paint.
  void MeasureCaption();

  TColor VHotColor = clWindow;
  RECT R{0, 0, 0, 0};
  RECT CaptRect{0, 0, 0, 0};
  int BiDiFlags = 0;
  bool VShowFocused = true;
  TColor VColor = clBtnFace;
  bool VFlat = false;
  bool VRound = false;
  bool VTransparent = false;
  TColor VTransColor = 0;
  int Index = 0;
  bool VChecked = false;
  bool VHot = false;
  TImageType VGlyph = igCheck;
  TMargine VMargine = bmNone;
  TAlignment VLeft = taRightJustify;
  TBitmap VBitmap;
  TOnMouseOverEvent VOnMouseOver;
  TOnMouseOutEvent VOnMouseOut;

  // Measures of the current paint: caption height and width, the caption's left edge, its top.
  int th_ = 0;
  int tw_ = 0;
  int captionLeft_ = 0;
  int captionTop_ = 0;
};

// The check box of the window descriptions: TEwCustomCheck with its properties public.
class TEwCheckBox : public TEwCustomCheck {
 public:
  using TEwCustomCheck::TEwCustomCheck;

  using TEwCustomCheck::Alignment;
  using TEwCustomCheck::Checked;
  using TEwCustomCheck::Color;
  using TEwCustomCheck::Flat;
  using TEwCustomCheck::Glyph;
  using TEwCustomCheck::Hot;
  using TEwCustomCheck::HotColor;
  using TEwCustomCheck::OnMouseEnter;
  using TEwCustomCheck::OnMouseExit;
  using TEwCustomCheck::Round;
  using TEwCustomCheck::SetAlignment;
  using TEwCustomCheck::SetChecked;
  using TEwCustomCheck::SetColor;
  using TEwCustomCheck::SetFlat;
  using TEwCustomCheck::SetGlyph;
  using TEwCustomCheck::SetHot;
  using TEwCustomCheck::SetHotColor;
  using TEwCustomCheck::SetOnMouseEnter;
  using TEwCustomCheck::SetOnMouseExit;
  using TEwCustomCheck::SetRound;
  using TEwCustomCheck::SetShowFocused;
  using TEwCustomCheck::SetStyle;
  using TEwCustomCheck::SetTransparent;
  using TEwCustomCheck::ShowFocused;
  using TEwCustomCheck::Style;
  using TEwCustomCheck::Transparent;
};

} // namespace ket
