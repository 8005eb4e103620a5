// Option parser: tables of argument vectors with the results expected from
// each call, the installer's own option table among them. On glibc systems
// the same vectors also go through glibc's getopt_long, and the two parsers
// must agree except where ours is meant to differ (each such row says why).
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <getopt.h>
#endif

#include "vek_getopt.h"
#include "vek_test_support.h"

namespace {

// The installer's long options (all flags NULL) and its option string.
const vek_option kInstallerOptions[] = {
    {"help", 0, nullptr, 'h'},     {"javavm", 1, nullptr, 'm'},  {"version", 0, nullptr, 'v'},
    {"installdir", 1, nullptr, 0}, {"oxv", 1, nullptr, 0},       {"silent", 0, nullptr, 0},
    {"headless", 0, nullptr, 0},   {"noservice", 0, nullptr, 0}, {"host-display-name", 1, nullptr, 0},
    {"kwel", 1, nullptr, 0},       {"detectha", 0, nullptr, 0},  {nullptr, 0, nullptr, 0}};
const char kInstallerShort[] = ":hmv";

const vek_option kVerOptions[] = {{"verbose", 0, nullptr, 'b'},
                                  {"version", 0, nullptr, 'n'},
                                  {"versions", 2, nullptr, 's'},
                                  {nullptr, 0, nullptr, 0}};

enum class Api { kShort, kLong, kLongOnly };

// One call's outcome: the result and the argument (nullopt for NULL).
struct Step {
  int ret;
  std::optional<std::string> arg;
  bool operator==(const Step&) const = default;
};

std::string describe(const std::vector<Step>& steps) {
  std::ostringstream out;
  for (const Step& s : steps) {
    out << "(";
    if (s.ret > 32 && s.ret < 127)
      out << "'" << static_cast<char>(s.ret) << "'";
    else
      out << s.ret;
    out << ", " << (s.arg ? "\"" + *s.arg + "\"" : std::string("NULL")) << ") ";
  }
  return out.str();
}

struct Row {
  const char* title;
  Api api;
  const char* opts;
  const vek_option* table;
  std::vector<const char*> args;       // after the program name
  std::vector<Step> steps;             // every call up to and including -1
  std::vector<const char*> reordered;  // the vector at the end; empty: unchanged
  int final_optind;
  bool posix = false;                   // run with POSIXLY_CORRECT set
  const char* glibc_differs = nullptr;  // why glibc gives another answer
};

const std::optional<std::string> kNull = std::nullopt;

const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      // Installer command lines.
      {"help short", Api::kLong, kInstallerShort, kInstallerOptions, {"-h"}, {{'h', kNull}, {-1, kNull}}, {}, 2},
      {"cluster",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"-hv"},
       {{'h', kNull}, {'v', kNull}, {-1, kNull}},
       {},
       2},
      {"long exact", Api::kLong, kInstallerShort, kInstallerOptions, {"--help"}, {{'h', kNull}, {-1, kNull}}, {}, 2},
      {"long with =",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--javavm=/opt/jre"},
       {{'m', "/opt/jre"}, {-1, kNull}},
       {},
       2},
      {"long, separate argument",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--javavm", "/opt/jre"},
       {{'m', "/opt/jre"}, {-1, kNull}},
       {},
       3},
      {"long, argument that looks like an option",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--kwel", "-v"},
       {{0, "-v"}, {-1, kNull}},
       {},
       3},
      {"long, empty argument after =",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--javavm="},
       {{'m', ""}, {-1, kNull}},
       {},
       2},
      {"long, missing argument at the end",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--javavm"},
       {{':', kNull}, {-1, kNull}},
       {},
       2},
      {"abbreviation",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--inst=/x", "--hel"},
       {{0, "/x"}, {'h', kNull}, {-1, kNull}},
       {},
       3},
      {"ambiguous abbreviation",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--he", "-v"},
       {{'?', kNull}, {'v', kNull}, {-1, kNull}},
       {},
       3},
      {"argument to a flag option",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--silent=yes"},
       {{'?', kNull}, {-1, kNull}},
       {},
       2},
      {"unknown long",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--bogus", "-h"},
       {{'?', kNull}, {'h', kNull}, {-1, kNull}},
       {},
       3},
      {"unknown short in a cluster",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"-mxv"},
       {{'m', kNull}, {'?', kNull}, {'v', kNull}, {-1, kNull}},
       {},
       2},
      {"permute",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"file1", "-h", "file2"},
       {{'h', kNull}, {-1, kNull}},
       {"-h", "file1", "file2"},
       2},
      {"permute with separate argument",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"f", "--javavm", "/jre", "g", "-v"},
       {{'m', "/jre"}, {'v', kNull}, {-1, kNull}},
       {"--javavm", "/jre", "-v", "f", "g"},
       4},
      {"permute a cluster",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"f", "-hv", "g"},
       {{'h', kNull}, {'v', kNull}, {-1, kNull}},
       {"-hv", "f", "g"},
       2},
      {"missing argument after an operand",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"f", "--javavm"},
       {{':', kNull}, {-1, kNull}},
       {"--javavm", "f"},
       2},
      {"-- ends the options",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"-h", "--", "-v", "f"},
       {{'h', kNull}, {-1, kNull}},
       {},
       3},
      {"-- after operands",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"a", "-v", "--", "-h", "b"},
       {{'v', kNull}, {-1, kNull}},
       {"-v", "--", "a", "-h", "b"},
       3},
      {"lone dash is an operand",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"-", "-v"},
       {{'v', kNull}, {-1, kNull}},
       {"-v", "-"},
       2},
      {"POSIXLY_CORRECT stops at the first operand",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"-v", "f", "-h"},
       {{'v', kNull}, {-1, kNull}},
       {},
       2,
       true},
      {"POSIXLY_CORRECT ignores the leading colon",
       Api::kLong,
       kInstallerShort,
       kInstallerOptions,
       {"--javavm"},
       {{'?', kNull}, {-1, kNull}},
       {},
       2,
       true,
       "glibc still honours ':' under POSIXLY_CORRECT"},

      // Short options only.
      {"cluster then separate argument",
       Api::kShort,
       "ab:",
       nullptr,
       {"-ab", "x"},
       {{'a', kNull}, {'b', "x"}, {-1, kNull}},
       {},
       3},
      {"attached argument", Api::kShort, "b:", nullptr, {"-bvalue"}, {{'b', "value"}, {-1, kNull}}, {}, 2},
      {"optional argument absent", Api::kShort, "b::", nullptr, {"-b", "v"}, {{'b', kNull}, {-1, kNull}}, {}, 2},
      {"optional argument attached", Api::kShort, "b::", nullptr, {"-bv"}, {{'b', "v"}, {-1, kNull}}, {}, 2},
      {"missing argument without colon", Api::kShort, "a:", nullptr, {"-a"}, {{'?', kNull}, {-1, kNull}}, {}, 2},
      {"missing argument with colon", Api::kShort, ":a:", nullptr, {"-a"}, {{':', kNull}, {-1, kNull}}, {}, 2},
      {"+ then colon", Api::kShort, "+:a:", nullptr, {"-a"}, {{':', kNull}, {-1, kNull}}, {}, 2},
      {"colon then +", Api::kShort, ":+a:", nullptr, {"-a"}, {{':', kNull}, {-1, kNull}}, {}, 2},
      {"colon then + orders",
       Api::kShort,
       ":+a",
       nullptr,
       {"x", "-a"},
       {{-1, kNull}},
       {},
       1,
       false,
       "glibc reads the ordering only from the first character"},
      {"require order", Api::kShort, "+a", nullptr, {"x", "-a"}, {{-1, kNull}}, {}, 1},
      {"return in order",
       Api::kShort,
       "-a",
       nullptr,
       {"x", "-a", "y"},
       {{1, "x"}, {'a', kNull}, {1, "y"}, {-1, kNull}},
       {},
       4},
      {"double dash element in short mode",
       Api::kShort,
       "ab",
       nullptr,
       {"--ab"},
       {{'?', kNull}, {'a', kNull}, {'b', kNull}, {-1, kNull}},
       {},
       2},
      {"W; takes an argument",
       Api::kShort,
       "W;",
       nullptr,
       {"-W", "foo"},
       {{'W', "foo"}, {-1, kNull}},
       {},
       3,
       false,
       "glibc turns -W foo into the long option --foo"},

      // Long option matching.
      {"ambiguous prefix", Api::kLong, "", kVerOptions, {"--ver"}, {{'?', kNull}, {-1, kNull}}, {}, 2},
      {"unique prefix", Api::kLong, "", kVerOptions, {"--verb"}, {{'b', kNull}, {-1, kNull}}, {}, 2},
      {"exact match beats longer names",
       Api::kLong,
       "",
       kVerOptions,
       {"--version"},
       {{'n', kNull}, {-1, kNull}},
       {},
       2},
      {"optional argument only with =",
       Api::kLong,
       "",
       kVerOptions,
       {"--versions", "x", "--versions=y"},
       {{'s', kNull}, {'s', "y"}, {-1, kNull}},
       {"--versions", "--versions=y", "x"},
       3},

      // Long-only mode.
      {"long-only prefix", Api::kLongOnly, "bx", kVerOptions, {"-verb"}, {{'b', kNull}, {-1, kNull}}, {}, 2},
      {"long-only single letter is short",
       Api::kLongOnly,
       "bx",
       kVerOptions,
       {"-b"},
       {{'b', kNull}, {-1, kNull}},
       {},
       2},
      {"long-only falls back to a cluster",
       Api::kLongOnly,
       "bx",
       kVerOptions,
       {"-xb"},
       {{'x', kNull}, {'b', kNull}, {-1, kNull}},
       {},
       2},
      {"long-only unknown letter", Api::kLongOnly, "bx", kVerOptions, {"-q"}, {{'?', kNull}, {-1, kNull}}, {}, 2},
  };
  return table;
}

