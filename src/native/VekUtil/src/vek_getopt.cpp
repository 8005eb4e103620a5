// Command-line option parser. The same code on every platform, so that both
// builds accept exactly the same command lines.
#include "vek_getopt.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
int vek_optind = 1;
int vek_opterr = 1;
int vek_optopt = 0;
char* vek_optarg = nullptr;
int vek_option_quiet = 0;
}

namespace {

enum class Ordering {
  kPermute,       // skip operands, parse the next option, move the operands behind it
  kRequireOrder,  // stop at the first operand
  kReturnInOrder  // hand each operand back as option 1
};

enum class Style { kShortOnly, kLong, kLongOnly };

struct OptionString {
  Ordering ordering;
  bool colon;           // a missing argument gives ':' instead of '?'
  const char* letters;  // option letters and their markers, after the prefix
};

struct Parse {
  int argc;
  char** argv;
  OptionString opts;
  const vek_option* longopts;
  int* longind;
  Style style;
};

// Position inside the current cluster of short options; 0 between elements.
int charind = 0;
// Operands skipped over in permute mode, waiting to go behind the option
// element being parsed once it is consumed.
int pending_first = 0;
int pending_count = 0;

OptionString read_prefix(const char* opts) {
  if (opts == nullptr) opts = "";
  if (std::getenv("POSIXLY_CORRECT") != nullptr) return {Ordering::kRequireOrder, false, opts};
  OptionString result{Ordering::kPermute, false, opts};
  for (int i = 0; i < 2; ++i) {
    char c = *result.letters;
    if (c == ':' && !result.colon) {
      result.colon = true;
    } else if ((c == '+' || c == '-') && result.ordering == Ordering::kPermute) {
      result.ordering = c == '+' ? Ordering::kRequireOrder : Ordering::kReturnInOrder;
    } else {
      break;
    }
    ++result.letters;
  }
  return result;
}

void report(char** argv, const char* format, ...) VEK_PRINTF_FORMAT(2, 3);
void report(char** argv, const char* format, ...) {
  if (vek_opterr == 0 || vek_option_quiet != 0) return;
  va_list args;
  va_start(args, format);
  std::fputs(argv[0] != nullptr ? argv[0] : "", stderr);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

bool is_option_element(const char* element) { return element != nullptr && element[0] == '-' && element[1] != '\0'; }

// The letter's entry in the option string, or NULL. The markers ":" and ";"
// are never option letters.
const char* find_letter(const char* letters, char c) {
  if (c == ':' || c == ';' || c == '\0') return nullptr;
  return std::strchr(letters, c);
}

void end_element() {
  ++vek_optind;
  charind = 0;
}

void step_in_cluster(const char* element) {
  ++charind;
  if (element[charind] == '\0') end_element();
}

int missing_short_argument(const Parse& p, char c) {
  report(p.argv, ": option requires an argument -- %c\n", c);
  end_element();
  return p.opts.colon ? ':' : '?';
}

// The letter at `charind` of the current element.
int parse_short(const Parse& p) {
  const char* element = p.argv[vek_optind];
  char c = element[charind];
  vek_optopt = static_cast<unsigned char>(c);
  const char* spec = find_letter(p.opts.letters, c);
  if (spec == nullptr) {
    report(p.argv, ": illegal option -- %c\n", c);
    step_in_cluster(element);
    return '?';
  }
  bool takes_argument = spec[1] == ':' || (c == 'W' && spec[1] == ';');
  if (!takes_argument) {
    step_in_cluster(element);
    return c;
  }
  if (element[charind + 1] != '\0') {
    vek_optarg = const_cast<char*>(element + charind + 1);
    end_element();
    return c;
  }
  if (spec[1] == ':' && spec[2] == ':') {
    end_element();  // optional argument, and nothing attached
    return c;
  }
  if (vek_optind + 1 >= p.argc) return missing_short_argument(p, c);
  vek_optarg = p.argv[vek_optind + 1];
  vek_optind += 2;
  charind = 0;
  return c;
}

// Index of the entry named `name` (length `len`): an exact match first,
// otherwise the only entry that begins with it. -1: none; -2: ambiguous.
int match_long(const vek_option* longopts, const char* name, size_t len) {
  if (longopts == nullptr) return -1;
  int candidate = -1;
  int candidates = 0;
  for (int i = 0; longopts[i].name != nullptr; ++i) {
    if (std::strncmp(longopts[i].name, name, len) != 0) continue;
    if (std::strlen(longopts[i].name) == len) return i;
    if (candidates++ == 0) candidate = i;
  }
  return candidates > 1 ? -2 : candidate;
}

int long_match_result(const Parse& p, int index) {
  const vek_option& option = p.longopts[index];
  if (p.longind != nullptr) *p.longind = index;
  if (option.flag != nullptr) {
    *option.flag = option.val;
    return 0;
  }
  return option.val;
}

int take_long_argument(const Parse& p, int index, const char* equals) {
  const vek_option& option = p.longopts[index];
  if (equals != nullptr) {
    if (option.has_arg != VEK_REQUIRED_ARGUMENT && option.has_arg != VEK_OPTIONAL_ARGUMENT) {
      report(p.argv, ": option `--%s' doesn't allow an argument\n", option.name);
      ++vek_optind;
      return '?';
    }
    vek_optarg = const_cast<char*>(equals + 1);
  } else if (option.has_arg == VEK_REQUIRED_ARGUMENT) {
    if (vek_optind + 1 >= p.argc) {
      report(p.argv, ": option `--%s' requires an argument\n", option.name);
      ++vek_optind;
      return p.opts.colon ? ':' : '?';
    }
    vek_optarg = p.argv[++vek_optind];
  }
  ++vek_optind;
  return long_match_result(p, index);
}

int parse_long(const Parse& p, int dashes) {
  const char* element = p.argv[vek_optind];
  vek_optopt = static_cast<unsigned char>(element[1]);
  const char* name = element + dashes;
  const char* equals = std::strchr(name, '=');
  size_t len = equals != nullptr ? static_cast<size_t>(equals - name) : std::strlen(name);
  int index = match_long(p.longopts, name, len);
  if (index == -1 && dashes == 1) {
    charind = 1;  // long-only: not a long name, so a cluster of short options
    return parse_short(p);
  }
  if (index == -1) {
    report(p.argv, ": unrecognized option `%s'\n", element);
    ++vek_optind;
    return '?';
  }
  if (index == -2) {
    report(p.argv, ": option `%s' is ambiguous\n", element);
    ++vek_optind;
    return '?';
  }
  return take_long_argument(p, index, equals);
}

// The option element at vek_optind (begins with "-", is not "--").
int parse_element(const Parse& p) {
  const char* element = p.argv[vek_optind];
  if (p.style != Style::kShortOnly && element[1] == '-') return parse_long(p, 2);
  bool single_letter = element[2] == '\0' && find_letter(p.opts.letters, element[1]) != nullptr;
  if (p.style == Style::kLongOnly && !single_letter) return parse_long(p, 1);
  charind = 1;
  return parse_short(p);
}

// Once the option element (and its separate argument) is consumed, the
// operands skipped before it go behind it, in their order, and vek_optind
// points at the first of them.
void finish_permutation(const Parse& p) {
  if (pending_count == 0 || charind != 0) return;
  int consumed_start = pending_first + pending_count;
  int consumed_end = std::min(vek_optind, p.argc);
  if (pending_first >= 1 && consumed_start <= consumed_end) {
    std::rotate(p.argv + pending_first, p.argv + consumed_start, p.argv + consumed_end);
    vek_optind = pending_first + (consumed_end - consumed_start);
  }
  pending_count = 0;
}

int permute_to_next_option(const Parse& p) {
  int next = vek_optind + 1;
  while (next < p.argc && !is_option_element(p.argv[next])) ++next;
  if (next >= p.argc) return -1;  // only operands left: vek_optind stays on the first
  pending_first = vek_optind;
  pending_count = next - vek_optind;
  vek_optind = next;
  int result;
  if (std::strcmp(p.argv[next], "--") == 0) {
    ++vek_optind;
    result = -1;
  } else {
    result = parse_element(p);
  }
  finish_permutation(p);
  return result;
}

int handle_operand(const Parse& p) {
  switch (p.opts.ordering) {
    case Ordering::kRequireOrder: return -1;
    case Ordering::kReturnInOrder: vek_optarg = p.argv[vek_optind++]; return 1;
    case Ordering::kPermute: break;
  }
  return permute_to_next_option(p);
}

int next_option(const Parse& p) {
  if (p.argv == nullptr || p.argc <= 0) return -1;
  if (charind != 0 && vek_optind < p.argc && charind < static_cast<int>(std::strlen(p.argv[vek_optind]))) {
    int result = parse_short(p);
    finish_permutation(p);
    return result;
  }
  charind = 0;
  if (vek_optind < 1) vek_optind = 1;
  if (vek_optind >= p.argc) return -1;
  const char* element = p.argv[vek_optind];
  if (element != nullptr && std::strcmp(element, "--") == 0) {
    ++vek_optind;
    return -1;
  }
  if (!is_option_element(element)) return handle_operand(p);
  return parse_element(p);
}

int run(Parse p) {
  vek_optarg = nullptr;
  int result = next_option(p);
  if (vek_optind > p.argc && p.argc >= 0) vek_optind = p.argc;
  return result;
}

}  // namespace

extern "C" {

int vek_getopt(int argc, char** argv, const char* opts) {
  return run({argc, argv, read_prefix(opts), nullptr, nullptr, Style::kShortOnly});
}

int vek_getopt_long(int argc, char** argv, const char* shortopts, const vek_option* longopts, int* longind) {
  return run({argc, argv, read_prefix(shortopts), longopts, longind, Style::kLong});
}

int vek_getopt_long_only(int argc, char** argv, const char* shortopts, const vek_option* longopts, int* longind) {
  return run({argc, argv, read_prefix(shortopts), longopts, longind, Style::kLongOnly});
}

void vek_getopt_reset(void) {
  vek_optind = 1;
  vek_opterr = 1;
  vek_optopt = 0;
  charind = 0;
  pending_first = 0;
  pending_count = 0;
}

char* vek_getopt_getShortOptions(const vek_option* long_opts) {
  try {
    std::string result = ":";
    for (const vek_option* o = long_opts; o != nullptr && o->name != nullptr; ++o) {
      if (o->val == 0) continue;
      result.push_back(static_cast<char>(o->val));
      if (o->has_arg == VEK_REQUIRED_ARGUMENT) result.append(":");
      if (o->has_arg == VEK_OPTIONAL_ARGUMENT) result.append("::");
    }
    return strdup(result.c_str());
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"
