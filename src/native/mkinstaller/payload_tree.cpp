// The simulated tree of a payload, the checking operations that fill it
// from the installer's own reader, and the copies a Windows payload holds in
// place of symbolic links.
#include "payload_tree.h"

#include <locale.h>
#include <wctype.h>

#include <cstdio>
#include <set>
#include <utility>

#include "path_gate.h"
#include "size_untar_ops.h"

namespace {

const int MAX_LINK_HOPS = 40;  // what Linux follows before ELOOP
const char* const LINUX_PROGRAM = "bin/zorva";
const char* const WINDOWS_PROGRAM = "bin/zorva.exe";

// The next code point of valid UTF-8 at text[*at], advancing *at; -1 for
// anything else (stray, overlong or truncated sequences, surrogates).
long next_code_point(const std::string& text, size_t* at) {
  unsigned char lead = static_cast<unsigned char>(text[*at]);
  int extra = lead < 0x80 ? 0 : (lead & 0xe0) == 0xc0 ? 1 : (lead & 0xf0) == 0xe0 ? 2 : (lead & 0xf8) == 0xf0 ? 3 : -1;
  if (extra < 0 || text.size() - *at <= (size_t)extra) return -1;
  long cp = extra == 0 ? lead : lead & (0x3f >> extra);
  for (int i = 1; i <= extra; ++i) {
    unsigned char c = static_cast<unsigned char>(text[*at + (size_t)i]);
    if ((c & 0xc0) != 0x80) return -1;
    cp = (cp << 6) | (c & 0x3f);
  }
  static const long MIN_FOR_LENGTH[] = {0, 0x80, 0x800, 0x10000};
  if (cp < MIN_FOR_LENGTH[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
  *at += (size_t)extra + 1;
  return cp;
}

void append_utf8(std::string* out, long cp) {
  if (cp < 0x80) {
    out->push_back((char)cp);
  } else if (cp < 0x800) {
    out->push_back((char)(0xc0 | (cp >> 6)));
    out->push_back((char)(0x80 | (cp & 0x3f)));
  } else if (cp < 0x10000) {
    out->push_back((char)(0xe0 | (cp >> 12)));
    out->push_back((char)(0x80 | ((cp >> 6) & 0x3f)));
    out->push_back((char)(0x80 | (cp & 0x3f)));
  } else {
    out->push_back((char)(0xf0 | (cp >> 18)));
    out->push_back((char)(0x80 | ((cp >> 12) & 0x3f)));
    out->push_back((char)(0x80 | ((cp >> 6) & 0x3f)));
    out->push_back((char)(0x80 | (cp & 0x3f)));
  }
}

// Upper case by the Unicode tables of a UTF-8 locale (ASCII only when the
// system has none), whatever locale the program runs in.
long upper_case(long cp) {
  static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  if (utf8 == (locale_t)0 || sizeof(wchar_t) < 4) return cp >= 'a' && cp <= 'z' ? cp - 'a' + 'A' : cp;
  return (long)towupper_l((wint_t)cp, utf8);
}

// One component as Windows compares names: trailing dots and blanks
// dropped, case folded.
std::string fold_component(std::string part) {
  while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
  std::string folded;
  for (size_t at = 0; at < part.size();) {
    long cp = next_code_point(part, &at);
    if (cp < 0) return part;  // not UTF-8: refused on its own
    append_utf8(&folded, upper_case(cp));
  }
  return folded;
}

std::vector<std::string> components(const std::string& key) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= key.size() && !key.empty()) {
    size_t end = key.find('/', start);
    if (end == std::string::npos) end = key.size();
    parts.push_back(key.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string join(const std::vector<std::string>& parts, size_t count) {
  std::string key;
  for (size_t i = 0; i < count; ++i) key += (i ? "/" : "") + parts[i];
  return key;
}

const char* kind_text(char kind) {
  switch (kind) {
    case 'd': return "a directory";
    case 'l': return "a symbolic link";
    case 'n': return "a device or FIFO";
    default: return "a file";
  }
}

}  // namespace

std::string utf8_reason(const std::string& name) {
  for (size_t at = 0; at < name.size();)
    if (next_code_point(name, &at) < 0) return "the name is not valid UTF-8, which Windows names are made from";
  return "";
}

// ---- The tree ----------------------------------------------------------------

std::string payload_tree_t::key_of(const std::string& name) const {
  return path_key(name, windows_ ? PATH_RULES_WINDOWS : PATH_RULES_POSIX);
}

const tree_node_t* payload_tree_t::find(const std::string& key) const {
  auto found = nodes_.find(key);
  return found == nodes_.end() ? nullptr : &found->second;
}

// The installer's own gate, asking this tree which names are links.
std::string payload_tree_t::check(const std::string& name, bool link_name) const {
  auto is_symlink = [](void* tree, const char* prefix) {
    auto* self = static_cast<const payload_tree_t*>(tree);
    const tree_node_t* node = self->find(self->key_of(prefix));
    return node != nullptr && node->kind == 'l';
  };
  return unsafe_path_reason(name.c_str(), link_name ? PATH_LINK_NAME : PATH_CREATE,
                            windows_ ? PATH_RULES_WINDOWS : PATH_RULES_POSIX, is_symlink,
                            const_cast<payload_tree_t*>(this));
}

// Parents are made as directories; one that an entry made as something else
// stops the installer's creation of the parents.
std::string payload_tree_t::check_parents(const std::string& key) {
  std::vector<std::string> parts = components(key);
  for (size_t i = 1; i < parts.size(); ++i) {
    std::string parent = join(parts, i);
    auto found = nodes_.find(parent);
    if (found == nodes_.end()) {
      nodes_[parent] = tree_node_t();
    } else if (found->second.kind != 'd') {
      return parent + " is " + kind_text(found->second.kind) + " made by an earlier entry, not a directory";
    }
  }
  return "";
}

// Windows keeps one name of those that differ only in case or trailing dots
// and blanks: the second would land on the first.
std::string payload_tree_t::check_windows_name(const std::string& name, const std::string& key) {
  std::string reason = utf8_reason(name);
  if (!reason.empty()) return reason;
  std::vector<std::string> parts = components(key);
  std::string folded;
  for (size_t i = 0; i < parts.size(); ++i) {
    folded += (i ? "/" : "") + fold_component(parts[i]);
    std::string prefix = join(parts, i + 1);
    auto inserted = folded_.emplace(folded, prefix);
    if (!inserted.second && inserted.first->second != prefix)
      return prefix + " and " + inserted.first->second +
             " differ only in case or in trailing dots or blanks: Windows would make them one name";
  }
  return "";
}

std::string payload_tree_t::add(const std::string& name, const tree_node_t& node) {
  std::string reason = check(name, node.kind == 'l');
  std::string key = key_of(name);
  if (reason.empty() && key.empty() && node.kind != 'd') reason = "the name is the extraction directory itself";
  if (reason.empty() && windows_) reason = check_windows_name(name, key);
  if (reason.empty()) reason = check_parents(key);
  if (!reason.empty() || key.empty()) return reason;
  auto found = nodes_.find(key);
  if (found != nodes_.end()) {
    bool was_directory = found->second.kind == 'd';
    if (was_directory != (node.kind == 'd'))
      return std::string("the installer cannot make ") + kind_text(node.kind) + " where an earlier entry made " +
             kind_text(found->second.kind);
  }
  nodes_[key] = node;
  return "";
}

std::string payload_tree_t::add_hardlink(const std::string& name, const std::string& target, bool* missing) {
  *missing = false;
  std::string reason = check(target, true);
  if (!reason.empty()) return "the link's target: " + reason;
  const tree_node_t* to = find(key_of(target));
  if (to == nullptr) {
    *missing = true;
    return "the link's target " + target + " is made by no entry before the end of its archive";
  }
  if (to->kind == 'd') return "the link's target " + target + " is a directory";
  tree_node_t copy = *to;
  return add(name, copy);
}

lead_t payload_tree_t::resolve(const std::string& key, std::string* to) const {
  std::vector<std::string> pending = components(key), done;
  int hops = 0;
  while (!pending.empty()) {
    std::string part = pending.front();
    pending.erase(pending.begin());
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (done.empty()) return lead_t::kOutside;
      done.pop_back();
      continue;
    }
    done.push_back(part);
    const tree_node_t* node = find(join(done, done.size()));
    if (node == nullptr) return lead_t::kMissing;
    if (node->kind == 'l') {
      if (++hops > MAX_LINK_HOPS) return lead_t::kCycle;
      if (node->target.empty() || node->target[0] == '/') return lead_t::kOutside;
      done.pop_back();
      std::vector<std::string> target = components(node->target);
      pending.insert(pending.begin(), target.begin(), target.end());
    } else if (node->kind != 'd' && !pending.empty()) {
      return lead_t::kMissing;
    }
  }
  *to = join(done, done.size());
  return lead_t::kNode;
}

std::vector<std::string> payload_tree_t::below(const std::string& key) const {
  std::vector<std::string> keys;
  std::string prefix = key.empty() ? "" : key + "/";
  for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it)
    keys.push_back(it->first);
  return keys;
}

std::string payload_tree_t::program_reason() const {
  if (windows_) {
    auto found = folded_.find(fold_component("bin") + "/" + fold_component("zorva.exe"));
    const tree_node_t* node = found == folded_.end() ? nullptr : find(found->second);
    if (node != nullptr && node->kind == 'f') return "";
    return std::string("no entry holds the configuration program the Windows installer starts, ") + WINDOWS_PROGRAM +
           " (a file)";
  }
  std::string to;
  const tree_node_t* node = resolve(LINUX_PROGRAM, &to) == lead_t::kNode ? find(to) : nullptr;
  if (node == nullptr || node->kind != 'f')
    return std::string("no entry holds the configuration program the Linux installer starts, ") + LINUX_PROGRAM +
           " (an executable file)";
  if ((node->mode & 0100) == 0) {
    char mode[16];
    snprintf(mode, sizeof mode, "%04o", (unsigned)node->mode & 07777);
    return std::string("the configuration program ") + LINUX_PROGRAM + " is not executable (mode " + mode + ")";
  }
  return "";
}

// ---- Checking operations -----------------------------------------------------

namespace {

payload_tree_t* checked_tree = nullptr;      // the tree the checking operations fill
std::string* check_failure = nullptr;        // why the last refusal was made
std::map<std::string, std::string> waiting;  // hard links of this archive not made yet -> why
untar_ops size_ops;                          // what the installer's size pass counts, as it counts

// A refusal fails the archive at once: the reader neither retries nor drops it.
bool accept(void* ctx, const char* name, const std::string& reason) {
  if (reason.empty()) return true;
  *check_failure = "refusing " + printable_name(name) + ": " + printable_name(reason);
  static_cast<untar_context*>(ctx)->abort_archive = true;
  return false;
}

bool check_node(void* ctx, const char* name, char kind, int mode, const std::string& target = "") {
  tree_node_t node;
  node.kind = kind;
  node.mode = mode & 07777;
  node.target = target;
  return accept(ctx, name, checked_tree->add(name, node));
}

int check_open_file(void* ctx, const char* name, int mode) { return check_node(ctx, name, 'f', mode) ? 0 : -1; }

int check_write_file(void* ctx, int fd, const char* data, size_t sz) { return size_ops.write_file(ctx, fd, data, sz); }

void check_close_file(void*, int) {}

bool check_make_directory(void* ctx, const char* name, int mode) {
  return check_node(ctx, name, 'd', mode) && size_ops.make_directory(ctx, name, mode);
}

bool check_make_device(void* ctx, const char* name, int mode, int, int) { return check_node(ctx, name, 'n', mode); }

const char* const NO_LINKS_ON_WINDOWS = "the Windows installer makes no links";

bool check_make_symlink(void* ctx, const char* to, const char* from) {
  if (checked_tree->windows()) return accept(ctx, from, NO_LINKS_ON_WINDOWS);
  return check_node(ctx, from, 'l', 0777, to) && size_ops.make_symlink(ctx, to, from);
}

// A target not made yet may come later in the archive: the reader retries
// the link after every other link it makes.
bool check_make_hardlink(void* ctx, const char* to, const char* from) {
  if (checked_tree->windows()) return accept(ctx, from, NO_LINKS_ON_WINDOWS);
  bool missing = false;
  std::string reason = checked_tree->add_hardlink(from, to, &missing);
  std::string id = std::string(from) + '\0' + to;
  if (missing) {
    waiting[id] = "refusing " + printable_name(from) + ": " + printable_name(reason);
    return false;
  }
  waiting.erase(id);
  return accept(ctx, from, reason);
}

}  // namespace

void init_checking_untar_ops(untar_ops* ops, payload_tree_t* tree, std::string* failure) {
  checked_tree = tree;
  check_failure = failure;
  waiting.clear();
  init_size_untar_ops(&size_ops);
  ops->open_file = check_open_file;
  ops->write_file = check_write_file;
  ops->close_file = check_close_file;
  ops->make_directory = check_make_directory;
  ops->make_device = check_make_device;
  ops->make_symlink = check_make_symlink;
  ops->make_hardlink = check_make_hardlink;
}

std::string check_pending_links() {
  std::string reason = waiting.empty() ? "" : waiting.begin()->second;
  waiting.clear();
  return reason;
}

// ---- Copies in place of links ------------------------------------------------

namespace {

bool copy_directory(const payload_tree_t& tree, const std::string& dest, const std::string& source,
                    std::vector<std::string>* copying, const copy_emit_t& emit, std::string* error);

// Whether copying `dir` would copy a directory being copied: a cycle.
bool copies_itself(const std::vector<std::string>& copying, const std::string& dir) {
  for (const std::string& busy : copying)
    if (dir.empty() || busy == dir || busy.compare(0, dir.size() + 1, dir + "/") == 0) return true;
  return false;
}

// The entry at `dest` standing for `key`, a link followed to its end.
bool copy_one(const payload_tree_t& tree, const std::string& dest, const std::string& key,
              std::vector<std::string>* copying, const copy_emit_t& emit, std::string* error) {
  std::string to;
  const char* problem = nullptr;
  switch (tree.resolve(key, &to)) {
    case lead_t::kOutside: problem = "leads out of the tree"; break;
    case lead_t::kMissing: problem = "leads to nothing in the tree"; break;
    case lead_t::kCycle: problem = "is part of a cycle of links"; break;
    case lead_t::kNode: break;
  }
  const tree_node_t* node = tree.find(to);
  if (problem == nullptr && node != nullptr && node->kind == 'n') problem = "leads to a device or FIFO";
  if (problem == nullptr && (node == nullptr || node->kind == 'd') && copies_itself(*copying, to))
    problem = "is part of a cycle of links";
  if (problem != nullptr) {
    *error = "symbolic link " + printable_name(key) + " " + problem +
             ": the Windows installer makes no links, and no copy can stand in its place";
    return false;
  }
  if (node != nullptr && node->kind == 'f') return emit(dest, *node, to, error);
  return copy_directory(tree, dest, to, copying, emit, error);
}

bool copy_directory(const payload_tree_t& tree, const std::string& dest, const std::string& source,
                    std::vector<std::string>* copying, const copy_emit_t& emit, std::string* error) {
  const tree_node_t* top = tree.find(source);
  if (!emit(dest, top != nullptr ? *top : tree_node_t(), "", error)) return false;
  copying->push_back(source);
  size_t skip = source.empty() ? 0 : source.size() + 1;
  for (const std::string& key : tree.below(source)) {
    const tree_node_t& node = *tree.find(key);
    std::string name = dest + "/" + key.substr(skip);
    bool ok = node.kind == 'l' ? copy_one(tree, name, key, copying, emit, error)
                               : emit(name, node, node.kind == 'f' ? key : "", error);
    if (!ok) return false;
  }
  copying->pop_back();
  return true;
}

}  // namespace

bool copy_link_target(const payload_tree_t& tree, const std::string& link_key, const copy_emit_t& emit,
                      std::string* error) {
  std::vector<std::string> copying;
  return copy_one(tree, link_key, link_key, &copying, emit, error);
}
