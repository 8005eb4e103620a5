// The installer's driver: one installation run. It validates the command
// line, unpacks the payload appended to its own executable into a private
// directory under the temporary directory (after checking that it fits)
// through the payload reader, hands over to the unpacked configuration
// program and removes the directory again. The entry point is
// installer_main.cpp.
#include "installer.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "file_untar_ops.h"
#include "installer_platform.h"
#include "interrupt_state.h"
#include "payload.h"
#include "size_untar_ops.h"
#include "status_line.h"
#include "vek_file.h"
#include "vek_getopt.h"
#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_logging_console.h"
#include "vek_log_source.h"

VEK_LOG_SOURCE(installer);

namespace {

const char* const INVALID_CHARS = ":!;`$\"+#";
const char* const INSTALLER_VERSION = "5.7.0";
const char* const INSTALLER_BUILD = "5.7.0-201405021222-334052-588";
const char* const INSTALLER_TITLE = "Moravel Installer";
const char* const DEBUG_SWITCH = "-Dnimbo.debug=";
const int CLEANUP_ATTEMPTS = 5;

// State of the run, kept outside main's frame so that it is intact when the
// bus-error handler jumps back into main.
struct run_state_t {
  int result;                     // -1 until configuration succeeds
  bool sigint_installed;          // the interrupt handler is ours
  void (*previous_sigint)(int);   // handler to put back
  char archive[VEK_PATH_MAX];     // the installer's own file, absolute: its name for messages
  int archive_fd;                 // the installer's own file, opened once for both passes; -1 when not
  char* extraction_dir;           // owned; set once the directory is ours to remove
  char* saved_cwd;                // owned working directory to return to
  vek_uint64_t required_bytes;    // total of the size pass
  vek_uint64_t written_bytes;     // file data written by the extract pass, for the status line
  private_dir_id_t directory_id;  // the extraction directory as checked before entering it
};
run_state_t run_state = {-1, false, nullptr, {0}, -1, nullptr, nullptr, 0, 0, {0, 0, 0, 0}};

// The handler of SIGINT and of every other signal that cancels the run: it
// only notes the signal (the message is logged at the next poll).
void sigint_handler(int signum) {
  interrupt_note(signum);
  platform_rearm_interrupt(signum, sigint_handler);
}

}  // namespace

// ---- Temporary directories that cannot run programs ---------------------------

namespace {

// The variable a user sets to move the extraction elsewhere: the one that
// chose the temporary directory, or TMPDIR when a usual place was taken
// (TMP and TEMP were then unset or unusable, so TMPDIR decides).
const char* temp_dir_variable() {
  const char* variable = vek_getTempDirVariable();
  return variable ? variable : "TMPDIR";
}

void log_temp_dir_hint() {
  veklog(VEK_HERE, VEKLOG_ERROR,
         "Point %s at a directory whose file system allows programs to run, then run the "
         "installer again",
         temp_dir_variable());
}

// A file system mounted noexec would take the whole extraction and only then
// refuse to start the configuration program: stop before anything is written.
bool temp_directory_runs_programs() {
  const char* temp = vek_getTempDir();
  if (!vek_isNoExecFileSystem(temp)) return true;
  veklog(VEK_HERE, VEKLOG_ERROR, "Cannot extract into %s: its file system does not allow programs to run", temp);
  log_temp_dir_hint();
  return false;
}

}  // namespace

// A security policy can forbid what the mount flags allow. A program without
// its execute bit is the payload's fault, not the directory's: no hint then.
void log_run_permission_hint(const char* program) {
  if (!vek_isFileExecutable(program)) return;
  const char* dir = run_state.extraction_dir ? run_state.extraction_dir : vek_getTempDir();
  veklog(VEK_HERE, VEKLOG_ERROR, "The system does not allow programs to run from %s", dir);
  log_temp_dir_hint();
}

// ---- Configuration hand-off ------------------------------------------------

