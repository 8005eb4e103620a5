// The message bridge into a real Java VM: the Java handler
// com.nimbo.common.launcher.message.MessageHandler of the test classes
// answers through vek_VmMessageProcessor, which the lifecycle hook
// registers when the VM is announced and removes when it goes. And a server
// process (hosting a VM or not) that exits while it handles a stop request.
#include "vek_message.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_test_jvm.h"
#include "vek_test_run.h"
#include "vek_test_support.h"

namespace {

using vektest::RecordingLogger;

const char* const HANDLER = "com/nimbo/common/launcher/message/MessageHandler";
constexpr int THROW_TYPE = 100;
constexpr int NULL_DATA_TYPE = 101;
constexpr int ECHO_TYPE = 102;
constexpr int UNKNOWN_TYPE = 99;

vek_message_t* bytes_message(int type, int expected, const std::string& bytes) {
  vek_message_t* message = vek_createEmptyMessage();
  message->type = type;
  message->response_expected = expected;
  if (!bytes.empty()) {
    message->data = static_cast<char*>(malloc(bytes.size()));
    memcpy(message->data, bytes.data(), bytes.size());
    message->length = static_cast<int32_t>(bytes.size());
  }
  return message;
}

std::string payload_of(const vek_message_t* message) {
  return message->length > 0 ? std::string(message->data, static_cast<size_t>(message->length)) : "";
}

// What the Java handler recorded since the last call: "type|expected|text|handled".
std::vector<std::string> java_calls(JNIEnv* env) {
  std::vector<std::string> calls;
  auto array = static_cast<jobjectArray>(vektest::callStatic(env, HANDLER, "drain", "()[Ljava/lang/String;"));
  if (array == nullptr) return calls;
  for (jsize i = 0; i < env->GetArrayLength(array); ++i) {
    auto s = static_cast<jstring>(env->GetObjectArrayElement(array, i));
    const char* utf = env->GetStringUTFChars(s, nullptr);
    calls.push_back(utf);
    env->ReleaseStringUTFChars(s, utf);
  }
  return calls;
}

// A native processor that answers every request, to compete with the VM's.
std::vector<bool> native_asked;
vek_message_t* native_processor(vek_message_t*, bool already_handled) {
  native_asked.push_back(already_handled);
  vek_message_t* reply = vek_createEmptyMessage();
  reply->type = VEK_MESSAGE_OK;
  vek_setMessageTextPayload(reply, "native");
  return reply;
}

class MessageJvmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    vm_ = vektest::testJvm();
    ASSERT_NE(nullptr, vm_);
    env_ = vektest::testEnv();
    ASSERT_NE(nullptr, env_);
    vek_lifecycleVMAvailable(vm_);
    java_calls(env_);
  }
  void TearDown() override { vek_lifecycleVMUnavailable(); }

  JavaVM* vm_ = nullptr;
  JNIEnv* env_ = nullptr;
};

