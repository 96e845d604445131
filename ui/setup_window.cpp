// First: the file system's CreateFile and DeleteFile must be declared before windows.h turns
// those names into macros.
#include "ui/setup_window.h"

#include "engine/product.h"
#include "engine/run.h"
#include "engine/startup.h"
#include "platform/win32/setup_messages.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_name_comparer.h"
#include "ui/language.h"

#include <cmath>
#include <shellapi.h>
#include <shlobj.h>

namespace ket {

namespace {

constexpr std::u16string_view kMsSansSerif = u"MS Sans Serif";

// "MS Sans Serif", 15 pixels, window text, Cyrillic character set; bold when asked.
void SetMs15(TControl& control, TFontStyles style = 0) {
  TFont& font = control.Font();
  font.SetName(kMsSansSerif);
  font.SetHeight(15);
  font.SetColor(clWindowText);
  font.SetCharset(RUSSIAN_CHARSET);
  font.SetStyle(style);
}

void SetFlatBox(TEwCheckBox& box, int left, int top, int width, int height, bool checked,
                int tabOrder) {
  box.SetBounds(left, top, width, height);
  box.SetFlat(true);
  box.SetHotColor(clWindow);
  box.SetChecked(checked);
  box.SetTabOrder(tabOrder);
}

void SetStyledButton(TSB& button, TsbType type) {
  button.SetFlat(true);
  button.SetColor(clBtnFace);
  button.SetMyStyle(true);
  button.SetsbType(type);
  button.SetModalResult(0);
  button.SetCancel(false);
  button.SetResName(0);
}

} // namespace

TKetSetup::TKetSetup(SetupState& state, SetupWindowServices services)
    : TForm(nullptr), state_(state), services_(std::move(services)),
      payload_(std::make_unique<Win32NameComparer>()), files_(std::make_unique<Win32FileSystem>()),
      shortcuts_(state) {
  Build();
  OnCreate = [this](TObject* Sender) { FormCreate(Sender); };
  OnActivate = [this](TObject* Sender) { FormActivate(Sender); };
  OnCloseQuery = [this](TObject* Sender, bool& CanClose) { FormCloseQuery(Sender, CanClose); };
  FinishCreate();
}

TKetSetup::~TKetSetup() = default;

void TKetSetup::CreateParams(TCreateParams& Params) {
  TForm::CreateParams(Params);
  Params.WinClassName = FromWide(kSetupWindowClass);
}

// The layout at 120 pixels per inch, bounds as they stand after alignment; FinishCreate scales
// it to this screen.
void TKetSetup::Build() {
  SetClientSize(550, 299);
  SetPosition(poDesktopCenter);

  Link1.SetParent(this);
  Link1.SetAlign(alTop);
  Link1.SetBounds(0, 0, 550, 30);
  SetMs15(Link1, fsBold | fsUnderline);
  Link1.Font().SetColor(clBlue);
  Link1.SetAlignment(taRightJustify);
  Link1.SetLayout(tlCenter);
  Link1.SetCursor(crHandPoint);
  Link1.OnClick = [this](TObject* Sender) { Link1Click(Sender); };

  Bevel2.SetParent(this);
  Bevel2.SetAlign(alTop);
  Bevel2.SetBounds(0, 30, 550, 1);
  Bevel2.SetShape(bsBottomLine);

  GP.SetParent(this);
  GP.SetAlign(alClient);
  GP.SetBounds(0, 31, 550, 268);
  GP.Font().SetName(kMsSansSerif);
  GP.Font().SetHeight(15);
  GP.Font().SetColor(clWindowText);
  GP.SetBevelOuter(bvNone);
  GP.SetEnabled(true);
  GP.SetParentColor(true);
  GP.SetTabOrder(1);

  Bevel3.SetParent(&GP);
  Bevel3.SetAlign(alBottom);
  Bevel3.SetBounds(0, 235, 550, 3);
  Bevel3.SetShape(bsBottomLine);

  Bevel1.SetParent(&GP);
  Bevel1.SetAlign(alTop);
  Bevel1.SetBounds(0, 119, 550, 2);
  Bevel1.SetShape(bsBottomLine);

  Panel1.SetParent(&GP);
  Panel1.SetAlign(alBottom);
  Panel1.SetBounds(0, 238, 550, 30);
  Panel1.SetBevelOuter(bvNone);
  Panel1.SetParentColor(true);
  Panel1.SetTabOrder(0);

  SB1.SetParent(&Panel1);
  SB1.SetAlign(alRight);
  SB1.SetBounds(412, 0, 138, 30);
  SetStyledButton(SB1, sbOk);
  SB1.OnClick = [this](TObject* Sender) { SB1Click(Sender); };

  cbLang.SetParent(&Panel1);
  cbLang.SetBounds(5, 2, 186, 24);
  SetMs15(cbLang);
  cbLang.SetTabOrder(0);
  cbLang.SetItems({std::u16string(kEnglishItem), std::u16string(kRussianItem)});
  cbLang.OnChange = [this](TObject* Sender) { cbLangChange(Sender); };

  Panel6.SetParent(&GP);
  Panel6.SetAlign(alClient);
  Panel6.SetBounds(0, 121, 550, 114);
  Panel6.SetBevelOuter(bvNone);
  Panel6.SetParentColor(true);
  Panel6.SetTabOrder(1);

  Label7.SetParent(&Panel6);
  Label7.SetAlign(alTop);
  Label7.SetBounds(0, 0, 550, 21);
  SetMs15(Label7, fsBold);
  Label7.SetLayout(tlBottom);

  cbDesktop.SetParent(&Panel6);
  SetFlatBox(cbDesktop, 30, 32, 492, 23, true, 0);
  SetMs15(cbDesktop);
  cbStart.SetParent(&Panel6);
  SetFlatBox(cbStart, 30, 57, 492, 23, true, 1);
  SetMs15(cbStart);
  cbForce.SetParent(&Panel6);
  SetFlatBox(cbForce, 30, 82, 492, 24, false, 2);
  SetMs15(cbForce, fsBold);

  Panel4.SetParent(&GP);
  Panel4.SetAlign(alTop);
  Panel4.SetBounds(0, 0, 550, 119);
  Panel4.SetBevelOuter(bvNone);
  Panel4.SetParentColor(true);
  Panel4.SetTabOrder(2);

  Label3.SetParent(&Panel4);
  Label3.SetAlign(alTop);
  Label3.SetBounds(0, 0, 550, 21);
  SetMs15(Label3, fsBold);
  Label3.SetLayout(tlBottom);

  Label4.SetParent(&Panel4);
  Label4.SetAlign(alBottom);
  Label4.SetBounds(0, 65, 550, 54);
  SetMs15(Label4);
  Label4.SetWordWrap(false);

  SB2.SetParent(&Panel4);
  SB2.SetBounds(494, 30, 29, 28);
  SetStyledButton(SB2, sbNone);
  SB2.SetResPict(u"FolderGlyph");
  SB2.SetShowHint(true);
  SB2.OnClick = [this](TObject* Sender) { SpeedButton1Click(Sender); };

  Edit1.SetParent(&Panel4);
  Edit1.SetBounds(30, 32, 459, 24);
  SetMs15(Edit1);
  Edit1.SetTabOrder(0);
  Edit1.SetText(kDefaultInstallFolder);

  Panel3.SetParent(this);
  Panel3.SetBounds(62, 113, 423, 104);
  Panel3.SetBevelInner(bvRaised);
  Panel3.SetBevelOuter(bvLowered);
  Panel3.SetBorderWidth(5);
  Panel3.SetParentColor(true);
  Panel3.SetTabOrder(0);
  Panel3.SetVisible(false);

  Label13.SetParent(&Panel3);
  Label13.SetAlign(alClient);
  Label13.SetBounds(7, 7, 409, 38);
  SetMs15(Label13, fsBold);
  Label13.SetAlignment(taCenter);
  Label13.SetLayout(tlCenter);

  Label1.SetParent(&Panel3);
  Label1.SetAlign(alBottom);
  Label1.SetBounds(7, 45, 409, 23);
  Label1.SetLayout(tlCenter);
  // File names are shown as they are: an "&" in one is not an accelerator mark.
  Label1.SetShowAccelChar(false);

  PB.SetParent(&Panel3);
  PB.SetAlign(alBottom);
  PB.SetBounds(7, 68, 409, 29);
  PB.SetTabOrder(0);
}

void TKetSetup::FormCreate(TObject*) {
  const StartupResult start = PrepareSetup(state_, services_.startup);
  if (start.folder)
    Edit1.SetText(*start.folder);
  cbLang.SetItemIndex(start.languageIndex == kRussianItemIndex ? kRussianItemIndex : 0);
  cbLangChange(nullptr);
}

void TKetSetup::FormActivate(TObject*) {
  SetCaption(Application().Title());
  Application().SetHintPause(0);
  Label4.SetAlign(alNone);
  Label4.SetLeft(Edit1.Left());
  SB2.SetBounds(SB2.Left(), Edit1.Top(), SB2.Width(), Edit1.Height());
  Repaint();
  try {
    LoadPayload(state_, payload_, services_.openArchive);
  } catch (...) {
    // Without the archive and the manifest there is nothing to install: Install stays out of
    // reach, the window can still be closed.
    SB1.SetEnabled(false);
    throw;
  }
}

void TKetSetup::FormCloseQuery(TObject*, bool& CanClose) {
  if (running_) {
    closeAfterRun_ = true;
    CanClose = false;
  }
}

void TKetSetup::cbLangChange(TObject*) {
  const int index = cbLang.ItemIndex();
  state_.RussianUi = index == kRussianItemIndex;
  const LanguageTable& t = LanguageTableFor(index);
  SB1.SetCaption(t.installCaption);
  SB2.SetHint(t.folderHint);
  Label3.SetCaption(t.folderTitle);
  Label7.SetCaption(t.iconsTitle);
  cbDesktop.SetCaption(t.desktopCaption);
  cbStart.SetCaption(t.startMenuCaption);
  cbForce.SetCaption(t.forceCaption);
  Label13.SetCaption(t.copyingTitle);
  Link1.SetCaption(t.siteCaption);
  Label4.SetCaption(t.folderNote);
}

void TKetSetup::SB1Click(TObject*) {
  if (state_.InstallDone) {
    Close();
    return;
  }
  if (running_)
    return;
  running_ = true;
  try {
    DoCopy(state_, payload_, {*files_, *this, &shortcuts_, &rekeyer_});
  } catch (...) {
    running_ = false;
    throw;
  }
  running_ = false;
  if (closeAfterRun_)
    Close();
}

void TKetSetup::SpeedButton1Click(TObject*) {
  wchar_t displayName[261] = {};
  const std::wstring title = ToWide(kBrowseFolderTitle);
  BROWSEINFOW info{};
  info.hwndOwner = Handle();
  info.pidlRoot = nullptr;
  info.pszDisplayName = displayName;
  info.lpszTitle = title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  PIDLIST_ABSOLUTE items = SHBrowseForFolderW(&info);
  if (items == nullptr)
    return;
  wchar_t path[261] = {};
  // The file-system-only flag keeps the dialog from returning an item without a path; should
  // one come back all the same, the folder field keeps its text.
  const bool havePath = SHGetPathFromIDListW(items, path) != FALSE;
  CoTaskMemFree(items);
  if (!havePath)
    return;
  path[260] = L'\0';
  Edit1.SetText(FromWide(path) + std::u16string(kBrowsedFolderSuffix));
}

void TKetSetup::Link1Click(TObject*) {
  ShellExecuteW(nullptr, L"open", ToWide(state_.SiteUrl).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void TKetSetup::Activ(TMessage& Msg) {
  Application().Restore();
  if (HandleAllocated())
    BringWindowToTop(Handle());
  DefaultHandler(Msg);
}

void TKetSetup::WndProc(TMessage& Message) {
  if (Message.Msg == WM_SETUP_ACTIVATE) {
    Activ(Message);
    return;
  }
  TForm::WndProc(Message);
}

int TKetSetup::CentredOffset(int outer, int inner) {
  // The current rounding mode is to-nearest, halves to the even neighbour.
  return static_cast<int>(std::nearbyint(outer / 2.0 - inner / 2.0));
}

void TKetSetup::EnterCopyingState() {
  SB1.SetEnabled(false);
  GP.Hide();
  cbLang.Hide();
  Panel3.SetBounds(CentredOffset(ClientWidth(), Panel3.Width()),
                   CentredOffset(ClientHeight(), Panel3.Height()), Panel3.Width(), Panel3.Height());
}

Choices TKetSetup::ReadChoices() {
  return Choices{Edit1.Text(), cbForce.Checked(), cbDesktop.Checked(), cbStart.Checked()};
}

void TKetSetup::ReturnToOptionsState() {
  GP.Show();
  cbLang.Show();
  SB1.SetEnabled(true);
  Edit1.SetFocus();
}

void TKetSetup::ShowProgressPanel(int highest) {
  Panel3.Show();
  PB.SetRange(PB.Min(), highest);
}

void TKetSetup::SetProgressPosition(int index) {
  PB.SetPosition(index);
}

void TKetSetup::ShowCurrentFile(std::u16string_view name) {
  Label1.SetCaption(name);
}

void TKetSetup::ProcessPendingMessages() {
  Application().ProcessMessages();
}

void TKetSetup::EnterFinishedState() {
  note_ = std::make_unique<TMemo>(this);
  note_->SetParent(&GP);
  note_->SetAlign(alClient);
  note_->SetWordWrap(true);
  note_->Font().Assign(GP.Font());
  note_->Font().SetCharset(RUSSIAN_CHARSET);
  note_->Font().SetSize(10);
  note_->SetText(ClosingNote(state_.RussianUi));
  Panel4.Hide();
  Panel6.Hide();
  Bevel1.Hide();
  Panel3.Hide();
  GP.Show();
  SB1.SetCaption(CloseCaption(state_.RussianUi));
  SB1.SetEnabled(true);
}

void TKetSetup::ShowMessage(std::u16string_view text) {
  Application().ShowMessage(text);
}

void TKetSetup::ShowError(std::u16string_view message) {
  Application().ShowError(message);
}

} // namespace ket
