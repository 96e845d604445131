// TKetSetup: the setup program's one window. It owns the controls, the payload (the archive
// stream, names and items) and the services of the run, and carries out the window operations
// that the run calls.
#pragma once

#include "controls/check_box.h"
#include "controls/group_panel.h"
#include "controls/link.h"
#include "controls/styled_button.h"
#include "db/city_database_rekeyer.h"
#include "engine/exit_code.h"
#include "engine/file_system.h"
#include "engine/payload.h"
#include "engine/run.h"
#include "engine/setup_state.h"
#include "engine/switches.h"
#include "engine/window_operations.h"
#include "toolkit/toolkit.h"
#include "ui/shortcuts.h"

#include <functional>
#include <memory>

namespace ket {

// The modal boxes of the run: the text and the MB_ flags in, the button pressed (IDOK, IDRETRY,
// IDCANCEL) out; the window gives the caption and the owner.
using MessageBoxFunction = std::function<int(std::u16string_view text, unsigned flags)>;

// Where the window gets the platform's start-up services and the archive from; the program
// passes the real ones, tests their own. Without a message-box function the system's boxes show.
struct SetupWindowServices {
  StartupPlatform& startup;
  ArchiveOpener openArchive;
  MessageBoxFunction messageBox = nullptr;
};

class TKetSetup final : public TForm, public WindowOperations {
 public:
  // Runs FormCreate, which may end the process (a running setup takes over).
  TKetSetup(SetupState& state, SetupWindowServices services);
  ~TKetSetup() override;

  // The run's window operations.
  void EnterCopyingState() override;
  Choices ReadChoices() override;
  void ReturnToOptionsState() override;
  void ShowProgressPanel(int highest) override;
  void SetProgressPosition(int index) override;
  void ShowCurrentFile(std::u16string_view name) override;
  void ProcessPendingMessages() override;
  void EnterFinishedState(std::span<const std::u16string> failures) override;
  void ShowMessage(std::u16string_view text) override;
  void ShowError(std::u16string_view message) override;
  bool AskRetryFileInUse(std::u16string_view name) override;
  void ShowDamagedSetup() override;
  void ShowNotEnoughSpace(std::uint64_t needed, std::uint64_t available) override;
  void ShowFolderBusy() override;

  // /VERYSILENT: the program then calls RunUnattended instead of showing the window.
  bool VerySilent() const { return switches_.verySilent; }
  // The whole silent run without ever showing the window: the payload is loaded and the run
  // carried out with the choices of the command line. Result() then holds its outcome.
  void RunUnattended();

  // The log's last line, when there is a log (/LOG): the code the process ends with.
  void FinishLog(ExitCode code);

  // What the process ends with once the window is closed: the outcome of the last run that
  // passed its folder check; "closed" while there was none, "cannot start" when the payload
  // could not be loaded. A silent run's outcome, whatever it is, a refused folder included.
  ExitCode Result() const { return result_; }

  // Half-to-even centring of a length inside another, as the Copying state places its panel.
  static int CentredOffset(int outer, int inner);

 protected:
  void CreateParams(TCreateParams& Params) override;
  void WndProc(TMessage& Message) override;

 private:
  // The window tests look at the controls and call the handlers directly.
  friend struct TKetSetupTestPeer;

  // The layout, in the order the controls get their parents (their stacking order).
  void Build();
  void BuildFrame();
  void BuildIconsSection();
  void BuildFolderSection();
  void BuildCopyingPanel();
  void FormCreate(TObject* Sender);
  void FormActivate(TObject* Sender);
  void FormCloseQuery(TObject* Sender, bool& CanClose);
  void cbLangChange(TObject* Sender);
  void SB1Click(TObject* Sender);
  void SpeedButton1Click(TObject* Sender);
  void Link1Click(TObject* Sender);
  void Activ(TMessage& Msg);
  // Loads the archive and the manifest once; false (Install disabled, the outcome "cannot
  // start", the box shown unless suppressed) when they cannot be loaded.
  bool LoadPayloadOnce();
  // The run of a silent start, with the outcome kept whatever it is.
  void RunSilently();
  // After a run: a completed one gets its Apps & features entry.
  void AfterRun();

  SetupState& state_;
  SetupWindowServices services_;

  // The controls, in the order the window declares them; parents and stacking follow the
  // order in which Build gives them their parents.
  TPanel Panel3{this};
  TLabel Label13{this};
  TLabel Label1{this};
  TProgressBar PB{this};
  TGroupPanel GP{this};
  TPanel Panel1{this};
  TSB SB1{this};
  TBevel Bevel3{this};
  TPanel Panel6{this};
  TLabel Label7{this};
  TPanel Panel4{this};
  TLabel Label3{this};
  TLabel Label4{this};
  TEdit Edit1{this};
  TBevel Bevel1{this};
  TLink Link1{this};
  TBevel Bevel2{this};
  TComboBox cbLang{this};
  TEwCheckBox cbDesktop{this};
  TEwCheckBox cbStart{this};
  TEwCheckBox cbForce{this};
  TSB SB2{this};
  // The closing-note box, made by EnterFinishedState.
  std::unique_ptr<TMemo> note_;

  // ArchiveStream, ArchiveContent and ArchiveItems.
  Payload payload_;
  std::unique_ptr<FileSystem> files_;
  Win32ShortcutCreator shortcuts_;
  // Owns the database connection objects of the run until the window goes.
  CityDatabaseRekeyer rekeyer_;

  // A modal box of the run, captioned with the application title, owned by the window.
  int ShowBox(std::u16string_view text, unsigned flags);

  SetupSwitches switches_;
  // The manifest as loaded, before any run thinned it: the record of the installation.
  std::vector<std::u16string> manifest_;
  // The log of /LOG, when it could be made.
  std::unique_ptr<RunLog> log_;
  ExitCode result_ = ExitCode::kClosed;
  bool running_ = false;
  // The close box was used during the run: the window closes when the run is over, so that no
  // file is left half-written and the product not half-updated.
  bool closeAfterRun_ = false;
  bool silentRunPosted_ = false;
};

} // namespace ket
