// One module, one logged source name, however many files it is cut into.
// The logged source is the module's path as the log shows it
// ("VekUtil/src/vek_file"): log categories and failsafe lines rely on it, so
// a part split off a module logs under the module's name, not its own file's.
//
//   VEK_LOG_SOURCE(file);                          // declare (any file)
//   VEK_LOG_SOURCE(file) = __FILE__;               // define, in the module's main file
//   veklog(VEK_SOURCE_HERE(file), VEKLOG_INFO, "...");
//
// The names are the library's own and its programs' (the installer's
// modules): a program that defines one names a module of its own.
#ifndef VEK_LOG_SOURCE_H
#define VEK_LOG_SOURCE_H

#include "vek_logging.h"

#ifdef __cplusplus
#define VEK_LOG_SOURCE(module) extern "C" const char vek_##module##_source_path[]
#else
#define VEK_LOG_SOURCE(module) extern const char vek_##module##_source_path[]
#endif
#define VEK_SOURCE_HERE(module) vek_##module##_source_path, __LINE__

#endif  // VEK_LOG_SOURCE_H
