// Basic types of the window toolkit: colours, enumerations, event signatures and the two
// toolkit notifications (dialog keys and dialog characters) that controls take part in.
#pragma once

#include <cstdint>
#include <functional>
#include <windows.h>

namespace ket {

// Colour values: a fixed colour holds red in the low byte, then green, then blue, and 0 in the
// top byte; a system colour holds 0xFF in the top byte and the system-colour index in the low
// byte.
using TColor = std::uint32_t;

inline constexpr TColor clWindow = 0xFF000005;
inline constexpr TColor clWindowText = 0xFF000008;
inline constexpr TColor clBtnFace = 0xFF00000F;
inline constexpr TColor clBtnShadow = 0xFF000010;
inline constexpr TColor clGrayText = 0xFF000011;
inline constexpr TColor clBtnText = 0xFF000012;
inline constexpr TColor clBtnHighlight = 0xFF000014;
inline constexpr TColor clInfoText = 0xFF000017;
inline constexpr TColor clInfoBk = 0xFF000018;
inline constexpr TColor clBlack = 0x00000000;
inline constexpr TColor clWhite = 0x00FFFFFF;
inline constexpr TColor clRed = 0x000000FF;
inline constexpr TColor clBlue = 0x00FF0000;
inline constexpr TColor clSilver = 0x00C0C0C0;
inline constexpr TColor clGray = 0x00808080;

// The RGB value a colour stands for at this moment (system colours looked up).
COLORREF ColorToRGB(TColor color);

// Everything that can send an event.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TTextLayout { tlTop, tlCenter, tlBottom };
// How a label shortens a caption too long for it: not at all (cut at the edge), in the middle
// of a path so that its last part (a file's own name) stays whole, or at its end.
enum TEllipsisPosition { epNone, epPathEllipsis, epEndEllipsis };
enum TCursor { crDefault, crHandPoint };
enum TMouseButton { mbLeft, mbRight, mbMiddle };

// Shift state: a set of these bits.
using TShiftState = unsigned;
inline constexpr TShiftState ssShift = 0x01;
inline constexpr TShiftState ssAlt = 0x02;
inline constexpr TShiftState ssCtrl = 0x04;
inline constexpr TShiftState ssLeft = 0x08;
inline constexpr TShiftState ssRight = 0x10;
inline constexpr TShiftState ssMiddle = 0x20;
inline constexpr TShiftState ssDouble = 0x40;

// Modal results of a form.
using TModalResult = int;
inline constexpr TModalResult mrNone = 0;
inline constexpr TModalResult mrOk = 1;
inline constexpr TModalResult mrCancel = 2;

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TMouseEvent =
    std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;
using TKeyEvent = std::function<void(TObject* Sender, WORD& Key, TShiftState Shift)>;
using TKeyPressEvent = std::function<void(TObject* Sender, char16_t& Key)>;
using TCloseQueryEvent = std::function<void(TObject* Sender, bool& CanClose)>;

// A window message as a control's message handler sees it.
struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

// Enter, Escape and the like, offered to every control of a window before the focused control
// sees the key. A control that takes the key sets Result to 1; nobody else is asked then.
struct TCMDialogKey {
  WORD CharCode = 0;
  LRESULT Result = 0;
};

// A mnemonic character offered to the controls of a window; Result 1 = taken.
struct TCMDialogChar {
  char16_t CharCode = 0;
  LRESULT Result = 0;
};

} // namespace ket
