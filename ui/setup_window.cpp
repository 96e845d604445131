#include "ui/setup_window.h"

#include "base/product.h"
#include "base/text.h"
#include "base/wide.h"
#include "engine/run.h"
#include "engine/startup.h"
#include "engine/uninstall.h"
#include "ket_version.h"
#include "platform/win32/setup_messages.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_name_comparer.h"
#include "ui/apps_entry.h"
#include "ui/language.h"
#include "ui/setup_log.h"

#include <cmath>
#include <shellapi.h>
#include <shlobj.h>

namespace ket {

namespace {

// Marks the run as going on for as long as it lives, an escaping exception included, so that
// a press of Install or a close request that comes during the run is seen as such.
class RunningScope {
 public:
  explicit RunningScope(bool& running) : running_(running) { running_ = true; }
  ~RunningScope() { running_ = false; }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;

 private:
  bool& running_;
};

constexpr std::u16string_view kMsSansSerif = u"MS Sans Serif";

// Posted to itself by a /SILENT window once it is shown and its payload loaded: the run starts.
constexpr UINT WM_SETUP_SILENT_RUN = WM_USER + 4;

// "MS Sans Serif", 15 pixels, window text, Cyrillic character set; bold when asked.
void SetMs15(TControl& control, TFontStyles style = 0) {
  TFont& font = control.Font();
  font.SetName(kMsSansSerif);
  font.SetHeight(15);
  font.SetColor(clWindowText);
  font.SetCharset(RUSSIAN_CHARSET);
  font.SetStyle(style);
}

// Parent, alignment and the bounds as they stand after alignment.
void Place(TControl& control, TWinControl& parent, TAlign align, int left, int top, int width,
           int height) {
  control.SetParent(&parent);
  control.SetAlign(align);
  control.SetBounds(left, top, width, height);
}

// A panel that only groups: no bevel, the parent's colour.
void SetPlainPanel(TPanel& panel, int tabOrder) {
  panel.SetBevelOuter(bvNone);
  panel.SetParentColor(true);
  panel.SetTabOrder(tabOrder);
}

// The bold title of a section, its text at the bottom edge.
void SetSectionTitle(TLabel& label, TWinControl& parent) {
  Place(label, parent, alTop, 0, 0, 550, 21);
  SetMs15(label, fsBold);
  label.SetLayout(tlBottom);
}

void SetFlatBox(TEwCheckBox& box, bool checked, int tabOrder) {
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

// The closing-note box of the Finished state. With the names of files that could not be
// written above the note, the text may not fit: the box then gets a vertical scroll bar.
class TClosingNoteMemo final : public TMemo {
 public:
  TClosingNoteMemo(TComponent* AOwner, bool scrolls) : TMemo(AOwner), scrolls_(scrolls) {}

 protected:
  void CreateParams(TCreateParams& Params) override {
    TMemo::CreateParams(Params);
    if (scrolls_)
      Params.Style |= WS_VSCROLL;
  }

 private:
  bool scrolls_;
};

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
  BuildFrame();
  BuildIconsSection();
  BuildFolderSection();
  BuildCopyingPanel();
}

// The web-site link on top, the group panel below it with its two bevels, and the bottom panel
// with Install and the language box.
void TKetSetup::BuildFrame() {
  SetClientSize(550, 299);
  SetPosition(poDesktopCenter);

  Place(Link1, *this, alTop, 0, 0, 550, 30);
  SetMs15(Link1, fsBold | fsUnderline);
  Link1.Font().SetColor(clBlue);
  Link1.SetAlignment(taRightJustify);
  Link1.SetLayout(tlCenter);
  Link1.SetCursor(crHandPoint);
  Link1.OnClick = [this](TObject* Sender) { Link1Click(Sender); };

  Place(Bevel2, *this, alTop, 0, 30, 550, 1);
  Bevel2.SetShape(bsBottomLine);

  Place(GP, *this, alClient, 0, 31, 550, 268);
  GP.Font().SetName(kMsSansSerif);
  GP.Font().SetHeight(15);
  GP.Font().SetColor(clWindowText);
  // Cyrillic, not the default set: the buttons' Russian captions (and the folder button's hint)
  // are in this font, and on a system whose ANSI code page is not Cyrillic the default set
  // picks a face without Cyrillic letters.
  GP.Font().SetCharset(RUSSIAN_CHARSET);
  SetPlainPanel(GP, 1);
  GP.SetEnabled(true);

  Place(Bevel3, GP, alBottom, 0, 235, 550, 3);
  Bevel3.SetShape(bsBottomLine);

  Place(Bevel1, GP, alTop, 0, 119, 550, 2);
  Bevel1.SetShape(bsBottomLine);

  Place(Panel1, GP, alBottom, 0, 238, 550, 30);
  SetPlainPanel(Panel1, 0);

  Place(SB1, Panel1, alRight, 412, 0, 138, 30);
  SetStyledButton(SB1, sbOk);
  SB1.OnClick = [this](TObject* Sender) { SB1Click(Sender); };

  Place(cbLang, Panel1, alNone, 5, 2, 186, 24);
  SetMs15(cbLang);
  cbLang.SetTabOrder(0);
  cbLang.SetItems({std::u16string(kEnglishItem), std::u16string(kRussianItem)});
  cbLang.OnChange = [this](TObject* Sender) { cbLangChange(Sender); };
}

// The icons section: its title and the three check boxes.
void TKetSetup::BuildIconsSection() {
  Place(Panel6, GP, alClient, 0, 121, 550, 114);
  SetPlainPanel(Panel6, 1);

  SetSectionTitle(Label7, Panel6);

  Place(cbDesktop, Panel6, alNone, 30, 32, 492, 23);
  SetFlatBox(cbDesktop, true, 0);
  SetMs15(cbDesktop);
  Place(cbStart, Panel6, alNone, 30, 57, 492, 23);
  SetFlatBox(cbStart, true, 1);
  SetMs15(cbStart);
  Place(cbForce, Panel6, alNone, 30, 82, 492, 24);
  SetFlatBox(cbForce, false, 2);
  SetMs15(cbForce, fsBold);
}

// The folder section: its title, the note below, the folder button and the folder field.
void TKetSetup::BuildFolderSection() {
  Place(Panel4, GP, alTop, 0, 0, 550, 119);
  SetPlainPanel(Panel4, 2);

  SetSectionTitle(Label3, Panel4);

  Place(Label4, Panel4, alBottom, 0, 65, 550, 54);
  SetMs15(Label4);
  Label4.SetWordWrap(false);

  Place(SB2, Panel4, alNone, 494, 30, 29, 28);
  SetStyledButton(SB2, sbNone);
  SB2.SetResPict(u"FolderGlyph");
  SB2.SetShowHint(true);
  SB2.OnClick = [this](TObject* Sender) { SpeedButton1Click(Sender); };

  Place(Edit1, Panel4, alNone, 30, 32, 459, 24);
  SetMs15(Edit1);
  Edit1.SetTabOrder(0);
  Edit1.SetText(kDefaultInstallFolder);
}

// The copying panel, hidden until the run: title, current file, progress.
void TKetSetup::BuildCopyingPanel() {
  Place(Panel3, *this, alNone, 62, 113, 423, 104);
  Panel3.SetBevelInner(bvRaised);
  Panel3.SetBevelOuter(bvLowered);
  Panel3.SetBorderWidth(5);
  Panel3.SetParentColor(true);
  Panel3.SetTabOrder(0);
  Panel3.SetVisible(false);

  Place(Label13, Panel3, alClient, 7, 7, 409, 38);
  SetMs15(Label13, fsBold);
  Label13.SetAlignment(taCenter);
  Label13.SetLayout(tlCenter);

  Place(Label1, Panel3, alBottom, 7, 45, 409, 23);
  Label1.SetLayout(tlCenter);
  // File names are shown as they are: an "&" in one is not an accelerator mark. A name too long
  // for the label is shortened in its folders, so that the file's own name stays whole.
  Label1.SetShowAccelChar(false);
  Label1.SetEllipsisPosition(epPathEllipsis);

  Place(PB, Panel3, alBottom, 7, 68, 409, 29);
  PB.SetTabOrder(0);
}

void TKetSetup::FormCreate(TObject*) {
  const StartupResult start = PrepareSetup(state_, services_.startup);
  switches_ = start.switches;
  if (switches_.log) {
    log_ = OpenSetupLog(switches_.logFile);
    if (log_) {
      log_->Write(u"Ketro FULL setup " + Utf8ToUtf16(KET_VERSION_TEXT));
      log_->Write(u"Command line: " + FromWide(GetCommandLineW()));
    }
  }
  if (start.folder)
    Edit1.SetText(*start.folder);
  if (switches_.force)
    cbForce.SetChecked(true);
  if (switches_.noIcons) {
    cbDesktop.SetChecked(false);
    cbStart.SetChecked(false);
  }
  cbLang.SetItemIndex(start.languageIndex == kRussianItemIndex ? kRussianItemIndex : 0);
  cbLangChange(nullptr);
  if (switches_.silent) {
    // A silent window shows nothing but the Copying state, from its first paint on.
    GP.Hide();
    cbLang.Hide();
    Panel3.SetBounds(CentredOffset(ClientWidth(), Panel3.Width()),
                     CentredOffset(ClientHeight(), Panel3.Height()), Panel3.Width(),
                     Panel3.Height());
    Panel3.Show();
  }
}

bool TKetSetup::LoadPayloadOnce() {
  try {
    LoadPayload(state_, payload_, services_.openArchive);
    if (manifest_.empty() && state_.ManifestLines)
      manifest_ = *state_.ManifestLines;
    return true;
  } catch (const DamagedSetupError&) {
    // The archive is there but damaged: the user can do nothing but get the file again, which
    // the box says in the window's language.
    SB1.SetEnabled(false);
    result_ = ExitCode::kCannotStart;
    ShowDamagedSetup();
  } catch (...) {
    // Without the archive and the manifest there is nothing to install: Install stays out of
    // reach, the window can still be closed.
    SB1.SetEnabled(false);
    result_ = ExitCode::kCannotStart;
    if (!switches_.silent)
      throw;
    if (!switches_.suppressMessageBoxes)
      Application().HandleException();
  }
  return false;
}

void TKetSetup::RunSilently() {
  const RunningScope running(running_);
  result_ = DoCopy(state_, payload_, {*files_, *this, &shortcuts_, &rekeyer_, log_.get()}).exitCode;
  AfterRun();
}

// The uninstaller the program carries (resource "UNINSTALL" of type "EXEFILE") into the
// installation folder, replacing the one before in one step; false when it cannot be written.
bool WriteUninstaller(const std::u16string& folder) {
  const HRSRC found = FindResourceW(nullptr, L"UNINSTALL", L"EXEFILE");
  const HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (bytes == nullptr)
    return false;
  const std::wstring target = ToWide(folder + std::u16string(kUninstallerName));
  const std::wstring temporary = target + L".new";
  // A new file only: a link left at the name is removed, never written through.
  DeleteFileW(temporary.c_str());
  const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  const DWORD size = SizeofResource(nullptr, found);
  const bool ok = WriteFile(file, bytes, size, &written, nullptr) && written == size;
  CloseHandle(file);
  if (ok && MoveFileExW(temporary.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  DeleteFileW(temporary.c_str());
  return false;
}

void TKetSetup::AfterRun() {
  if (!state_.InstallDone)
    return;
  // The record of what is installed and the uninstaller that reads it, then the entry that
  // offers it.
  const bool recorded =
      WriteUninstallRecord(*files_, state_.InstallDir, manifest_, state_.EditionCode) &&
      WriteUninstaller(state_.InstallDir);
  if (log_ && !recorded)
    log_->Write(u"Failed: the uninstaller or its record could not be written");
  // The entry names the program the installation starts, as its shortcuts do.
  const std::u16string program =
      GetFileAttributesW(ToWide(state_.InstallDir + u"Ketro.exe").c_str()) !=
              INVALID_FILE_ATTRIBUTES
          ? u"Ketro.exe"
          : u"Ketro";
  const bool written = WriteAppsEntry(state_.InstallDir, program);
  if (log_)
    log_->Write(written ? u"Apps & features entry: written"
                        : u"Failed: the Apps & features entry could not be written");
}

void TKetSetup::RunUnattended() {
  if (LoadPayloadOnce())
    RunSilently();
}

void TKetSetup::FormActivate(TObject*) {
  SetCaption(Application().Title());
  Application().SetHintPause(0);
  Label4.SetAlign(alNone);
  Label4.SetLeft(Edit1.Left());
  SB2.SetBounds(SB2.Left(), Edit1.Top(), SB2.Width(), Edit1.Height());
  Repaint();
  if (!switches_.silent) {
    LoadPayloadOnce();
    return;
  }
  // A silent window loads once and then runs, once it is up; a payload that cannot be loaded
  // ends the start. Activations after that (a box of the run closing) change nothing.
  if (silentRunPosted_)
    return;
  silentRunPosted_ = true;
  PostMessageW(Handle(), LoadPayloadOnce() ? WM_SETUP_SILENT_RUN : WM_CLOSE, 0, 0);
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
  {
    const RunningScope running(running_);
    const RunOutcome outcome =
        DoCopy(state_, payload_, {*files_, *this, &shortcuts_, &rekeyer_, log_.get()});
    AfterRun();
    // A refused folder is corrected in the window and tried again: it is no outcome of its own.
    if (outcome.exitCode != ExitCode::kFolderRefused)
      result_ = outcome.exitCode;
  }
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
    // A window that never shows is not brought forward either.
    if (!switches_.verySilent)
      Activ(Message);
    return;
  }
  if (Message.Msg == WM_SETUP_SILENT_RUN) {
    RunSilently();
    Close();
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
  Choices choices{Edit1.Text(), cbForce.Checked(), cbDesktop.Checked(), cbStart.Checked()};
  if (log_) {
    const auto yesNo = [](bool on) { return on ? u"yes" : u"no"; };
    log_->Write(u"Folder: " + choices.folder);
    log_->Write(std::u16string(u"Options: forced installation ") + yesNo(choices.force) +
                u", desktop shortcut " + yesNo(choices.desktop) + u", Start menu shortcut " +
                yesNo(choices.startMenu) + u", language " + (state_.RussianUi ? u"ru" : u"en") +
                (switches_.verySilent ? u", very silent" : (switches_.silent ? u", silent" : u"")) +
                (switches_.suppressMessageBoxes ? u", no message boxes" : u""));
  }
  return choices;
}

void TKetSetup::FinishLog(ExitCode code) {
  if (log_) {
    const std::string number = std::to_string(ToInt(code));
    log_->Write(u"Exit code: " + Utf8ToUtf16(number));
  }
}

void TKetSetup::ReturnToOptionsState() {
  // A silent run ends here: its window (if any) closes with the outcome.
  if (switches_.silent)
    return;
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

void TKetSetup::EnterFinishedState(std::span<const std::u16string> failures) {
  if (switches_.silent)
    return;
  // What could not be done comes first: the note, then up to ten names in one paragraph, so
  // that the closing note mostly stays in sight.
  std::u16string text;
  if (!failures.empty()) {
    text = FailuresNote(state_.RussianUi);
    text += u"\r";
    for (std::size_t i = 0; i < failures.size() && i < kFailedNamesShown; ++i)
      text += (i == 0 ? u"" : u", ") + failures[i];
    if (failures.size() > kFailedNamesShown)
      text += u", \u2026";
    text += u"\r\r";
  }
  text += ClosingNote(state_.RussianUi);
  note_ = std::make_unique<TClosingNoteMemo>(this, !failures.empty());
  note_->SetParent(&GP);
  note_->SetAlign(alClient);
  note_->SetWordWrap(true);
  note_->Font().Assign(GP.Font());
  note_->Font().SetCharset(RUSSIAN_CHARSET);
  note_->Font().SetSize(10);
  note_->SetText(text);
  Panel4.Hide();
  Panel6.Hide();
  Bevel1.Hide();
  Panel3.Hide();
  GP.Show();
  SB1.SetCaption(CloseCaption(state_.RussianUi));
  SB1.SetEnabled(true);
}

void TKetSetup::ShowMessage(std::u16string_view text) {
  if (!switches_.suppressMessageBoxes)
    Application().ShowMessage(text);
}

void TKetSetup::ShowError(std::u16string_view message) {
  if (!switches_.suppressMessageBoxes)
    Application().ShowError(message);
}

int TKetSetup::ShowBox(std::u16string_view text, unsigned flags) {
  // Suppressed, a box takes its default answer: Cancel where there is one, else OK.
  if (switches_.suppressMessageBoxes)
    return (flags & MB_TYPEMASK) == MB_RETRYCANCEL ? IDCANCEL : IDOK;
  if (services_.messageBox)
    return services_.messageBox(text, flags);
  Application().CancelHint();
  const std::wstring wideText = ToWide(text);
  const std::wstring caption = ToWide(Application().Title());
  // A window that is never shown owns no box: the box would be hidden with it.
  const bool owned = HandleAllocated() && !switches_.verySilent;
  return MessageBoxW(owned ? Handle() : nullptr, wideText.c_str(), caption.c_str(),
                     flags | (owned ? 0u : MB_SETFOREGROUND));
}

bool TKetSetup::AskRetryFileInUse(std::u16string_view name) {
  return ShowBox(FileInUseText(state_.RussianUi, name), MB_RETRYCANCEL | MB_ICONWARNING) == IDRETRY;
}

void TKetSetup::ShowDamagedSetup() {
  ShowBox(DamagedSetupText(state_.RussianUi), MB_OK | MB_ICONERROR);
}

void TKetSetup::ShowNotEnoughSpace(std::uint64_t needed, std::uint64_t available) {
  ShowBox(NotEnoughSpaceText(state_.RussianUi, needed, available), MB_OK | MB_ICONWARNING);
}

void TKetSetup::ShowFolderBusy() {
  ShowBox(FolderBusyText(state_.RussianUi), MB_OK | MB_ICONWARNING);
}

} // namespace ket
