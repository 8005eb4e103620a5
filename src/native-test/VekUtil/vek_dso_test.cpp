// Dynamic libraries: the main program's pseudo-handle, named libraries,
// missing libraries and symbols.
#include "vek_dso.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

#ifdef _WIN32
constexpr const char* kSystemLibrary = "kernel32.dll";
constexpr const char* kSystemSymbol = "GetTickCount";
constexpr const char* kMissingLibrary = "vek-no-such-library.dll";
#else
constexpr const char* kSystemLibrary = "libm.so.6";
constexpr const char* kSystemSymbol = "cos";
constexpr const char* kMissingLibrary = "libvek-no-such-library.so";
#endif

class DsoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vek_lifecycleInit(); }

 private:
  vektest::ScopedLogLevel debug_{VEKLOG_DEBUG};  // the misuse lines are DEBUG
};

// The address the system's own loader gives for a symbol of an already
// loaded library, to compare the wrapper's answer with.
void* system_address(const char* library, const char* symbol) {
#ifdef _WIN32
  FARPROC proc = GetProcAddress(GetModuleHandleA(library), symbol);
  return reinterpret_cast<void*>(proc);
#else
  void* handle = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  void* address = handle != nullptr ? dlsym(handle, symbol) : nullptr;
  if (handle != nullptr) dlclose(handle);
  return address;
#endif
}

TEST_F(DsoTest, NullNameOpensTheMainProgram) {
  vektest::RecordLogs logs;
  void* handle = vek_dsoOpen(nullptr, VEK_RTLD_NOW);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(vektest::RecordingLogger::contains(
      logs.take(), VEKLOG_DEBUG,
      "Attempting to dynamically load the library: (null) (attempting to emulate behaviour of RTLD_DEFAULT)"));
#ifdef _WIN32
  EXPECT_EQ(handle, static_cast<void*>(GetModuleHandleA(nullptr)));
  // Windows has no global scope: the pseudo-handle search walks every module.
  EXPECT_EQ(vek_dsoSym(VEK_RTLD_DEFAULT, "GetProcAddress"), system_address("kernel32.dll", "GetProcAddress"));
#else
  void* system_handle = dlopen(nullptr, RTLD_NOW);
  EXPECT_EQ(handle, system_handle);
  dlclose(system_handle);
  // The main program's scope holds everything it was linked with.
  EXPECT_EQ(vek_dsoSym(handle, "getenv"), system_address("libc.so.6", "getenv"));
  EXPECT_EQ(vek_dsoSym(VEK_RTLD_DEFAULT, "getenv"), system_address("libc.so.6", "getenv"));
#endif
  EXPECT_EQ(vek_dsoClose(handle), 0);
}

TEST_F(DsoTest, NamedLibraryGivesCallableSymbols) {
  vektest::RecordLogs logs;
  void* handle = vek_dsoOpen(kSystemLibrary, VEK_RTLD_NOW | VEK_RTLD_GLOBAL);
  ASSERT_NE(handle, nullptr) << vek_dsoError();
  EXPECT_TRUE(vektest::RecordingLogger::contains(
      logs.take(), VEKLOG_DEBUG, std::string("Attempting to dynamically load the library: ") + kSystemLibrary));
  void* address = vek_dsoSym(handle, kSystemSymbol);
  EXPECT_NE(address, nullptr);
  EXPECT_EQ(address, system_address(kSystemLibrary, kSystemSymbol));
  vek_dso_func_t function = vek_dsoSymFunc(handle, kSystemSymbol);
  EXPECT_EQ(reinterpret_cast<void*>(function), address);
#ifndef _WIN32
  auto cosine = reinterpret_cast<double (*)(double)>(function);
  EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
#endif
  EXPECT_EQ(vek_dsoClose(handle), 0);
}

TEST_F(DsoTest, MissingLibraryAndSymbolGiveNull) {
  EXPECT_EQ(vek_dsoOpen(kMissingLibrary, VEK_RTLD_LAZY), nullptr);
  const char* error = vek_dsoError();
  ASSERT_NE(error, nullptr);
  EXPECT_STRNE(error, "");

  void* handle = vek_dsoOpen(kSystemLibrary, VEK_RTLD_LAZY);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(vek_dsoSym(handle, "vek_no_such_symbol"), nullptr);
  EXPECT_EQ(vek_dsoSymFunc(handle, "vek_no_such_symbol"), nullptr);
  EXPECT_EQ(vek_dsoSym(VEK_RTLD_DEFAULT, "vek_no_such_symbol"), nullptr);
  EXPECT_EQ(vek_dsoClose(handle), 0);
}

}  // namespace
