// The status line: carriage return, text, blanks over the rest of the
// previous text. Blanks rather than an erase sequence, which an old Windows
// console prints as it stands.
#include "status_line.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "status_line_platform.h"

namespace {

const size_t MAX_TEXT = 79;  // one row of an 80-column terminal, without the cursor

struct status_line_state_t {
  bool active;        // started on a terminal
  size_t shown;       // characters on the row now; 0 when erased
  uint64_t drawn_at;  // clock of the last draw
  bool drawn_once;    // drawn_at is meaningful
  std::string text;   // what was last drawn
};
status_line_state_t line = {false, 0, 0, false, {}};

bool disabled_by_environment() {
  const char* setting = getenv("NIMBO_NOPROGRESS");
  return setting != nullptr && setting[0] != '\0' && strcmp(setting, "0") != 0;
}

void put(const std::string& bytes) {
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  fflush(stdout);
}

}  // namespace

bool status_line_start(bool allowed) {
  line = {allowed && !disabled_by_environment() && platform_stdout_is_terminal(), 0, 0, false, {}};
  return line.active;
}

bool status_line_active(void) { return line.active; }

void status_line_show(const char* text, bool force) {
  if (!line.active) return;
  std::string wanted(text, strnlen(text, MAX_TEXT));
  uint64_t now = platform_monotonic_ms();
  if (line.shown > 0 && wanted == line.text) return;
  if (!force && line.drawn_once && now - line.drawn_at < STATUS_LINE_INTERVAL_MS) return;
  std::string out = "\r" + wanted;
  if (line.shown > wanted.size()) out.append(line.shown - wanted.size(), ' ').append("\r" + wanted);
  put(out);
  line.shown = wanted.size();
  line.text = wanted;
  line.drawn_at = now;
  line.drawn_once = true;
}

void status_line_erase(void) {
  if (line.shown == 0) return;
  put("\r" + std::string(line.shown, ' ') + "\r");
  line.shown = 0;
}

void status_line_stop(void) {
  status_line_erase();
  line.active = false;
}

void status_line_logger(vek_log_event_t*) { status_line_erase(); }
