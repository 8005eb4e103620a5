// System calls behind the file-writing operations, one implementation per
// platform family (unix/, windows/). Private to file_untar_ops.
#ifndef INSTALLER_FILE_UNTAR_OPS_PLATFORM_H
#define INSTALLER_FILE_UNTAR_OPS_PLATFORM_H

#include <stddef.h>

// Platform files log under the module's own name (vek_log_source.h):
// VEK_SOURCE_HERE(file_untar_ops).

// Creates the parent directories of path (0777 less the creation mask).
// Logs ERROR and returns false when they cannot be created. Portable.
bool create_parent_dirs(const char* path);

// Creates a regular file for writing; creates its parents first. Whatever
// stands at the name and is not a directory is removed first, never opened
// (a device, a FIFO, a link, a file with other hard links), and the file is
// created exclusively. A descriptor, or -1 with errno set.
int platform_open_file(const char* file_name, int mode);
// One write of up to sz bytes (retried on EINTR): the count written, or -1.
int platform_write_file(int fd, const char* buf, size_t sz);
// Closes fd; false with errno set when the close reports an error (a
// deferred write error of a network file system or a quota).
bool platform_close_file(int fd);
// Each creates its parents first; false with errno set on failure. Where the
// platform cannot create the kind, they warn and report success. Devices and
// links replace what stands at their name unless it is a directory; a link
// that cannot be made leaves it in place.
// Creates a directory for the entries inside it: with the owner's read,
// write and search bits added, and added to an existing directory that lacks
// them. False with errno set when it cannot be made (a non-directory in the
// way included).
bool platform_make_directory(const char* name, int mode);
// Sets a directory's permission bits without following a symbolic link in
// its last component: false with errno set (ELOOP or ENOTDIR when it is no
// longer a directory). Where modes are not used, does nothing.
bool platform_set_directory_mode(const char* name, int mode);
// The process's file-creation mask (0 where there is none).
int platform_creation_mask();
bool platform_make_device(const char* device_name, int mode, int major, int minor);
bool platform_make_symlink(const char* to, const char* from);
bool platform_make_hardlink(const char* to, const char* from);

// The one question the path gate (path_gate.h) asks the disk: true when
// path exists and is a symbolic link (Windows: a reparse point).
bool platform_is_symlink(const char* path);

#endif  // INSTALLER_FILE_UNTAR_OPS_PLATFORM_H
