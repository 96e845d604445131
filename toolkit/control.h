// The control tree of the toolkit: components with owners, controls with parents, windowed
// controls (with a window of their own) and graphic controls (painted by their parent).
//
// A component's owner is the window that set it up (usually the form); a control's parent is
// the windowed control it lies in. Within a parent, controls keep their creation order, which is
// also their stacking order: a later one lies above an earlier one, and windowed controls lie
// above the graphic ones that their parent paints.
//
// Windows are made when first needed: a form makes its window when it is shown (or asked for its
// handle), and its windowed controls get theirs at the same time. Every property is kept in the
// control as well, so a window can be destroyed and made again (RecreateWnd).
#pragma once

#include "toolkit/graphics.h"
#include "toolkit/types.h"

#include <string>
#include <string_view>
#include <vector>
#include <windows.h>

namespace ket {

class TWinControl;
class TForm;
class TApplication;

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return components_; }

  // True while the owning window is still being set up, until Loaded.
  bool Loading() const { return loading_; }
  // Runs once after the window has set up all its components (TForm::FinishCreate).
  virtual void Loaded();

 protected:
  // For a form, which is loading from its construction.
  TComponent(TComponent* AOwner, bool loading);

 private:
  TComponent* owner_;
  std::vector<TComponent*> components_;
  bool loading_;
};

class TControl : public TComponent {
 public:
  explicit TControl(TComponent* AOwner);
  ~TControl() override;

  TWinControl* Parent() const { return parent_; }
  // Inserts the control at the top of the new parent's stacking order.
  void SetParent(TWinControl* parent);
  // The form that holds the control, or the control itself when it is a form.
  TForm* ParentForm();

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetLeft(int value) { SetBounds(value, top_, width_, height_); }
  void SetTop(int value) { SetBounds(left_, value, width_, height_); }
  void SetWidth(int value) { SetBounds(left_, top_, value, height_); }
  void SetHeight(int value) { SetBounds(left_, top_, width_, value); }
  virtual void SetBounds(int left, int top, int width, int height);
  RECT BoundsRect() const { return {left_, top_, left_ + width_, top_ + height_}; }
  virtual int ClientWidth() const { return width_; }
  virtual int ClientHeight() const { return height_; }
  RECT ClientRect() const { return {0, 0, ClientWidth(), ClientHeight()}; }

  TAlign Align() const { return align_; }
  void SetAlign(TAlign value);

  bool Visible() const { return visible_; }
  // A windowed control also passes on a focus that it or a control inside it loses.
  virtual void SetVisible(bool value);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  // Visible, and every parent up to the form visible too.
  bool Showing() const;

  bool Enabled() const { return enabled_; }
  // Deliberately not virtual: a class may declare its own SetEnabled that does more (the group
  // panel does), while a call through TControl changes this control alone. What differs by
  // kind of control is in ChangeEnabled.
  void SetEnabled(bool value);

  virtual std::u16string Text() const { return text_; }
  void SetText(std::u16string_view value);
  std::u16string Caption() const { return Text(); }
  void SetCaption(std::u16string_view value) { SetText(value); }

  // Changing the font through Font() turns ParentFont off.
  TFont& Font() { return font_; }
  const TFont& Font() const { return font_; }
  bool ParentFont() const { return parentFont_; }
  void SetParentFont(bool value);

  TColor Color() const { return color_; }
  void SetColor(TColor value);
  bool ParentColor() const { return parentColor_; }
  void SetParentColor(bool value);

  TCursor Cursor() const { return cursor_; }
  void SetCursor(TCursor value) { cursor_ = value; }
  const std::u16string& Hint() const { return hint_; }
  void SetHint(std::u16string_view value) { hint_ = value; }
  // The hint shows only for a control whose ShowHint is on (after the application's hint pause).
  bool ShowHint() const { return showHint_; }
  void SetShowHint(bool value) { showHint_ = value; }

  // Marks the whole control for the next paint: a graphic control its area of the parent's
  // window, a windowed control its own window.
  virtual void Invalidate();
  // Invalidates and paints at once, before returning.
  virtual void Repaint();

