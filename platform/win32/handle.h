// Ownership of kernel handles and registry keys.
#pragma once

#include <utility>
#include <windows.h>

namespace ket {

// A kernel object handle closed with CloseHandle. INVALID_HANDLE_VALUE and null both mean none,
// since CreateFileW and other calls disagree on how they report failure.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : handle_(h) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset(std::exchange(other.handle_, nullptr));
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }

  // Closes the handle held (if any) and takes h; false when CloseHandle reported a failure.
  bool Reset(HANDLE h = nullptr) {
    bool ok = true;
    if (Valid()) {
      ok = ::CloseHandle(handle_) != 0;
    }
    handle_ = h;
    return ok;
  }

 private:
  HANDLE handle_ = nullptr;
};

// An open registry key closed with RegCloseKey.
class UniqueKey {
 public:
  UniqueKey() = default;
  UniqueKey(UniqueKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  UniqueKey& operator=(UniqueKey&& other) noexcept {
    if (this != &other) {
      Close();
      key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
  }
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;
  ~UniqueKey() { Close(); }

  HKEY Get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }
  // For the out-parameter of RegOpenKeyExW and RegCreateKeyExW; closes what was held.
  HKEY* Receive() {
    Close();
    return &key_;
  }

 private:
  void Close() {
    if (key_ != nullptr) {
      ::RegCloseKey(key_);
      key_ = nullptr;
    }
  }
  HKEY key_ = nullptr;
};

} // namespace ket
