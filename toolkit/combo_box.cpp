#include "toolkit/combo_box.h"

namespace ket {

TComboBox::TComboBox(TComponent* AOwner) : TWinControl(AOwner) {
  SetBounds(0, 0, 145, 21);
  SetTabStop(true);
  SetParentColor(false);
  SetColor(clWindow);
  // The window of a drop-down list includes the list's height.
  extraWindowHeight_ = 200;
}

void TComboBox::CreateParams(TCreateParams& Params) {
  TWinControl::CreateParams(Params);
  Params.SystemClass = L"COMBOBOX";
  Params.Style |= CBS_DROPDOWNLIST | WS_VSCROLL;
}

void TComboBox::HandleCreated() {
  HWND hwnd = Handle();
  for (const std::u16string& item : items_)
    SendMessageW(hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item)));
  SendMessageW(hwnd, CB_SETCURSEL, static_cast<WPARAM>(itemIndex_), 0);
}

void TComboBox::HandleDestroying() {
  itemIndex_ = ItemIndex();
  TWinControl::HandleDestroying();
}

void TComboBox::SetItems(std::vector<std::u16string> items) {
  items_ = std::move(items);
  itemIndex_ = -1;
  if (HandleAllocated()) {
    SendMessageW(Handle(), CB_RESETCONTENT, 0, 0);
    HandleCreated();
  }
}

int TComboBox::ItemIndex() const {
  if (HandleAllocated())
    return static_cast<int>(
        SendMessageW(const_cast<TComboBox*>(this)->Handle(), CB_GETCURSEL, 0, 0));
  return itemIndex_;
}

void TComboBox::SetItemIndex(int index) {
  if (index < -1 || index >= static_cast<int>(items_.size()))
    index = -1;
  itemIndex_ = index;
  if (HandleAllocated())
    SendMessageW(Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void TComboBox::CommandNotify(WORD code) {
  if (code == CBN_SELCHANGE) {
    itemIndex_ = ItemIndex();
    if (OnChange)
      OnChange(this);
  }
}

HBRUSH TComboBox::CtlColor(HDC dc) {
  SetTextColor(dc, ColorToRGB(Font().Color()));
  SetBkColor(dc, ColorToRGB(Color()));
  return ColorBrush();
}

void TComboBox::WndProc(TMessage& Message) {
  switch (Message.Msg) {
  // The list and the selection field ask the combo box itself on some systems.
  case WM_CTLCOLORLISTBOX:
  case WM_CTLCOLOREDIT:
  case WM_CTLCOLORSTATIC:
    Message.Result = reinterpret_cast<LRESULT>(CtlColor(reinterpret_cast<HDC>(Message.WParam)));
    return;
  default:
    TWinControl::WndProc(Message);
  }
}

void TComboBox::FontChanged() {
  TWinControl::FontChanged();
  // A colour change alone sends no WM_SETFONT repaint.
  if (HandleAllocated())
    InvalidateRect(Handle(), nullptr, TRUE);
}

} // namespace ket
