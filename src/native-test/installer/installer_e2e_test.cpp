// End-to-end tests: the real installer of one target (native, 32-bit Linux,
// or Windows under Wine) run as a process on installers made by the real
// packaging tool. The target and the fixture are described in
// e2e_test_support.h.
#include <poll.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>

#include "e2e_test_support.h"

namespace {

namespace fs = std::filesystem;
using e2etest::logged;
using e2etest::Outcome;
using e2etest::target;
using payloadtest::Layout;

class E2E : public e2etest::InstallerTest {};

// ---- Command line ------------------------------------------------------------

const char* const HELP_TEXT =
    "Moravel Installer 5.7.0\n"
    "    Copyright (c) 2014 Nimbo Software. All rights reserved.\n"
    "    Build Number: 5.7.0-201405021222-334052-588\n"
    "\n"
    "  -h,--help              Show this information and exit\n"
    "  -v,--version           Display the version number for this program and exit.\n"
    "  -j,--javavm            Manually set the location of the java VM, i.e JAVA_HOME\n"
    "  --installdir           Set the directory that Zorva will be installed to.\n"
    "  --headless             For user prompts to be provided on the command line,\n"
    "                         otherwise a GUI will be used if one is available.\n"
    "  --silent               Install Zorva without prompting for configuration\n"
    "                         options.  Default values will be used unless they are\n"
    "                         overridden on the command line.\n"
    "  --oxv <url=...>        Specify a URL that Zorva will connect to.  This option\n"
    "                         can be specified multiple times if more than one URL is\n"
    "                         required.\n"
    "                         Several comma-separated parameters are available to\n"
    "                         configure the connection settings:\n"
    "                         url=HTTP|HTTPS://HOST:PORT       The URL to connect on\n"
    "                         proxy=HTTP|HTTPS://HOST:PORT     Proxy server to\n"
    "                                                          connect through\n"
    "                         ssl-allow-self-signed=true|false Accept self-signed\n"
    "                                                          certificates\n"
    "                         address=IPADDRESS                Local IP address to\n"
    "                                                          bind to\n"
    "                         proxy-user=USERNAME              Username for the proxy\n"
    "                                                          server\n"
    "                         proxy-pass=PASSWORD              Password for the proxy\n"
    "                                                          server\n"
    "                         proxy-ntlm-domain=DOMAIN         Windows Domain for the\n"
    "                                                          proxy server\n"
    "                         ssl-cert-common-name             Expected certificate\n"
    "                                                          common name\n"
    "                         compressed                       Enable HTTP\n"
    "                                                          compression\n"
    "  --noservice            On Windows, do not install Zorva as a service.  On\n"
    "                         UNIX, do not install an init.d script to automatically\n"
    "                         start Zorva.\n"
    "  --host-display-name    Manually set the display name used to identify this\n"
    "                         Zorva instance.\n"
    "  --kwel                 Migrate an existing KWEL install to Zorva.\n"
    "  --detectha             Locate and configure additionally available HA servers.\n";

std::string without_cr(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

TEST_F(E2E, InvalidCommandLinesPrintTheHelpAndFail) {
  std::string installer = pack({make_product()});
  struct Case {
    std::vector<std::string> args;
    std::string first_line;  // printed before the help, or empty
  };
  const Case cases[] = {
      {{"-h"}, ""},
      {{"--help"}, ""},
      {{"--silent", "-x"}, "Unknown option -x\n"},
      {{"--bogus"}, "Unknown option --bogus\n"},
      {{"--silent", "--oxv"}, "Missing required argument for --oxv\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    Outcome r = run(installer, c.args);
    EXPECT_EQ(r.exit_code, failure_code());
    EXPECT_EQ(without_cr(r.output), c.first_line + HELP_TEXT);
    EXPECT_FALSE(configured());
    EXPECT_TRUE(windows() || temp_is_empty());
  }
}

// ---- Hand-off --------------------------------------------------------------------

TEST_F(E2E, ConfigurationProgramReceivesTheArgumentsAsGiven) {
  std::string installer = pack({make_product()});
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--silent", "--installdir", "/opt/x"},
      {"--installdir", "/opt/with blank", "--host-display-name", "two  blanks"},
      {"-Xmx512m", "--silent", "-Dkey=value", "-server", "-hotspot", "--kwel", "old"},
      {"-v", "-m", "--javavm", "/usr/lib/jvm", "--headless", "--noservice", "--detectha", "--oxv", "url=x"},
      {"--installdir", "say \"hi\"", "trailing\\", "C:\\dir with blank\\", "a\\\\\"b", ""},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    fs::remove(record_);
    Outcome r = run(installer, args);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    std::vector<std::string> expected = {"--internal-install"};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(received_args(), expected);
    EXPECT_EQ(received_env("NIMBO_DISABLE_WATCHDOG"), "1");
    EXPECT_TRUE(windows() || temp_is_empty()) << "extraction directory left behind";
  }
}

TEST_F(E2E, DebugSettingFromEnvironmentOrCommandLine) {
  std::string installer = pack({make_product()});
  struct Case {
    const char* env;     // NIMBO_DEBUG, or null
    const char* arg;     // extra argument, or null
    bool debug2;         // DEBUG2 lines shown
    bool debug;          // DEBUG lines shown
    const char* passed;  // NIMBO_DEBUG the configuration program sees
  };
  const Case cases[] = {
      {"2", "-Dnimbo.debug=1", true, true, "2"},
      {nullptr, "-Dnimbo.debug=1", false, true, "1"},
      {"abc", nullptr, false, false, "abc"},
      {nullptr, nullptr, false, false, "unset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.env ? c.env : "-") + " " + (c.arg ? c.arg : "-"));
    std::map<std::string, std::string> env;
    if (c.env) env["NIMBO_DEBUG"] = c.env;
    if (!c.env) unsetenv("NIMBO_DEBUG");
    std::vector<std::string> args;
    if (c.arg) args.push_back(c.arg);
    Outcome r = run(installer, args, env);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output.find(" DEBUG2 ") != std::string::npos, c.debug2);
    EXPECT_EQ(logged(r, "Installer version 5.7.0 (build 5.7.0-201405021222-334052-588) logging initialized"), c.debug);
    EXPECT_EQ(received_env("NIMBO_DEBUG"), c.passed);
    if (c.arg) {
      EXPECT_EQ(received_args().back(), c.arg);
    }
  }
}

TEST_F(E2E, CleanupRemovesTheDirectoryUnlessSkipped) {
  std::string installer = pack({make_product()});
  Outcome r = run(installer, {"--silent"}, {{"NIMBO_DEBUG", "1"}});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::string dir = extraction_dir(r);
  ASSERT_FALSE(dir.empty()) << r.output;
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_TRUE(logged(r, "cleaning up temporary directory"));

  r = run(installer, {"--silent"}, {{"NIMBO_DEBUG", "1"}, {"NIMBO_DEBUG_SKIPCLEANUP", ""}});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  dir = extraction_dir(r);
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(fs::exists(dir + (windows() ? "/bin/zorva.exe" : "/bin/zorva")));
  EXPECT_TRUE(fs::exists(dir + "/README"));
  EXPECT_FALSE(logged(r, "cleaning up temporary directory"));
  if (!windows()) {
    struct stat st;
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "the extraction directory must be private";
  }
  fs::remove_all(dir);
}

TEST_F(E2E, FailingConfigurationProgramFailsTheInstallation) {
  std::string installer = pack({make_product()});
  Outcome r = run(installer, {"--silent"}, {{"E2E_EXIT", "3"}, {"NIMBO_DEBUG", "1"}});
  EXPECT_EQ(r.exit_code, failure_code());
  EXPECT_TRUE(logged(r, "configuration failed with exit code 3")) << r.output;
  EXPECT_TRUE(logged(r, "WARN  [native] Configuration failed"));
  EXPECT_FALSE(fs::exists(extraction_dir(r)));
}

TEST_F(E2E, ConfigurationProgramKilledBySignal) {
  if (windows()) GTEST_SKIP() << "no signals on Windows";
  std::string installer = pack({make_product()});
  Outcome r = run(installer, {}, {{"E2E_KILL", "1"}, {"NIMBO_DEBUG", "1"}});
  EXPECT_EQ(r.exit_code, failure_code());
  EXPECT_TRUE(logged(r, "configure failed with uncaught signal 9")) << r.output;
  EXPECT_TRUE(logged(r, "configuration failed with exit code -1"));
  EXPECT_TRUE(temp_is_empty());
}

// ---- Damaged payloads --------------------------------------------------------------

TEST_F(E2E, DamagedPayloadsNeverReachTheConfigurationProgram) {
  std::string installer = pack({make_product(), make_product("second")});
  std::string good = vektest::readFile(installer);
  Layout layout;
  ASSERT_TRUE(payloadtest::split_installer(good, &layout));
  ASSERT_EQ(layout.entries.size(), 2u);
  auto with = [&](const std::function<void(Layout&)>& damage, int64_t version = 1, int64_t shift = 0) {
    Layout copy = layout;
    damage(copy);
    return payloadtest::join_installer(copy, version, shift);
  };
  struct Case {
    const char* name;
    std::string file;
    const char* message;
  };
  std::string past_end = good;
  // the first table value points past the end of the file
  size_t table = (size_t)payloadtest::get_be64(good, good.size() - 8);
  std::string big;
  payloadtest::put_be64(&big, (int64_t)good.size() + 4096);
  past_end.replace(table, 8, big);
  const Case cases[] = {
      {"trailer version 2", with([](Layout&) {}, 2), "Invalid version 2 (expected 1)"},
      {"table offset past the end", with([](Layout&) {}, 1, 1 << 20),
       "Could not read next table of contents entry: unexpected EOF"},
      {"entry offset past the end", past_end, "is invalid (minimum: 0, maximum:"},
      {"gzip trailer cut off", with([](Layout& l) { l.entries[1].resize(l.entries[1].size() - 8); }),
       "Compressed entry data is truncated"},
      {"gzip cut in the middle", with([](Layout& l) { l.entries[0].resize(l.entries[0].size() / 2); }),
       "Failure while extracting archive entry"},
      {"flipped CRC", with([](Layout& l) { l.entries[1][l.entries[1].size() - 6] ^= 0x40; }), "incorrect data check"},
      {"flipped length", with([](Layout& l) { l.entries[0][l.entries[0].size() - 2] ^= 0x01; }),
       "incorrect length check"},
      {"garbage behind a member", with([](Layout& l) { l.entries[0] += "junk"; }),
       "Failure while extracting archive entry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(record_);
    std::string damaged = dir_.file(windows() ? "damaged.exe" : "damaged");
    vektest::writeFile(damaged, c.file);
    fs::permissions(damaged, fs::perms(0755));
    Outcome r = run(damaged, {"--silent"}, {{"NIMBO_DEBUG", "1"}});
    EXPECT_EQ(r.exit_code, failure_code());
    EXPECT_TRUE(logged(r, c.message)) << r.output;
    EXPECT_FALSE(configured()) << "a damaged payload reached the configuration program";
    std::string dir = extraction_dir(r);
    EXPECT_TRUE(!dir.empty() && !fs::exists(dir)) << dir;
  }
}

// Regression: the payload was read from the file argv[0] names, taken
// against the working directory: started through PATH, an installer read a
// file of its name in the working directory and ran what that file carried.
TEST_F(E2E, PayloadIsReadFromTheRunningExecutable) {
  std::string installer = pack({make_product()});
  std::string exe = windows() ? ".exe" : "";
  std::string decoy = "0123456789";  // no trailer: reading it fails the run
  fs::create_directories(dir_.file("onpath"));
  fs::create_directories(dir_.file("with blanks/sub dir"));
  fs::copy_file(installer, dir_.file("onpath/inst" + exe));
  fs::copy_file(installer, dir_.file("with blanks/sub dir/my installer" + exe));
  fs::create_symlink(installer, dir_.file("linked" + exe));
  vektest::writeFile(dir_.file("inst" + exe), decoy);  // the decoy, in the working directory
  fs::permissions(dir_.file("inst" + exe), fs::perms(0755));
  struct Case {
    const char* what;
    std::string program;  // the file started
    std::string argv0;    // what argv[0] says
    bool on_windows;      // Wine names the program itself: only the path form can be tried
  };
  const Case cases[] = {
      {"through PATH, a decoy of that name in the working directory", dir_.file("onpath/inst" + exe), "inst" + exe,
       false},
      {"through a symbolic link", dir_.file("linked" + exe), dir_.file("linked" + exe), false},
      {"by a relative path with blanks", dir_.file("with blanks/sub dir/my installer" + exe),
       "with blanks/sub dir/my installer" + exe, true},
      {"argv[0] naming another file", installer, dir_.file("inst" + exe), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (windows() && !c.on_windows) continue;
    fs::remove(record_);
    std::map<std::string, std::string> env = {{"NIMBO_DEBUG", "1"}, {"PATH", dir_.file("onpath") + ":/usr/bin:/bin"}};
    Outcome r = windows() ? run(c.argv0, {"--silent"}, env)
                          : spawn(
                                {c.argv0, "--silent"},
                                [&] {
                                  for (const auto& [k, v] : base_env()) env.insert({k, v});
                                  return env;
                                }(),
                                dir_.str(), {}, {}, c.program);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(configured());
    EXPECT_FALSE(logged(r, "Invalid version")) << "the decoy was read";
    EXPECT_EQ(vektest::readFile(dir_.file("inst" + exe)), decoy);
  }
}

// An entry made of several gzip members (as concatenated files or bgzip make
// them) is read to its end: no file of a well-formed entry is left out.
TEST_F(E2E, MultiMemberEntryExtractsEveryFile) {
  std::string product = make_product();
  std::string tar = payloadtest::tar_of({{"first.txt", "one"}, {"later/second.txt", std::string(70000, 'x')}});
  std::string gz = payloadtest::gzip_member(tar.substr(0, 1024)) + payloadtest::gzip_member(tar.substr(1024, 50000)) +
                   payloadtest::gzip_member(tar.substr(51024));
  std::string archive = dir_.file("multi.tar.gz");
  vektest::writeFile(archive, gz);
  std::string installer = pack({product, archive});
  Outcome r = run(installer, {}, {{"NIMBO_DEBUG", "1"}, {"NIMBO_DEBUG_SKIPCLEANUP", "1"}});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::string dir = extraction_dir(r);
  EXPECT_EQ(vektest::readFile(dir + "/first.txt"), "one");
  EXPECT_EQ(vektest::readFile(dir + "/later/second.txt"), std::string(70000, 'x'));
  fs::remove_all(dir);
}

// ---- Status line on a terminal --------------------------------------------------

struct TerminalRun {
  int exit_code = -1;
  std::string output;  // everything the terminal received
  double seconds = 0;  // how long the program ran
};

// Runs argv on a new pseudo-terminal, reading it until the program ends.
TerminalRun run_on_terminal(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                            const std::string& cwd) {
  TerminalRun result;
  auto start = std::chrono::steady_clock::now();
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return result;
  if (pid == 0) {
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  char buffer[4096];
  for (;;) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 300000) <= 0) break;
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;  // EIO once the program and its children closed the terminal
    result.output.append(buffer, (size_t)got);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

// Every redraw of the status line: the texts after each carriage return
// that match `pattern`.
std::vector<std::string> redraws(const std::string& output, const std::string& pattern) {
  std::vector<std::string> found;
  std::regex re("\r(" + pattern + ")");
  for (auto it = std::sregex_iterator(output.begin(), output.end(), re); it != std::sregex_iterator(); ++it)
    found.push_back((*it)[1]);
  return found;
}

class TerminalE2E : public E2E {
 protected:
  void SetUp() override {
    E2E::SetUp();
    if (IsSkipped()) return;
    if (windows()) GTEST_SKIP() << "Wine gives a pseudo-terminal no console";
  }
  // A product big enough to take a while to extract.
  std::string make_big_product() {
    std::string product = make_product();
    std::string data;
    uint32_t x = 12345;
    for (size_t i = 0; i < (24u << 20); i += 4) {
      x = x * 1664525u + 1013904223u;
      data.append(reinterpret_cast<const char*>(&x), 4);
    }
    vektest::writeFile(product + "/big.bin", data);
    return product;
  }
};

TEST_F(TerminalE2E, ExtractionShowsOneStatusLineOnlyOnATerminal) {
  std::string installer = pack({make_big_product()}, {"-z", "1"});
  struct Case {
    const char* what;
    std::map<std::string, std::string> env;
    bool shown;
  };
  const Case cases[] = {
      {"terminal", {}, true},
      {"NIMBO_NOPROGRESS=1", {{"NIMBO_NOPROGRESS", "1"}}, false},
      {"debug logging", {{"NIMBO_DEBUG", "1"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::map<std::string, std::string> env = c.env;
    for (const auto& [k, v] : base_env()) env.insert({k, v});
    TerminalRun r = run_on_terminal({installer, "--silent"}, env, dir_.str());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    std::vector<std::string> lines = redraws(r.output, "Extracting [0-9]+ %");
    if (!c.shown) {
      EXPECT_TRUE(lines.empty()) << r.output;
      continue;
    }
    ASSERT_FALSE(lines.empty()) << r.output;
    EXPECT_EQ(lines.front(), "Extracting 0 %");
    int previous = -1;
    for (const std::string& line : lines) {
      int percent = std::stoi(line.substr(11));
      EXPECT_GE(percent, previous) << line;
      EXPECT_LE(percent, 100);
      previous = percent;
    }
    EXPECT_LE(lines.size(), (size_t)(r.seconds * 10) + 2) << "redrawn more than ten times a second";
    // Erased (blanks over it) before the configuration starts.
    size_t last = r.output.rfind("\rExtracting");
    size_t configuring = r.output.find("Extraction complete, configuring");
    ASSERT_NE(configuring, std::string::npos);
    std::string between = r.output.substr(last + 1, configuring - last - 1);
    EXPECT_NE(between.find("\r" + std::string(lines.back().size(), ' ') + "\r"), std::string::npos)
        << "status line not erased: " << between;
  }
  // A pipe or a file shows nothing.
  Outcome piped = run(installer, {"--silent"});
  ASSERT_EQ(piped.exit_code, 0) << piped.output;
  EXPECT_EQ(piped.output.find("\rExtracting"), std::string::npos);
}

TEST_F(TerminalE2E, PackingShowsEntriesAndBytesOnATerminal) {
  std::string product = make_big_product();
  std::string out = dir_.file("packed");
  std::vector<std::string> argv = {target().mkinstaller, "-s", target().installer, "-o", out, "-z", "1", product};
  TerminalRun r = run_on_terminal(argv, {}, dir_.str());
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::vector<std::string> lines = redraws(r.output, "Packing: [0-9]+ entries, [0-9]+ MiB");
  ASSERT_FALSE(lines.empty()) << r.output;
  EXPECT_EQ(lines.back(), "Packing: 4 entries, 24 MiB");  // bin/, bin/zorva, README, big.bin
  EXPECT_LE(lines.size(), (size_t)(r.seconds * 10) + 2);
  EXPECT_EQ(r.output.substr(r.output.size() - 2), " \r") << "the line is left on the screen";
  Outcome piped = spawn(argv, {}, dir_.str(), {}, {});
  ASSERT_EQ(piped.exit_code, 0) << piped.output;
  EXPECT_EQ(piped.output.find("Packing"), std::string::npos);
}

// ---- Archives of every kind -------------------------------------------------------

// name -> what the installed tree holds there: type, permission bits (less
// the creation mask both extractions apply) and content or link target.
std::map<std::string, std::string> installed_tree(const std::string& root, bool windows) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st;
    std::string path = it->path().string();
    if (lstat(path.c_str(), &st) != 0) continue;
    std::string what;
    if (S_ISLNK(st.st_mode)) {
      if (windows) continue;  // the Windows installer makes no links
      what = "link " + fs::read_symlink(path).string();
    } else if (S_ISDIR(st.st_mode)) {
      what = "dir";
    } else {
      what = "file " + vektest::readFile(path);
      if (!windows) what += " links " + std::to_string(st.st_nlink);
    }
    if (!windows) what += " mode " + std::to_string(st.st_mode & 07755);
    tree[path.substr(root.size())] = what;
  }
  return tree;
}

// Archives made by the tools vendors use, each installed and compared with
// what bsdtar extracts from the same archive.
TEST_F(E2E, ArchivesOfEveryFormInstallAsBsdtarExtractsThem) {
  for (const char* tool : {"/usr/bin/tar", "/usr/bin/bsdtar", "/usr/bin/zip"})
    if (!fs::exists(tool)) GTEST_SKIP() << tool << " is not installed";
  std::string src = make_product("src");
  const std::string long_name(120, 'l');
  fs::create_directories(src + "/sub/deep");
  vektest::writeFile(src + "/sub/" + long_name, "long\n");
  vektest::writeFile(src + "/a.txt", "hello\n");
  chmod((src + "/a.txt").c_str(), 0640);
  chmod((src + "/sub/deep").c_str(), 0750);
  vektest::writeFile(src + "/empty", "");
  {
    std::ofstream sparse(src + "/sparse.bin", std::ios::binary);
    sparse.seekp(3 << 20);
    sparse << "end\n";
  }
  if (!windows()) {
    fs::create_symlink("../a.txt", src + "/sub/link-" + long_name);  // long name, short target
    fs::create_symlink("../" + std::string(110, 'x') + "/target", src + "/longtarget");
    fs::create_hard_link(src + "/a.txt", src + "/hard");
    vektest::writeFile(src +
                           "/gr\xc3\xbc\xc3\x9f"
                           "e.txt",
                       "non-ascii\n");
  }
  struct Case {
    const char* what;
    const char* file;
    std::string command;  // run in src
  };
  const std::string out = dir_.str() + "/";
  const Case cases[] = {
      {"GNU tar, gnu format", "gnu.tar.gz", "tar --format=gnu -czf " + out + "gnu.tar.gz ."},
      {"GNU tar, pax format", "pax.tar.gz", "tar --format=pax -czf " + out + "pax.tar.gz ."},
      {"GNU tar, sparse", "sparse.tar.xz", "tar --sparse --format=gnu -cJf " + out + "sparse.tar.xz ."},
      {"bsdtar", "bsd.tar.zst", "bsdtar --zstd -cf " + out + "bsd.tar.zst ."},
      {"Python tarfile", "py.tar.bz2",
       "python3 -c \"import tarfile; t = tarfile.open('" + out + "py.tar.bz2', 'w:bz2'); t.add('.'); t.close()\""},
      {"zip", "z.zip", "zip -qry " + out + "z.zip ."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(std::system(("cd '" + src + "' && " + c.command).c_str()), 0);
    std::string reference = dir_.file(std::string("ref-") + c.file);
    fs::create_directories(reference);
    ASSERT_EQ(std::system(("bsdtar -xpf " + out + c.file + " -C " + reference).c_str()), 0);
    std::string installer = pack({out + c.file});
    fs::remove(record_);
    Outcome r = run(installer, {"--silent"}, {{"NIMBO_DEBUG", "1"}, {"NIMBO_DEBUG_SKIPCLEANUP", "1"}});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    std::string dir = extraction_dir(r);
    std::map<std::string, std::string> expected = installed_tree(reference, windows());
    EXPECT_EQ(installed_tree(dir, windows()), expected);
    EXPECT_GE(expected.size(), windows() ? 9u : 13u);
    fs::remove_all(dir);
  }
}

// Regression: the size pass of the packer's members added up their trailers,
// which count a directory as its 512-byte header: 200 directories needed
// about 112 KB by that count, where the disk takes 800 KB and the size
// operations count 4096 bytes each. The packer records their count now.
TEST_F(E2E, ManyDirectoriesAreCountedAsTheDiskTakesThem) {
  std::string product = make_product();
  for (int i = 0; i < 200; ++i) fs::create_directories(product + "/d" + std::to_string(i));
  Outcome r = run(pack({product}), {"--silent"}, {{"NIMBO_DEBUG", "1"}});
  ASSERT_EQ(r.exit_code, 0) << r.output.substr(0, 4000);
  std::smatch m;
  std::string text = e2etest::squeeze(r.output);
  ASSERT_TRUE(std::regex_search(text, m, std::regex("VERBOSE \\[native\\] ([0-9]+) bytes required"))) << text;
  EXPECT_GE(std::stoull(m[1]), 200u * 4096u);
}

// Regression: Windows handed the archive's UTF-8 names to the ANSI file
// calls, which took them in the system code page ("caf\xc3\x83\xc2\xa9-..."
// for "caf\xc3\xa9-..."). Each name is installed as it was packed, one
// outside the Basic Multilingual Plane included, and the log shows it so.
TEST_F(E2E, NamesOutsideAsciiAreInstalledAsPacked) {
  std::string product = make_product();
  fs::create_directories(product + "/docs");
  const std::vector<std::string> names = {"docs/caf\xc3\xa9-\xc3\xbc.txt", "docs/\xe6\x97\xa5\xe6\x9c\xac.txt",
                                          "docs/\xf0\x9d\x84\x9e-clef.txt", "\xc3\xa9t\xc3\xa9/ok.txt"};
  for (const std::string& name : names) {
    fs::create_directories(fs::path(product + "/" + name).parent_path());
    vektest::writeFile(product + "/" + name, "content of " + name);
  }
  std::string installer = pack({product});
  Outcome r = run(installer, {"--silent"}, {{"NIMBO_DEBUG", "1"}, {"NIMBO_DEBUG_SKIPCLEANUP", "1"}});
  ASSERT_EQ(r.exit_code, 0) << r.output.substr(0, 4000);
  std::string dir = extraction_dir(r);
  ASSERT_FALSE(dir.empty());
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(vektest::readFile(dir + "/" + name), "content of " + name);
    EXPECT_TRUE(logged(r, "extracting file " + name));
  }
  fs::remove_all(dir);
  r = run(installer, {"--silent"}, {{"NIMBO_DEBUG", "1"}});
  ASSERT_EQ(r.exit_code, 0) << r.output.substr(0, 4000);
  EXPECT_FALSE(fs::exists(extraction_dir(r))) << "the clean-up must find these names too";
}

// Regression: a file was opened with truncation where something stood at its
// name, so an overlay entry rewriting lib/b.jar also rewrote its hard-linked
// sibling lib/a.jar. Each later entry replaces the name alone.
TEST_F(E2E, OverlayEntryReplacesOnlyTheNameItWrites) {
  std::string product = make_product();
  fs::create_directories(product + "/lib");
  vektest::writeFile(product + "/lib/a.jar", "old");
  if (windows()) {
    vektest::writeFile(product + "/lib/b.jar", "old");
  } else {
    fs::create_hard_link(product + "/lib/a.jar", product + "/lib/b.jar");
  }
  std::string overlay = dir_.file("overlay");
  fs::create_directories(overlay + "/lib");
  vektest::writeFile(overlay + "/lib/b.jar", "new");
  Outcome r = run(pack({product, overlay}), {"--silent"}, {{"NIMBO_DEBUG", "1"}, {"NIMBO_DEBUG_SKIPCLEANUP", "1"}});
  ASSERT_EQ(r.exit_code, 0) << r.output.substr(0, 4000);
  std::string dir = extraction_dir(r);
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(vektest::readFile(dir + "/lib/a.jar"), "old");
  EXPECT_EQ(vektest::readFile(dir + "/lib/b.jar"), "new");
  fs::remove_all(dir);
}

// ---- Space, interruption, directory safety (Linux: tmpfs, signals, owners) ----

class LinuxE2E : public E2E {
 protected:
  void SetUp() override {
    E2E::SetUp();
    if (IsSkipped()) return;
    if (windows()) GTEST_SKIP() << "Linux only";
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  }
  void TearDown() override {
    if (mounted_) umount2(temp_.c_str(), MNT_DETACH);
  }
  void mount_tmpfs(const std::string& size) {
    ASSERT_EQ(mount("tmpfs", temp_.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0777").c_str()), 0) << strerror(errno);
    mounted_ = true;
  }
  // A product whose data/big.bin takes a few hundred chunks of file data.
  std::string make_held_product() {
    std::string product = make_product();
    fs::create_directories(product + "/data");
    vektest::writeFile(product + "/data/big.bin", std::string(4 << 20, 'b'));
    return product;
  }
  // Runs the installer with its output held (see read_output_until) and calls
  // `held` once it is writing data/big.bin and blocked in a log line; the
  // output is drained afterwards unless `held` closed it.
  Outcome run_held(const std::string& installer, const std::function<void(pid_t)>& held,
                   std::map<std::string, std::string> env = {}) {
    hold_output_ = true;
    env["NIMBO_DEBUG"] = "2";
    env["ASAN_OPTIONS"] = "detect_leaks=0";  // a bus error's jump leaves frames unreleased
    Outcome r = run(installer, {"--silent"}, env, {}, [&](pid_t pid) {
      ASSERT_TRUE(read_output_until("extracting file data/big.bin")) << held_output_.substr(0, 4000);
      held(pid);
    });
    hold_output_ = false;
    return r;
  }
  bool mounted_ = false;
};

// ---- Tracing the installer (root) ---------------------------------------------

// The signals a thread blocks, from the system's view of it.
unsigned long long blocked_signals(pid_t pid, const std::string& tid) {
  std::string status = vektest::readFile("/proc/" + std::to_string(pid) + "/task/" + tid + "/status");
  size_t at = status.find("SigBlk:");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + 7), nullptr, 16);
}

// What descriptor `fd` of process `pid` is open on.
std::string open_file_of(pid_t pid, unsigned long long fd) {
  std::error_code error;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), error).string();
}

// A 32-bit installer that the kernel runs itself makes the calls of the
// 32-bit table, with the arguments from ebx on; under the emulator, and for
// the native build, the calls are the 64-bit ones. The code segment tells
// which mode the stopped thread runs in.
constexpr unsigned long long kCompatCodeSegment = 0x23;
constexpr long kI386Write = 4;  // asm/unistd_32.h
constexpr long kI386Chdir = 12;

bool is_call(const user_regs_struct& regs, long native, long i386) {
  return (long)regs.orig_rax == (regs.cs == kCompatCodeSegment ? i386 : native);
}

unsigned long long first_argument(const user_regs_struct& regs) {
  return regs.cs == kCompatCodeSegment ? regs.rbx : regs.rdi;
}

// Traces the main thread of `pid` (seized with PTRACE_SEIZE by this thread)
// from system call to system call and returns with it stopped at the first
// one for which `wanted` holds. False when that cannot be done.
bool stop_at_system_call(pid_t pid, const std::function<bool(const user_regs_struct&)>& wanted) {
  int status = 0;
  if (ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr) != 0 || waitpid(pid, &status, __WALL) != pid) return false;
  for (;;) {
    long pass_on = 0;
    if (!WIFSTOPPED(status)) return false;
    if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
      user_regs_struct regs;
      if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) == 0 && wanted(regs)) return true;
    } else if ((status >> 16) == 0 && WSTOPSIG(status) != SIGTRAP) {
      pass_on = WSTOPSIG(status);  // a signal meant for the program
    }
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, (void*)pass_on) != 0 || waitpid(pid, &status, __WALL) != pid) return false;
  }
}

