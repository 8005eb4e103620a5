// A process at the other end of a message socket, for the transport tests:
//
//   message_peer serve PATH [until-exit] [exit-on-stop] [vm]
//                                       serves PATH until standard input closes (or,
//                                       until-exit, until the process exits);
//                                       type 7 is answered OK with "echo:" + text.
//                                       exit-on-stop: a stop request (type 4) ends the
//                                       process with exit(4) inside the processor;
//                                       vm: hosts the test Java VM and announces it (its
//                                       MessageHandler calls System.exit on a stop when
//                                       -Dvektest.exitOnStop is given, by JAVA_TOOL_OPTIONS)
//   message_peer send PATH TYPE EXPECTED TEXT
//                                       sends one message, prints the reply (or "null")
//   message_peer load PATH COUNT TAG    sends COUNT type-7 messages at once, one thread
//                                       each, and checks every reply; exit 0 when all matched
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_logging_console.h"
#include "vek_message.h"
#include "vek_test_jvm.h"

namespace {

constexpr int ECHO_TYPE = 7;
constexpr int EXIT_STATUS_ON_STOP = 4;
constexpr size_t LOAD_THREAD_STACK = 256 * 1024;

bool exit_on_stop = false;

vek_message_t* echo_processor(vek_message_t* incoming, bool) {
  if (incoming->type == VEK_MESSAGE_SHUTDOWN && exit_on_stop) exit(EXIT_STATUS_ON_STOP);
  if (incoming->type != ECHO_TYPE) return nullptr;
  char* text = vek_getMessagePayloadAsText(incoming);
  vek_message_t* reply = vek_createEmptyMessage();
  reply->type = VEK_MESSAGE_OK;
  vek_setMessageTextPayload(reply, (std::string("echo:") + (text != nullptr ? text : "")).c_str());
  free(text);
  return reply;
}

int serve(const char* path, const std::vector<std::string>& flags) {
  bool until_exit = false;
  for (const std::string& flag : flags) {
    if (flag == "until-exit") {
      until_exit = true;
    } else if (flag == "exit-on-stop") {
      exit_on_stop = true;
    } else if (flag == "vm") {
      if (vektest::testJvm() == nullptr) return 3;
      vek_lifecycleVMAvailable(vektest::testJvm());
    } else {
      return 2;
    }
  }
  vek_addMessageProcessor(echo_processor);
  if (vek_startMessageServer(path) < 0) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  char buffer[256];
  while (until_exit ? pause() < 0 : read(0, buffer, sizeof buffer) > 0) {
  }
  return 0;
}

int send_one(const char* path, int type, int expected, const char* text) {
  vek_message_t* message = vek_createEmptyMessage();
  message->type = type;
  message->response_expected = expected;
  vek_setMessageTextPayload(message, text);
  vek_message_t* reply = vek_sendMessage(path, message);
  vek_destroyMessage(message);
  if (reply == nullptr) {
    std::printf("null\n");
    return 0;
  }
  char* reply_text = vek_getMessagePayloadAsText(reply);
  std::printf("reply type=%d expected=%d length=%d text=%s\n", reply->type, reply->response_expected, reply->length,
              reply_text != nullptr ? reply_text : "");
  free(reply_text);
  vek_destroyMessage(reply);
  return 0;
}

struct LoadClient {
  const char* path;
  std::string text;
  pthread_barrier_t* start;
  std::atomic<int>* matched;
};

void* load_client(void* argument) {
  auto* client = static_cast<LoadClient*>(argument);
  pthread_barrier_wait(client->start);
  vek_message_t* message = vek_createEmptyMessage();
  message->type = ECHO_TYPE;
  vek_setMessageTextPayload(message, client->text.c_str());
  vek_message_t* reply = vek_sendMessage(client->path, message);
  char* text = vek_getMessagePayloadAsText(reply);
  if (reply != nullptr && reply->type == VEK_MESSAGE_OK && text != nullptr && "echo:" + client->text == text)
    ++*client->matched;
  free(text);
  vek_destroyMessage(reply);
  vek_destroyMessage(message);
  return nullptr;
}

int load(const char* path, int count, const char* tag) {
  std::vector<LoadClient> clients(static_cast<size_t>(count));
  std::vector<pthread_t> threads(static_cast<size_t>(count));
  std::atomic<int> matched{0};
  pthread_barrier_t start;
  pthread_barrier_init(&start, nullptr, static_cast<unsigned>(count));
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, LOAD_THREAD_STACK);
  for (int i = 0; i < count; ++i) {
    clients[i] = {path, std::string(tag) + "-" + std::to_string(i), &start, &matched};
    if (pthread_create(&threads[i], &attributes, load_client, &clients[i]) != 0) {
      std::fprintf(stderr, "cannot start client thread %d\n", i);
      _exit(2);  // the barrier would never open
    }
  }
  for (pthread_t& thread : threads) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  pthread_barrier_destroy(&start);
  std::printf("matched %d of %d\n", matched.load(), count);
  return matched.load() == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  vek_lifecycleInit();
  vek_setLogLevel(VEKLOG_ERROR);
  vek_addLogger(vek_consoleLogger);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" && argc >= 3) return serve(argv[2], std::vector<std::string>(argv + 3, argv + argc));
  if (mode == "send" && argc == 6) return send_one(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
  if (mode == "load" && argc == 5) return load(argv[2], std::atoi(argv[3]), argv[4]);
  std::fprintf(stderr,
               "usage: message_peer serve PATH [until-exit] [exit-on-stop] [vm] | send PATH TYPE EXPECTED TEXT | load "
               "PATH COUNT TAG\n");
  return 2;
}
