// TSB: the speed button with the MyStyle look (a 1-pixel edge inset by one pixel, raised at rest,
// sunken while pressed, none while Down), dialog roles (Enter as OK, Escape as Cancel for the
// whole window), a modal result for its window, and a glyph from a named bitmap resource.
#pragma once

#include "toolkit/speed_button.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace ket {

enum TsbType { sbNone, sbOk, sbCancel };

class TSB : public TSpeedButton {
 public:
  using TSpeedButton::TSpeedButton;

  bool MyStyle() const { return FMyStyle; }
  // On also turns Flat on; off leaves Flat as it is. Repaints at once.
  void SetMyStyle(bool Value);
  // A positive value is handed to the window on click.
  int ModalResult() const { return FModalResult; }
  void SetModalResult(int Value) { FModalResult = Value; }
  TsbType sbType() const { return FsbType; }
  void SetsbType(TsbType Value) { FsbType = Value; }
  // Escape presses the button, whatever its sbType.
  bool Cancel() const { return FCancel; }
  void SetCancel(bool Value) { FCancel = Value; }
  // n: the glyph comes from the bitmap resource "SB<n>" at Loaded (0: none).
  std::uint8_t ResName() const { return FResName; }
  void SetResName(std::uint8_t Value) { FResName = Value; }
  // The name of a bitmap resource for the glyph, read at Loaded; wins over ResName.
  const std::u16string& ResPict() const { return FResPict; }
  void SetResPict(std::u16string_view Value) { FResPict = Value; }

  void Loaded() override;
  void Click() override;

 protected:
  void Paint() override;
  void DialogKey(TCMDialogKey& Message) override;

  TsbType FsbType = sbNone;
  bool FMyStyle = false;
  bool FCancel = false;
  std::uint8_t FResName = 0;
  std::u16string FResPict;
  int FModalResult = 0;
};

} // namespace ket