bool seize(pid_t pid) { return ptrace(PTRACE_SEIZE, pid, nullptr, (void*)PTRACE_O_TRACESYSGOOD) == 0; }

// Lets the traced installer go on however the test leaves its scope.
struct Detach {
  pid_t pid;
  ~Detach() { ptrace(PTRACE_DETACH, pid, nullptr, nullptr); }
};

// Stops the installer at a write to a file whose path holds `part`: writing
// file data, outside any lock.
bool stop_at_file_write(pid_t pid, const std::string& part) {
  return seize(pid) && stop_at_system_call(pid, [&](const user_regs_struct& regs) {
           return is_call(regs, SYS_write, kI386Write) &&
                  open_file_of(pid, first_argument(regs)).find(part) != std::string::npos;
         });
}

TEST_F(LinuxE2E, SpaceCheckRefusesWhatDoesNotFit) {
  std::string product = make_product();
  vektest::writeFile(product + "/big.bin", std::string(2 << 20, 'z'));
  std::string installer = pack({product});
  mount_tmpfs("1m");
  Outcome r = run(installer, {"--silent"});
  EXPECT_EQ(r.exit_code, failure_code());
  EXPECT_TRUE(logged(r, "There is not enough space in " + temp_ + "/"));
  // The packer recorded the whole count: 2 MiB of data and the directories.
  EXPECT_TRUE(logged(r, "At least 3 Mb are required but only 1 Mb are available.")) << r.output;
  EXPECT_FALSE(configured());
  EXPECT_TRUE(temp_is_empty());
}