bool configure_zorva(int argc, const char** argv) {
  std::vector<char*> args;
  args.push_back(strdup(INSTALLER_CONFIG_PROGRAM));
  args.push_back(strdup("--internal-install"));
  for (int i = 0; i < argc; ++i) args.push_back(copy_arg(argv[i]));
  args.push_back(nullptr);

  static char watchdog_setting[] = "NIMBO_DISABLE_WATCHDOG=1";  // the environment keeps the pointer
  putenv(watchdog_setting);
  int status = -1;
  bool complete = true;
  for (size_t i = 0; i + 1 < args.size(); ++i) complete = complete && args[i] != nullptr;
  if (complete) {
    status = platform_run_configuration(args.data());
  } else {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot allocate the arguments of %s", INSTALLER_CONFIG_PROGRAM);
  }
  for (char* arg : args) free(arg);
  if (status == 0) return true;
  veklog(VEK_HERE, VEKLOG_DEBUG, "configuration failed with exit code %d", status);
  return false;
}

// ---- The run ---------------------------------------------------------------

namespace {

const char* const VM_ARG_PREFIXES[] = {"-ea",         "-enableassertions",
                                       "-esa",        "-enablesystemassertions",
                                       "-da",         "-disableassertions",
                                       "-dsa",        "-disablesystemassertions",
                                       "-verbose",    "-agentlib:",
                                       "-agentpath:", "-javaagent:",
                                       "-splash:",    "-D",
                                       "-X",          "-XX",
                                       "-d32",        "-d64",
                                       "-client",     "-server",
                                       "-hotspot",    "-version:",
                                       "-cp",         "-classpath",
                                       nullptr};

const vek_option LONG_OPTIONS[] = {
    {"help", 0, nullptr, 'h'},     {"javavm", 1, nullptr, 'm'},  {"version", 0, nullptr, 'v'},
    {"installdir", 1, nullptr, 0}, {"oxv", 1, nullptr, 0},       {"silent", 0, nullptr, 0},
    {"headless", 0, nullptr, 0},   {"noservice", 0, nullptr, 0}, {"host-display-name", 1, nullptr, 0},
    {"kwel", 1, nullptr, 0},       {"detectha", 0, nullptr, 0},  {nullptr, 0, nullptr, 0}};

struct help_line_t {
  int indent;        // leading blanks
  const char* text;  // the line without them
};

const help_line_t HELP_LINES[] = {
    {2, "-h,--help              Show this information and exit"},
    {2, "-v,--version           Display the version number for this program and exit."},
    {2, "-j,--javavm            Manually set the location of the java VM, i.e JAVA_HOME"},
    {2, "--installdir           Set the directory that Zorva will be installed to."},
    {2, "--headless             For user prompts to be provided on the command line,"},
    {25, "otherwise a GUI will be used if one is available."},
    {2, "--silent               Install Zorva without prompting for configuration"},
    {25, "options.  Default values will be used unless they are"},
    {25, "overridden on the command line."},
    {2, "--oxv <url=...>        Specify a URL that Zorva will connect to.  This option"},
    {25, "can be specified multiple times if more than one URL is"},
    {25, "required."},
    {25, "Several comma-separated parameters are available to"},
    {25, "configure the connection settings:"},
    {25, "url=HTTP|HTTPS://HOST:PORT       The URL to connect on"},
    {25, "proxy=HTTP|HTTPS://HOST:PORT     Proxy server to"},
    {58, "connect through"},
    {25, "ssl-allow-self-signed=true|false Accept self-signed"},
    {58, "certificates"},
    {25, "address=IPADDRESS                Local IP address to"},
    {58, "bind to"},
    {25, "proxy-user=USERNAME              Username for the proxy"},
    {58, "server"},
    {25, "proxy-pass=PASSWORD              Password for the proxy"},
    {58, "server"},
    {25, "proxy-ntlm-domain=DOMAIN         Windows Domain for the"},
    {58, "proxy server"},
    {25, "ssl-cert-common-name             Expected certificate"},
    {58, "common name"},
    {25, "compressed                       Enable HTTP"},
    {58, "compression"},
    {2, "--noservice            On Windows, do not install Zorva as a service.  On"},
    {25, "UNIX, do not install an init.d script to automatically"},
    {25, "start Zorva."},
    {2, "--host-display-name    Manually set the display name used to identify this"},
    {25, "Zorva instance."},
    {2, "--kwel                 Migrate an existing KWEL install to Zorva."},
    {2, "--detectha             Locate and configure additionally available HA servers."},
};

void print_help() {
  printf("%s %s\n", INSTALLER_TITLE, INSTALLER_VERSION);
  printf("    Copyright (c) 2014 Nimbo Software. All rights reserved.\n");
  printf("    Build Number: %s\n", INSTALLER_BUILD);
  printf("\n");
  for (const help_line_t& line : HELP_LINES) printf("%*s%s\n", line.indent, "", line.text);
  fflush(stdout);
}

bool is_vm_arg(const char* arg) {
  if (!arg) return false;
  for (const char* const* prefix = VM_ARG_PREFIXES; *prefix; ++prefix) {
    if (strncmp(arg, *prefix, strlen(*prefix)) == 0) return true;
  }
  return false;
}

// Moves the VM arguments behind the others, keeping the order of the others;
// returns how many others there are.
int strip_vm_args(int argc, const char** argv) {
  int count = argc;
  int pos = 0;
  while (pos < count) {
    if (!is_vm_arg(argv[pos])) {
      ++pos;
      continue;
    }
    const char* vm_arg = argv[pos];
    memmove(&argv[pos], &argv[pos + 1], sizeof(argv[0]) * (size_t)(count - pos - 1));
    --count;
    argv[count] = vm_arg;  // the argument shifted into pos is examined next
  }
  return count;
}

// An inherited NIMBO_DEBUG wins; otherwise the first debug switch does.
void apply_debug_switch(int argc, const char** argv) {
  size_t switch_len = strlen(DEBUG_SWITCH);
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], DEBUG_SWITCH, switch_len) != 0 || getenv("NIMBO_DEBUG")) continue;
    char setting[256];
    snprintf(setting, sizeof(setting), "NIMBO_DEBUG=%s", argv[i] + switch_len);
    putenv(strdup(setting));  // the environment owns the copy
  }
}

