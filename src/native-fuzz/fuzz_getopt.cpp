// Option parser. Input layout: one control byte, then NUL-separated texts:
// the short-option string first, then the arguments (argv[0] included).
// Control bits: 0-1 pick vek_getopt, vek_getopt_long or vek_getopt_long_only;
// bit 2 sets POSIXLY_CORRECT. The parser's global state is reset per input.
// Checks: the parse ends within a bound, vek_optind never passes argc,
// vek_optarg points into an argument, and the final vector is a permutation
// of the one passed in.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "vek_getopt.h"

namespace {

int g_flag_target = 0;  // written through the flag slot of one long option

const vek_option LONG_OPTIONS[] = {
    {"help", VEK_NO_ARGUMENT, nullptr, 'h'},       {"javavm", VEK_REQUIRED_ARGUMENT, nullptr, 'm'},
    {"version", VEK_NO_ARGUMENT, nullptr, 'v'},    {"installdir", VEK_REQUIRED_ARGUMENT, nullptr, 0},
    {"oxv", VEK_REQUIRED_ARGUMENT, nullptr, 0},    {"silent", VEK_NO_ARGUMENT, nullptr, 0},
    {"headless", VEK_NO_ARGUMENT, nullptr, 0},     {"host-display-name", VEK_REQUIRED_ARGUMENT, nullptr, 0},
    {"host", VEK_OPTIONAL_ARGUMENT, nullptr, 'H'}, {"verbose", VEK_OPTIONAL_ARGUMENT, &g_flag_target, 7},
    {"ver", VEK_NO_ARGUMENT, nullptr, 'r'},        {nullptr, 0, nullptr, 0}};

// Arguments live in separate allocations so that reading past one is caught.
struct argument_vector_t {
  std::vector<char*> owned;  // every argument, freed at the end
  std::vector<char*> argv;   // what the parser permutes, NULL-terminated
  ~argument_vector_t() {
    for (char* arg : owned) free(arg);
  }
};

bool points_into_an_argument(const char* p, const argument_vector_t& args) {
  for (char* arg : args.owned) {
    if (p >= arg && p <= arg + strlen(arg)) return true;
  }
  return false;
}

int parse_one(int mode, int argc, char** argv, const char* shortopts, int* longind) {
  switch (mode) {
    case 0: return vek_getopt(argc, argv, shortopts);
    case 1: return vek_getopt_long(argc, argv, shortopts, LONG_OPTIONS, longind);
    default: return vek_getopt_long_only(argc, argv, shortopts, LONG_OPTIONS, longind);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vekfuzz::start_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int mode = data[0] & 3;
  if (data[0] & 4) {
    setenv("POSIXLY_CORRECT", "1", 1);
  } else {
    unsetenv("POSIXLY_CORRECT");
  }
  std::vector<std::string> texts(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      texts.emplace_back();
    } else {
      texts.back() += (char)data[i];
    }
  }
  std::string shortopts = texts[0];
  argument_vector_t args;
  size_t budget = 2;
  for (size_t i = 1; i < texts.size(); ++i) {
    args.owned.push_back(strdup(texts[i].c_str()));
    budget += texts[i].size() + 1;
  }
  if (args.owned.empty()) args.owned.push_back(strdup("prog"));
  args.argv = args.owned;
  args.argv.push_back(nullptr);
  int argc = (int)args.owned.size();

  vek_getopt_reset();
  vek_opterr = 0;
  vek_option_quiet = 1;
  vek_optarg = nullptr;
  g_flag_target = 0;
  // Every result consumes at least one character of an argument.
  for (size_t calls = 0;; ++calls) {
    if (calls > budget) abort();
    int longind = -1;
    int rc = parse_one(mode, argc, args.argv.data(), shortopts.c_str(), &longind);
    if (vek_optind > argc || vek_optind < 0) abort();
    if (rc == -1) break;
    if (vek_optarg != nullptr && !points_into_an_argument(vek_optarg, args)) abort();
    if (longind < -1 || longind >= (int)(sizeof(LONG_OPTIONS) / sizeof(LONG_OPTIONS[0])) - 1) abort();
  }
  if (args.argv[(size_t)argc] != nullptr) abort();
  std::vector<char*> before = args.owned;
  std::vector<char*> after(args.argv.begin(), args.argv.end() - 1);
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  if (before != after) abort();
  return 0;
}