  // The click handling: raises OnClick.
  virtual void Click();

  TNotifyEvent OnClick;
  TMouseEvent OnMouseDown;
  TMouseEvent OnMouseUp;
  TMouseMoveEvent OnMouseMove;
  TNotifyEvent OnMouseEnter;
  TNotifyEvent OnMouseLeave;

 protected:
  TControl(TComponent* AOwner, bool loading);

  // Mouse handling; X and Y are in the control's client coordinates. The base raises the events.
  virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
  virtual void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
  virtual void MouseMove(TShiftState Shift, int X, int Y);
  // The pointer entered or left the control. The base raises OnMouseEnter / OnMouseLeave.
  virtual void MouseEnter();
  virtual void MouseLeave();

  // Notifications after a property change; the base handling is noted at each.
  virtual void FontChanged();        // graphic: invalidate
  virtual void TextChanged();        // graphic: invalidate
  virtual void VisibleChanged();     // shows or hides the window / the painted area
  virtual void EnabledChanged();     // graphic: invalidate
  virtual void ColorChanged();       // invalidate
  virtual void ParentColorChanged(); // takes the parent's colour when ParentColor is on
  virtual void ParentFontChanged();  // takes the parent's font when ParentFont is on

  // Dialog keys and characters offered by the window; the base takes nothing.
  virtual void DialogKey(TCMDialogKey& Message);
  virtual void DialogChar(TCMDialogChar& Message);

  // Scales bounds (and the font, unless it is the parent's) by M / D.
  virtual void ChangeScale(int M, int D);

  // One mouse message in client coordinates: button presses, releases, double clicks and moves.
  // A left release over the control after a left press (not a double click) is a click.
  virtual void MouseMessage(UINT msg, WPARAM keys, int x, int y);

  // Stores a changed Enabled and announces it (EnabledChanged). A windowed control also passes
  // on a focus that it or a control inside it loses.
  virtual void ChangeEnabled(bool value);

  // Asks the parent to lay out its aligned controls again.
  void RequestAlign();
  // Applies a font without turning ParentFont off.
  void InheritFont(const TFont& font);

  // Base handling of the pointer notifications, for classes that replace them entirely.
  void DoMouseEnter();
  void DoMouseLeave();

  int left_ = 0;
  int top_ = 0;
  int width_ = 0;
  int height_ = 0;
  // Whether a left press and release over the control makes a click (speed buttons click
  // themselves).
  bool clickEvents_ = true;

 private:
  friend class TWinControl;
  friend class TApplication;
  friend class TForm;

  void FontAttributeChanged();

  TWinControl* parent_ = nullptr;
  TAlign align_ = alNone;
  bool visible_ = true;
  bool enabled_ = true;
  std::u16string text_;
  TFont font_;
  bool parentFont_ = true;
  bool inheritingFont_ = false;
  TColor color_ = clBtnFace;
  bool parentColor_ = true;
  TCursor cursor_ = crDefault;
  std::u16string hint_;
  bool showHint_ = false;
  bool clicked_ = false;
};

// What a windowed control's window is made of. WinClassName names a window class that the
// toolkit registers itself (the default, "TKetControl"); SystemClass, when set, names a system
// class (EDIT, COMBOBOX, ...) whose window procedure the control wraps.
struct TCreateParams {
  std::u16string WinClassName = u"TKetControl";
  const wchar_t* SystemClass = nullptr;
  DWORD Style = 0;
  DWORD ExStyle = 0;
  UINT ClassStyle = CS_DBLCLKS;
};

class TWinControl : public TControl {
 public:
  explicit TWinControl(TComponent* AOwner);
  ~TWinControl() override;

  // The window, made first when there is none (with the windows of the parents).
  HWND Handle();
  bool HandleAllocated() const { return hwnd_ != nullptr; }
  void HandleNeeded() { Handle(); }
  // Destroys the window and makes it again, with the control's current properties.
  void RecreateWnd();
  // The control of a window made by the toolkit; null for any other window.
  static TWinControl* FromHandle(HWND hwnd);