void init_logging() {
  vek_addLogger(status_line_logger);  // first: the status line is erased before a log line is written
  if (!vek_addLogger(vek_consoleLogger)) fputs("ERROR (internal) cannot add stdio logger\n", stderr);
  const char* setting = getenv("NIMBO_DEBUG");
  long value = strtol(setting ? setting : "0", nullptr, 10);
  vek_setLogLevel(value == 1 ? VEKLOG_DEBUG : value == 2 ? VEKLOG_DEBUG2 : VEKLOG_INFO);
  veklog(VEK_HERE, VEKLOG_DEBUG, "Installer version %s (build %s) logging initialized", INSTALLER_VERSION,
         INSTALLER_BUILD);
}

bool validate_command_line(int argc, const char** argv) {
  std::vector<const char*> copy(argv, argv + argc);
  copy.push_back(nullptr);
  int count = strip_vm_args(argc, copy.data());
  vek_option_quiet = 1;
  vek_getopt_reset();
  bool valid = true;
  for (;;) {
    int index = vek_optind == 0 ? 1 : vek_optind;
    int long_index = 0;
    int rc = vek_getopt_long(count, const_cast<char**>(copy.data()), ":hmv", LONG_OPTIONS, &long_index);
    if (rc == -1) break;
    const char* arg = index < argc ? copy[(size_t)index] : "";
    if (rc == '?' && !is_vm_arg(arg)) {
      printf("Unknown option %s\n", arg);
      valid = false;
    } else if (rc == ':') {
      printf("Missing required argument for %s\n", arg);
      valid = false;
    } else if (rc == 'h') {
      valid = false;
    }
  }
  if (!valid) {
    print_help();
    veklog(VEK_HERE, VEKLOG_DEBUG, "command line validation failed");
  }
  return valid;
}

char* get_temp_directory() {
  const char* temp = vek_getTempDir();
  if (!temp) return nullptr;
  char buffer[VEK_PATH_MAX];
  snprintf(buffer, sizeof(buffer), INSTALLER_DIR_FORMAT, temp, platform_process_id());
  return strdup(buffer);
}

