// A drop-down list box (choice only, no typing) over the system COMBOBOX class. Its text is
// drawn in its font's colour.
#pragma once

#include "toolkit/control.h"

#include <string>
#include <vector>

namespace ket {

class TComboBox : public TWinControl {
 public:
  explicit TComboBox(TComponent* AOwner);

  const std::vector<std::u16string>& Items() const { return items_; }
  void SetItems(std::vector<std::u16string> items);
  // -1: no item selected.
  int ItemIndex() const;
  void SetItemIndex(int index);

  // The user chose another item (not raised by SetItemIndex).
  TNotifyEvent OnChange;

 protected:
  void CreateParams(TCreateParams& Params) override;
  void HandleCreated() override;
  void HandleDestroying() override;
  void CommandNotify(WORD code) override;
  HBRUSH CtlColor(HDC dc) override;
  void WndProc(TMessage& Message) override;
  void FontChanged() override;

 private:
  std::vector<std::u16string> items_;
  int itemIndex_ = -1;
};

} // namespace ket
