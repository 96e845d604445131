// Helpers of the window tests: rendering a window tree into pixels, sending mouse and key
// messages, and handling the messages they cause.
#pragma once

#include "toolkit/toolkit.h"

#include <cstdint>
#include <vector>
#include <windows.h>

namespace ket::test {

// A picture of a window's client area: 0x00RRGGBB per pixel, rows from the top.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> data;

  // The colour at (x, y) as a COLORREF (red in the low byte); 0xFFFFFFFF outside.
  COLORREF At(int x, int y) const;
  // How many pixels of the rectangle have the colour.
  int Count(const RECT& rect, COLORREF color) const;
  // The columns [first, last] of row y that have the colour; -1, -1 when none has.
  std::pair<int, int> Span(int y, COLORREF color) const;
};

// Renders the control's window and its visible child windows through WM_PRINTCLIENT.
Pixels Capture(TWinControl& control);

// Handles every pending message.
void Pump();

// A mouse message at client coordinates of the window.
void SendMouse(TWinControl& window, UINT msg, int x, int y, WPARAM keys = 0);
// A left press and release at (x, y).
void ClickAt(TWinControl& window, int x, int y);
// A key press (WM_KEYDOWN, then WM_KEYUP) sent to the window.
void SendKey(TWinControl& window, WORD vk);

// A form for tests: at the screen's top-left corner, not scaled. It has no caption: Wine waits
// two seconds for a window manager whenever a captioned window is hidden or destroyed, and the
// test displays have none.
class TestForm : public TForm {
 public:
  explicit TestForm(int width = 400, int height = 300);

 protected:
  void CreateParams(TCreateParams& Params) override;
};

// One shown test form for the whole test program (see TestForm): the fixtures put their
// controls on it and take them away again.
TestForm& SharedForm();

} // namespace ket::test
