#include "controls/styled_button.h"

#include "toolkit/form.h"

#include <string>

namespace ket {

namespace {

bool BitmapResourceExists(const std::u16string& name) {
  return !name.empty() && FindResourceW(GetModuleHandleW(nullptr), Wide(name),
                                        reinterpret_cast<LPCWSTR>(RT_BITMAP)) != nullptr;
}

} // namespace

void TSB::SetMyStyle(bool Value) {
  FMyStyle = Value;
  if (Value)
    SetFlat(true);
  Repaint();
}

void TSB::Loaded() {
  TSpeedButton::Loaded();
  // A resource that cannot be loaded leaves the glyph as the window description set it.
  if (BitmapResourceExists(FResPict)) {
    LoadGlyph(FResPict);
  } else if (FResName != 0) {
    const std::string digits = std::to_string(FResName);
    const std::u16string name = u"SB" + std::u16string(digits.begin(), digits.end());
    if (BitmapResourceExists(name))
      LoadGlyph(name);
  }
}

void TSB::Paint() {
  TSpeedButton::Paint();
  if (FMyStyle && !Down()) {
    RECT edge{1, 1, Width() - 1, Height() - 1};
    const bool pressed = State() == bsDown || State() == bsExclusive;
    DrawEdge(Canvas().Handle(), &edge, pressed ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
  }
}

void TSB::DialogKey(TCMDialogKey& Message) {
  // Visibility is not asked: a hidden enabled button with a role still answers its key.
  const bool takes = (Message.CharCode == VK_ESCAPE && (FsbType == sbCancel || FCancel)) ||
                     (Message.CharCode == VK_RETURN && FsbType == sbOk);
  if (takes && Enabled()) {
    Click();
    Message.Result = 1;
  }
  TSpeedButton::DialogKey(Message);
}

void TSB::Click() {
  if (!Enabled())
    return;
  TForm* form = ParentForm();
  if (FModalResult > 0) {
    if (form)
      form->SetModalResult(FModalResult);
  } else if (FsbType == sbOk || FsbType == sbCancel) {
    if (form)
      form->SetModalResult(FsbType == sbOk ? mrOk : mrCancel);
  }
  TSpeedButton::Click();
}

} // namespace ket