// Many one-byte files pass the space check (counted at their data size) but
// each takes a page of the tmpfs: the disk fills up during extraction.
TEST_F(LinuxE2E, FullDiskDuringExtractionFailsAndCleansUp) {
  std::string product = make_product();
  for (int i = 0; i < 200; ++i) vektest::writeFile(product + "/f" + std::to_string(i), "x");
  std::string installer = pack({product});
  mount_tmpfs("256k");
  Outcome r = run(installer, {"--silent"});
  EXPECT_EQ(r.exit_code, failure_code());
  EXPECT_TRUE(logged(r, "ERROR [native] Failure while extracting archive entry")) << r.output;
  EXPECT_FALSE(configured());
  EXPECT_TRUE(temp_is_empty());
}

// Regression: only SIGINT was handled, so a service manager's or timeout's
// SIGTERM, or a closed terminal's SIGHUP, killed the installer and left the
// extracted tree behind. Each signal arrives in the middle of a file.
TEST_F(LinuxE2E, StopSignalsDuringExtractionCancelAndCleanUp) {
  std::string installer = pack({make_held_product()});
  struct Case {
    int signal;
    const char* logged;
  };
  const Case cases[] = {{SIGINT, "CTRL+C received"}, {SIGTERM, "signal 15 received"}, {SIGHUP, "signal 1 received"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(strsignal(c.signal));
    Outcome r = run_held(installer, [&](pid_t pid) { kill(pid, c.signal); });
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, failure_code());
    EXPECT_TRUE(logged(r, c.logged)) << r.output.substr(r.output.size() > 4000 ? r.output.size() - 4000 : 0);
    EXPECT_TRUE(logged(r, "INFO  [native] Installation cancelled"));
    EXPECT_FALSE(logged(r, "successfully extracted data/big.bin")) << "the whole file was written";
    EXPECT_FALSE(logged(r, "Failure while extracting archive entry"));
    EXPECT_FALSE(configured());
    EXPECT_TRUE(temp_is_empty());
  }
}

