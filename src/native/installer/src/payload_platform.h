// System calls of the payload reader, one implementation per platform
// (unix/payload_unix.cpp, windows/payload_windows.cpp): the reads of the
// installer file and the decoder's worker threads. The driver opens and
// closes the installer file through the same calls.
#ifndef INSTALLER_PAYLOAD_PLATFORM_H
#define INSTALLER_PAYLOAD_PLATFORM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// Descriptor I/O on the installer file. Reads loop on EINTR; read_at loops on
// short reads until count bytes or the end of the file. Windows opens by the
// wide-character interface and shares the file for reading only.
int platform_open_readonly(const char* path);
void platform_close(int fd);
int64_t platform_file_size(int fd);                         // -1 on failure
int64_t platform_seek(int fd, int64_t offset, int whence);  // new position, -1 on failure
ssize_t platform_read(int fd, void* buf, size_t count);
ssize_t platform_read_at(int fd, void* buf, size_t count, int64_t offset);

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