bool validate_temp_directory(const char* temp_dir) {
  const char* checked = temp_dir;
  if (INSTALLER_DRIVE_LETTERS && strlen(temp_dir) > 2 && temp_dir[1] == ':') {
    veklog(VEK_HERE, VEKLOG_DEBUG2, "skipping windows drive specification");
    checked = temp_dir + 2;
  }
  if (strpbrk(checked, INVALID_CHARS) == nullptr) return true;
  veklog(VEK_HERE, VEKLOG_ERROR, "the temporary directory cannot contain any of the following characters: %s",
         INVALID_CHARS);
  veklog(VEK_HERE, VEKLOG_ERROR, "Cannot extract into temp directory %s", temp_dir);
  return false;
}

// Creates the extraction directory for this user alone, or reuses one that
// already is; anything else under that predictable name is left alone.
// A directory just created is judged like an existing one: what is entered
// later is compared with what was judged here.
bool prepare_extraction_directory(const char* dir) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "extracting to a temporary directory %s", dir);
  int state = platform_check_private_directory(dir, &run_state.directory_id);
  if (state == PRIVATE_DIR_MISSING) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "creating extraction directory %s", dir);
    if (!platform_create_private_directory(dir) && errno != EEXIST) {
      veklog(VEK_HERE, VEKLOG_ERROR, "cannot create extraction directory %s", dir);
      return false;
    }
    state = platform_check_private_directory(dir, &run_state.directory_id);
  }
  if (state == PRIVATE_DIR_OK) return true;
  veklog(VEK_HERE, VEKLOG_ERROR,
         "refusing to use the extraction directory %s: it is not a directory of this user that only this user "
         "can write",
         dir);
  return false;
}

bool enter_extraction_directory(const char* dir) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Moving to extraction directory %s", dir);
  run_state.saved_cwd = platform_get_cwd();
  if (!run_state.saved_cwd) {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot get current working directory: %s", strerror(errno));
    return false;
  }
  if (!platform_chdir(dir)) {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot move to extract directory: %s", strerror(errno));
    return false;
  }
  // The path was judged before; what it names now may have been swapped.
  if (platform_is_working_directory(&run_state.directory_id)) return true;
  veklog(VEK_HERE, VEKLOG_ERROR, "the extraction directory %s changed after it was checked", dir);
  return false;
}

// One pass over every entry; a damaged table of contents fails it like a
// damaged entry does. The size pass (total set) counts into *total and lends
// the reader `budget`, which must then be set.
bool run_pass(untar_ops* ops, vek_uint64_t* total, size_budget_t* budget) {
  payload_options_t options = PAYLOAD_DEFAULTS;
  options.budget = budget;
  toc_entries toc;
  if (!init_toc_fd(run_state.archive_fd, run_state.archive, &toc, &options)) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot initialize archive table of contents");
    return false;
  }
  ops->read = read_func;
  bool ok = true;
  toc_entry entry;
  while (ok && read_entry_from_toc(&toc, &entry)) {
    vek_uint64_t bytes = 0;
    ok = total ? size_entry(&entry, ops, &bytes) : extract_tarball(&entry, ops, nullptr);
    if (total) budget->counted = *total += bytes;
  }
  ok = ok && !toc.failed;
  close_toc(&toc);
  if (!ok) {
    log_interrupt_once();
    if (interrupt_received()) {
      veklog(VEK_HERE, VEKLOG_INFO, "Installation cancelled");
    } else if (!(budget && budget->exhausted)) {  // not damage: the space check reports it
      veklog(VEK_HERE, VEKLOG_ERROR, "Failure while extracting archive entry");
    }
  }
  return ok;
}

