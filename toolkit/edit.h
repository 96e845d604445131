// Edit boxes over the system EDIT class: single-line (TEdit) and multi-line (TMemo).
#pragma once

#include "toolkit/control.h"

namespace ket {

class TEdit : public TWinControl {
 public:
  explicit TEdit(TComponent* AOwner);

 protected:
  void CreateParams(TCreateParams& Params) override;
  HBRUSH CtlColor(HDC dc) override;
};

// Multi-line: Enter makes a new line in it. A lone CR or LF in the text given is a line break.
class TMemo : public TEdit {
 public:
  explicit TMemo(TComponent* AOwner);

  void SetText(std::u16string_view value);
  std::u16string Text() const override;
  bool WordWrap() const { return wordWrap_; }
  void SetWordWrap(bool value);

 protected:
  void CreateParams(TCreateParams& Params) override;

 private:
  bool wordWrap_ = true;
};

} // namespace ket
