// System calls of the payload decoder's worker threads, one implementation
// per platform (unix/payload_unix.cpp, windows/payload_windows.cpp).
#ifndef INSTALLER_PAYLOAD_PLATFORM_H
#define INSTALLER_PAYLOAD_PLATFORM_H

// Processors this process may run on (at least 1).
unsigned platform_processor_count(void);

// Runs `start`, which creates the worker threads, with every signal blocked
// in the calling thread and restores its mask afterwards: a thread starts
// with its creator's mask, so the workers block every signal from their first
// instruction, and a signal meant for the process (an interrupt, a SIGBUS
// sent with kill) is always taken by the main thread, whose handlers and
// jump buffer are made for it. Windows: runs `start` (console events are
// handled on a thread of their own).
void platform_with_signals_blocked(void (*start)(void* arg), void* arg);

#endif  // INSTALLER_PAYLOAD_PLATFORM_H
