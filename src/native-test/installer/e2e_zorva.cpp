// Configuration program of the Windows end-to-end payloads (and, linked
// statically, of the 32-bit Linux installer in an empty root): records its
// arguments as the C runtime split them and two environment settings
// (NUL-separated) in the file E2E_RECORD names, then exits with E2E_EXIT.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (const char* record = std::getenv("E2E_RECORD")) {
    if (std::FILE* out = std::fopen(record, "wb")) {
      for (int i = 1; i < argc; ++i) std::fprintf(out, "%s%c", argv[i], '\0');
      std::fprintf(out, "--env--%c", '\0');
      const char* names[] = {"NIMBO_DISABLE_WATCHDOG", "NIMBO_DEBUG"};
      for (const char* name : names) {
        const char* value = std::getenv(name);
        std::fprintf(out, "%s=%s%c", name, value ? value : "unset", '\0');
      }
      std::fclose(out);
    }
  }
  const char* code = std::getenv("E2E_EXIT");
  return code ? std::atoi(code) : 0;
}