std::vector<char*> makeArgv(const Row& row) {
  std::vector<char*> argv{const_cast<char*>("installer")};
  for (const char* a : row.args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  return argv;
}

int callVek(const Row& row, int argc, char** argv) {
  switch (row.api) {
    case Api::kShort: return vek_getopt(argc, argv, row.opts);
    case Api::kLong: return vek_getopt_long(argc, argv, row.opts, row.table, nullptr);
    case Api::kLongOnly: return vek_getopt_long_only(argc, argv, row.opts, row.table, nullptr);
  }
  return -2;
}

// Sets or removes POSIXLY_CORRECT for the lifetime of the object.
class PosixlyCorrect {
 public:
  explicit PosixlyCorrect(bool on) : on_(on) {
#ifdef _WIN32
    if (on_) _putenv_s("POSIXLY_CORRECT", "1");
#else
    if (on_) setenv("POSIXLY_CORRECT", "1", 1);
#endif
  }
  ~PosixlyCorrect() {
#ifdef _WIN32
    if (on_) _putenv_s("POSIXLY_CORRECT", "");
#else
    if (on_) unsetenv("POSIXLY_CORRECT");
#endif
  }

 private:
  bool on_;
};

std::vector<std::string> strings(char** argv, int argc) { return std::vector<std::string>(argv, argv + argc); }

std::vector<std::string> expectedVector(const Row& row) {
  std::vector<std::string> out{"installer"};
  for (const char* a : row.reordered.empty() ? row.args : row.reordered) out.push_back(a);
  return out;
}

class GetoptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_getopt_reset();
    vek_option_quiet = 1;
  }
  void TearDown() override { vek_option_quiet = 0; }
};

