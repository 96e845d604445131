#include "toolkit/form.h"

#include "toolkit/application.h"

#include <algorithm>

namespace ket {

namespace {

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = 0;

SIZE FrameSize() {
  RECT r{0, 0, 100, 100};
  AdjustWindowRectEx(&r, kFormStyle, FALSE, kFormExStyle);
  return {r.right - r.left - 100, r.bottom - r.top - 100};
}

int MeasureTextHeight(const TFont& font) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font.Handle());
  SIZE size{0, 0};
  GetTextExtentPoint32W(dc, L"0", 1, &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return size.cy;
}

// Containers were not aligned while the form was being set up; align each, parents first.
void RealignTree(TWinControl& container) {
  container.Realign();
  for (TControl* c : container.Controls())
    if (auto* w = dynamic_cast<TWinControl*>(c))
      RealignTree(*w);
}

struct ModalContext {
  HWND self;
  std::vector<HWND> disabled;
};

BOOL CALLBACK DisableForModal(HWND hwnd, LPARAM lParam) {
  auto* context = reinterpret_cast<ModalContext*>(lParam);
  if (hwnd != context->self && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) {
    EnableWindow(hwnd, FALSE);
    context->disabled.push_back(hwnd);
  }
  return TRUE;
}

} // namespace

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner, true) {
  visible_ = false;
  SetParentColor(false);
  SetColor(clBtnFace);
  SetParentFont(false);
}

TForm::~TForm() {
  if (Application().MainForm() == this && HandleAllocated())
    ShowWindow(Handle(), SW_HIDE);
}

void TForm::CreateParams(TCreateParams& Params) {
  TWinControl::CreateParams(Params);
  Params.WinClassName = u"TKetForm";
  Params.Style = kFormStyle;
  Params.ExStyle = kFormExStyle;
}

void TForm::SetClientSize(int width, int height) {
  clientWidth_ = width;
  clientHeight_ = height;
  const SIZE frame = FrameSize();
  SetBounds(left_, top_, width + frame.cx, height + frame.cy);
  if (HandleAllocated()) {
    // The frame of the real window can differ from the computed one (caption heights).
    RECT client;
    GetClientRect(Handle(), &client);
    const int dw = width - (client.right - client.left);
    const int dh = height - (client.bottom - client.top);
    if (dw || dh)
      SetBounds(left_, top_, width_ + dw, height_ + dh);
  }
}

int TForm::ClientWidth() const {
  if (hwnd_) {
    RECT r;
    GetClientRect(hwnd_, &r);
    return r.right - r.left;
  }
  return clientWidth_;
}

int TForm::ClientHeight() const {
  if (hwnd_) {
    RECT r;
    GetClientRect(hwnd_, &r);
    return r.bottom - r.top;
  }
  return clientHeight_;
}

void TForm::ChangeScale(int M, int D) {
  // The form keeps its place and its own font (already at this screen's density); the client
  // area and the controls scale.
  DisableAlign();
  SetClientSize(MulDiv(ClientWidth(), M, D), MulDiv(ClientHeight(), M, D));
  for (TControl* c : Controls())
    c->ChangeScale(M, D);
  EnableAlign();
}

void TForm::FinishCreate() {
  DisableAlign();
  if (scaled_) {
    measuredTextHeight_ = MeasureTextHeight(Font());
    if (measuredTextHeight_ > 0 && measuredTextHeight_ != designTextHeight_)
      ChangeScale(measuredTextHeight_, designTextHeight_);
  }
  const std::vector<TComponent*> owned = Components();
  for (TComponent* c : owned)
    c->Loaded();
  Loaded();
  EnableAlign();
  RealignTree(*this);
  if (OnCreate) {
    try {
      OnCreate(this);
    } catch (...) {
      Application().HandleException();
    }
  }
}

void TForm::HandleCreated() {
  TWinControl::HandleCreated();
  // The application icon, when the program has one.
  const HINSTANCE module = GetModuleHandleW(nullptr);
  auto load = [module](int cx, int cy) {
    return static_cast<HICON>(LoadImageW(module, L"MAINICON", IMAGE_ICON, cx, cy, LR_SHARED));
  };
  if (HICON big = load(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)))
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  if (HICON small = load(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON)))
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  if (clientWidth_ > 0 || clientHeight_ > 0)
    SetClientSize(clientWidth_, clientHeight_);
  Realign();
}

void TForm::TextChanged() {
  if (hwnd_)
    SetWindowTextW(hwnd_, Wide(Caption()));
}

void TForm::PlaceForFirstShow() {
  if (position_ != poDesktopCenter)
    return;
  const int vx = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int vy = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int vw = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int vh = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  const int left = std::max(vx, vx + vw / 2 - width_ / 2);
  const int top = std::max(vy, vy + vh / 2 - height_ / 2);
  SetBounds(left, top, width_, height_);
}

