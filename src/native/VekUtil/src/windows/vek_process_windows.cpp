// Process control has no Windows counterpart: no pid file, so nothing to
// adjust at any lifecycle stage.
#include "vek_process.h"

#include "vek_module_init.h"

extern "C" void vek_initialize_process(void) {}

namespace {
const vek::ModuleInitialiser process_start(vek::ModuleRank::process, vek_initialize_process);
}  // namespace
