// Start-up of the library's modules without naming them from below. A module
// above the core declares one static vek::ModuleInitialiser in the object
// file that holds its functions: a program that links the module (because it
// calls it) thereby registers its initialiser, and vek_lifecycleInit() runs
// the registered ones in rank order. A program that does not link a module
// (the installer) skips it, and the core carries no reference to it.
#ifndef VEK_MODULE_INIT_H
#define VEK_MODULE_INIT_H

namespace vek {

// The fixed start-up order: logging first, so that the others can log while
// they react to lifecycle stages; handlers run in the order registered here.
enum class ModuleRank : int {
  logging = 0,
  process = 1,
  signals = 2,
  messaging = 3,
  process_runner = 4,
};

constexpr int MODULE_RANK_COUNT = 5;

// Registers `initialise` under `rank` at static initialisation time. The
// table it writes is constant-initialised, so the order in which the
// registrars of different object files run does not matter.
struct ModuleInitialiser {
  ModuleInitialiser(ModuleRank rank, void (*initialise)()) noexcept;
};

}  // namespace vek

#endif  // VEK_MODULE_INIT_H
