// File-writing filling of the tar reader's operation table: creates the
// extracted tree below the current working directory (the installer's
// extraction directory) and nothing outside it.
#ifndef INSTALLER_FILE_UNTAR_OPS_H
#define INSTALLER_FILE_UNTAR_OPS_H

#include "untar.h"

// Fills the seven slots after `read` (the caller sets `read`). Every
// operation expects as ctx the untar_context_t of the running extract_tar.
// A name that would lead outside the working directory (absolute, with a
// ".." component, or through an existing symbolic link) is refused with an
// ERROR naming the entry, and sets the context's abort_archive.
void init_file_untar_ops(untar_ops* ops);

#endif  // INSTALLER_FILE_UNTAR_OPS_H
