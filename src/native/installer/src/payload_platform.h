// System calls of the payload decoder's worker threads, one implementation
// per platform (unix/payload_unix.cpp, windows/payload_windows.cpp).
#ifndef INSTALLER_PAYLOAD_PLATFORM_H
#define INSTALLER_PAYLOAD_PLATFORM_H

// Processors this process may run on (at least 1).
unsigned platform_processor_count(void);

// Keeps the interrupt signal away from the calling thread, so that the
// installer's handler always runs on the main thread, whose reads poll its
// flag. Called first thing by every worker. Windows: nothing (the console
// handler runs on a thread of its own).
void platform_block_interrupts_in_thread(void);

#endif  // INSTALLER_PAYLOAD_PLATFORM_H