void TForm::UpdateShowing() {
  if (visible_) {
    HandleNeeded();
    if (!shownOnce_) {
      shownOnce_ = true;
      PlaceForFirstShow();
    }
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
  } else if (hwnd_) {
    ShowWindow(hwnd_, SW_HIDE);
  }
}

std::vector<TWinControl*> TForm::TabSequence() {
  std::vector<TWinControl*> list;
  GetTabOrderList(list);
  std::erase_if(list, [](TWinControl* c) { return !c->CanFocus(); });
  return list;
}

void TForm::FocusControl(TWinControl* control) {
  activeControl_ = control;
  if (control && hwnd_ && IsWindowVisible(hwnd_) && control->CanFocus())
    ::SetFocus(control->Handle());
}

void TForm::SelectNext(TWinControl* current, bool forward) {
  const std::vector<TWinControl*> list = TabSequence();
  if (list.empty())
    return;
  const int n = static_cast<int>(list.size());
  auto it = std::find(list.begin(), list.end(), current);
  int index = it == list.end() ? (forward ? -1 : n) : static_cast<int>(it - list.begin());
  index = forward ? (index + 1) % n : (index - 1 + n) % n;
  FocusControl(list[static_cast<size_t>(index)]);
}

void TForm::SelectFirst() {
  const std::vector<TWinControl*> list = TabSequence();
  if (!list.empty())
    FocusControl(list.front());
}

void TForm::FocusNextAfter(TWinControl* from, bool keyboard) {
  std::vector<TWinControl*> all;
  GetWindowedControls(all);
  TWinControl* next = nullptr;
  const auto at = std::find(all.begin(), all.end(), from);
  if (at != all.end()) {
    const size_t start = static_cast<size_t>(at - all.begin());
    for (size_t k = 1; k < all.size() && !next; ++k) {
      TWinControl* c = all[(start + k) % all.size()];
      if (c->TabStop() && c->CanFocus())
        next = c;
    }
  }
  activeControl_ = next;
  focusOnForm_ = next == nullptr;
  if (keyboard && hwnd_)
    ::SetFocus(next ? next->Handle() : hwnd_);
}

void TForm::Activated() {
  if (activeControl_ && activeControl_->CanFocus()) {
    ::SetFocus(activeControl_->Handle());
  } else if (activeControl_) {
    FocusNextAfter(activeControl_, true);
  } else if (focusOnForm_) {
    ::SetFocus(hwnd_);
  } else {
    const std::vector<TWinControl*> list = TabSequence();
    if (!list.empty()) {
      activeControl_ = list.front();
      ::SetFocus(activeControl_->Handle());
    } else {
      ::SetFocus(hwnd_);
    }
  }
  if (OnActivate)
    OnActivate(this);
}

TModalResult TForm::ShowModal() {
  if (modal_)
    return modalResult_;
  // The application's other windows take no input while this one is up.
  ModalContext context{Handle(), {}};
  EnumThreadWindows(GetCurrentThreadId(), DisableForModal, reinterpret_cast<LPARAM>(&context));
  modal_ = true;
  modalResult_ = mrNone;
  Show();
  while (modalResult_ == mrNone && !Application().Terminated())
    Application().HandleMessage();
  for (HWND hwnd : context.disabled)
    EnableWindow(hwnd, TRUE);
  Hide();
  modal_ = false;
  return modalResult_;
}

void TForm::Close() {
  bool canClose = true;
  if (OnCloseQuery)
    OnCloseQuery(this, canClose);
  if (!canClose)
    return;
  if (modal_) {
    if (modalResult_ == mrNone)
      modalResult_ = mrCancel;
    return;
  }
  Hide();
  if (Application().MainForm() == this)
    Application().Terminate();
}

void TForm::WndProc(TMessage& Message) {
  switch (Message.Msg) {
  case WM_ACTIVATE:
    if (LOWORD(Message.WParam) != WA_INACTIVE && !HIWORD(Message.WParam)) {
      Activated();
      Message.Result = 0;
      return;
    }
    break;
  case WM_CLOSE:
    Close();
    Message.Result = 0;
    return;
  case WM_WINDOWPOSCHANGED:
    if (!settingBounds_) {
      // Moved by the system or the user: keep the bounds true.
      RECT r;
      GetWindowRect(hwnd_, &r);
      left_ = r.left;
      top_ = r.top;
      width_ = r.right - r.left;
      height_ = r.bottom - r.top;
    }
    break;
  default:
    break;
  }
  TWinControl::WndProc(Message);
}

} // namespace ket
