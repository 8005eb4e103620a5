// Launcher requests: a control tool asks a running launcher, found by its
// pid file and reached through its socket file, for a thread dump, a heap
// dump, a support bundle, a new debug level or a stop. The thread dump and
// the stop fall back to a signal when the message cannot be delivered; a
// signal goes only to the process that holds the pid file's lock, never to
// whatever process has the ID written there today.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "vek_file.h"
#include "vek_logging.h"
#include "vek_message.h"
#include "vek_message_client.h"
#include "vek_pid_file.h"
#include "vek_process.h"
#include "vek_time.h"

namespace {

constexpr size_t REQUEST_TEXT_MAX = 1024;  // a sender description is cut to this buffer
constexpr long SHUTDOWN_POLL_MS = 1000;    // a waiting stop tests the launcher this often

// The log lines of one kind of request; formats take the arguments named.
struct RequestLog {
  const char* not_running;      // WARN
  const char* not_transmitted;  // ERROR (app); NULL: the caller falls back
  const char* transmitted;      // INFO
  const char* response;         // DEBUG (reply text)
  const char* not_successful;   // WARN (reply text)
};

// The sender description of a request: "<prefix>: <full name> (<user>/<uid>),
// process ID <pid>", or the UID form when the password entry cannot be read.
std::string sender_text(const char* with_user, const char* without_user) {
  char text[REQUEST_TEXT_MAX];
  const uid_t uid = getuid();
  passwd entry;
  passwd* found = nullptr;
  char strings[16384];
  const int error = getpwuid_r(uid, &entry, strings, sizeof strings, &found);
  if (found == nullptr) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN, "Could not get current user information: %s",
           error != 0 ? strerror(error) : "this user has no password entry");
    snprintf(text, sizeof text, without_user, static_cast<unsigned long>(uid), static_cast<unsigned long>(getpid()));
  } else {
    snprintf(text, sizeof text, with_user, entry.pw_gecos != nullptr ? entry.pw_gecos : "", entry.pw_name,
             static_cast<unsigned long>(uid), static_cast<unsigned long>(getpid()));
  }
  return text;
}

enum class RequestOutcome { NOT_RUNNING, NO_REPLY, DONE, NOT_HANDLED };

using message_ptr = std::unique_ptr<vek_message_t, decltype(&vek_destroyMessage)>;
using text_ptr = std::unique_ptr<char, decltype(&free)>;

using vek::process::PidFileHolder;

// The launcher behind the pid file of `unique_name`; `pid_file` gets its path.
PidFileHolder launcher_holder(const char* unique_name, const char* state_location, std::string& pid_file) {
  if (!vek::process::pid_file_path(unique_name, state_location, pid_file)) return {0, 0, 0, errno};
  return vek::process::pid_file_holder(pid_file);
}

// The user besides this one and root whose server may answer: the owner of
// the launcher's locked pid file.
uid_t trusted_user(const PidFileHolder& holder) {
  return holder.pid > 0 ? holder.owner : vek::message::NO_TRUSTED_USER;
}

// Sends a request that expects a reply to the socket file of `app_name`;
// null when it could not be sent or no reply came.
message_ptr send_to_launcher(const char* app_name, const char* state_location, int type, const std::string& payload,
                             uid_t trusted) {
  message_ptr none(nullptr, vek_destroyMessage);
  text_ptr path(vek_getMessagePath(app_name, state_location), free);
  message_ptr request(vek_createEmptyMessage(), vek_destroyMessage);
  if (path == nullptr || request == nullptr) return none;
  request->type = type;
  request->response_expected = 1;
  vek_setMessageTextPayload(request.get(), payload.c_str());
  return message_ptr(vek::message::send_trusting(path.get(), request.get(), trusted), vek_destroyMessage);
}