TEST_F(GetoptTest, ResultsArgumentsAndReordering) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.title);
    PosixlyCorrect posix(row.posix);
    std::vector<char*> argv = makeArgv(row);
    int argc = static_cast<int>(argv.size()) - 1;
    vek_getopt_reset();
    std::vector<Step> got;
    for (int guard = 0; guard < 16; ++guard) {
      int ret = callVek(row, argc, argv.data());
      got.push_back({ret, vek_optarg ? std::optional<std::string>(vek_optarg) : kNull});
      EXPECT_LE(vek_optind, argc);
      if (ret == -1) break;
    }
    EXPECT_EQ(describe(row.steps), describe(got));
    EXPECT_EQ(expectedVector(row), strings(argv.data(), argc));
    EXPECT_EQ(row.final_optind, vek_optind);
  }
}

TEST_F(GetoptTest, OptoptAndLongIndex) {
  char* argv[] = {const_cast<char*>("p"), const_cast<char*>("-x"), const_cast<char*>("--oxv=1"),
                  const_cast<char*>("--nope"), nullptr};
  int longind = -1;
  EXPECT_EQ('?', vek_getopt_long(4, argv, kInstallerShort, kInstallerOptions, &longind));
  EXPECT_EQ('x', vek_optopt);
  EXPECT_EQ(0, vek_getopt_long(4, argv, kInstallerShort, kInstallerOptions, &longind));
  EXPECT_EQ(4, longind);
  EXPECT_STREQ("1", vek_optarg);
  EXPECT_EQ('?', vek_getopt_long(4, argv, kInstallerShort, kInstallerOptions, &longind));
  EXPECT_EQ('-', vek_optopt);
}

