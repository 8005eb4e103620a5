// File-writing filling of the tar reader's operation table: creates the
// extracted tree below the current working directory (the installer's
// extraction directory) and nothing outside it.
#ifndef INSTALLER_FILE_UNTAR_OPS_H
#define INSTALLER_FILE_UNTAR_OPS_H

#include "untar.h"
#include "vek_types.h"

// Fills the seven slots after `read` (the caller sets `read`). Every
// operation expects as ctx the untar_context_t of the running extract_tar.
// A name that would lead outside the working directory (absolute, with a
// ".." component, or through an existing symbolic link) is refused with an
// ERROR naming the entry, and sets the context's abort_archive.
void init_file_untar_ops(untar_ops* ops);

// Ends the file-writing pass of one archive; call it after extract_tar
// whatever its result. Directories are made writable by their owner while
// the archive runs; when apply_modes is true, every directory entry's mode,
// less the creation mask, is applied here, deepest directories first and
// never through a symbolic link (a directory replaced by a link is skipped
// with a WARN). The pending list is always released. False (ERROR logged)
// when a mode could not be applied; true when there was nothing to do.
bool finish_file_untar_ops(untar_context* ctx, bool apply_modes);

// Called with the count of every successful write of file data, for a
// status line; NULL (the default) calls nothing.
typedef void (*file_progress_func)(vek_uint64_t bytes);
void set_file_untar_progress(file_progress_func callback);

#endif  // INSTALLER_FILE_UNTAR_OPS_H
