// The name a module's messages are logged under. A module cut into several
// files (its parts, its platform files) logs under the one name the log
// categories know, "installer/src/<module>", whatever file the call is in.
#ifndef INSTALLER_MODULE_LOG_H
#define INSTALLER_MODULE_LOG_H

#include "vek_logging.h"

// The file and line arguments of veklog: MODULE_HERE("payload").
#define MODULE_HERE(module) "installer/src/" module, __LINE__

#endif  // INSTALLER_MODULE_LOG_H
