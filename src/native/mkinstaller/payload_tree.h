// The tree a payload makes, simulated entry by entry, so that the packer
// refuses at packing time what the installer would refuse or make wrongly,
// naming the entry. Each name passes the installer's own path gate (with the
// rules of the installer the payload is for) over this tree, which knows
// what earlier entries made: a name below a symbolic link, a file or a
// device of an earlier entry, a directory where a file stands or the
// reverse, a hard link to nothing; for Windows also names that Windows would
// merge and names that are not UTF-8. The same tree resolves symbolic links
// inside it, for the copies a Windows payload holds in place of links.
#ifndef MKINSTALLER_PAYLOAD_TREE_H
#define MKINSTALLER_PAYLOAD_TREE_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "printable_name.h"
#include "untar.h"

struct tree_node_t {
  char kind = 'd';     // 'd' directory, 'f' regular file, 'l' symbolic link, 'n' device or FIFO
  int mode = 0755;     // permission bits
  uint64_t size = 0;   // 'f': data bytes
  std::string target;  // 'l': the link's target as stored
};

// Where a name leads once its symbolic links are followed inside the tree.
enum class lead_t {
  kNode,     // to a node of the tree (*key names it; "" is the top directory)
  kOutside,  // out of the tree: an absolute target, or ".." above the top
  kMissing,  // to a name nothing makes, or below a file
  kCycle,    // round links: more hops than a system follows
};

class payload_tree_t {
 public:
  explicit payload_tree_t(bool windows) : windows_(windows) {}

  // Makes `name` as the installer's file-writing operations would: ""
  // when they can, else why not (the node is not made). Parents are made
  // as directories on demand, as the installer does.
  std::string add(const std::string& name, const tree_node_t& node);
  // Makes `name` a hard link to `target`. When the target is not in the
  // tree (yet), nothing is made and *missing is set.
  std::string add_hardlink(const std::string& name, const std::string& target, bool* missing);

  // The node of a key, or null; the top directory has none.
  const tree_node_t* find(const std::string& key) const;
  // Where `key` leads, following symbolic links; *to is the final key.
  lead_t resolve(const std::string& key, std::string* to) const;
  // Every key below directory `key`, sorted (parents before children).
  std::vector<std::string> below(const std::string& key) const;
  // Why the installer could not start the configuration program from this
  // tree (bin/zorva, executable, or bin/zorva.exe for Windows), or "".
  std::string program_reason() const;

  bool windows() const { return windows_; }
  // A name's key: its components without empty and "." ones, joined by '/'.
  std::string key_of(const std::string& name) const;

 private:
  std::string check(const std::string& name, bool link_name) const;
  std::string check_parents(const std::string& key);
  std::string check_windows_name(const std::string& name, const std::string& key);

  bool windows_;                               // Windows rules: '\\' separates, names fold
  std::map<std::string, tree_node_t> nodes_;   // key -> what the entries made there
  std::map<std::string, std::string> folded_;  // Windows: folded key -> the key first given
};

// Why `name` is not valid UTF-8, or "".
std::string utf8_reason(const std::string& name);

// Fills the seven slots after `read` with operations that run every entry
// the installer's reader applies through `tree`; a refusal fails the
// archive, and *failure says why, naming the entry. Hard links whose target
// is never made are collected: check_pending_links tells after each archive.
// What passes is counted into the context's written_bytes exactly as the
// installer's size operations count it.
void init_checking_untar_ops(untar_ops* ops, payload_tree_t* tree, std::string* failure);
// After an archive: why a hard link of it could not be made, or "".
std::string check_pending_links();

// A symbolic link turned into what it leads to, for the Windows installer,
// which makes no links: `emit` is called for each entry to write in its
// place (the link's own name for a file, the directory and all below it,
// renamed, for a directory, with the links below copied the same way) with
// the key whose data a file takes. False with *error set for a link out of
// the tree, to nothing, or in a cycle.
using copy_emit_t = std::function<bool(const std::string& name, const tree_node_t& node, const std::string& data_key,
                                       std::string* error)>;
bool copy_link_target(const payload_tree_t& tree, const std::string& link_key, const copy_emit_t& emit,
                      std::string* error);

#endif  // MKINSTALLER_PAYLOAD_TREE_H
