// Payload entries given as archive files. Any archive libarchive reads is
// accepted: a gzip-compressed ustar or old GNU tar in which the installer's
// own reader finds exactly the entries libarchive finds is used unchanged;
// any other is rewritten entry by entry into a gzip-compressed old GNU tar
// (same names, contents, modes and links; sparse files written out in full;
// a hard-link group's data under the name that brought it). For the Windows
// installer, which makes no links, an archive with links is extracted
// instead, and the directory packed with copies in place of its links.
#ifndef MKINSTALLER_ARCHIVE_REWRITER_H
#define MKINSTALLER_ARCHIVE_REWRITER_H

#include <string>

#include "tar_writer.h"

// Decides how `archive` goes into the payload. When it is taken as it
// stands, *rewritten stays empty; otherwise *rewritten names a temporary
// (temporary_files.h) made from `temp_template` (ending in "XXXXXX"): the
// rewritten archive, already in bounded members, or for a Windows payload
// possibly a directory to pack. False with *error set, naming the archive
// and the entry, when the archive cannot be read or holds what the installer
// cannot represent (see unrepresentable_reason).
bool prepare_archive_entry(const std::string& archive, const tar_options_t& options, const std::string& temp_template,
                           std::string* rewritten, std::string* error);

#endif  // MKINSTALLER_ARCHIVE_REWRITER_H
