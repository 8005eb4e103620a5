// The installer's system-call layer: the private extraction directory (the
// decision on crafted Windows security descriptors, creation, and the
// re-check once the directory is entered), the close of an extracted file,
// and the source names the platform files log under.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <unistd.h>
#endif

#include "file_untar_ops.h"
#include "installer_platform.h"
#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

namespace fs = std::filesystem;

class InstallerPlatform : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool started = false;
    if (!started) vek_lifecycleInit();
    started = true;
  }
  vektest::TempDir dir_;
};

// Returns to the test's working directory whatever the test did.
class ScopedCwd {
 public:
  ScopedCwd() : saved_(fs::current_path()) {}
  ~ScopedCwd() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST_F(InstallerPlatform, CreatedDirectoryIsPrivateAndRecognisedWhenEntered) {
  std::string dir = dir_.file("extract");
  private_dir_id_t id;
  EXPECT_EQ(platform_check_private_directory(dir.c_str(), &id), PRIVATE_DIR_MISSING);
  ASSERT_TRUE(platform_create_private_directory(dir.c_str()));
  EXPECT_FALSE(platform_create_private_directory(dir.c_str()));
  EXPECT_EQ(errno, EEXIST);
  ASSERT_EQ(platform_check_private_directory(dir.c_str(), &id), PRIVATE_DIR_OK);
#ifndef _WIN32
  struct stat st;
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
#endif

  // Regression: the path was judged and then entered by name, so a
  // directory swapped in between was used unchecked.
  std::string other = dir_.file("other");
  ASSERT_TRUE(platform_create_private_directory(other.c_str()));
  ScopedCwd cwd;
  ASSERT_TRUE(platform_chdir(dir.c_str()));
  EXPECT_TRUE(platform_is_working_directory(&id));
  ASSERT_TRUE(platform_chdir(other.c_str()));
  EXPECT_FALSE(platform_is_working_directory(&id)) << "another directory taken for the checked one";
#ifndef _WIN32
  ASSERT_TRUE(platform_chdir(dir.c_str()));
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  EXPECT_FALSE(platform_is_working_directory(&id)) << "a mode changed after the check went unnoticed";
#endif
}

// Regression: the clean-up removed the path whatever stood there by then.
// Only the directory that was checked is recognised, never what replaced it.
TEST_F(InstallerPlatform, OnlyTheCheckedDirectoryIsRecognisedForRemoval) {
  std::string dir = dir_.file("extract"), moved = dir_.file("moved");
  private_dir_id_t id;
  ASSERT_TRUE(platform_create_private_directory(dir.c_str()));
  ASSERT_EQ(platform_check_private_directory(dir.c_str(), &id), PRIVATE_DIR_OK);
  EXPECT_TRUE(platform_is_checked_directory(dir.c_str(), &id));
  fs::rename(dir, moved);
  EXPECT_FALSE(platform_is_checked_directory(dir.c_str(), &id)) << "nothing there";
  ASSERT_TRUE(platform_create_private_directory(dir.c_str()));
  EXPECT_FALSE(platform_is_checked_directory(dir.c_str(), &id)) << "another directory in its place";
#ifndef _WIN32
  fs::remove(dir);
  fs::create_directory_symlink(moved, dir);
  EXPECT_FALSE(platform_is_checked_directory(dir.c_str(), &id)) << "a link to it";
#endif
}

TEST_F(InstallerPlatform, ExistingNonDirectoryIsUnsafe) {
  std::string file = dir_.file("file");
  vektest::writeFile(file, "x");
  private_dir_id_t id;
  EXPECT_EQ(platform_check_private_directory(file.c_str(), &id), PRIVATE_DIR_UNSAFE);
  EXPECT_FALSE(platform_create_private_directory(file.c_str()));
  EXPECT_EQ(errno, EEXIST);
}

// Regression: a failed close (a deferred write error) left a short file
// counted as extracted.
TEST_F(InstallerPlatform, FailedCloseFailsTheArchive) {
  ScopedCwd cwd;
  fs::current_path(dir_.path());
  untar_ops ops;
  init_file_untar_ops(&ops);
  untar_context ctx;
  memset(&ctx, 0, sizeof(ctx));
  vektest::RecordLogs logs;
  int fd = ops.open_file(&ctx, "written", 0644);
  ASSERT_GE(fd, 0);
  ops.close_file(&ctx, fd);
  EXPECT_FALSE(ctx.abort_archive);
  fd = ops.open_file(&ctx, "short", 0644);
  ASSERT_GE(fd, 0);
#ifdef _WIN32
  _close(fd);  // the installer's close then fails as a deferred error would make it
#else
  close(fd);
#endif
  ops.close_file(&ctx, fd);
  EXPECT_TRUE(ctx.abort_archive);
  EXPECT_TRUE(vektest::RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "cannot finish writing short"));
}