  // Child controls in creation order.
  const std::vector<TControl*>& Controls() const { return controls_; }
  int ControlCount() const { return static_cast<int>(controls_.size()); }
  // The topmost visible graphic child at a client point; disabled ones only when asked.
  TControl* ControlAtPos(POINT point, bool allowDisabled) const;

  // The position in the parent's tab sequence (0 first); setting it moves the control there.
  int TabOrder() const;
  void SetTabOrder(int value);
  bool TabStop() const { return tabStop_; }
  void SetTabStop(bool value);

  bool Focused() const;
  // Showing and enabled, with every parent.
  bool CanFocus() const;
  void SetFocus();

  // Alignment of the children: done when the counter falls back to 0.
  void DisableAlign() { ++alignDisabled_; }
  void EnableAlign();
  void Realign();

  std::u16string Text() const override;
  void SetBounds(int left, int top, int width, int height) override;
  void SetVisible(bool value) override;
  void Invalidate() override;
  void Repaint() override;

  TNotifyEvent OnEnter;
  TNotifyEvent OnExit;
  TKeyEvent OnKeyDown;
  TKeyEvent OnKeyUp;
  TKeyPressEvent OnKeyPress;

 protected:
  TWinControl(TComponent* AOwner, bool loading);

  virtual void CreateParams(TCreateParams& Params);
  // After the window is made: the class pushes what it holds (text, items, ranges) into it.
  virtual void HandleCreated();
  // Before the window is destroyed: the class keeps what only the window held.
  virtual void HandleDestroying();

  // The window's message handler. Classes add cases and pass the rest on to their base.
  virtual void WndProc(TMessage& Message);
  // The window's default handling: the system class's own procedure or DefWindowProcW.
  void DefaultHandler(TMessage& Message);

  // The area children are aligned in (the client area less borders and bevels).
  virtual void AdjustClientRect(RECT& rect) const;
  // The control's own drawing, for windows of the toolkit's classes; background already done.
  virtual void PaintWindow(HDC dc);

  virtual void KeyDown(WORD& Key, TShiftState Shift);
  virtual void KeyUp(WORD& Key, TShiftState Shift);
  virtual void KeyPress(char16_t& Key);
  virtual void DoEnter();
  virtual void DoExit();
  // WM_COMMAND notifications and WM_CTLCOLOR* requests of this control, reflected by the parent.
  virtual void CommandNotify(WORD code);
  virtual HBRUSH CtlColor(HDC dc);

  void ChangeEnabled(bool value) override;
  void FontChanged() override;
  void TextChanged() override;
  void VisibleChanged() override;
  void EnabledChanged() override;
  void ColorChanged() override;
  // Both broadcast to the children in creation order until one takes it.
  void DialogKey(TCMDialogKey& Message) override;
  void DialogChar(TCMDialogChar& Message) override;
  void ChangeScale(int M, int D) override;
  void MouseMessage(UINT msg, WPARAM keys, int x, int y) override;

  // Parent window for the control's window; the form overrides (none).
  virtual HWND ParentHandle();
  // Shows or hides the window as Showing says.
  virtual void UpdateShowing();

  // The toolkit's classes skip erasing the background when the paint covers everything.
  bool opaque_ = false;
  // Added to the height of the window made (a drop-down list's window includes its list).
  int extraWindowHeight_ = 0;
  // Set while the control moves its own window.
  bool settingBounds_ = false;

 private:
  // SetParent and ~TControl keep the parent's list of controls (InsertControl, RemoveControl).
  friend class TControl;
  friend class TForm;
  friend class TApplication;
  // The window procedures of window_class.cpp.
  friend LRESULT CALLBACK ControlWndProc(HWND, UINT, WPARAM, LPARAM);
  friend LRESULT CALLBACK InitialWndProc(HWND, UINT, WPARAM, LPARAM);

