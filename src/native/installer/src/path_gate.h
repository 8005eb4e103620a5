// The installer's path gate: the one place that decides whether an entry's
// name may be made below the extraction directory. The file-writing
// operations ask it about the disk as it stands; the packaging tool asks it
// about the tree the payload's earlier entries make, with the rules of the
// installer the payload is for, so that what the installer would refuse is
// refused at packing time. Implemented in path_gate.cpp.
#ifndef INSTALLER_PATH_GATE_H
#define INSTALLER_PATH_GATE_H

#include <stddef.h>

#include <string>

// Which system's names: both sets are built everywhere, since the packer
// checks Windows payloads on Linux.
enum path_rules_t {
  PATH_RULES_POSIX,    // '/' separates; ".." is the parent
  PATH_RULES_WINDOWS,  // '/' and '\\' separate; drives, streams, reserved device names and the
                       // characters Windows cannot hold are refused
};

// The rules of the system this build runs on.
path_rules_t native_path_rules();

enum path_use_t {
  PATH_CREATE,     // the name itself is opened or created: it may not be a symbolic link either
  PATH_LINK_NAME,  // the name of a link or a hard link's target: link calls do not follow the last part
};

// Answers whether `prefix`, a leading part of the name being checked, is a
// symbolic link already made (on Windows: any reparse point).
typedef bool (*path_is_symlink_func)(void* tree, const char* prefix);

// Why making `path` could touch something outside the working directory, or
// give a name the system cannot hold; "" when it cannot. The path must be
// relative, have no parent reference, reach no symbolic link on the way (nor
// be one, for PATH_CREATE), and under Windows rules name no drive or stream,
// hold none of <>"|?* or control characters and have no component that is a
// reserved device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$,
// CONOUT$, in any case, with or without an extension). Symbolic links may
// point anywhere: nothing is written through one.
std::string unsafe_path_reason(const char* path, path_use_t use, path_rules_t rules, path_is_symlink_func is_symlink,
                               void* tree);

bool path_is_separator(char c, path_rules_t rules);

// The one key of a name: its components without empty and "." ones, joined
// by '/' ("./a//b/" and "a/b" give "a/b"; "" is the top directory). The tar
// reader's link queue, the directory modes and the packer's tree all compare
// names by it.
std::string path_key(const std::string& name, path_rules_t rules);

// True when a component of `name` refers to the parent: ".." (and under
// Windows rules any run of dots and blanks with two dots or more).
bool path_has_parent_reference(const std::string& name, path_rules_t rules);

// True when a name component (len bytes at part) is a device name Windows
// reserves: "nul", "Com1.txt", "CONOUT$ .log".
bool path_is_reserved_device_name(const char* part, size_t len);

#endif  // INSTALLER_PATH_GATE_H
