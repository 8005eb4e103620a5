// One status line on the terminal ("Extracting 37 %"), redrawn in place at
// most ten times a second and erased before anything else is written. Used
// by the installer's extract pass and by the packaging tool. Main thread
// only.
#ifndef INSTALLER_STATUS_LINE_H
#define INSTALLER_STATUS_LINE_H

#include <stdbool.h>

#include "vek_logging.h"

// Minimum pause between two redraws, in milliseconds.
#define STATUS_LINE_INTERVAL_MS 100

// Turns the line on when standard output is a terminal (a console on
// Windows) and NIMBO_NOPROGRESS is unset, empty or "0", and `allowed` is
// true (the caller's own conditions, such as debug logging being off).
// Returns whether it is on.
bool status_line_start(bool allowed);
bool status_line_active(void);
// Shows text (cut to 79 characters) unless the line was drawn less than
// the interval ago; `force` draws regardless. Nothing when off.
void status_line_show(const char* text, bool force);
// Erases the line (it may be drawn again later). Nothing when not shown.
void status_line_erase(void);
// Erases and turns the line off.
void status_line_stop(void);
// A logger to register before the console logger: it erases the line before
// a log line is written, so that the two never share a row.
void status_line_logger(vek_log_event_t* event);

#endif  // INSTALLER_STATUS_LINE_H