TEST_F(GetoptTest, FlagReceivesValAndCallReturnsZero) {
  int flag = 0;
  const vek_option options[] = {{"quiet", 0, &flag, 42}, {nullptr, 0, nullptr, 0}};
  char* argv[] = {const_cast<char*>("p"), const_cast<char*>("--qu"), nullptr};
  EXPECT_EQ(0, vek_getopt_long(2, argv, "", options, nullptr));
  EXPECT_EQ(42, flag);
}

TEST_F(GetoptTest, MessagesAndSilence) {
  struct Case {
    const char* title;
    Api api;
    const char* opts;
    const char* arg;
    const char* message;
  };
  const Case cases[] = {
      {"illegal", Api::kShort, "a", "-x", "installer: illegal option -- x\n"},
      {"requires short", Api::kShort, "a:", "-a", "installer: option requires an argument -- a\n"},
      {"unrecognized", Api::kLong, "", "--nope", "installer: unrecognized option `--nope'\n"},
      {"ambiguous", Api::kLong, "", "--ver", "installer: option `--ver' is ambiguous\n"},
      {"no argument allowed", Api::kLong, "", "--verb=1", "installer: option `--verbose' doesn't allow an argument\n"},
      {"long-only names two dashes", Api::kLongOnly, "", "-verb=1",
       "installer: option `--verbose' doesn't allow an argument\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    for (int silence = 0; silence < 3; ++silence) {
      Row row{c.title, c.api, c.opts, kVerOptions, {c.arg}, {}, {}, 0};
      std::vector<char*> argv = makeArgv(row);
      vek_getopt_reset();
      vek_option_quiet = silence == 1;
      if (silence == 2) vek_opterr = 0;
      vektest::CaptureFd err(2);
      int ret = callVek(row, 2, argv.data());
      std::string text = err.stop();
      EXPECT_EQ('?', ret);
      EXPECT_EQ(2, vek_optind);
      EXPECT_EQ(silence == 0 ? std::string(c.message) : std::string(), text);
    }
  }
}

TEST(GetoptShortOptions, BuiltFromTheLongTable) {
  struct Case {
    const char* title;
    const vek_option* table;
    const char* expected;
  };
  const vek_option empty[] = {{nullptr, 0, nullptr, 0}};
  const Case cases[] = {{"installer", kInstallerOptions, ":hm:v"},
                        {"optional argument", kVerOptions, ":bns::"},
                        {"empty table", empty, ":"},
                        {"null table", nullptr, ":"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    std::unique_ptr<char, decltype(&free)> opts(vek_getopt_getShortOptions(c.table), &free);
    ASSERT_NE(nullptr, opts);
    EXPECT_STREQ(c.expected, opts.get());
  }
}

#if defined(__GLIBC__)
// The same vectors through glibc. A reset there is optind = 0, which also
// makes it read POSIXLY_CORRECT again.
TEST_F(GetoptTest, AgreesWithGlibcExceptWhereSpecifiedOtherwise) {
  int compared = 0;
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.title);
    if (row.glibc_differs != nullptr) continue;
    PosixlyCorrect posix(row.posix);
    std::vector<option> table;
    for (const vek_option* o = row.table; o != nullptr; ++o) {
      table.push_back({o->name, o->has_arg, o->flag, o->val});
      if (o->name == nullptr) break;
    }
    if (table.empty()) table.push_back({nullptr, 0, nullptr, 0});
    std::vector<char*> argv = makeArgv(row);
    int argc = static_cast<int>(argv.size()) - 1;
    optind = 0;
    opterr = 0;
    std::vector<Step> got;
    for (int guard = 0; guard < 16; ++guard) {
      int ret = row.api == Api::kShort  ? getopt(argc, argv.data(), row.opts)
                : row.api == Api::kLong ? getopt_long(argc, argv.data(), row.opts, table.data(), nullptr)
                                        : getopt_long_only(argc, argv.data(), row.opts, table.data(), nullptr);
      got.push_back({ret, optarg ? std::optional<std::string>(optarg) : kNull});
      if (ret == -1) break;
    }
    EXPECT_EQ(describe(row.steps), describe(got));
    EXPECT_EQ(expectedVector(row), strings(argv.data(), argc));
    EXPECT_EQ(row.final_optind, optind);
    ++compared;
  }
  EXPECT_GT(compared, 30);
}
#endif

}  // namespace
