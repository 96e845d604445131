// The application object: title, hint pause, the message loop, the error box and the program's
// message box, and the pointer tracking behind mouse enter/leave notifications and hints.
#pragma once

#include "toolkit/types.h"

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <windows.h>

namespace ket {

class TControl;
class TForm;

class TApplication {
 public:
  TApplication();
  ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  // COM for this (the GUI) thread, apartment-threaded, and the common controls. The end of the
  // application object undoes COM.
  void Initialize();

  const std::u16string& Title() const { return title_; }
  void SetTitle(std::u16string_view title) { title_ = title; }

  // Milliseconds the pointer rests on a control before its hint shows (0: at once).
  int HintPause() const { return hintPause_; }
  void SetHintPause(int ms) { hintPause_ = ms; }

  TForm* MainForm() const { return mainForm_; }
  // Shows the main form and handles messages until it is closed or Terminate is called.
  void Run(TForm& mainForm);
  // Handles every message waiting in the thread's queue, then returns.
  void ProcessMessages();
  // Waits for one message and handles it.
  void HandleMessage();
  void Terminate();
  bool Terminated() const { return terminated_; }

  // Brings the main form back when it is minimised; otherwise nothing.
  void Restore();

  // The error box: modal, error icon, captioned with the title; the message gets a final "."
  // unless it ends in "." or a character of lower code.
  void ShowError(std::u16string_view message);
  void ShowException(const std::exception& error);
  // Inside a catch block: shows the exception being handled in the error box.
  void HandleException();
  // The program's message box: the text, an OK button, no icon, captioned with the title.
  void ShowMessage(std::u16string_view text);

  // The control under the pointer, as the windows report it; enter/leave follow its changes.
  TControl* MouseControl() const { return mouseControl_; }
  void SetMouseControl(TControl* control);
  void ControlDestroyed(TControl* control);
  void CancelHint();

 private:
  struct HintState;
  static void CALLBACK HintTimerProc(HWND, UINT, UINT_PTR, DWORD);
  void ShowHintNow();
  HWND MessageOwner() const;

  std::u16string title_;
  int hintPause_ = 500;
  // Milliseconds a hint stays up.
  int hintHidePause_ = 2500;
  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
  bool comInitialized_ = false;
  TControl* mouseControl_ = nullptr;
  std::unique_ptr<HintState> hint_;
};

// The process's one application object.
TApplication& Application();

// The error box's text: the message with "." appended unless it is empty or already ends in
// "." or a character of lower code.
std::u16string ErrorBoxText(std::u16string_view message);

} // namespace ket
