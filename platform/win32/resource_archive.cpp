#include "platform/win32/resource_archive.h"

#include "base/error.h"

namespace ket {

namespace {

constexpr wchar_t kName[] = L"MAIN";
constexpr wchar_t kType[] = L"EXEFILE";

} // namespace

Win32ResourceArchive::Win32ResourceArchive(HMODULE module) {
  if (module == nullptr) {
    module = ::GetModuleHandleW(nullptr);
  }
  HRSRC info = ::FindResourceW(module, kName, kType);
  if (info == nullptr) {
    throw Error("Resource MAIN not found");
  }
  // LoadResource gives a handle into the mapped image; it needs no freeing.
  HGLOBAL loaded = ::LoadResource(module, info);
  const DWORD size = ::SizeofResource(module, info);
  const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (data == nullptr && size != 0) {
    throw Error("Cannot load resource MAIN");
  }
  if (size != 0) {
    bytes_ = std::span(static_cast<const std::uint8_t*>(data), size);
  }
}

} // namespace ket