TEST_F(MessageJvmTest, TheJavaHandlerAnswersAndItsReplyComesBackWhole) {
  const std::string binary("a\0b\xff", 4);
  struct Case {
    const char* name;
    int type;
    int expected;
    std::string payload;
    bool already_handled;
    int reply_type;  // -1: no reply
    std::string reply_payload;
    int reply_expected;
    const char* java_saw;  // nullptr: not compared
    const char* warning;   // nullptr: none
  };
  const Case cases[] = {
      {"request answered", VEK_MESSAGE_SUPPORT_BUNDLE, 1, std::string("please", 7), false, VEK_MESSAGE_OK,
       std::string("Support bundle requested", 25), 1, "6|true|please|false", nullptr},
      {"binary payload both ways", ECHO_TYPE, 1, binary, false, VEK_MESSAGE_OK, binary, 0, nullptr, nullptr},
      {"reply without data", NULL_DATA_TYPE, 1, "", false, VEK_MESSAGE_OK, "", 1, "101|true||false", nullptr},
      {"Java does not handle it", UNKNOWN_TYPE, 1, "", false, -1, "", 0, "99|true||false", nullptr},
      {"Java throws", THROW_TYPE, 1, "", false, -1, "", 0, "100|true||false",
       "Could not pass the inter-launcher message into the embedded VM for handling."},
      {"already handled: asked, answer ignored", VEK_MESSAGE_SUPPORT_BUNDLE, 1, "", true, -1, "", 0, "6|true||true",
       nullptr},
      {"only the low byte of response_expected counts", VEK_MESSAGE_SUPPORT_BUNDLE, 0x100, "", false, VEK_MESSAGE_OK,
       std::string("Support bundle requested", 25), 1, "6|false||false", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::RecordLogs logs;
    vek_message_t* request = bytes_message(c.type, c.expected, c.payload);
    vek_message_t* reply = vek_VmMessageProcessor(request, c.already_handled);
    if (c.reply_type < 0) {
      EXPECT_EQ(nullptr, reply);
    } else {
      ASSERT_NE(nullptr, reply);
      EXPECT_EQ(c.reply_type, reply->type);
      EXPECT_EQ(c.reply_expected, reply->response_expected);
      EXPECT_EQ(c.reply_payload, payload_of(reply));
      EXPECT_EQ(c.reply_payload.empty(), reply->data == nullptr);
    }
    const auto calls = java_calls(env_);
    ASSERT_EQ(1u, calls.size());
    if (c.java_saw != nullptr) {
      EXPECT_EQ(c.java_saw, calls[0]);
    }
    auto events = logs.take();
    if (c.warning != nullptr) {
      EXPECT_TRUE(RecordingLogger::contains(events, VEKLOG_WARN, c.warning));
    }
    EXPECT_FALSE(env_->ExceptionCheck());
    vek_destroyMessage(reply);
    vek_destroyMessage(request);
  }
}

TEST_F(MessageJvmTest, TheVmProcessorComesFirstWhileTheVmIsAvailable) {
  vek_lifecycleVMUnavailable();
  vek_addMessageProcessor(native_processor);
  vek_lifecycleVMAvailable(vm_);
  vek_message_t* request = bytes_message(VEK_MESSAGE_SUPPORT_BUNDLE, 1, "");
  struct Step {
    const char* name;
    std::function<void()> change;
    std::string answer;
    std::vector<bool> native_asked;
  };
  const Step steps[] = {
      {"VM announced after the native processor", [] {}, "Support bundle requested", {true}},
      {"VM gone", [] { vek_lifecycleVMUnavailable(); }, "native", {false}},
      {"VM announced again", [this] { vek_lifecycleVMAvailable(vm_); }, "Support bundle requested", {true}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.change();
    native_asked.clear();
    vek_message_t* answer = vek_handle_message(request);
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(step.answer, std::string(answer->data));
    EXPECT_EQ(step.native_asked, native_asked);
    vek_destroyMessage(answer);
  }
  vek_removeMessageProcessor(native_processor);
  vek_destroyMessage(request);
}

// Connection threads are native threads: each message attaches its thread
// for the call and detaches it afterwards.
TEST_F(MessageJvmTest, AThreadOutsideTheVmIsAttachedForOneMessage) {
  std::string answer;
  bool attached_after = true;
  std::thread worker([&] {
    vek_message_t* request = bytes_message(VEK_MESSAGE_SUPPORT_BUNDLE, 1, "");
    vek_message_t* reply = vek_handle_message(request);
    answer = reply != nullptr ? std::string(reply->data) : "<none>";
    attached_after = vek_getEnvFromJVM(vm_) != nullptr;
    vek_destroyMessage(reply);
    vek_destroyMessage(request);
  });
  worker.join();
  EXPECT_EQ("Support bundle requested", answer);
  EXPECT_FALSE(attached_after);
}

// ---- An exit while a message is being handled ---------------------------------------

// Exit processing used to wait for the processor lock that the handling
// thread held: the process never ended and the sender never got an answer.
// Now the stop request is answered by the exit itself and the process ends.
TEST(MessageExitTest, AnExitWhileAStopIsHandledEndsTheProcessAndAnswersTheSender) {
  struct Case {
    const char* name;
    std::vector<std::string> flags;  // of message_peer serve
    std::vector<vektest::EnvChange> environment;
    int status;  // the server's exit status
  };
  const Case cases[] = {
      {"System.exit from the Java handler", {"vm"}, {{"JAVA_TOOL_OPTIONS", "-Dvektest.exitOnStop=3"}}, 3},
      {"exit() from a native processor, VM announced", {"vm", "exit-on-stop"}, {}, 4},
      {"exit() from a native processor, no VM", {"exit-on-stop"}, {}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::TempDir dir;
    const std::string path = dir.file("peer.msg");
    std::vector<std::string> arguments = {VEK_MESSAGE_PEER, "serve", path, "until-exit"};
    arguments.insert(arguments.end(), c.flags.begin(), c.flags.end());
    vektest::RunResult served;
    std::thread server([&] { served = vektest::runProgram(arguments, c.environment, std::chrono::seconds(120)); });
    const auto listening = [&] {  // a connection that sends nothing is closed unanswered
      sockaddr_un address = {};
      address.sun_family = AF_UNIX;
      strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      close(fd);
      return connected;
    };
    for (int waited = 0; waited < 1200 && !listening(); ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const vektest::RunResult sent =
        vektest::runProgram({VEK_MESSAGE_PEER, "send", path, std::to_string(VEK_MESSAGE_SHUTDOWN), "1", "stop"}, {},
                            std::chrono::seconds(120));
    server.join();
    EXPECT_TRUE(sent.status == 0 && sent.has("reply type=2 ")) << "no answer\n" << sent.output;
    EXPECT_EQ(c.status, served.status) << "the server did not end\n" << served.output;
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

}  // namespace