#ifdef _WIN32
// Regression: each pass reopened the installer by name, so an elevated
// installer started from a folder its user can write could be swapped
// between the passes. The file is opened once, by its wide name, and while
// it is open nobody may write, rename or delete it; reading stays possible.
TEST_F(InstallerPlatform, InstallerFileCannotBeChangedWhileOpen) {
  std::string name = dir_.file("inst-caf\xc3\xa9-\xe6\x97\xa5.exe");
  std::wstring wide = fs::path(std::u8string(name.begin(), name.end())).wstring();
  std::ofstream(fs::path(wide), std::ios::binary) << "payload";
  int fd = platform_open_readonly(name.c_str());
  ASSERT_GE(fd, 0) << "a name outside ASCII";
  HANDLE writer = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_FALSE(MoveFileW(wide.c_str(), (wide + L".swapped").c_str()));
  EXPECT_FALSE(DeleteFileW(wide.c_str()));
  HANDLE reader = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  char buffer[16] = {};
  EXPECT_EQ(platform_read_at(fd, buffer, sizeof buffer, 0), 7);
  platform_close(fd);
  EXPECT_TRUE(DeleteFileW(wide.c_str()));

  char running[VEK_PATH_MAX];
  fd = platform_open_installer(running, sizeof running);
  ASSERT_GE(fd, 0);
  EXPECT_NE(std::string(running).find("installer_platform_test"), std::string::npos) << running;
  platform_close(fd);
}
#endif

// The platform files log under the module names of the layout.
TEST_F(InstallerPlatform, PlatformFilesLogUnderTheModuleName) {
  vektest::ScopedLogLevel level(VEKLOG_DEBUG2);
  vektest::RecordLogs logs;
#ifdef _WIN32
  ScopedCwd cwd;
  fs::current_path(dir_.path());
  untar_ops ops;
  init_file_untar_ops(&ops);
  ASSERT_TRUE(ops.make_device(nullptr, "dev", 020000 | 0644, 1, 3));
  const char* expected = "installer/src/file_untar_ops";
#else
  platform_install_bus_error_handler();
  platform_restore_bus_error_handler();  // logs "removing SIGBUS handler"
  const char* expected = "installer/src/installer";
#endif
  auto events = logs.take();
  ASSERT_FALSE(events.empty());
  for (auto e : events) {
    std::replace(e.short_filename.begin(), e.short_filename.end(), '\\', '/');  // Windows names use '\\'
    EXPECT_EQ(e.short_filename, expected) << e.text;
  }
}

#ifdef _WIN32

struct LocalMemory {
  void* p = nullptr;
  ~LocalMemory() { LocalFree(p); }
};

std::string current_user_sid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  CloseHandle(token);
  LocalMemory text;
  char* sid = nullptr;
  ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid);
  text.p = sid;
  return sid ? sid : "";
}

