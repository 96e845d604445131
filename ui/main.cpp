// KetroSetup.exe: the program entry of the setup, edition "P" (Ketro FULL).
#include "engine/setup_state.h"
#include "platform/win32/resource_archive.h"
#include "platform/win32/win32_startup_platform.h"
#include "toolkit/application.h"
#include "ui/language.h"
#include "ui/setup_window.h"

#include <memory>
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  ket::SetupState& state = ket::Setup();
  state.EditionCode = u'P';
  ket::Application().Initialize();
  ket::Application().SetTitle(ket::kApplicationTitle);
  // Holds the single-instance lock for the life of the process.
  static ket::Win32StartupPlatform startup;
  ket::TKetSetup window(state,
                        {startup, [] { return std::make_unique<ket::Win32ResourceArchive>(); }});
  if (window.VerySilent())
    window.RunUnattended();
  else
    ket::Application().Run(window);
  window.FinishLog(window.Result());
  return ket::ToInt(window.Result());
}
