// The top-level form: fixed single border, a system menu with its close box only, button-face
// background, caption, the application icon, keyboard focus and tab order, modal result, and the
// scaling of a layout designed at 120 pixels per inch.
#pragma once

#include "toolkit/control.h"

#include <windows.h>

namespace ket {

enum TPosition { poDesigned, poDesktopCenter };

class TForm : public TWinControl {
 public:
  explicit TForm(TComponent* AOwner);
  ~TForm() override;

  // The client area's size; the window is as large as its frame needs.
  void SetClientSize(int width, int height);
  int ClientWidth() const override;
  int ClientHeight() const override;

  TPosition Position() const { return position_; }
  void SetPosition(TPosition value) { position_ = value; }

  // Layouts are designed where the text height of the form's font is DesignTextHeight (16, at 120
  // pixels per inch). With Scaled on, FinishCreate measures the font on this screen and, where it
  // differs, scales the client area and every control's bounds and font by measured / design.
  bool Scaled() const { return scaled_; }
  void SetScaled(bool value) { scaled_ = value; }
  int DesignTextHeight() const { return designTextHeight_; }
  void SetDesignTextHeight(int value) { designTextHeight_ = value; }
  // The text height measured by FinishCreate (0 before).
  int MeasuredTextHeight() const { return measuredTextHeight_; }

  // Ends the set-up of a form whose constructor has made its controls: scaling, Loaded for every
  // component the form owns (then the form), alignment, then OnCreate. Call it last in the
  // constructor of the derived form.
  void FinishCreate();

  TModalResult ModalResult() const { return modalResult_; }
  // A modally shown form ends its modal showing as soon as this is not 0.
  void SetModalResult(TModalResult value) { modalResult_ = value; }
  // Shows the form with the application's other windows disabled until its modal result is set
  // or it is closed (mrCancel); returns the modal result.
  TModalResult ShowModal();
  // Closes the form (OnCloseQuery may refuse). Closing the application's main form ends the
  // message loop.
  void Close();

  // The control that has, or will get when the form is active, the keyboard focus.
  TWinControl* ActiveControl() const { return activeControl_; }
  // Moves the focus to the next (or previous) control of the tab sequence after `current`.
  void SelectNext(TWinControl* current, bool forward);
  // Focuses the first control of the tab sequence.
  void SelectFirst();

  TNotifyEvent OnCreate;
  TNotifyEvent OnActivate;
  TCloseQueryEvent OnCloseQuery;

 protected:
  void CreateParams(TCreateParams& Params) override;
  void HandleCreated() override;
  void WndProc(TMessage& Message) override;
  void ChangeScale(int M, int D) override;
  HWND ParentHandle() override { return nullptr; }
  void UpdateShowing() override;
  void TextChanged() override;

 private:
  friend class TWinControl;

  void FocusControl(TWinControl* control);
  // `from` held the focus and has been hidden or disabled (or lies in a control that has): the
  // focus goes to the next control of the tab sequence that can take it, wrapping round, or to
  // the form itself when none can. keyboard: whether `from` had the keyboard focus itself, not
  // only the form's choice for its next activation.
  void FocusNextAfter(TWinControl* from, bool keyboard);
  void Activated();
  void PlaceForFirstShow();
  std::vector<TWinControl*> TabSequence();

  TPosition position_ = poDesigned;
  bool scaled_ = true;
  int designTextHeight_ = 16;
  int measuredTextHeight_ = 0;
  int clientWidth_ = 0;
  int clientHeight_ = 0;
  bool shownOnce_ = false;
  bool modal_ = false;
  TModalResult modalResult_ = mrNone;
  TWinControl* activeControl_ = nullptr;
  // The focus was passed to the form itself, and the form keeps it at later activations, until
  // a control takes it.
  bool focusOnForm_ = false;
};

} // namespace ket