// The common steps of a request: running test, send, and the log of its outcome.
RequestOutcome send_request(const char* app_name, const char* unique_name, const char* state_location, int type,
                            const std::string& payload, const RequestLog& log) {
  if (!vek_isLauncherRunning(unique_name, state_location, false)) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN, "%s", log.not_running);
    return RequestOutcome::NOT_RUNNING;
  }
  std::string pid_file;
  const PidFileHolder holder = launcher_holder(unique_name, state_location, pid_file);
  message_ptr reply = send_to_launcher(app_name, state_location, type, payload, trusted_user(holder));
  if (reply == nullptr) {
    if (log.not_transmitted != nullptr) veklog(VEK_SOURCE_HERE(process), VEKLOG_ERROR, log.not_transmitted, app_name);
    return RequestOutcome::NO_REPLY;
  }
  text_ptr text(vek_getMessagePayloadAsText(reply.get()), free);
  const char* reply_text = text != nullptr ? text.get() : "";
  if (reply->type != VEK_MESSAGE_OK) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN, log.not_successful, reply_text);
    return RequestOutcome::NOT_HANDLED;
  }
  veklog(VEK_SOURCE_HERE(process), VEKLOG_INFO, "%s", log.transmitted);
  veklog(VEK_SOURCE_HERE(process), VEKLOG_DEBUG, log.response, reply_text);
  return RequestOutcome::DONE;
}

// The thread dump's fallback: SIGQUIT to the process in the pid file.
bool signal_thread_dump(const char* app_name, const char* unique_name, const char* state_location) {
  veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN,
         "Could not transmit the thread dump request using the standard communications channel. Trying as a signal");
  std::string pid_file;
  const PidFileHolder holder = launcher_holder(unique_name, state_location, pid_file);
  const long pid = holder.pid;
  if (pid <= 0) {
    if (holder.error == ESRCH) {
      veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN,
             "The process %ld named in the %s lock file '%s' does not hold its lock, so no thread dump was requested.",
             holder.named, unique_name, pid_file.c_str());
    } else {
      veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN,
             "Could not determine the %s process ID from its lock file '%s', so no thread dump could be requested.",
             unique_name, pid_file.c_str());
    }
    return false;
  }
  if (kill(static_cast<pid_t>(pid), SIGQUIT) != 0) {
    if (errno == EPERM) {
      veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN,
             "Could not transmit the thread dump request as a signal as you are not the owner of the destination "
             "process %s running in %s.",
             app_name, state_location);
    } else {
      veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN,
             "Could not send thread dump request to the launcher with pid %lu: %s", static_cast<unsigned long>(pid),
             strerror(errno));
    }
    return false;
  }
  veklog(VEK_SOURCE_HERE(process), VEKLOG_INFO, "Thread dump request sent to the application process with id %lu",
         static_cast<unsigned long>(pid));
  return true;
}

// The stop message; true when the launcher answered that it stops.
bool send_stop_message(const char* app_name, const char* unique_name, const char* state_location,
                       const PidFileHolder& holder) {
  text_ptr path(vek_getMessagePath(app_name, state_location), free);
  if (path == nullptr || !vek_doesFileExist(path.get())) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN,
           "Could not find the inter-launcher communications socket file at %s, falling back to secondary shutdown "
           "method(s)",
           path != nullptr ? path.get() : "(unknown)");
    return false;
  }
  const std::string payload = sender_text("Shutdown request from: %s (%s/%lu), process ID %lu",
                                          "Shutdown request from UID %lu, process ID %lu");
  veklog(VEK_SOURCE_HERE(process), VEKLOG_INFO, "Sending stop request to '%s' process running in %s (pid %lu).",
         unique_name, state_location, static_cast<unsigned long>(holder.named));
  message_ptr reply = send_to_launcher(app_name, state_location, VEK_MESSAGE_SHUTDOWN, payload, trusted_user(holder));
  if (reply == nullptr) return false;
  text_ptr text(vek_getMessagePayloadAsText(reply.get()), free);
  const char* reply_text = text != nullptr ? text.get() : "";
  if (reply->type != VEK_MESSAGE_OK) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN, "Shutdown request transmitted, but not handled: %s", reply_text);
    return false;
  }
  veklog(VEK_SOURCE_HERE(process), VEKLOG_INFO, "Shutdown request transmitted.");
  veklog(VEK_SOURCE_HERE(process), VEKLOG_DEBUG, "Shutdown request transmitted. The response was: %s", reply_text);
  return true;
}

