// System calls of the installer's driver on Linux.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "installer.h"
#include "installer_platform.h"
#include "vek_log_source.h"

VEK_LOG_SOURCE(installer);

sigjmp_buf sigbus_ctx;

namespace {

bool sigbus_installed = false;
struct sigaction previous_sigbus;

void sigbus_handler(int) { siglongjmp(sigbus_ctx, 1); }

}  // namespace

// The link names the file even after it was renamed; opening the link itself
// opens the running file even after its name was given to another one.
int platform_open_installer(char* name, size_t name_size) {
  const char* const self = "/proc/self/exe";
  if (name_size == 0) return -1;
  ssize_t length = readlink(self, name, name_size - 1);
  if (length <= 0) return -1;
  name[length] = '\0';
  return platform_open_readonly(self);
}

int platform_process_id(void) { return (int)getpid(); }

void platform_sleep_seconds(unsigned seconds) { sleep(seconds); }

char* platform_get_cwd(void) {
  char buffer[4096];
  if (!getcwd(buffer, sizeof(buffer))) return nullptr;
  return strdup(buffer);
}

bool platform_chdir(const char* dir) { return chdir(dir) == 0; }

namespace {

private_dir_id_t directory_id(const struct stat& st) {
  return {(uint64_t)st.st_dev, (uint64_t)st.st_ino, (uint64_t)st.st_uid, (uint32_t)st.st_mode};
}

}  // namespace

int platform_check_private_directory(const char* dir, private_dir_id_t* id) {
  struct stat st;
  if (lstat(dir, &st) != 0) return errno == ENOENT ? PRIVATE_DIR_MISSING : PRIVATE_DIR_UNSAFE;
  bool owned = S_ISDIR(st.st_mode) && st.st_uid == geteuid();
  if (!owned || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return PRIVATE_DIR_UNSAFE;
  *id = directory_id(st);
  return PRIVATE_DIR_OK;
}

bool platform_is_working_directory(const private_dir_id_t* id) {
  struct stat st;
  if (stat(".", &st) != 0) return false;
  private_dir_id_t now = directory_id(st);
  return now.device == id->device && now.inode == id->inode && now.owner == id->owner && now.mode == id->mode;
}

bool platform_is_checked_directory(const char* dir, const private_dir_id_t* id) {
  struct stat st;
  return lstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && (uint64_t)st.st_dev == id->device &&
         (uint64_t)st.st_ino == id->inode;
}

bool platform_create_private_directory(const char* dir) { return mkdir(dir, 0700) == 0; }

void platform_rearm_interrupt(int, void (*)(int)) {}

namespace {

// One signal whose disposition the run changes, and what it was before.
struct saved_disposition_t {
  int signum;                 // the signal
  bool changed;               // the run's disposition is in place
  struct sigaction previous;  // what to put back
};
saved_disposition_t stop_signals[] = {{SIGTERM, false, {}}, {SIGHUP, false, {}}, {SIGPIPE, false, {}}};

bool set_disposition(saved_disposition_t* saved, void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;  // as for SIGINT: the handler only sets a flag that the reads poll
  sigemptyset(&action.sa_mask);
  saved->changed = sigaction(saved->signum, &action, &saved->previous) == 0;
  if (!saved->changed) {
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_WARN, "cannot install the handler of signal %d: %s", saved->signum,
           strerror(errno));
  }
  return saved->changed;
}

// In the configuration program's process, before exec: exec resets caught
// signals to their default, but an ignored one would stay ignored.
void restore_inherited_dispositions() {
  for (const saved_disposition_t& saved : stop_signals)
    if (saved.changed) sigaction(saved.signum, &saved.previous, nullptr);
}

}  // namespace

// A signal ignored when the installer started (nohup, a background job)
// stays ignored, and so it does for the configuration program.
void platform_install_stop_handlers(void (*handler)(int)) {
  for (saved_disposition_t& saved : stop_signals) {
    if (saved.signum == SIGPIPE) {
      set_disposition(&saved, SIG_IGN);
      continue;
    }
    struct sigaction current;
    if (sigaction(saved.signum, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    set_disposition(&saved, handler);
  }
}

// SIGPIPE stays ignored: the process ends right after, and its last log
// lines must not kill it on a closed output.
void platform_restore_stop_handlers(void) {
  for (saved_disposition_t& saved : stop_signals) {
    if (!saved.changed || saved.signum == SIGPIPE) continue;
    if (sigaction(saved.signum, &saved.previous, nullptr) != 0) {
      veklog(VEK_SOURCE_HERE(installer), VEKLOG_WARN, "cannot restore the handler of signal %d: %s", saved.signum,
             strerror(errno));
    }
    saved.changed = false;
  }
}

void platform_install_bus_error_handler(void) {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = sigbus_handler;
  sigemptyset(&action.sa_mask);
  sigbus_installed = sigaction(SIGBUS, &action, &previous_sigbus) == 0;
  if (!sigbus_installed)
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_WARN, "cannot install SIBGUS handler: %s", strerror(errno));
  umask(022);
}

void platform_restore_bus_error_handler(void) {
  if (!sigbus_installed) return;
  veklog(VEK_SOURCE_HERE(installer), VEKLOG_DEBUG, "removing SIGBUS handler");
  if (sigaction(SIGBUS, &previous_sigbus, nullptr) != 0) {
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_WARN, "cannot restore SIGBUS handler:  %s", strerror(errno));
  }
  sigbus_installed = false;
}

char* copy_arg(const char* arg) { return strdup(arg); }

namespace {

[[noreturn]] void exec_configuration(char** args) {
  restore_inherited_dispositions();
  execv(args[0], args);
  int error = errno;
  veklog(VEK_SOURCE_HERE(installer), VEKLOG_ERROR, "Failed to execute new process '%s': %s (errno %d)", args[0],
         strerror(error), error);
  if (error == EACCES || error == EPERM) log_run_permission_hint(args[0]);
  _exit(1);
}

}  // namespace

int platform_run_configuration(char** args) {
  pid_t pid = fork();
  if (pid < 0) {
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_ERROR, "cannot fork: %s", strerror(errno));
    return -1;
  }
  if (pid == 0) exec_configuration(args);
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid, &status, 0);  // an interrupt only sets a flag: keep waiting
  } while (done < 0 && errno == EINTR);
  if (done < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_ERROR, "configure failed with uncaught signal %d", WTERMSIG(status));
    return -1;
  }
  return status;
}

// The rights come before the listing: a directory without them cannot be read.
void platform_make_tree_removable(const char* dir) {
  struct stat st;
  if (lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return;
  if ((st.st_mode & S_IRWXU) != S_IRWXU) chmod(dir, (st.st_mode & 07777) | S_IRWXU);
  DIR* stream = opendir(dir);
  if (stream == nullptr) return;
  std::vector<std::string> children;
  try {
    while (const struct dirent* entry = readdir(stream)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        children.push_back(std::string(dir) + "/" + entry->d_name);
    }
  } catch (...) {  // out of memory: the removal does what it can
  }
  closedir(stream);
  for (const std::string& child : children) platform_make_tree_removable(child.c_str());
}
