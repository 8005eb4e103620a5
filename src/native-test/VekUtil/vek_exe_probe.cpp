// Test program that links the library, built once as usual and once fully
// static: it moves to the directory given (if any) and prints the path the
// library finds for the running program without being told argv[0].
//
//   vek_exe_probe [DIR]
#include <unistd.h>

#include <cstdio>

#include "vek_home.h"
#include "vek_lifecycle.h"

int main(int argc, char** argv) {
  vek_lifecycleInit();
  if (argc > 1 && chdir(argv[1]) != 0) return 2;
  const char* exe = vek_getExecutablePath(nullptr);
  const char* library = vek_getLibraryPath("VekUtil");
  std::printf("exe=%s\nlibrary=%s\n", exe != nullptr ? exe : "(null)", library != nullptr ? library : "(null)");
  return 0;
}
