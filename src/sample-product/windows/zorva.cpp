// Sample configuration program of the product for Windows: the installer
// starts it as "./bin/zorva.exe --internal-install <user arguments>". It
// shows what it was handed and reports success.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const char* watchdog = std::getenv("NIMBO_DISABLE_WATCHDOG");
  std::printf("zorva: NIMBO_DISABLE_WATCHDOG=%s\n", watchdog ? watchdog : "(unset)");
  std::printf("zorva: %d arguments\n", argc - 1);
  for (int i = 1; i < argc; ++i) std::printf("zorva: argument %d: [%s]\n", i, argv[i]);
  return 0;
}
