// TLink: a label that acts as a hyperlink (hand cursor, blue text that turns red under the
// pointer, a click that opens Link with the shell).
#pragma once

#include "toolkit/label.h"

#include <string>
#include <string_view>

namespace ket {

class TLink : public TLabel {
 public:
  explicit TLink(TComponent* AOwner);

  // The address or file to open on click; empty: the click only raises OnClick.
  const std::u16string& Link() const { return fLink; }
  void SetLink(std::u16string_view Value) { fLink = Value; }

  void Loaded() override;
  void Click() override;

 protected:
  void MouseEnter() override;
  void MouseLeave() override;

 private:
  std::u16string fLink;
};

} // namespace ket
