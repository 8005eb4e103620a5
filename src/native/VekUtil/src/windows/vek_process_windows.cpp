// Process control has no Windows counterpart: no pid file, so nothing to
// adjust at any lifecycle stage.
#include "vek_process.h"

extern "C" void vek_initialize_process(void) {}
