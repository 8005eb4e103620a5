// The packer's temporaries and their removal, on a signal too. The signal
// thread takes the registry's lock and never gives it back: a temporary
// about to be made waits, so nothing is made after the removal.
#include "temporary_files.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

namespace {

std::mutex registry_lock;           // guards temporaries; held for good once a signal came
std::set<std::string> temporaries;  // paths made and not yet removed or renamed

sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void remove_path(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

[[noreturn]] void wait_for_signal() {
  sigset_t set = ending_signals();
  int signal_number = SIGTERM;
  while (sigwait(&set, &signal_number) != 0) {
  }
  registry_lock.lock();
  for (const std::string& path : temporaries) remove_path(path);
  // Ended by the signal itself, so that a shell sees what stopped the run.
  signal(signal_number, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

}  // namespace

void temporary_cleanup_on_signals() {
  sigset_t set = ending_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(wait_for_signal).detach();
}

int temporary_file_create(std::string* name_template) {
  std::lock_guard<std::mutex> hold(registry_lock);
  int fd = mkstemp(&(*name_template)[0]);
  if (fd >= 0) temporaries.insert(*name_template);
  return fd;
}

bool temporary_directory_create(std::string* name_template) {
  std::lock_guard<std::mutex> hold(registry_lock);
  if (mkdtemp(&(*name_template)[0]) == nullptr) return false;
  temporaries.insert(*name_template);
  return true;
}

void temporary_forget(const std::string& path) {
  std::lock_guard<std::mutex> hold(registry_lock);
  temporaries.erase(path);
}

void temporary_remove(const std::string& path) {
  std::lock_guard<std::mutex> hold(registry_lock);
  remove_path(path);
  temporaries.erase(path);
}

void temporary_remove_all() {
  std::lock_guard<std::mutex> hold(registry_lock);
  for (const std::string& path : temporaries) remove_path(path);
  temporaries.clear();
}
