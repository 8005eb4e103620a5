/* Paths and directories, temporary locations, file copies and free space.
 * Every path is a NUL-terminated byte string in the platform's narrow
 * encoding. Linux splits on "/" and "\\" and joins with "/"; Windows splits
 * on both and joins with "\\". None of these functions keeps state except the
 * cached temporary directory; none aborts. */
#ifndef VEK_FILE_H
#define VEK_FILE_H

#include <stdio.h>

#include "vek_list.h"
#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Paths ------------------------------------------------------------ */

/* True when the path is absolute (Linux: begins with "/"; Windows: a drive
 * path such as C:\dir or /C:/dir, or a network path). False for NULL. */
bool vek_isFullPath(const char* filename);

/* Lexical clean-up: repeated separators, "." components and "x/.." pairs go;
 * leading ".." stay. Returns true only when the clean form differs from
 * `filename`; it is then written to `buffer`, cut to buf_len - 1 bytes and
 * NUL-terminated. Returns false (buffer untouched) for NULL, ".", a path
 * without components ("", "/") and a path that is already clean; callers
 * then use `filename` itself. The file system is never consulted. */
bool vek_normalizePath(const char* filename, char* buffer, size_t buf_len);

/* Canonical absolute form of `filename` written to `buffer` (cut to
 * buf_len - 1 bytes, NUL-terminated). Linux resolves links and needs the
 * path to exist; Windows does neither. Returns the length written, 0 on
 * failure (logged at WARN). */
size_t vek_getFullPath(const char* filename, char* buffer, size_t buf_len);

/* Directory part of `path` as a new text the caller frees with free():
 * "a/b" gives "a", "/a" gives "/", "abc/" gives "abc", "file" gives ".".
 * NULL for a NULL path or when memory runs out. */
char* vek_getDirName(const char* path);

/* Pointer into `path` after its last separator ("/"; on Windows also "\\"),
 * or a constant empty string when there is none. Nothing is allocated;
 * NULL for NULL. */
const char* vek_getFileName(const char* path);

/* ---- Existence and attributes (links are followed) --------------------- */

/* True for an existing directory (errno 0). False otherwise, with errno
 * ENOENT for NULL/"", stat's errno, or ENOTDIR for another kind of entry
 * (Linux; Windows leaves errno alone except for NULL/""). */
bool vek_doesDirectoryExist(const char* directory);

/* True for an existing entry that is not a directory (errno 0). False with
 * errno ENOENT for NULL/"" (logged at ERROR), stat's errno, or EISDIR. */
bool vek_doesFileExist(const char* filename);

/* True when the file exists and its owner-execute bit is set; false with
 * errno ENOEXEC when the bit is clear. */
bool vek_isFileExecutable(const char* filename);

/* Size of an existing non-directory in bytes (64-bit on every build), or
 * VEK_UINT64_UNKNOWN (all bits set) on failure. */
vek_uint64_t vek_getFileSize(const char* path);

/* ---- Directories ------------------------------------------------------ */

/* Creates one directory (Linux: `mode` less the umask; Windows ignores
 * `mode`). True when it exists afterwards because of this call or before. */
bool vek_createDirectory(const char* name, int mode);

/* Creates `path` and every missing parent, each with `mode`. True when the
 * directory exists at the end. Levels made before a failure stay. Nothing is
 * logged. */
bool vek_createPath(const char* path, int mode);

/* New list of new texts: every entry name of the directory, "." and ".."
 * included, in the order the system gives them. The caller frees the texts
 * with vek_listDeleteAll and the list with vek_listDestroy. NULL when the
 * directory does not exist or cannot be read. */
vek_list_t* vek_getDirectoryContents(const char* name);

/* Deletes the directory and everything below it. Symbolic links inside the
 * tree are deleted as links, never followed. Entries that cannot be deleted
 * are skipped; the result is true exactly when the directory itself is gone
 * at the end. False at once (nothing deleted) when `name` is not a readable
 * directory. Nothing is logged. */
bool vek_removeDirectory(const char* name);

#ifndef _WIN32
/* Hard limit on open descriptors, or all bits set on failure (logged). */
unsigned int vek_getMaxOpenFiles(void);

/* Full path of the executable `input` found on PATH (default "/bin:/usr/bin"),
 * or a copy of `input` when it is already full or not found. New text the
 * caller frees with free(); NULL for NULL input or when memory runs out. */
char* vek_findExe(char* input);
#endif

/* ---- Temporary locations, copies, free space ---------------------------- */

/* The process's temporary directory, chosen once from TMP, TEMP, TMPDIR and
 * the platform's usual places by creating and writing a probe file there.
 * Owned by the library, never freed, the same pointer on every later call.
 * NULL when no candidate is usable (the next call searches again). Make the
 * first call before other threads use it. */
const char* vek_getTempDir(void);

/* The environment variable whose value vek_getTempDir chose: "TMP", "TEMP"
 * or "TMPDIR" (constant text, not to be freed); NULL when it chose one of the
 * platform's usual places or the working directory, or has not chosen yet.
 * For messages that tell the user which setting to change. */
const char* vek_getTempDirVariable(void);

/* Creates a new file, readable and writable by its owner only, from a
 * writable template whose last six characters are "XXXXXX" (rewritten in
 * place with the name made). Returns its read-write descriptor (close with
 * close()), or -1 (logged at ERROR). Changes the process umask briefly. */
int vek_makeTempFileHandle(char* template_name);

/* As vek_makeTempFileHandle, wrapped in a stream opened "w+b" (close with
 * fclose()). NULL on failure (logged at ERROR). */
FILE* vek_makeTempFile(char* template_name);

#ifndef _WIN32
/* Copies the content of `src` over `dst` (created or truncated) and then the
 * permission bits of `src`. False on any failure (logged at ERROR, errno
 * kept); a partly written `dst` is left behind. Copying a file onto itself
 * is refused (EINVAL) and leaves it untouched. */
bool vek_copyFile(const char* src, const char* dst);
#endif

/* Bytes available to an unprivileged user on the file system holding
 * `name` (an existing file or directory), as a 64-bit count on every build;
 * VEK_UINT64_UNKNOWN (all bits set) when it cannot be determined. */
vek_uint64_t vek_getAvailableBytes(const char* name);

/* True when the file system holding `name` (an existing file or directory)
 * is known not to allow programs to run from it (Linux: mounted noexec).
 * False when it allows them, when that cannot be determined (NULL, "", a
 * missing path) and always on Windows, which has no such mount option. */
bool vek_isNoExecFileSystem(const char* name);

#ifdef __cplusplus
}
#endif

#endif /* VEK_FILE_H */
