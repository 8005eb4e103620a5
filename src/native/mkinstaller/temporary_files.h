// Files and directories the packer makes beside its output (rewritten
// archives, extracted trees, the installer being written): every one is
// recorded when it is made and removed at the end, on failure, and when
// Ctrl+C, SIGTERM or SIGHUP ends the run.
#ifndef MKINSTALLER_TEMPORARY_FILES_H
#define MKINSTALLER_TEMPORARY_FILES_H

#include <string>

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (and so in every
// thread it starts later) and starts a thread that waits for them: it
// removes every recorded temporary and then ends the process by the same
// signal. Call it first, before any other thread starts.
void temporary_cleanup_on_signals();

// Creates a file from `name_template` (ending in "XXXXXX", replaced) and
// records it: its descriptor, or -1 with errno set.
int temporary_file_create(std::string* name_template);
// Creates a directory the same way: false with errno set.
bool temporary_directory_create(std::string* name_template);
// Forgets `path` (renamed into place, or removed by its owner).
void temporary_forget(const std::string& path);
// Removes `path` (a file, or a directory with all it holds) and forgets it.
void temporary_remove(const std::string& path);
// Removes every recorded temporary.
void temporary_remove_all();

#endif  // MKINSTALLER_TEMPORARY_FILES_H
