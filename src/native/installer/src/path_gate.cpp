// The path gate: the rules for names an archive may make below the
// extraction directory, for the installer's file-writing operations and for
// the packer's simulated tree alike. Nothing here touches the disk: the
// caller says which prefixes are symbolic links.
#include "path_gate.h"

#include <cstring>
#include <string>

namespace {

#ifdef _WIN32
const path_rules_t kNativeRules = PATH_RULES_WINDOWS;
#else
const path_rules_t kNativeRules = PATH_RULES_POSIX;
#endif

// Device names Windows reserves in every directory, compared without case.
const char* const kReservedDeviceNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
// COM and LPT take a digit 1-9, or a superscript 1-3 (UTF-8).
const char* const kReservedPortDigits[] = {"1", "2", "3", "4",        "5",        "6",
                                           "7", "8", "9", "\xc2\xb9", "\xc2\xb2", "\xc2\xb3"};

bool equals_ignoring_case(const std::string& a, const char* b) {
  size_t n = strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

// A component of only dots and blanks with two dots or more: Windows drops
// trailing dots and blanks, so ".. " and "..." may reach the parent.
bool is_parent_reference(const std::string& part, path_rules_t rules) {
  if (rules == PATH_RULES_POSIX) return part == "..";
  size_t dots = 0;
  for (char c : part) {
    if (c == '.')
      ++dots;
    else if (c != ' ')
      return false;
  }
  return dots >= 2;
}

// A character that no Windows file name holds; ':' is refused as a drive
// or stream before this is asked.
bool is_forbidden_windows_char(char c) { return c != '\0' && ((c > 0 && c < 0x20) || strchr("<>\"|?*", c) != nullptr); }

// Leading separator, or under Windows rules a colon anywhere: "C:x" is
// relative to that drive's own directory, "f:s" an alternate data stream.
std::string rooted_reason(const char* path, path_rules_t rules) {
  if (path_is_separator(path[0], rules)) return std::string("absolute path ") + path;
  if (rules == PATH_RULES_WINDOWS && strchr(path, ':') != nullptr)
    return std::string("drive or stream name in ") + path;
  return "";
}

// Why one component cannot be made under `rules`, or "".
std::string component_reason(const std::string& part, const char* path, path_rules_t rules) {
  if (is_parent_reference(part, rules)) return std::string("parent directory reference in ") + path;
  if (rules == PATH_RULES_POSIX) return "";
  for (char c : part)
    if (is_forbidden_windows_char(c)) return std::string("a character Windows cannot hold in a name in ") + path;
  if (path_is_reserved_device_name(part.data(), part.size())) return "reserved device name " + part + " in " + path;
  return "";
}

}  // namespace

path_rules_t native_path_rules() { return kNativeRules; }

bool path_is_separator(char c, path_rules_t rules) { return c == '/' || (rules == PATH_RULES_WINDOWS && c == '\\'); }

// The part before the first dot, less trailing blanks, is what Windows
// compares: "aux.h", "Nul .txt" and "COM1" are all devices.
bool path_is_reserved_device_name(const char* part, size_t len) {
  std::string base(part, len);
  base = base.substr(0, base.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* name : kReservedDeviceNames)
    if (equals_ignoring_case(base, name)) return true;
  if (base.size() < 4 ||
      !(equals_ignoring_case(base.substr(0, 3), "COM") || equals_ignoring_case(base.substr(0, 3), "LPT")))
    return false;
  for (const char* digit : kReservedPortDigits)
    if (base.compare(3, std::string::npos, digit) == 0) return true;
  return false;
}

std::string unsafe_path_reason(const char* path, path_use_t use, path_rules_t rules, path_is_symlink_func is_symlink,
                               void* tree) {
  if (path[0] == '\0') return "empty name";
  std::string reason = rooted_reason(path, rules);
  if (!reason.empty()) return reason;
  std::string prefix;
  const char* p = path;
  for (;;) {
    const char* end = p;
    while (*end != '\0' && !path_is_separator(*end, rules)) ++end;
    std::string part(p, end);
    prefix.append(p, end);
    bool last = (*end == '\0');
    reason = component_reason(part, path, rules);
    if (!reason.empty()) return reason;
    bool check_link = !part.empty() && part != "." && (!last || use == PATH_CREATE);
    if (check_link && is_symlink(tree, prefix.c_str())) return "path goes through symbolic link " + prefix;
    if (last) return "";
    prefix.push_back(*end);
    p = end + 1;
  }
}

std::string path_key(const std::string& name, path_rules_t rules) {
  std::string key;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !path_is_separator(name[end], rules)) ++end;
    std::string part = name.substr(start, end - start);
    if (!part.empty() && part != ".") key += (key.empty() ? "" : "/") + part;
    start = end + 1;
  }
  return key;
}

bool path_has_parent_reference(const std::string& name, path_rules_t rules) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !path_is_separator(name[end], rules)) ++end;
    if (is_parent_reference(name.substr(start, end - start), rules)) return true;
    start = end + 1;
  }
  return false;
}
