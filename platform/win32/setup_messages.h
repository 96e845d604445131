// What two setup processes agree on: the class name of the main window, which a second
// instance looks for, and the message it posts to hand over to the first.
#pragma once

#include <windows.h>

namespace ket {

// Class name of the main window (FindWindowW searches top-level windows by it).
inline constexpr wchar_t kSetupWindowClass[] = L"TKetSetup";

// Posted with wParam 0 and lParam 0 by a second instance; the receiver restores its window and
// brings it to the front.
inline constexpr UINT WM_SETUP_ACTIVATE = WM_USER + 3;
static_assert(WM_SETUP_ACTIVATE == 1027);

} // namespace ket
