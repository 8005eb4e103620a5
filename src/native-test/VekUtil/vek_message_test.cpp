// Launcher messages: payload helpers, the socket-file name every tool must
// agree on, and the processor registry's order of answering.
#include "vek_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_test_support.h"
#ifndef _WIN32
#include "vek_file.h"
#endif

namespace {

std::string take_text(char* text) {
  std::string out = text != nullptr ? std::string(text) : "<null>";
  free(text);
  return out;
}

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override { vek_lifecycleInit(); }
};

TEST_F(MessageTest, TextPayloadsCarryTheirTerminatorAndEmptyPayloadsHaveNoText) {
  struct Case {
    const char* name;
    const char* text;
    int32_t length;
    const char* as_text;  // "<null>": no text
  };
  const Case cases[] = {
      {"text", "thread dump", 12, "thread dump"},
      {"empty text", "", 1, ""},
      {"no text", nullptr, 0, "<null>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vek_message_t* message = vek_createEmptyMessage();
    ASSERT_NE(nullptr, message);
    EXPECT_EQ(VEK_MESSAGE_NONE, message->type);
    EXPECT_EQ(1, message->response_expected);
    vek_setMessageTextPayload(message, "an earlier payload that must go");
    vek_setMessageTextPayload(message, c.text);
    EXPECT_EQ(c.length, message->length);
    EXPECT_EQ(c.length == 0, message->data == nullptr);
    if (c.length > 0) {
      EXPECT_EQ('\0', message->data[c.length - 1]);
    }
    EXPECT_EQ(c.as_text, take_text(vek_getMessagePayloadAsText(message)));
    vek_destroyMessage(message);
  }
  // A binary payload comes back whole, with one zero byte added after it.
  vek_message_t* message = vek_createEmptyMessage();
  message->data = static_cast<char*>(malloc(3));
  memcpy(message->data, "a\0b", 3);
  message->length = 3;
  char* text = vek_getMessagePayloadAsText(message);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(0, memcmp(text, "a\0b\0", 4));
  free(text);
  vek_destroyMessage(message);
}

#ifndef _WIN32
// Every tool that knows the application name and the state directory must
// reach the same file: the digest is part of the contract, so it is pinned
// here rather than recomputed.
TEST_F(MessageTest, SocketFileNameIsTheApplicationAndTheDigestOfNameAndStateDirectory) {
  const std::string temp = vek_getTempDir();
  const std::string digest = "3f3c14d1ce4c32d22bc24543c9470bb2";  // MD5 of "launcher/var/lib/launcher"
  const std::string long_name(120, 'n');
  struct Case {
    const char* name;
    std::string app;
    std::string state;
    std::string expected;  // "": only checked for its form
  };
  const Case cases[] = {
      {"ordinary name", "launcher", "/var/lib/launcher", temp + "/launcher-" + digest + ".msg"},
      {"name too long for a socket address", long_name, "/var/lib/launcher", ""},
      {"name with a slash stays in the temporary directory", "../escape", "/var/lib/launcher", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = take_text(vek_getMessagePath(c.app.c_str(), c.state.c_str()));
    EXPECT_EQ(path, take_text(vek_getMessagePath(c.app.c_str(), c.state.c_str())));
    EXPECT_LT(path.size(), 108u);
    if (!c.expected.empty()) {
      EXPECT_EQ(c.expected, path);
    } else {
      // The short form: the temporary directory, 32 hex digits, ".msg".
      ASSERT_EQ(temp.size() + 1 + 32 + 4, path.size()) << path;
      EXPECT_EQ(temp + "/", path.substr(0, temp.size() + 1));
      EXPECT_EQ(std::string::npos, path.substr(temp.size() + 1, 32).find_first_not_of("0123456789abcdef"));
    }
  }
  EXPECT_NE(take_text(vek_getMessagePath("launcher", "/var/lib/launcher")),
            take_text(vek_getMessagePath("launcher", "/var/lib/other")));
  EXPECT_EQ(nullptr, vek_getMessagePath(nullptr, "/var"));
}
#endif

// ---- Registry ----------------------------------------------------------------

// What each processor was asked, in order: "old:0" = old processor, not yet handled.
std::vector<std::string> asked;
bool old_answers = false;
bool new_answers = false;

vek_message_t* reply_from(const char* who) {
  vek_message_t* reply = vek_createEmptyMessage();
  reply->type = VEK_MESSAGE_OK;
  vek_setMessageTextPayload(reply, who);
  return reply;
}

vek_message_t* old_processor(vek_message_t*, bool already_handled) {
  asked.push_back(std::string("old:") + (already_handled ? "1" : "0"));
  return old_answers ? reply_from("old") : nullptr;
}

vek_message_t* new_processor(vek_message_t*, bool already_handled) {
  asked.push_back(std::string("new:") + (already_handled ? "1" : "0"));
  return new_answers ? reply_from("new") : nullptr;
}

// A reply that the registry does not return must be destroyed: the
// AddressSanitizer build's leak check fails this test when it is not.
TEST_F(MessageTest, TheNewestProcessorAnswersFirstAndLaterRepliesAreDestroyed) {
  struct Case {
    const char* name;
    bool old_answers;
    bool new_answers;
    const char* answer;  // "<null>": no reply
    std::vector<std::string> asked;
  };
  const Case cases[] = {
      {"nobody answers", false, false, "<null>", {"new:0", "old:0"}},
      {"only the older answers", true, false, "old", {"new:0", "old:0"}},
      {"only the newer answers", false, true, "new", {"new:0", "old:1"}},
      {"both answer: the newer wins", true, true, "new", {"new:0", "old:1"}},
  };
  vek_addMessageProcessor(old_processor);
  vek_addMessageProcessor(new_processor);
  vek_addMessageProcessor(old_processor);  // already registered: keeps its place
  vek_message_t* incoming = vek_createEmptyMessage();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    old_answers = c.old_answers;
    new_answers = c.new_answers;
    asked.clear();
    vek_message_t* answer = vek_handle_message(incoming);
    EXPECT_EQ(c.answer, take_text(vek_getMessagePayloadAsText(answer)));
    EXPECT_EQ(c.asked, asked);
    vek_destroyMessage(answer);
  }
  EXPECT_TRUE(vek_removeMessageProcessor(new_processor));
  EXPECT_FALSE(vek_removeMessageProcessor(new_processor));
  EXPECT_TRUE(vek_removeMessageProcessor(old_processor));
  asked.clear();
  EXPECT_EQ(nullptr, vek_handle_message(incoming));
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(nullptr, vek_handle_message(nullptr));
  vek_destroyMessage(incoming);
}

// Processors that change the registry while they answer, as a processor
// that destroys the VM does (the VM's own processor is unregistered then).
vek_message_t* remover_of_itself(vek_message_t*, bool) {
  asked.push_back("remover");
  vek_removeMessageProcessor(remover_of_itself);
  return reply_from("remover");
}
vek_message_t* remover_of_old(vek_message_t*, bool) {
  asked.push_back("remover");
  vek_removeMessageProcessor(old_processor);
  return nullptr;
}
vek_message_t* adder_of_new(vek_message_t*, bool) {
  asked.push_back("adder");
  vek_addMessageProcessor(new_processor);
  return nullptr;
}

// The dispatch used to wait for itself, for ever, when a processor changed
// the registry. A processor removed meanwhile is not asked any more; one
// added is asked from the next dispatch on.
TEST_F(MessageTest, AProcessorMayChangeTheRegistryWhileItAnswers) {
  struct Case {
    const char* name;
    vek_message_processor_t changer;
    std::vector<std::string> first, second;  // asked in two dispatches in a row
  };
  const Case cases[] = {
      {"removes itself", remover_of_itself, {"remover", "old:1"}, {"old:0"}},
      {"removes a processor not asked yet", remover_of_old, {"remover"}, {"remover"}},
      {"adds a processor", adder_of_new, {"adder", "old:0"}, {"new:0", "adder", "old:0"}},
  };
  old_answers = new_answers = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vek_addMessageProcessor(old_processor);
    vek_addMessageProcessor(c.changer);
    vek_message_t* incoming = vek_createEmptyMessage();
    for (const auto* expected : {&c.first, &c.second}) {
      asked.clear();
      vek_destroyMessage(vek_handle_message(incoming));
      EXPECT_EQ(*expected, asked);
    }
    vek_destroyMessage(incoming);
    for (auto processor : {old_processor, new_processor, c.changer}) vek_removeMessageProcessor(processor);
  }
}

}  // namespace