enum class SignalOutcome { SENT, FAILED, NOT_SENT };

// The stop's fallback: SIGTERM to the process in the pid file.
SignalOutcome signal_stop(const char* unique_name, const char* state_location, const PidFileHolder& holder,
                          const std::string& pid_file) {
  const long pid = holder.pid;
  if (pid <= 0 && holder.error == ESRCH) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_ERROR,
           "%s process does not seem to be running in %s: the process %ld named in its lock file '%s' does not hold "
           "the file's lock. No stop signal was sent.",
           unique_name, state_location, holder.named, pid_file.c_str());
    return SignalOutcome::NOT_SENT;
  }
  if (pid <= 0) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_ERROR,
           "Could not determine %s process ID from lock file '%s': %s. The application cannot be stopped "
           "automatically so you will have to use the kill(1) command to stop it.",
           unique_name, pid_file.c_str(), strerror(holder.error));
    return SignalOutcome::NOT_SENT;
  }
  if (kill(static_cast<pid_t>(pid), SIGTERM) == 0) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_INFO, "Sent stop signal to '%s' process running in %s (pid %lu).",
           unique_name, state_location, static_cast<unsigned long>(pid));
    return SignalOutcome::SENT;
  }
  if (errno == EPERM) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_ERROR,
           "Could not transmit the shutdown request as a signal as you are not the owner of the destination process "
           "%s running in %s.",
           unique_name, state_location);
    return SignalOutcome::NOT_SENT;
  }
  veklog(VEK_SOURCE_HERE(process), VEKLOG_ERROR, "Could not send kill signal to process '%s': %s", unique_name,
         strerror(errno));
  return SignalOutcome::FAILED;
}

void wait_until_stopped(const char* unique_name, const char* state_location, long pid) {
  veklog(VEK_SOURCE_HERE(process), VEKLOG_INFO, "Waiting for the '%s' process (pid %lu) to shutdown", unique_name,
         static_cast<unsigned long>(pid));
  while (vek_isLauncherRunning(unique_name, state_location, false)) vek_sleepMS(SHUTDOWN_POLL_MS);
  veklog(VEK_SOURCE_HERE(process), VEKLOG_INFO, "The '%s' process (pid %lu) has completed its shutdown sequence",
         unique_name, static_cast<unsigned long>(pid));
}

const char* state_or_default(const char* state_location) {
  return state_location != nullptr ? state_location : vek_getStateLocation();
}

// What an entry point does when memory ran out half way: it reports and
// returns its failure result, for no exception may reach a C caller.
bool out_of_memory(const char* request) noexcept {
  veklog(VEK_SOURCE_HERE(process), VEKLOG_ERROR, "Could not send the %s request: out of memory", request);
  errno = ENOMEM;
  return false;
}

}  // namespace

extern "C" bool vek_sendLauncherThreadDumpRequest(const char* app_name, const char* unique_name,
                                                  const char* state_location) try {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr) return false;
  static const RequestLog log = {"Could not send thread dump request, the application does not appear to be running",
                                 nullptr, "Thread dump request transmitted.",
                                 "Thread dump request transmitted. The response was: %s",
                                 "Thread dump request transmitted, but not handled: %s"};
  const std::string payload = sender_text("Thread dump request from: %s (%s/%lu), process ID %lu",
                                          "Thread dump request from UID %lu, process ID %lu");
  switch (send_request(app_name, unique_name, state_location, VEK_MESSAGE_THREAD_DUMP, payload, log)) {
    case RequestOutcome::DONE: break;
    case RequestOutcome::NO_REPLY:
      if (!signal_thread_dump(app_name, unique_name, state_location)) return false;
      break;
    case RequestOutcome::NOT_RUNNING:
    case RequestOutcome::NOT_HANDLED: return false;
  }
  const char* shown = vek_getStateLocation();
  veklog(VEK_SOURCE_HERE(process), VEKLOG_INFO,
         "A thread dump text file should now be available in the application's state directory: %s",
         shown != nullptr ? shown : state_location);
  return true;
} catch (...) {
  return out_of_memory("thread dump");
}

