// The Windows build has no message transport: no socket file is used.
#include "vek_message.h"

extern "C" void vek_message_native_init(void) {}

extern "C" void vek_message_native_shutdown(void) {}
