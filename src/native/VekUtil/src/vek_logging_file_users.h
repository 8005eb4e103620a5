// How many threads the file logger counts as inside it (holding or awaiting
// its mutex). The clean-up at exit waits for the count to drop; the library's
// own tests read it to show that a forked child, where only the forking
// thread lives, starts from none.
#ifndef VEK_LOGGING_FILE_USERS_H
#define VEK_LOGGING_FILE_USERS_H

namespace vek::logfile {

int users_inside();

}  // namespace vek::logfile

#endif  // VEK_LOGGING_FILE_USERS_H
