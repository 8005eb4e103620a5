// mkinstaller: makes an installer from an installer executable and payload
// entries, or lists the payload of an existing installer.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "payload_writer.h"
#include "vek_lifecycle.h"

namespace {

const char* const USAGE =
    "Usage: mkinstaller -s STUB -o OUTPUT [-z LEVEL] [-k] [-v] ENTRY...\n"
    "       mkinstaller -l INSTALLER\n"
    "\n"
    "Writes OUTPUT (mode 0755): the installer executable STUB (of any target)\n"
    "followed by one gzip-compressed tar archive per ENTRY, the table of\n"
    "contents and the trailer. An ENTRY is a directory, archived with its\n"
    "contents at the top level, or an existing .tar.gz, whose tar data is\n"
    "compressed again. Archives are written as gzip members of 512 KiB of tar\n"
    "data each, compressed on every processor, which the installer decodes on\n"
    "every processor. Every entry is read back with the installer's own reader\n"
    "before OUTPUT is written. A signed Windows STUB loses its signature: sign\n"
    "OUTPUT instead.\n"
    "\n"
    "  -s, --stub FILE     installer executable to carry the payload\n"
    "  -o, --output FILE   installer to write\n"
    "  -z, --level N       compression level 1-12 (default 6, about gzip -6 in size)\n"
    "  -k, --keep-gzip     copy .tar.gz entries as they are (decoded by one thread)\n"
    "  -v, --verbose       show the installer reader's messages while verifying\n"
    "  -l, --list FILE     list the entries, their offsets and their files\n"
    "  -h, --help          show this text\n"
    "\n"
    "Archives of directories are deterministic: sorted entries, owner 0/0,\n"
    "modification time SOURCE_DATE_EPOCH (or 0), no name or time in the gzip header.\n";

bool parse_epoch(installer_spec_t* spec) {
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (!epoch || !*epoch) return true;
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(epoch, &end, 10);
  if (errno != 0 || *end != '\0' || value < 0) {
    fprintf(stderr, "mkinstaller: SOURCE_DATE_EPOCH must be a number of seconds, not '%s'\n", epoch);
    return false;
  }
  spec->tar.mtime = value;
  return true;
}

int usage_error(const char* message) {
  fprintf(stderr, "mkinstaller: %s\n%s", message, USAGE);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  vek_lifecycleInit();
  const struct option options[] = {{"stub", required_argument, nullptr, 's'},
                                   {"output", required_argument, nullptr, 'o'},
                                   {"level", required_argument, nullptr, 'z'},
                                   {"keep-gzip", no_argument, nullptr, 'k'},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"list", required_argument, nullptr, 'l'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  installer_spec_t spec;
  std::string list;
  int c;
  while ((c = getopt_long(argc, argv, "s:o:z:kvl:h", options, nullptr)) != -1) {
    switch (c) {
      case 's': spec.stub = optarg; break;
      case 'o': spec.output = optarg; break;
      case 'z': spec.tar.level = atoi(optarg); break;
      case 'k': spec.keep_gzip = true; break;
      case 'v': spec.verbose = true; break;
      case 'l': list = optarg; break;
      case 'h': fputs(USAGE, stdout); return 0;
      default: return usage_error("invalid option");
    }
  }
  std::string error;
  if (!list.empty()) {
    if (list_installer(list, stdout, &error)) return 0;
    fprintf(stderr, "mkinstaller: %s\n", error.c_str());
    return 1;
  }
  for (int i = optind; i < argc; ++i) spec.entries.push_back(argv[i]);
  if (spec.stub.empty() || spec.output.empty()) return usage_error("both --stub and --output are required");
  if (spec.entries.empty()) return usage_error("at least one payload entry is required");
  if (spec.tar.level < MEMBER_LEVEL_MIN || spec.tar.level > MEMBER_LEVEL_MAX)
    return usage_error("the compression level must be 1 to 12");
  if (!parse_epoch(&spec)) return 2;
  if (!write_installer(spec, &error)) {
    fprintf(stderr, "mkinstaller: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
