// Size-counting filling of the tar reader's operation table: creates nothing
// and adds to the context's written_bytes what the extracted tree will take.
#ifndef INSTALLER_SIZE_UNTAR_OPS_H
#define INSTALLER_SIZE_UNTAR_OPS_H

#include "untar.h"

// Fills the seven slots after `read` (the caller sets `read`). Counts file
// data at its exact size, 4096 bytes per directory entry, the target length
// per symbolic link, nothing for hard links and devices. Never fails.
void init_size_untar_ops(untar_ops* ops);

#endif  // INSTALLER_SIZE_UNTAR_OPS_H
