#include "engine/setup_state.h"

namespace ket {

SetupState& Setup() {
  static SetupState state;
  return state;
}

} // namespace ket