  void CreateHandle();
  void DestroyHandle();
  void AttachHandle(HWND hwnd);
  void InsertControl(TControl* control);
  void RemoveControl(TControl* control);
  // Lays out the visible aligned children inside the client area less AdjustClientRect, by
  // kind in the order top, bottom, left, right, client: each top control takes the full width
  // at the top of what is left and keeps its height, each bottom one likewise from the bottom;
  // then each left and right one takes the full remaining height at its side and keeps its
  // width; a client control fills what is left (never a negative size). Controls of one kind
  // stack by their present places (tops by top edge, bottoms upward from the lowest bottom edge,
  // lefts by left edge, rights leftward from the rightmost edge), ties in creation order, so a
  // layout made once stays put when it is made again. Re-entry during the layout is ignored.
  void AlignControls();
  void PaintHandler(HDC dc);
  void PaintControls(HDC dc);
  void EraseBackground(HDC dc);
  void UpdateZOrder();
  // Routes a mouse message to a graphic child (true) or handles it as the control's own.
  bool RouteMouse(TMessage& message);
  bool HandleKeyDown(TMessage& message);
  bool HandleChar(TMessage& message, bool system);
  UINT DialogCode(const TMessage& message);
  // The handlers of WndProc, one for each message it handles (WMKeyDown also for WM_SYSKEYDOWN,
  // WMKeyUp for WM_SYSKEYUP, WMCtlColor for the WM_CTLCOLOR* requests, WMMouse for every press,
  // release and move).
  void WMMouse(TMessage& Message);
  void WMPaint(TMessage& Message);
  void WMEraseBkgnd(TMessage& Message);
  void WMPrintClient(TMessage& Message);
  void WMKeyDown(TMessage& Message);
  void WMKeyUp(TMessage& Message);
  void WMChar(TMessage& Message);
  void WMSysChar(TMessage& Message);
  void WMSetFocus(TMessage& Message);
  void WMKillFocus(TMessage& Message);
  void WMMouseLeave(TMessage& Message);
  void WMSetCursor(TMessage& Message);
  void WMCommand(TMessage& Message);
  void WMCtlColor(TMessage& Message);
  void WMClose(TMessage& Message);
  void WMDestroy(TMessage& Message);
  void WMNCDestroy(TMessage& Message);
  void GetTabOrderList(std::vector<TWinControl*>& list);
  // Every windowed control inside this one, depth first in tab order, tab stop or not.
  void GetWindowedControls(std::vector<TWinControl*>& list);

  // A hidden or disabled control keeps no focus: before the change the control records which
  // control inside it holds the focus (the keyboard focus, or the form's active control while
  // the window is not active), after it the form passes that focus on.
  struct FocusInside {
    TWinControl* holder = nullptr;
    bool keyboard = false;
  };
  FocusInside FindFocusInside();
  void PassFocusOn(const FocusInside& focus);

  HWND hwnd_ = nullptr;
  WNDPROC systemProc_ = nullptr;
  bool ownClass_ = true;
  std::vector<TControl*> controls_;
  std::vector<TWinControl*> tabList_;
  bool tabStop_ = false;
  int alignDisabled_ = 0;
  bool aligning_ = false;
  TControl* captureControl_ = nullptr;
  bool trackingLeave_ = false;
  UniqueGdi<HBRUSH> ctlBrush_;
  TColor ctlBrushColor_ = 0;

 protected:
  // A brush of the control's colour for CtlColor answers.
  HBRUSH ColorBrush();
};

// A control without a window, painted by its parent (labels, bevels, speed buttons).
class TGraphicControl : public TControl {
 public:
  explicit TGraphicControl(TComponent* AOwner);

 protected:
  TCanvas& Canvas() { return canvas_; }
  // Paints the control into Canvas(), whose origin is the control's top-left corner.
  virtual void Paint();

 private:
  friend class TWinControl;
  void PaintTo(HDC dc);

  TCanvas canvas_;
};

// A windowed control that paints itself into its canvas (font, brush, text measurement, fill,
// focus rectangle, transparent bitmap copy). The window is of the toolkit's own class.
class TCustomControl : public TWinControl {
 public:
  explicit TCustomControl(TComponent* AOwner);

 protected:
  TCanvas& Canvas() { return canvas_; }
  virtual void Paint();
  void PaintWindow(HDC dc) override;

 private:
  TCanvas canvas_;
};

} // namespace ket