// Regression: installer | head killed the installer by SIGPIPE once head
// had gone, leaving the extracted tree behind. The run now goes on without
// its output, and the configuration program gets SIGPIPE's disposition back.
TEST_F(LinuxE2E, ClosedOutputDoesNotCutTheRunShort) {
  std::string installer = pack({make_held_product()});
  Outcome r = run_held(installer, [&](pid_t) { close_output(); });
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_TRUE(configured());
  unsigned long long ignored = std::stoull(received_env("SIGIGN"), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << "the configuration program inherited SIGPIPE ignored";
  EXPECT_TRUE(temp_is_empty());
}

// Regression: the handlers were put back before the clean-up, so a second
// Ctrl+C (or any stop signal) during it killed the installer half way. A
// mount inside the directory holds the clean-up in its retries.
TEST_F(LinuxE2E, SecondInterruptDuringCleanupIsSurvived) {
  std::string installer = pack({make_product()});
  std::string wait = dir_.file("wait");
  std::string hold;
  auto before = [&](pid_t pid) {
    std::string dir = temp_ + "/" + std::to_string(pid);
    hold = dir + "/hold";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(hold.c_str(), 0700), 0);
    ASSERT_EQ(mount("tmpfs", hold.c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
  };
  auto during = [&](pid_t pid) {
    for (int i = 0; i < 6000 && !fs::exists(wait + ".started"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGINT);  // the first, during the configuration, which then fails
    vektest::writeFile(wait + ".go", "");
    std::string output = dir_.file("output-" + std::to_string(runs_ - 1));
    for (int i = 0; i < 6000 && !logged({0, 0, vektest::readFile(output)}, "cleanup failed"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGINT);  // the second, while the clean-up waits to try again
    umount2(hold.c_str(), MNT_DETACH);
  };
  Outcome r = run(installer, {}, {{"E2E_WAIT", wait}, {"E2E_EXIT", "3"}, {"NIMBO_DEBUG", "2"}}, before, during);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, failure_code()) << r.output;
  EXPECT_TRUE(logged(r, "temporary directory cleanup attempt 2")) << r.output;
  EXPECT_TRUE(logged(r, "cleanup successful"));
  EXPECT_TRUE(temp_is_empty());
}

// Regression: an interrupt during a configuration that then succeeded went
// unreported.
TEST_F(LinuxE2E, InterruptDuringConfigurationIsLoggedAndCancelsOnFailure) {
  std::string installer = pack({make_product()});
  struct Case {
    const char* exit_code;  // of the configuration program
    int installer_exit;
    bool cancelled;
  };
  const Case cases[] = {{"3", failure_code(), true}, {"0", 0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("configuration exits with ") + c.exit_code);
    fs::remove(record_);
    std::string wait = dir_.file(std::string("wait-") + c.exit_code);
    auto during = [&](pid_t pid) {
      for (int i = 0; i < 6000 && !fs::exists(wait + ".started"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      kill(pid, SIGINT);  // the installer only; the configuration program goes on
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      vektest::writeFile(wait + ".go", "");
    };
    Outcome r = run(installer, {}, {{"E2E_WAIT", wait}, {"E2E_EXIT", c.exit_code}, {"NIMBO_DEBUG", "1"}}, {}, during);
    EXPECT_EQ(r.exit_code, c.installer_exit) << r.output;
    EXPECT_TRUE(configured());
    EXPECT_TRUE(logged(r, "CTRL+C received")) << r.output;
    EXPECT_EQ(logged(r, "INFO  [native] Installation cancelled"), c.cancelled);
    EXPECT_FALSE(logged(r, "Configuration failed"));
    EXPECT_TRUE(temp_is_empty());
  }
}

// Regression: when the extraction directory found after entering it was not
// the one checked (swapped in between), the run still removed the path at
// its end, with what another party had put there. The swap is made while a
// tracer holds the installer at the change of directory.
TEST_F(LinuxE2E, SwappedExtractionDirectoryIsNeverRemoved) {
  std::string installer = pack({make_product()});
  std::string dir;
  auto before = [&](pid_t pid) {
    dir = temp_ + "/" + std::to_string(pid);
    ASSERT_TRUE(seize(pid)) << strerror(errno);
  };
  auto during = [&](pid_t pid) {
    Detach detach{pid};
    // The change into the directory, once it exists (the launcher's own change comes first).
    ASSERT_TRUE(stop_at_system_call(
        pid, [&](const user_regs_struct& regs) { return is_call(regs, SYS_chdir, kI386Chdir) && fs::exists(dir); }));
    ASSERT_EQ(rename(dir.c_str(), (dir + ".checked").c_str()), 0) << strerror(errno);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    vektest::writeFile(dir + "/keep", "not the installer's");
  };
  Outcome r = run(installer, {"--silent"}, {{"NIMBO_DEBUG", "1"}}, before, during);
  EXPECT_EQ(r.exit_code, failure_code());
  EXPECT_TRUE(logged(r, "changed after it was checked")) << r.output;
  EXPECT_EQ(vektest::readFile(dir + "/keep"), "not the installer's");
  EXPECT_FALSE(configured());
}

// Under the 32-bit build's user-mode emulator the emulator itself names the
// program, whatever /proc holds: the fallback cannot be reached there.
bool running_under_emulation() {
  return target().kind == "linux-x86" &&
         vektest::readFile("/proc/sys/fs/binfmt_misc/vek-i386").rfind("enabled", 0) == 0;
}

// Without /proc the system names no executable: argv[0] is then the
// fallback, but a bare name (found through PATH) is never taken against the
// working directory.
TEST_F(LinuxE2E, ArgvZeroIsOnlyTheFallback) {
  if (running_under_emulation()) GTEST_SKIP() << "the emulator answers for /proc/self/exe itself";
#ifdef __SANITIZE_ADDRESS__
  // The sanitizer runtime reads its options and runs its leak check through
  // /proc, which this test hides; the plain builds run it.
  GTEST_SKIP() << "a sanitizer build cannot run without /proc";
#endif
  std::string installer = pack({make_product()});
  std::string short_file = dir_.file("short");
  vektest::writeFile(short_file, "0123456789");
  struct Case {
    std::string argv0;
    int exit_code;
    const char* message;
  };
  const Case cases[] = {
      {installer, 0, "converted"},
      {short_file, failure_code(), "Cannot seek to end of file"},
      {"short", failure_code(), "cannot find full path name of short"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv0);
    fs::remove(record_);
    std::map<std::string, std::string> env = base_env();
    env["NIMBO_DEBUG"] = "1";
    Outcome r = spawn({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/bash", "-c",
                       "mount -t tmpfs none /proc && exec -a \"$1\" \"$0\" --silent", installer, c.argv0},
                      env, dir_.str(), {}, {});
    EXPECT_EQ(r.exit_code, c.exit_code) << r.output;
    EXPECT_TRUE(logged(r, c.message)) << r.output;
    EXPECT_EQ(configured(), c.exit_code == 0);
    EXPECT_TRUE(temp_is_empty());
  }
}

// A bus error (as a full disk under a memory mapping raises it) jumps back
// into main, which still restores everything and removes the directory.
TEST_F(LinuxE2E, BusErrorEndsTheRunWithCleanup) {
  std::string installer = pack({make_product()});
  std::string wait = dir_.file("wait");
  auto during = [&](pid_t pid) {
    for (int i = 0; i < 6000 && !fs::exists(wait + ".started"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGBUS);
    vektest::writeFile(wait + ".go", "");
  };
  // The jump leaves the frames it skips unreleased: no leak report in sanitizer builds.
  Outcome r =
      run(installer, {}, {{"E2E_WAIT", wait}, {"NIMBO_DEBUG", "1"}, {"ASAN_OPTIONS", "detect_leaks=0"}}, {}, during);
  EXPECT_EQ(r.exit_code, failure_code());
  EXPECT_TRUE(logged(r, "ERROR [native] SIGBUS detected, the install location is out of space.  Cleaning up."))
      << r.output;
  EXPECT_TRUE(logged(r, "removing CTRL+C handler"));
  EXPECT_TRUE(logged(r, "returning to working directory"));
  EXPECT_TRUE(temp_is_empty());
}

// The extraction directory's name is predictable: whatever stands there and
// is not this user's private directory is refused and left untouched.
TEST_F(LinuxE2E, UnsafeExistingExtractionDirectoryIsRefused) {
  std::string installer = pack({make_product()});
  std::string elsewhere = dir_.file("elsewhere");
  fs::create_directories(elsewhere);
  vektest::writeFile(elsewhere + "/keep", "mine");
  struct Case {
    const char* name;
    std::function<void(const std::string&)> prepare;
    bool refused;
  };
  const Case cases[] = {
      {"symbolic link", [&](const std::string& d) { ASSERT_EQ(symlink(elsewhere.c_str(), d.c_str()), 0); }, true},
      {"group-writable",
       [](const std::string& d) {
         mkdir(d.c_str(), 0700);
         chmod(d.c_str(), 0770);
       },
       true},
      {"other owner",
       [](const std::string& d) {
         mkdir(d.c_str(), 0700);
         ASSERT_EQ(chown(d.c_str(), 4321, 4321), 0);
       },
       true},
      {"a plain file", [](const std::string& d) { vektest::writeFile(d, "x"); }, true},
      {"private directory", [](const std::string& d) { mkdir(d.c_str(), 0700); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(record_);
    std::string dir;
    Outcome r = run(installer, {}, {}, [&](pid_t pid) {
      dir = temp_ + "/" + std::to_string(pid);
      c.prepare(dir);
    });
    if (c.refused) {
      EXPECT_EQ(r.exit_code, failure_code());
      EXPECT_TRUE(logged(r, "ERROR [native] refusing to use the extraction directory " + dir)) << r.output;
      EXPECT_FALSE(configured());
      EXPECT_TRUE(fs::exists(fs::symlink_status(dir))) << "the refused entry was removed";
      EXPECT_EQ(vektest::readFile(elsewhere + "/keep"), "mine");
      EXPECT_EQ(fs::directory_iterator(elsewhere)->path().filename(), "keep");
    } else {
      EXPECT_EQ(r.exit_code, 0) << r.output;
      EXPECT_TRUE(configured());
      EXPECT_FALSE(fs::exists(fs::symlink_status(dir)));
    }
    fs::remove_all(dir);
  }
}

// Sizes are 64-bit on every build: a 5 GiB file is counted and extracted whole
// (the 32-bit build used to wrap at 4 GiB). The archive is made of many
// identical gzip members, so that building it costs nothing; reading it
// still takes a minute, so it runs where the sizes were 32-bit.
// Regression: a read-only directory of the payload made every file inside
// it fail for a user who is not root (tar -x extracts it), and once that was
// mended, it stopped the removal of the temporary directory.
TEST_F(LinuxE2E, ReadOnlyDirectoryInstallsForAnOrdinaryUser) {
  const uid_t nobody = 65534;
  std::string product = make_product();
  fs::create_directories(product + "/ro/sub");
  vektest::writeFile(product + "/ro/sub/f", "inside\n");
  chmod((product + "/ro/sub").c_str(), 0500);
  chmod((product + "/ro").c_str(), 0555);
  std::string installer = pack({product});
  ASSERT_EQ(chown(dir_.str().c_str(), nobody, nobody), 0);
  ASSERT_EQ(chown(temp_.c_str(), nobody, nobody), 0);
  auto run_as_nobody = [&](std::map<std::string, std::string> env) {
    for (const auto& [k, v] : base_env()) env.insert({k, v});
    return spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", installer, "--silent"}, env,
                 dir_.str(), {}, {});
  };
  Outcome r = run_as_nobody({{"NIMBO_DEBUG", "1"}});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(configured());
  EXPECT_TRUE(temp_is_empty()) << "the temporary directory must be removed";

  r = run_as_nobody({{"NIMBO_DEBUG", "1"}, {"NIMBO_DEBUG_SKIPCLEANUP", "1"}});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::string dir = extraction_dir(r);
  ASSERT_FALSE(dir.empty()) << r.output;
  struct stat st;
  ASSERT_EQ(lstat((dir + "/ro").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0555u);
  ASSERT_EQ(lstat((dir + "/ro/sub").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0500u);
  EXPECT_EQ(vektest::readFile(dir + "/ro/sub/f"), "inside\n");
  fs::remove_all(dir);
}

TEST_F(LinuxE2E, FiveGigabyteFileIsCountedAndExtractedWhole) {
  if (target().kind != "linux-x86") GTEST_SKIP() << "run for the 32-bit build";
  const uint64_t size = 5ull << 30;
  const size_t chunk = 1 << 19;  // a bounded member's most
  auto padded = [](const std::string& data) { return data + std::string((512 - data.size() % 512) % 512, '\0'); };
  // One entry of bounded members, as the packaging tool writes them: the
  // product, then the big file's header, its zeros and its tail.
  std::string head = payloadtest::tar_header("bin/zorva", strlen(e2etest::PROBE_SCRIPT), '0', 0755) +
                     padded(e2etest::PROBE_SCRIPT) + payloadtest::tar_header("README", 7) + padded("sample\n") +
                     payloadtest::tar_header("huge.bin", size);
  std::string tail = std::string(chunk - 8, '\0') + "THE-END!";
  std::string archive = dir_.file("huge.tar.gz");
  {
    std::ofstream out(archive, std::ios::binary);
    out << payloadtest::bounded_member(head);
    std::string zeros = payloadtest::bounded_member(std::string(chunk, '\0'));
    for (uint64_t done = 0; done + chunk < size; done += chunk) out << zeros;
    out << payloadtest::bounded_member(tail) << payloadtest::bounded_member(std::string(1024, '\0'));
  }
  std::string installer = pack({"--keep-gzip", archive});
  fs::remove(archive);
  Outcome r = run(installer, {"--silent"}, {{"NIMBO_DEBUG", "1"}, {"NIMBO_DEBUG_SKIPCLEANUP", "1"}});
  ASSERT_EQ(r.exit_code, 0) << r.output.substr(0, 4000);
  std::string dir = extraction_dir(r);
  // The size pass sums the members' trailers: the whole tar stream.
  EXPECT_TRUE(logged(r, std::to_string(head.size() + size + 1024) + " bytes required")) << r.output.substr(0, 4000);
  EXPECT_EQ(fs::file_size(dir + "/huge.bin"), size);
  std::ifstream in(dir + "/huge.bin", std::ios::binary);
  in.seekg((std::streamoff)(size - 8));
  char end[8];
  in.read(end, 8);
  EXPECT_EQ(std::string(end, 8), "THE-END!");
  fs::remove_all(dir);
}

// ---- What the installer unpacks, and signed installers -----------------------

// Everything below root: kind, permission bits (Linux), content or link
// target. Windows keeps neither links nor modes: files and directories only.
std::map<std::string, std::string> tree_listing(const std::string& root, bool windows) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string name = it->path().string().substr(root.size());
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    if (windows && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
    std::string what = S_ISDIR(st.st_mode)   ? "dir"
                       : S_ISLNK(st.st_mode) ? "link " + fs::read_symlink(it->path()).string()
                                             : "file " + vektest::readFile(it->path());
    if (!windows) what += " mode " + std::to_string(st.st_mode & 07777);
    tree[name] = what;
  }
  return tree;
}

// The tree the installer unpacks is the tree that was packed, byte for byte,
// whether mkinstaller archived the directory (bounded members, decoded on
// worker threads), re-compressed GNU tar's .tar.gz, or kept it as it is
// (one zlib stream). Files straddle the 512 KiB member boundaries.
TEST_F(E2E, InstalledTreeIsIdenticalToTheSource) {
  std::string product = make_product();
  const std::string long_dir = product + "/" + std::string(90, 'n');
  for (const std::string& dir : {product + "/data/sizes", product + "/empty/deeper", long_dir})
    fs::create_directories(dir);
  std::string noise(3 * 1024 * 1024 + 777, '\0');
  uint32_t state = 12345;
  for (char& c : noise) c = (char)((state = state * 1103515245u + 12345u) >> 24);
  vektest::writeFile(product + "/data/noise.bin", noise);
  for (size_t size : {0u, 1u, 511u, 512u, (1u << 19) - 1, 1u << 19, (1u << 19) + 1})
    vektest::writeFile(product + "/data/sizes/f" + std::to_string(size), std::string(size, (char)('a' + size % 26)));
  vektest::writeFile(long_dir + "/" + std::string(90, 'm') + ".txt", "long name\n");
  if (!windows()) {
    fs::create_symlink("../noise.bin", product + "/data/sizes/link");
    fs::create_hard_link(product + "/README", product + "/README.hard");
    fs::permissions(product + "/data/sizes/f1", fs::perms(0600));
  }
  std::string archive = dir_.file("gnu.tar.gz");
  ASSERT_EQ(std::system(("tar --format=gnu -C " + product + " -czf " + archive + " .").c_str()), 0);
  struct Case {
    const char* name;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {"packed directory", {product}},
      {"re-compressed GNU tar archive", {archive}},
      {"GNU tar archive kept as it is", {"--keep-gzip", archive}},
  };
  std::map<std::string, std::string> expected = tree_listing(product, windows());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string installer = pack(c.entries);
    Outcome r = run(installer, {}, {{"NIMBO_DEBUG", "1"}, {"NIMBO_DEBUG_SKIPCLEANUP", "1"}});
    ASSERT_EQ(r.exit_code, 0) << r.output.substr(0, 4000);
    std::string dir = extraction_dir(r);
    ASSERT_FALSE(dir.empty());
    std::map<std::string, std::string> got = tree_listing(dir, windows());
    EXPECT_EQ(got.size(), expected.size());
    for (const auto& [name, what] : expected) {
      auto found = got.find(name);
      if (found == got.end()) {
        ADD_FAILURE() << name << " missing";
      } else if (found->second != what) {
        ADD_FAILURE() << name << " differs";
      }
    }
    fs::remove_all(dir);
  }
}

// A bus error while the workers decode ahead (the main thread writing file
// data) ends the run as before: the workers are told to stop, the directory
// is removed and nothing is configured. Regression: the workers blocked only
// SIGINT, and only once running, so a SIGBUS sent to the process while the
// main thread could not take it went to a worker, which jumped onto the main
// thread's stack. Here the main thread is stopped by the tracer when the
// signal comes: only a worker could take it at once.
TEST_F(LinuxE2E, BusErrorDuringExtractionStopsTheRun) {
  std::string product = make_held_product();
  for (int i = 0; i < 8; ++i) vektest::writeFile(product + "/data/more" + std::to_string(i), std::string(1 << 20, 'm'));
  std::string installer = pack({product});
  auto during = [&](pid_t pid) {
    Detach detach{pid};
    ASSERT_TRUE(stop_at_file_write(pid, "/data/big.bin")) << strerror(errno);
    // Under the 32-bit build's emulator the threads' masks are the emulator's own.
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
      std::string tid = task.path().filename().string();
      if (tid == std::to_string(pid) || running_under_emulation()) continue;
      for (int sig : {SIGBUS, SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        EXPECT_NE(blocked_signals(pid, tid) & (1ull << (sig - 1)), 0u) << "worker " << tid << " takes signal " << sig;
    }
    // The emulator takes a signal on whichever of its threads the system
    // picks and keeps it for that thread's program: there it goes to the main one.
    if (running_under_emulation()) {
      syscall(SYS_tgkill, pid, pid, SIGBUS);
    } else {
      kill(pid, SIGBUS);
    }
  };
  Outcome r = run(installer, {}, {{"NIMBO_DEBUG", "1"}, {"ASAN_OPTIONS", "detect_leaks=0"}}, {}, during);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, failure_code());
  EXPECT_TRUE(logged(r, "ERROR [native] SIGBUS detected, the install location is out of space.  Cleaning up."))
      << r.output.substr(0, 4000);
  EXPECT_TRUE(logged(r, "2 worker threads") || logged(r, "1 worker threads") || logged(r, "3 worker threads"));
  EXPECT_FALSE(configured());
  EXPECT_TRUE(temp_is_empty());
}

uint32_t le32_in(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | (unsigned char)bytes.at(at + (size_t)i);
  return value;
}

// Where data directory 4 of a PE32+ file puts its certificate table.
uint32_t certificate_table_offset(const std::string& pe) {
  size_t optional = le32_in(pe, 0x3c) + 24;
  return le32_in(pe, optional + 112 + 8 * 4);
}

// Vendors sign the Windows installer after packing. The signature appends a
// certificate table after the payload, padded to 8 bytes with zeros first:
// the installer finds its trailer before both. Signed with osslsigncode and a
// self-signed code-signing certificate made by openssl; the signature
// verifies; the installer runs under Wine with no padding and with 7 bytes.
TEST_F(E2E, SignedInstallerRuns) {
  if (!windows()) GTEST_SKIP() << "Authenticode signatures are for the Windows installer";
  std::string key = dir_.file("key.pem"), cert = dir_.file("cert.pem");
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                         " -days 2 -subj '/CN=Moravel test code signing' -addext keyUsage=digitalSignature"
                         " -addext extendedKeyUsage=codeSigning >/dev/null 2>&1")
                            .c_str()),
            0);
  std::string packed = vektest::readFile(pack({make_product()}));
  ASSERT_EQ(packed.size() % 8, 0u) << "the packer pads to a multiple of 8";
  Layout layout;
  ASSERT_TRUE(payloadtest::split_installer(packed, &layout));
  for (size_t padding : {0u, 7u}) {
    SCOPED_TRACE("padding " + std::to_string(padding));
    // A file one byte past a multiple of 8 makes the signing tool pad 7 bytes.
    std::string file = packed;
    if (padding == 7) {
      size_t bare = payloadtest::join_installer(layout).size();
      file = payloadtest::join_installer(layout, 1, 0, (9 - bare % 8) % 8);
      ASSERT_EQ(file.size() % 8, 1u);
    }
    std::string unsigned_file = dir_.file("unsigned.exe"), signed_file = dir_.file("signed.exe");
    vektest::writeFile(unsigned_file, file);
    fs::remove(signed_file);
    ASSERT_EQ(std::system(("osslsigncode sign -certs " + cert + " -key " + key + " -n Moravel -in " + unsigned_file +
                           " -out " + signed_file + " >/dev/null 2>&1")
                              .c_str()),
              0);
    ASSERT_EQ(std::system(("osslsigncode verify -CAfile " + cert + " -in " + signed_file + " >/dev/null 2>&1").c_str()),
              0)
        << "the signature does not verify";
    EXPECT_EQ(certificate_table_offset(vektest::readFile(signed_file)), file.size() + padding)
        << "the signing tool padded otherwise";
    fs::permissions(signed_file, fs::perms(0755));
    fs::remove(record_);
    Outcome r = run(signed_file, {"--silent"}, {{"NIMBO_DEBUG", "1"}});
    ASSERT_EQ(r.exit_code, 0) << r.output.substr(0, 4000);
    EXPECT_TRUE(logged(r, "Signed installer: the payload ends at offset")) << r.output.substr(0, 4000);
    EXPECT_TRUE(configured());
  }
}

// Regression: a Windows payload lost every link (one WARN each). The packer
// writes what a link leads to inside the tree in its place; the Linux
// installers keep the links.
TEST_F(E2E, LinksInsideTheTreeInstallAsCopiesOnWindows) {
  std::string product = make_product();
  fs::create_directories(product + "/lib/sub");
  vektest::writeFile(product + "/lib/a.jar", "jar\n");
  vektest::writeFile(product + "/lib/sub/deep.txt", "deep\n");
  fs::create_hard_link(product + "/lib/a.jar", product + "/lib/b.jar");
  fs::create_symlink("a.jar", product + "/lib/c.jar");
  fs::create_symlink("lib", product + "/lib-current");
  fs::create_symlink("../lib-current/sub/deep.txt", product + "/bin/deep.txt");
  std::string archive = dir_.file("product.tar.gz");
  ASSERT_EQ(std::system(("tar --format=gnu -C " + product + " -czf " + archive + " .").c_str()), 0);
  std::string copies = dir_.file("copies");
  ASSERT_EQ(std::system(("cp -rL " + product + " " + copies).c_str()), 0);
  std::map<std::string, std::string> expected = tree_listing(windows() ? copies : product, windows());
  for (const std::string& entry : {product, archive}) {
    SCOPED_TRACE(entry);
    Outcome r = run(pack({entry}), {}, {{"NIMBO_DEBUG", "1"}, {"NIMBO_DEBUG_SKIPCLEANUP", "1"}});
    ASSERT_EQ(r.exit_code, 0) << r.output.substr(0, 4000);
    EXPECT_FALSE(logged(r, "not supported on windows")) << "a link reached the Windows installer";
    std::string dir = extraction_dir(r);
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(tree_listing(dir, windows()), expected);
    fs::remove_all(dir);
  }
}

}  // namespace