// The reuse decision on descriptors given in SDDL; "U" stands for the
// current user's SID.
TEST_F(InstallerPlatform, ReuseDecisionOnCraftedSecurityDescriptors) {
  std::string user = current_user_sid();
  ASSERT_FALSE(user.empty());
  LocalMemory user_sid;
  ASSERT_TRUE(ConvertStringSidToSidA(user.c_str(), &user_sid.p));
  struct Case {
    const char* what;
    std::string sddl;
    bool is_private;
  };
  const std::string U = user;
  const Case cases[] = {
      {"user alone, protected", "O:" + U + "D:P(A;OICI;FA;;;" + U + ")", true},
      {"others may read", "O:" + U + "D:P(A;OICI;FA;;;" + U + ")(A;OICI;FR;;;WD)", true},
      {"others denied everything", "O:" + U + "D:(D;;FA;;;WD)(A;;FA;;;" + U + ")", true},
      {"owned by administrators", "O:BAD:P(A;OICI;FA;;;" + U + ")", false},
      {"owned by SYSTEM", "O:SYD:P(A;OICI;FA;;;" + U + ")", false},
      {"no owner", "D:P(A;OICI;FA;;;" + U + ")", false},
      {"no access list", "O:" + U, false},
      {"everyone may write", "O:" + U + "D:(A;;FA;;;" + U + ")(A;;FW;;;WD)", false},
      {"users may add files", "O:" + U + "D:(A;;FA;;;" + U + ")(A;;0x2;;;BU)", false},
      {"users may add subdirectories", "O:" + U + "D:(A;;FA;;;" + U + ")(A;;0x4;;;BU)", false},
      {"others may delete children", "O:" + U + "D:(A;;FA;;;" + U + ")(A;;0x40;;;AU)", false},
      {"others may change the access list", "O:" + U + "D:(A;;FA;;;" + U + ")(A;;WD;;;AU)", false},
      {"others may take ownership", "O:" + U + "D:(A;;FA;;;" + U + ")(A;;WO;;;AU)", false},
      {"generic write for others", "O:" + U + "D:(A;;FA;;;" + U + ")(A;;GW;;;AU)", false},
      {"another user may write", "O:" + U + "D:(A;;FA;;;" + U + ")(A;;FW;;;S-1-5-21-1-2-3-1001)", false},
      {"the system and administrators may write", "O:" + U + "D:(A;;FA;;;" + U + ")(A;;GA;;;BA)(A;;FA;;;SY)", true},
      // Inherited by every file extracted inside, which others could then rewrite.
      {"inherit-only write for others", "O:" + U + "D:(A;;FA;;;" + U + ")(A;OICIIO;FW;;;BU)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ": " + c.sddl);
    LocalMemory sd;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl.c_str(), SDDL_REVISION_1, &sd.p, nullptr));
    EXPECT_EQ(platform_descriptor_is_private(sd.p, user_sid.p), c.is_private);
  }
  // A null access list lets everyone in.
  SECURITY_DESCRIPTOR open;
  ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&open, user_sid.p, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
  EXPECT_FALSE(platform_descriptor_is_private(&open, user_sid.p));
}

// Wine keeps no security descriptor of its own on a directory: it reports
// one made from the Unix owner and mode.
bool running_on_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// What the created directory carries, as far as the system reports it.
TEST_F(InstallerPlatform, CreatedDirectoryHasOwnerAndProtectedAccessList) {
  std::string dir = dir_.file("secure");
  ASSERT_TRUE(platform_create_private_directory(dir.c_str()));
  PSID owner = nullptr;
  PACL dacl = nullptr;
  LocalMemory sd;
  ASSERT_EQ(GetNamedSecurityInfoA(dir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  &owner, nullptr, &dacl, nullptr, &sd.p),
            (DWORD)ERROR_SUCCESS);
  LocalMemory owner_text;
  char* owner_sid = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidA(owner, &owner_sid));
  owner_text.p = owner_sid;
  EXPECT_EQ(std::string(owner_sid), current_user_sid());
  ASSERT_NE(dacl, nullptr);
  std::string user = current_user_sid();
  LocalMemory user_sid;
  ASSERT_TRUE(ConvertStringSidToSidA(user.c_str(), &user_sid.p));
  EXPECT_TRUE(platform_descriptor_is_private(sd.p, user_sid.p));
  if (running_on_wine()) GTEST_SKIP() << "Wine reports no access list of its own for the directory";
  EXPECT_EQ(dacl->AceCount, 1);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(sd.p, &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "entries of the parent would be inherited";
}

#endif  // _WIN32

}  // namespace
