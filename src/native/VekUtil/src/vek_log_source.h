// One module, one logged source name, however many files it is cut into.
// The logged source is the module's path as the log shows it
// ("VekUtil/src/vek_file"): log categories and failsafe lines rely on it, so
// a part split off a module logs under the module's name, not its own file's.
//
//   VEK_LOG_SOURCE(file);                          // declare (any file)
//   VEK_LOG_SOURCE(file) = __FILE__;               // define, in the module's main file
//   veklog(VEK_SOURCE_HERE(file), VEKLOG_INFO, "...");
#ifndef VEK_LOG_SOURCE_H
#define VEK_LOG_SOURCE_H

#define VEK_LOG_SOURCE(module) extern "C" const char vek_##module##_source_path[]
#define VEK_SOURCE_HERE(module) vek_##module##_source_path, __LINE__

#endif  // VEK_LOG_SOURCE_H
