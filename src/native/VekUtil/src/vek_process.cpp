// Process control, the part both the launcher requests and process control
// share: the state location in which launchers keep their pid and socket
// files.
#include "vek_process.h"

#include <cstdlib>
#include <cstring>

namespace {

char* saved_state_location = nullptr;  // heap copy; replaced by every set, never freed at exit

}  // namespace

extern "C" void vek_setStateLocation(const char* state_location) {
  free(saved_state_location);
  saved_state_location = state_location != nullptr ? strdup(state_location) : nullptr;
}

extern "C" const char* vek_getStateLocation(void) { return saved_state_location; }
