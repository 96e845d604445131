#include "ui/shortcuts.h"

#include "base/wide.h"
#include "platform/win32/handle.h"
#include "platform/win32/registry.h"

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <windows.h>

namespace ket {

namespace {

constexpr wchar_t kExplorerKey[] = L"Software\\MicroSoft\\Windows\\CurrentVersion\\Explorer";
constexpr wchar_t kShellFolders[] = L"Shell Folders";

// Releases a COM interface when it goes out of scope.
template <typename T> class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() {
    if (p_ != nullptr) {
      p_->Release();
    }
  }
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  void** Receive() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

// The value under "Shell Folders", empty when the subkey or the value is missing.
std::u16string ShellFolder(const UniqueKey& explorer, std::u16string_view value) {
  if (!explorer) {
    return {};
  }
  UniqueKey folders;
  if (::RegOpenKeyExW(explorer.Get(), kShellFolders, 0, KEY_READ, folders.Receive()) !=
      ERROR_SUCCESS) {
    return {};
  }
  return ReadRegistryString(folders.Get(), value, true).value_or(std::u16string());
}

// The part of a path after its last "\" or ":"; empty for a folder path ending in "\".
std::u16string_view AfterLastSeparator(std::u16string_view path) {
  const size_t cut = path.find_last_of(u"\\:");
  return cut == std::u16string_view::npos ? path : path.substr(cut + 1);
}

} // namespace

void Win32ShortcutCreator::CreateShortcut(std::u16string_view FN, std::u16string_view Cap) {
  UniqueKey explorer;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, kExplorerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, explorer.Receive(), nullptr) != ERROR_SUCCESS) {
    explorer = UniqueKey();
  }
  const auto linkIn = [&](std::u16string_view valueName) {
    const std::u16string folder = ShellFolder(explorer, valueName);
    // Without a folder the path would be "\" + Cap + ".lnk", a stray file in the root of the
    // current drive: no link is better than that one.
    if (folder.empty()) {
      return;
    }
    MakeShellLink(folder + u"\\" + std::u16string(Cap) + u".lnk", FN);
  };
  if (state_.DesktopShortcut) {
    linkIn(u"Desktop");
  }
  if (state_.StartMenuShortcut) {
    linkIn(u"Programs");
  }
}

void Win32ShortcutCreator::MakeShellLink(std::u16string_view LinkPath,
                                         std::u16string_view FN) const {
  ComPtr<IUnknown> object;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr,
                                CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                object.Receive()))) {
    return;
  }
  ComPtr<IShellLinkW> link;
  ComPtr<IPersistFile> file;
  if (FAILED(object->QueryInterface(IID_IShellLinkW, link.Receive())) ||
      FAILED(object->QueryInterface(IID_IPersistFile, file.Receive()))) {
    return;
  }
  const std::u16string& dir = state_.InstallDir;
  // The results of the setters and of Save are not examined: a link that cannot be written is
  // simply missing.
  link->SetPath(ToWide(dir + std::u16string(FN)).c_str());
  link->SetWorkingDirectory(ToWide(dir).c_str());
  link->SetIconLocation(ToWide(AfterLastSeparator(dir)).c_str(), 0);
  file->Save(ToWide(LinkPath).c_str(), FALSE);
}

} // namespace ket
