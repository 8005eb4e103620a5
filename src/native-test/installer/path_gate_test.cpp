// The installer's path gate under both rule sets, on every target: the
// packer checks Windows payloads on Linux with the same function the
// Windows installer runs.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "path_gate.h"

namespace {

// The names a test tree holds as symbolic links.
bool is_link(void* links, const char* prefix) { return static_cast<std::set<std::string>*>(links)->count(prefix) != 0; }

struct Case {
  const char* name;
  path_rules_t rules;
  path_use_t use;
  const char* reason;  // a part of the refusal, or "" when the name may be made
};

// Regression: the Windows gate let reserved device names through, so "aux.h"
// or "nul" opened a device instead of a file.
TEST(PathGate, RefusesWhatEachSystemCannotHoldSafely) {
  const auto P = PATH_RULES_POSIX, W = PATH_RULES_WINDOWS;
  const auto C = PATH_CREATE, L = PATH_LINK_NAME;
  const Case cases[] = {
      {"a/b.txt", P, C, ""},
      {"a/b.txt", W, C, ""},
      {"../x", P, C, "parent directory reference"},
      {"/etc/passwd", P, C, "absolute path"},
      {"a\\..\\..\\x", P, C, ""},  // one ordinary name on Linux
      {"a\\..\\..\\x", W, C, "parent directory reference"},
      {"\\x", W, C, "absolute path"},
      {"C:x", W, C, "drive or stream name"},
      {"f:stream", W, C, "drive or stream name"},
      {"a/.../b", P, C, ""},
      {"a/.../b", W, C, "parent directory reference"},
      {"a/.. /b", W, C, "parent directory reference"},
      {"CON", W, C, "reserved device name"},
      {"con", P, C, ""},
      {"inc/aux.h", W, C, "reserved device name"},
      {"Nul .txt", W, C, "reserved device name"},
      {"COM1/x", W, C, "reserved device name"},
      {"lpt9.log", W, C, "reserved device name"},
      {"COM\xc2\xb9", W, C, "reserved device name"},
      {"CONIN$", W, C, "reserved device name"},
      {"conout$.txt", W, C, "reserved device name"},
      {"COM10", W, C, ""},
      {"LPT", W, C, ""},
      {"CONSOLE", W, C, ""},
      {"auxiliary.h", W, C, ""},
      {"a.con", W, C, ""},
      {"a<b", W, C, "a character Windows cannot hold"},
      {"what?", W, C, "a character Windows cannot hold"},
      {"bell\a", W, C, "a character Windows cannot hold"},
      {"bell\a", P, C, ""},
      {"caf\xc3\xa9-\xe6\x97\xa5", W, C, ""},
      {"via/x", P, C, "path goes through symbolic link via"},
      {"via", P, C, "path goes through symbolic link via"},
      {"via", P, L, ""},  // a link of that name replaces the link
      {"./via/x", W, L, "path goes through symbolic link ./via"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.rules == W ? " (Windows)" : " (POSIX)"));
    std::set<std::string> links = {"via", "./via"};
    std::string reason = unsafe_path_reason(c.name, c.use, c.rules, is_link, &links);
    if (*c.reason == '\0')
      EXPECT_EQ(reason, "");
    else
      EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
  }
#ifdef _WIN32
  EXPECT_EQ(native_path_rules(), PATH_RULES_WINDOWS);
#else
  EXPECT_EQ(native_path_rules(), PATH_RULES_POSIX);
#endif
}

// The one key by which the tar reader's link queue, the directory modes and
// the packer's tree compare names, and the parent test the packer asks
// before writing a name.
TEST(PathGate, KeysAndParentReferencesFollowEachSystemsSeparators) {
  const auto P = PATH_RULES_POSIX, W = PATH_RULES_WINDOWS;
  struct KeyCase {
    const char* name;
    path_rules_t rules;
    const char* key;
    bool parent;  // a component refers to the parent
  };
  const KeyCase cases[] = {
      {"./a//b/", P, "a/b", false},
      {"a/./b/.", P, "a/b", false},
      {".", P, "", false},
      {"/", P, "", false},
      {"a\\b", P, "a\\b", false},
      {"a\\b", W, "a/b", false},
      {".\\a\\\\b\\", W, "a/b", false},
      {"a/../b", P, "a/../b", true},
      {"a/..b", P, "a/..b", false},
      {"..", P, "..", true},
      {"a/.../b", P, "a/.../b", false},
      {"a/.../b", W, "a/.../b", true},
      {"a\\..\\b", P, "a\\..\\b", false},
      {"a\\..\\b", W, "a/../b", true},
      {"x/.. ", W, "x/.. ", true},
      {"x/. .", W, "x/. .", true},  // Windows drops the trailing dot and blank
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.rules == W ? " (Windows)" : " (POSIX)"));
    EXPECT_EQ(path_key(c.name, c.rules), c.key);
    EXPECT_EQ(path_has_parent_reference(c.name, c.rules), c.parent);
  }
}

}  // namespace
