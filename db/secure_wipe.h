// Wiping memory that held keys, key schedules, HMAC pads or plain pages before it goes back to
// the heap or the stack, in a way the compiler keeps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace ket {

// Overwrites `size` bytes at `p` with zeros. A plain memset just before memory is freed or goes
// out of scope is a dead store the compiler may drop; this one it must carry out.
void SecureWipe(void* p, std::size_t size);

// An allocator that wipes every block before it hands it back.
template <class T, class Base = std::allocator<T>> class WipingAllocator {
 public:
  using value_type = T;
  template <class U> struct rebind {
    using other =
        WipingAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
  };

  WipingAllocator() = default;
  explicit WipingAllocator(const Base& base) : base_(base) {}
  template <class U, class B>
  WipingAllocator(const WipingAllocator<U, B>& other) noexcept : base_(other.Underlying()) {}

  T* allocate(std::size_t n) { return std::allocator_traits<Base>::allocate(base_, n); }
  void deallocate(T* p, std::size_t n) noexcept {
    SecureWipe(p, n * sizeof(T));
    std::allocator_traits<Base>::deallocate(base_, p, n);
  }
  const Base& Underlying() const { return base_; }

  friend bool operator==(const WipingAllocator& a, const WipingAllocator& b) {
    return a.base_ == b.base_;
  }

 private:
  [[no_unique_address]] Base base_;
};

// Bytes that hold plain pages or key material while the layer works on them.
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// A fixed-size block of secret bytes (key material) that wipes itself when it goes.
template <std::size_t N> class SecretArray : public std::array<std::uint8_t, N> {
 public:
  SecretArray() = default;
  SecretArray(const SecretArray&) = default;
  SecretArray& operator=(const SecretArray&) = default;
  ~SecretArray() { SecureWipe(this->data(), N); }
};

} // namespace ket
