// Opening a file for the installer's reads on Windows, shared by the payload
// reader's and the driver's system calls.
#ifndef INSTALLER_FILE_IO_WINDOWS_H
#define INSTALLER_FILE_IO_WINDOWS_H

#include <string>

// A descriptor on a file opened for reading that others may read but not
// write, rename or delete while it is open; -1 with errno set (ENOENT for a
// missing file or an empty path, EACCES otherwise).
int open_shared_for_reading(const std::wstring& path);

#endif  // INSTALLER_FILE_IO_WINDOWS_H