bool validate_extraction_size(const char* path) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Calculating extracted install size");
  untar_ops ops;
  init_size_untar_ops(&ops);
  vek_uint64_t available = vek_getAvailableBytes(path);
  size_budget_t budget = NO_SIZE_BUDGET;
  budget.available = available;
  vek_uint64_t total = 0;
  bool counted = run_pass(&ops, &total, &budget);
  if (!counted && !budget.exhausted) return false;
  if (budget.exhausted) total = budget.reached;  // at least this much: the rest was not read
  run_state.required_bytes = total;
  veklog(VEK_HERE, VEKLOG_VERBOSE, "%" VEK_PRId64 " bytes required", (long long)total);
  if (available == VEK_UINT64_UNKNOWN) {
    veklog(VEK_HERE, VEKLOG_WARN, "Cannot calculate available space on %s", path);
    return true;
  }
  veklog(VEK_HERE, VEKLOG_VERBOSE, "%" VEK_PRId64 " bytes available", (long long)available);
  if (total < available) return true;
  veklog(VEK_HERE, VEKLOG_ERROR,
         "There is not enough space in %s.  At least %" VEK_PRId64 " Mb are required but only %" VEK_PRId64
         " Mb are available.",
         path, (long long)((total >> 20) + 1), (long long)(available >> 20));
  return false;
}

// Called with every write of file data during the extract pass.
void show_extraction_progress(vek_uint64_t bytes) {
  run_state.written_bytes += bytes;
  vek_uint64_t total = run_state.required_bytes;
  if (total == 0) return;
  vek_uint64_t done = run_state.written_bytes < total ? run_state.written_bytes : total;
  char text[32];
  snprintf(text, sizeof(text), "Extracting %d %%", (int)(done * 100 / total));
  status_line_show(text, false);
}

// The status line shows only where nobody reads the log closely: on a
// terminal, with debug logging off.
bool extract_contents() {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Extracting archive contents");
  untar_ops ops;
  init_file_untar_ops(&ops);
  run_state.written_bytes = 0;
  if (status_line_start(vek_getLogLevel() >= VEKLOG_INFO)) {
    status_line_show("Extracting 0 %", true);
    set_file_untar_progress(show_extraction_progress);
  }
  bool extracted = run_pass(&ops, nullptr, nullptr);
  set_file_untar_progress(nullptr);
  status_line_stop();
  return extracted;
}

void close_archive() {
  if (run_state.archive_fd >= 0) platform_close(run_state.archive_fd);
  run_state.archive_fd = -1;
}

// The payload is read from the running executable, opened once here. argv[0]
// serves only when the system cannot name it, and only when it holds a
// directory part: a bare name came through PATH, and taken against the
// working directory it could name a file planted there.
bool locate_archive(const char* argv0) {
  char name[VEK_PATH_MAX];
  run_state.archive_fd = platform_open_installer(name, sizeof(name));
  if (run_state.archive_fd >= 0) {
    snprintf(run_state.archive, sizeof(run_state.archive), "%s", name);
    veklog(VEK_HERE, VEKLOG_DEBUG, "converted %s to %s", argv0, name);
    return true;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "the system does not name the running executable; falling back on %s", argv0);
  if (strpbrk(argv0, "/\\") == nullptr || vek_getFullPath(argv0, run_state.archive, sizeof(run_state.archive)) == 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot find full path name of %s", argv0);
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "converted %s to %s", argv0, run_state.archive);
  run_state.archive_fd = platform_open_readonly(run_state.archive);
  if (run_state.archive_fd >= 0) return true;
  veklog(VEK_HERE, VEKLOG_ERROR, "Cannot open table of contents: %s", strerror(errno));
  return false;
}

// Steps 6 to 15: everything between start-up and the end sequence.
void run_installation(int argc, const char** argv) {
  if (!validate_command_line(argc, argv) || !locate_archive(argv[0])) return;
  char* dir = get_temp_directory();
  if (!dir) {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot get extract directory");
    return;
  }
  if (!validate_temp_directory(dir) || !temp_directory_runs_programs() || !prepare_extraction_directory(dir)) {
    free(dir);  // never ours: nothing to clean up
    return;
  }
  if (!enter_extraction_directory(dir)) {
    free(dir);  // what stands there now was not checked: it is never removed
    return;
  }
  run_state.extraction_dir = dir;
  veklog(VEK_HERE, VEKLOG_INFO, "Extracting to a temporary directory");
  if (!validate_extraction_size(dir) || !extract_contents()) return;
  close_archive();  // the configuration program may do with the installer's file what it likes
  veklog(VEK_HERE, VEKLOG_INFO, "Extraction complete, configuring");
  bool configured = configure_zorva(argc - 1, argv + 1);
  log_interrupt_once();  // also when it arrived during a configuration that then succeeded
  if (configured) {
    run_state.result = 0;
    return;
  }
  if (interrupt_received()) {
    veklog(VEK_HERE, VEKLOG_INFO, "Installation cancelled");
  } else {
    veklog(VEK_HERE, VEKLOG_WARN, "Configuration failed");
  }
}

