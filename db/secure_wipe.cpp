#include "db/secure_wipe.h"

#include <cstring>

namespace ket {

void SecureWipe(void* p, std::size_t size) {
  if (p == nullptr || size == 0) {
    return;
  }
#if defined(__GNUC__)
  std::memset(p, 0, size);
  // As far as the compiler knows, this reads the memory: the zeros must be there.
  __asm__ __volatile__("" : : "r"(p) : "memory");
#else
  // Stores through a volatile pointer are never dropped.
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
  while (size-- > 0) {
    *bytes++ = 0;
  }
#endif
}

} // namespace ket
