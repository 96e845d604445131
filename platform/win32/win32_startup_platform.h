// What start-up asks of Windows: the process's own arguments, the single-instance lock file,
// the hand-over to a running setup, the thread locale and the system's OEM code page.
#pragma once

#include "engine/services.h"
#include "platform/win32/handle.h"

#include <optional>
#include <string>

namespace ket {

// The lock file's path: the short form of the user's temporary folder + "ketro.tmp".
// The whole folder path is used, however long: it is never cut to fit a buffer.
std::u16string LockFilePath();

// The system's OEM code page as the registry holds it (the OEMCP value), if it can be read.
std::optional<std::u16string> ReadOemCodePageText();

class Win32StartupPlatform final : public StartupPlatform {
 public:
  std::vector<std::u16string> Arguments() override;
  // Creates the lock exclusively (no sharing, CREATE_ALWAYS) and keeps its handle until the
  // object, normally living as long as the process, is destroyed. Taken at once when this
  // object already holds the lock; busy on a sharing or lock violation, else cannot create.
  LockResult TryCreateLock() override;
  void Sleep(unsigned milliseconds) override;
  [[noreturn]] void SignalRunningInstance() override;
  void SetThreadLocale(std::uint32_t lcid) override;
  std::optional<std::u16string> ReadOemCodePage() override;

 private:
  UniqueHandle lock_;
};

} // namespace ket