void remove_extraction_directory(const char* dir) {
  if (!platform_is_checked_directory(dir, &run_state.directory_id)) {
    veklog(VEK_HERE, VEKLOG_WARN, "not removing %s: it is no longer the directory this run extracted into", dir);
    return;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "cleaning up temporary directory %s", dir);
  platform_make_tree_removable(dir);
  for (int attempt = 1; attempt <= CLEANUP_ATTEMPTS && vek_doesDirectoryExist(dir); ++attempt) {
    veklog(VEK_HERE, VEKLOG_DEBUG2, "temporary directory cleanup attempt %d", attempt);
    if (vek_removeDirectory(dir)) {
      veklog(VEK_HERE, VEKLOG_DEBUG2, "cleanup successful");
    } else {
      veklog(VEK_HERE, VEKLOG_DEBUG2, "cleanup failed");
      platform_sleep_seconds(1);
    }
  }
  if (vek_doesDirectoryExist(dir)) veklog(VEK_HERE, VEKLOG_VERBOSE, "cannot clean up temp directory");
}

void restore_signal_handlers() {
  platform_restore_bus_error_handler();
  if (run_state.sigint_installed) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "removing CTRL+C handler");
    if (signal(SIGINT, run_state.previous_sigint) == SIG_ERR) {
      veklog(VEK_HERE, VEKLOG_WARN, "cannot restore SIGINT handler:  %s", strerror(errno));
    }
    run_state.sigint_installed = false;
  }
  platform_restore_stop_handlers();
}

// The handlers stay until the directory is gone: a second Ctrl+C, a closed
// terminal or a SIGTERM during the clean-up must not cut it short.
int end_run() {
  status_line_stop();
  close_archive();
  if (run_state.saved_cwd) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "returning to working directory %s", run_state.saved_cwd);
    if (!platform_chdir(run_state.saved_cwd)) {
      veklog(VEK_HERE, VEKLOG_WARN, "cannot move back to original working directory: %s", strerror(errno));
    }
    free(run_state.saved_cwd);
    run_state.saved_cwd = nullptr;
  }
  if (run_state.extraction_dir) {
    if (!getenv("NIMBO_DEBUG_SKIPCLEANUP")) remove_extraction_directory(run_state.extraction_dir);
    free(run_state.extraction_dir);
    run_state.extraction_dir = nullptr;
  }
  restore_signal_handlers();
  log_interrupt_once();  // an interrupt up to here was the installer's to report
  return run_state.result;
}

}  // namespace

int installer_main(int argc, const char** argv) {
  vek_lifecycleInit();
  apply_debug_switch(argc, argv);
  run_state.previous_sigint = signal(SIGINT, sigint_handler);
  run_state.sigint_installed = run_state.previous_sigint != SIG_ERR;
  if (!run_state.sigint_installed) {
    veklog(VEK_HERE, VEKLOG_WARN, "cannot install CTRL+C handler: %s", strerror(errno));
  }
  platform_install_stop_handlers(sigint_handler);
  if (INSTALLER_BUS_ERROR_RETURN() != 0) {
    payload_cancel_decoders();  // the jump skipped the stream's close
    veklog(VEK_HERE, VEKLOG_ERROR, "SIGBUS detected, the install location is out of space.  Cleaning up.");
    run_state.result = -1;
    return end_run();
  }
  platform_install_bus_error_handler();
  init_logging();
  run_installation(argc, argv);
  return end_run();
}
