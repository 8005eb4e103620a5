// mkinstaller: makes an installer from an installer executable and payload
// entries, or lists the payload of an existing installer.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive_rewriter.h"
#include "payload_writer.h"
#include "status_line.h"
#include "stub_debug_info.h"
#include "temporary_files.h"
#include "vek_lifecycle.h"

namespace {

const char* const USAGE =
    "Usage: mkinstaller -s STUB -o OUTPUT [-z LEVEL] [-k] [-v] ENTRY...\n"
    "       mkinstaller -l INSTALLER\n"
    "\n"
    "Writes OUTPUT (mode 0755): the installer executable STUB (of any target)\n"
    "followed by one gzip-compressed tar archive per ENTRY, the table of\n"
    "contents and the trailer. An ENTRY is a directory, archived with its\n"
    "contents at the top level, or an existing archive: a .tar.gz the\n"
    "installer's reader takes as it stands has its tar data compressed again,\n"
    "any other archive is rewritten as old-GNU tar. For a Windows STUB, hard\n"
    "and symbolic links are written as copies of what they lead to inside the\n"
    "tree. Archives are written as gzip members of 512 KiB of tar data each,\n"
    "compressed on every processor, which the installer decodes on every\n"
    "processor. Every entry is read back with the installer's own reader and\n"
    "path checks before OUTPUT is written; the payload must hold the\n"
    "configuration program bin/zorva (bin/zorva.exe for a Windows STUB).\n"
    "A signed Windows STUB loses its signature: sign OUTPUT instead.\n"
    "\n"
    "  -s, --stub FILE     installer executable to carry the payload\n"
    "  -o, --output FILE   installer to write\n"
    "  -z, --level N       compression level 1-12 (default 6, about gzip -6 in size)\n"
    "  -k, --keep-gzip     copy such .tar.gz entries as they are (decoded by one thread)\n"
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

// Windows stubs begin with the MZ signature; their payload may not hold
// devices or FIFOs.
bool is_windows_stub(const std::string& stub) {
  char magic[2] = {0, 0};
  FILE* f = fopen(stub.c_str(), "rb");
  if (!f) return false;
  bool windows = fread(magic, 1, 2, f) == 2 && magic[0] == 'M' && magic[1] == 'Z';
  fclose(f);
  return windows;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Replaces every archive entry that the installer cannot read as it stands
// by its rewritten copy, which is already in bounded members, or by the
// directory it was extracted into. Both live beside the output until it is
// written.
bool prepare_entries(installer_spec_t* spec, std::string* error) {
  spec->rewritten.assign(spec->entries.size(), false);
  for (size_t i = 0; i < spec->entries.size(); ++i) {
    std::string& entry = spec->entries[i];
    if (is_directory(entry)) continue;
    std::string rewritten;
    std::string temp_template = spec->output + ".entry" + std::to_string(i + 1) + ".XXXXXX";
    if (!prepare_archive_entry(entry, spec->tar, temp_template, &rewritten, error)) return false;
    if (!rewritten.empty()) {
      entry = rewritten;
      spec->rewritten[i] = !is_directory(rewritten);
    }
  }
  return true;
}

// Archive names (pax, zip) come in UTF-8: a UTF-8 character type keeps
// libarchive from refusing to convert them.
void use_utf8_names() {
  const char* current = setlocale(LC_CTYPE, "");
  if (current && (strstr(current, "UTF-8") || strstr(current, "utf8"))) return;
  if (!setlocale(LC_CTYPE, "C.UTF-8")) setlocale(LC_CTYPE, "C");
}

int usage_error(const char* message) {
  fprintf(stderr, "mkinstaller: %s\n%s", message, USAGE);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  temporary_cleanup_on_signals();
  vek_lifecycleInit();
  use_utf8_names();
  const struct option options[] = {
      {"stub", required_argument, nullptr, 's'},  {"output", required_argument, nullptr, 'o'},
      {"level", required_argument, nullptr, 'z'}, {"keep-gzip", no_argument, nullptr, 'k'},
      {"verbose", no_argument, nullptr, 'v'},     {"list", required_argument, nullptr, 'l'},
      {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0}};
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
  spec.tar.windows = is_windows_stub(spec.stub);
  warn_about_stub_debug_info(spec.stub);
  status_line_start(true);
  bool written = prepare_entries(&spec, &error) && write_installer(spec, &error);
  if (written) show_packing_progress(true);
  status_line_stop();
  temporary_remove_all();
  if (!written) {
    fprintf(stderr, "mkinstaller: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
