// Tar archive reader: reads one ustar or old-GNU tar stream and applies each
// entry through a table of operations. The reader does no I/O of its own:
// reading the stream and creating files, directories, devices and links are
// all slots of untar_ops_t, so the same reader serves the size-counting pass
// and the extraction pass.
#ifndef INSTALLER_UNTAR_H
#define INSTALLER_UNTAR_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "tar_format.h"
#include "vek_list.h"
#include "vek_types.h"

// Context of one archive, owned by the caller of extract_tar and handed
// unchanged to every operation as its ctx argument.
typedef struct untar_context_t {
  void* source;                // what the read operation reads from (the gzip reader in the installer)
  vek_uint64_t written_bytes;  // bytes counted by the size operations; 0 when extract_tar starts
  bool abort_archive;          // set by an operation whose refusal must fail the archive at once
                               // (an unsafe path): queued links are then not retried; false at start
  struct directory_mode_queue_t* directory_modes;  // owned by the file-writing operations: directory
                                                   // modes waiting for the end of the archive, applied and released by
                                                   // finish_file_untar_ops; NULL at start
} untar_context_t;
typedef untar_context_t untar_context;

// Type of the two link operations: create `from` as a link to `to`.
typedef bool (*link_function)(void* ctx, const char* to, const char* from);

// The operation table. Every slot receives as ctx the context passed to
// extract_tar. Modes are the header's whole mode value (type bits included);
// only the permission bits 07777 take effect.
typedef struct untar_ops_t {
  // Up to count bytes of the archive stream; -1 on error, 0 at its end.
  ssize_t (*read)(void* ctx, void* buf, size_t count);
  // Creates a regular file for writing, replacing what stands at its name
  // (never writing through it): a descriptor, or -1.
  int (*open_file)(void* ctx, const char* file_name, int mode);
  // Writes bytes: the count written, or -1.
  int (*write_file)(void* ctx, int fd, const char* buf, size_t sz);
  // Closes what open_file returned.
  void (*close_file)(void* ctx, int fd);
  bool (*make_directory)(void* ctx, const char* name, int mode);
  // Creates a device or FIFO node; mode carries the type bits.
  bool (*make_device)(void* ctx, const char* device_name, int mode, int major, int minor);
  link_function make_symlink;   // symbolic link `from` pointing to `to` (anything)
  link_function make_hardlink;  // `from` as a hard link to the existing `to`
} untar_ops_t;
typedef untar_ops_t untar_ops;

// One link postponed to the end of the archive, so that a link whose target
// comes later in the archive still works.
typedef struct queued_link_t {
  char* from_file_name;     // owned: path of the link to create
  char* to_file_name;       // owned: what it points to
  link_function link_func;  // the table's make_hardlink or make_symlink
  bool superseded;          // a later entry of the same name came: not created
} queued_link_t;
typedef queued_link_t queued_link;

// Reads the archive from ops->read and applies every entry through ops:
// ustar and old GNU headers (tar_format.h), GNU long names and long link
// targets up to TAR_MAX_LONG_NAME bytes.
// True when the archive ended cleanly (two zero blocks, or one zero block at
// the end of the stream) with every entry applied. False when an entry
// failed, the stream failed or ended early, a header is damaged or of an
// unsupported format, an operation refused an unsafe path, or the link queue
// could not be created. Queued links are created after the last entry, in
// archive order, except those that a later entry of the same name replaced;
// a link that fails is tried again once a link is made at the name it points
// to, and links that keep failing are dropped without failing the archive.
bool extract_tar(untar_ops* ops, untar_context* ctx);

#endif  // INSTALLER_UNTAR_H
