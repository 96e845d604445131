// The common exception base of the system. Messages are UTF-8; a window shows them as they are.
#pragma once

#include <stdexcept>
#include <string>

namespace ket {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

} // namespace ket
