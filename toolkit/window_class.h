// Inside the toolkit only: the window classes it registers, the window property that leads from
// a window to its control, and the one window procedure every control's window runs.
#pragma once

#include <string>
#include <windows.h>

namespace ket {

class TWinControl;

// The module the windows belong to: the program itself.
HINSTANCE Instance();

// Registers a window class of the toolkit's own, once per name; its windows start at
// InitialWndProc.
void RegisterOwnClass(const std::u16string& name, UINT style);

// The control a window belongs to: set when the control takes the window, removed when the
// window goes.
void SetWindowControl(HWND hwnd, TWinControl* control);
TWinControl* WindowControl(HWND hwnd);
void RemoveWindowControl(HWND hwnd);

// The control whose window CreateWindowExW is about to make (null after); the window's first
// message binds the two.
void SetCreatingControl(TWinControl* control);

// The first procedure of a window of our classes: binds it and hands over to ControlWndProc.
LRESULT CALLBACK InitialWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The one window procedure: finds the control and calls its WndProc.
LRESULT CALLBACK ControlWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

} // namespace ket
