// The text the runner's helper child writes to one stream, shared with the
// tests that check what arrived: numbered lines, so that a lost, repeated or
// reordered piece changes the text.
#ifndef RUNNER_CHILD_PATTERN_H
#define RUNNER_CHILD_PATTERN_H

#include <cstdio>
#include <string>

namespace vektest {

// `bytes` bytes of lines "<tag> 0000001\n", "<tag> 0000002\n", ... (the last
// one cut short).
inline std::string streamPattern(char tag, size_t bytes) {
  std::string text;
  text.reserve(bytes + 16);
  char line[32];
  for (unsigned n = 1; text.size() < bytes; ++n) {
    snprintf(line, sizeof line, "%c %07u\n", tag, n);
    text += line;
  }
  text.resize(bytes);
  return text;
}

}  // namespace vektest

#endif  // RUNNER_CHILD_PATTERN_H
