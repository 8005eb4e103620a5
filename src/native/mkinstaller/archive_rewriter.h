// Payload entries given as archive files. Any archive libarchive reads is
// accepted: one that the installer's reader takes as it stands (a gzip-
// compressed ustar or old GNU tar without sparse files or a long-named link
// in a form the reader refuses) is used unchanged; any other is rewritten
// entry by entry into a gzip-compressed old GNU tar (same names, contents,
// modes and links; sparse files written out in full).
#ifndef MKINSTALLER_ARCHIVE_REWRITER_H
#define MKINSTALLER_ARCHIVE_REWRITER_H

#include <string>

#include "tar_writer.h"

// Decides how `archive` goes into the payload. When it is taken as it
// stands, *rewritten stays empty; otherwise the rewritten archive is written
// to a new file named `temp_template` (ending in "XXXXXX", replaced) and
// *rewritten names it: the caller removes it. False with *error set, naming
// the archive and the entry, when the archive cannot be read or holds what
// the installer cannot represent (see unrepresentable_reason).
bool prepare_archive_entry(const std::string& archive, const tar_options_t& options,
                           const std::string& temp_template, std::string* rewritten, std::string* error);

#endif  // MKINSTALLER_ARCHIVE_REWRITER_H