extern "C" bool vek_sendLauncherHeapDumpRequest(const char* app_name, const char* unique_name,
                                                const char* state_location, const char* filename, bool onlyLive) try {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr || filename == nullptr) return false;
  static const RequestLog log = {"Could not send heap dump request, the application does not appear to be running",
                                 "Could not transmit the heap dump request to the %s", "Heap dump request transmitted.",
                                 "Heap dump request transmitted. The response was: %s",
                                 "Heap dump request transmitted, but was not successful: %s"};
  // Only the sender description is cut to its buffer: the file name and the
  // flag reach the launcher whole.
  const std::string payload = std::string(filename) + "\n" + (onlyLive ? "true" : "false") + "\n" +
                              sender_text("heap dump request from: %s (%s/%lu), process ID %lu",
                                          "Heap dump request from: UID %lu, process ID %lu");
  return send_request(app_name, unique_name, state_location, VEK_MESSAGE_HEAP_DUMP, payload, log) ==
         RequestOutcome::DONE;
} catch (...) {
  return out_of_memory("heap dump");
}

extern "C" bool vek_sendLauncherSupportBundleRequest(const char* app_name, const char* unique_name,
                                                     const char* state_location) try {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr) return false;
  static const RequestLog log = {"Could not send support bundle request, the application does not appear to be running",
                                 "Could not transmit the support bundle request to the %s",
                                 "Support bundle request transmitted.",
                                 "Support bundle request transmitted. The response was: %s",
                                 "Support bundle request transmitted, but not handled: %s"};
  const std::string payload = sender_text("Support bundle request from: %s (%s/%lu), process ID %lu",
                                          "Support bundle request from: UID %lu, process ID %lu");
  return send_request(app_name, unique_name, state_location, VEK_MESSAGE_SUPPORT_BUNDLE, payload, log) ==
         RequestOutcome::DONE;
} catch (...) {
  return out_of_memory("support bundle");
}

extern "C" bool vek_sendLauncherSetDebugMessage(const char* app_name, const char* unique_name,
                                                const char* state_location, int type, const char* requested_level) try {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr || requested_level == nullptr)
    return false;
  static const RequestLog log = {
      "Could not send request to change global debug level, the application does not appear to be running",
      "Could not transmit the request to change debug level to %s", "Request to change debug level transmitted",
      "Request to change debug level transmitted. The response was: %s",
      "Request to change debug level transmitted, but was not successful: %s"};
  return send_request(app_name, unique_name, state_location, type, requested_level, log) == RequestOutcome::DONE;
} catch (...) {
  return out_of_memory("debug level");
}

extern "C" bool vek_stopNamedLauncher(const char* app_name, const char* unique_name, const char* state_location,
                                      bool force) try {
  state_location = state_or_default(state_location);
  if (app_name == nullptr || unique_name == nullptr || state_location == nullptr) return false;
  std::string pid_file;
  const PidFileHolder holder = launcher_holder(unique_name, state_location, pid_file);
  if (!force && !vek_isLauncherRunning(unique_name, state_location, false)) {
    veklog(VEK_SOURCE_HERE(process), VEKLOG_WARN,
           "%s process does not seem to be running in %s. Will not try to stop it.", unique_name, state_location);
    return true;
  }
  bool stopped = send_stop_message(app_name, unique_name, state_location, holder);
  if (!stopped) {
    const SignalOutcome signalled = signal_stop(unique_name, state_location, holder, pid_file);
    if (signalled == SignalOutcome::FAILED) return false;
    stopped = signalled == SignalOutcome::SENT;
  }
  // Only a stop that was carried out is waited for: after a failed one the
  // launcher may run on for ever.
  if (stopped && vek::process::wait_for_shutdown_requested())
    wait_until_stopped(unique_name, state_location, holder.named);
  return stopped;
} catch (...) {
  return out_of_memory("stop");
}
