// The natives of com.nimbo.common.io.NativeFile: Java strings in, results or
// a pending java.io.IOException out, the file work itself behind
// vek_nativefile_platform.h; and, on Linux, their registration with the VM.
// They log under the file module's name, which is what their log category
// has always been.
#include "vek_nativefile.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "vek_file.h"
#include "vek_file_platform.h"
#include "vek_jvmutils.h"
#include "vek_logging.h"
#include "vek_nativefile_platform.h"

namespace {

using vek::nativefile::Path;

// Java's modified UTF-8 of UTF-16 code units, as NewStringUTF takes it back:
// every unit on its own (a surrogate too) and NUL as two bytes.
std::string modified_utf8(const std::u16string& units) {
  std::string out;
  for (char16_t unit : units) {
    if (unit != 0 && unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

// The Java string `text` as a file name for the platform's calls. False
// when it has none: an exception is then pending (the IOException saying
// so, or the VM's own when the characters could not be had), and the
// native must not act on any file. A null string gives a null Path.
bool java_path(JNIEnv* env, jstring text, Path& path) {
  if (text == nullptr) return true;
  jsize length = env->GetStringLength(text);
  const jchar* chars = env->GetStringChars(text, nullptr);
  if (chars == nullptr) return false;
  std::u16string units(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length));
  env->ReleaseStringChars(text, chars);
  path.null = false;
  path.shown = modified_utf8(units);
  // A NUL would end the name early, at another file's name.
  if (units.find(u'\0') == std::u16string::npos && vek::nativefile::to_native(units, path)) return true;
  vek_throwIOException(env, "Could not convert the file name %s to the character set of the system",
                       path.shown.c_str());
  return false;
}

// Raises the platform's complaint, if it made one; true when it did.
bool raise_if(JNIEnv* env, const std::string& error) {
  if (error.empty()) return false;
  vek_throwIOException(env, "%s", error.c_str());
  return true;
}

jstring java_text(JNIEnv* env, const std::string& text) { return env->NewStringUTF(text.c_str()); }

}  // namespace

namespace vek::nativefile {

std::string message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int needed = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string out(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
  if (needed > 0) vsnprintf(out.data(), out.size() + 1, format, args);
  va_end(args);
  return out;
}

}  // namespace vek::nativefile

extern "C" {

JNIEXPORT jboolean JNICALL Java_com_nimbo_common_io_NativeFile_createSymlink(JNIEnv* env, jobject, jstring source,
                                                                             jstring dest) {
  try {
    Path link;
    Path target;
    if (!java_path(env, source, link) || !java_path(env, dest, target)) return JNI_FALSE;
    std::string error;
    bool made = vek::nativefile::create_symlink(link, target, error);
    raise_if(env, error);
    return made ? JNI_TRUE : JNI_FALSE;
  } catch (...) {
    return JNI_FALSE;  // out of memory: the VM has nothing to describe it with either
  }
}

JNIEXPORT jstring JNICALL Java_com_nimbo_common_io_NativeFile_getNativeSymlink(JNIEnv* env, jobject, jstring filename) {
  try {
    Path path;
    if (!java_path(env, filename, path)) return nullptr;
    std::string target;
    std::string error;
    vek::nativefile::LinkState state = vek::nativefile::read_symlink(path, target, error);
    raise_if(env, error);
    return state == vek::nativefile::LinkState::kLink ? java_text(env, target) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

JNIEXPORT jstring JNICALL Java_com_nimbo_common_io_NativeFile_getNativeOwner(JNIEnv* env, jobject, jstring filename) {
  try {
    Path path;
    std::string name;
    std::string error;
    bool converted = java_path(env, filename, path);
    if (converted && vek::nativefile::owner_name(path, name, error)) return java_text(env, name);
    // Made before the throw: no JNI call but a few is allowed while an
    // exception is pending.
    jstring failed = vek::nativefile::kOwnerFailureGivesEmptyText && converted ? java_text(env, "") : nullptr;
    raise_if(env, error);
    return failed;
  } catch (...) {
    return nullptr;
  }
}

JNIEXPORT jint JNICALL Java_com_nimbo_common_io_NativeFile_getNativePermissions(JNIEnv* env, jobject,
                                                                                jstring filename) {
  try {
    Path path;
    if (!java_path(env, filename, path)) return -1;
    int mode = -1;
    std::string error;
    if (vek::nativefile::get_permissions(path, mode, error)) return static_cast<jint>(mode);
    raise_if(env, error);
    return -1;
  } catch (...) {
    return -1;
  }
}

JNIEXPORT void JNICALL Java_com_nimbo_common_io_NativeFile_setNativePermissions(JNIEnv* env, jobject, jstring filename,
                                                                                jint permission) {
  try {
    Path path;
    if (!java_path(env, filename, path)) return;
    std::string error;
    vek::nativefile::set_permissions(path, static_cast<int>(permission), error);
    raise_if(env, error);
  } catch (...) {
  }
}

// Free space reports every failure as -1 and nothing else, an unconvertible
// name too: Java callers do not expect an exception from it.
JNIEXPORT jlong JNICALL Java_com_nimbo_common_io_NativeFile_getNativeAvailableBytes(JNIEnv* env, jobject,
                                                                                    jstring filename) {
  try {
    Path path;
    if (!java_path(env, filename, path)) {
      env->ExceptionClear();
      return -1;
    }
    vek_uint64_t available = vek::nativefile::available_bytes(path);
    return available == VEK_UINT64_UNKNOWN ? -1 : static_cast<jlong>(available);
  } catch (...) {
    return -1;
  }
}

}  // extern "C"

#ifndef _WIN32

namespace {

constexpr const char NATIVE_FILE_CLASS[] = "com/nimbo/common/io/NativeFile";

// The JNI record wants writable texts that it never writes.
JNINativeMethod native_method(const char* name, const char* signature, void* function) {
  return {const_cast<char*>(name), const_cast<char*>(signature), function};
}

// Takes and clears the pending exception, if any; null when none is pending.
jthrowable take_exception(JNIEnv* env) {
  if (!env->ExceptionCheck()) return nullptr;
  jthrowable pending = env->ExceptionOccurred();
  env->ExceptionClear();
  return pending;
}

void report_class_not_loaded(JNIEnv* env) {
  if (!env->ExceptionCheck()) return;  // simply absent: nothing to say
  jthrowable pending = take_exception(env);
  if (pending != nullptr) {
    veklog_ex(VEK_SOURCE_HERE(file), VEKLOG_ERROR, pending,
              "Could not load the %s class. No native file operations will be possible.", NATIVE_FILE_CLASS);
  } else {
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR,
           "Could not load the %s class. No native file operations will be possible and no further information is "
           "available.",
           NATIVE_FILE_CLASS);
  }
}

// Tells the Java side that the natives are usable. A missing field leaves a
// NoSuchFieldError pending: it is cleared before the ERROR line, or a logger
// calling into Java would meet it and take it for a failure of its own.
void set_enabled_flag(JNIEnv* env, jclass native_file) {
  jfieldID enabled = env->GetStaticFieldID(native_file, "mEnabled", "Z");
  if (enabled == nullptr) {
    env->ExceptionClear();
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Could not find field mEnabled in %s", NATIVE_FILE_CLASS);
    return;
  }
  env->SetStaticBooleanField(native_file, enabled, JNI_TRUE);
}

}  // namespace

extern "C" bool vek_registerNativeIOOperations(JNIEnv* env) {
  if (env == nullptr) return false;
  jclass native_file = vek_findClass(env, nullptr, NATIVE_FILE_CLASS);
  if (native_file == nullptr) {
    report_class_not_loaded(env);
    return false;
  }
  const JNINativeMethod methods[] = {
      native_method("createSymlink", "(Ljava/lang/String;Ljava/lang/String;)Z",
                    reinterpret_cast<void*>(Java_com_nimbo_common_io_NativeFile_createSymlink)),
      native_method("getNativeSymlink", "(Ljava/lang/String;)Ljava/lang/String;",
                    reinterpret_cast<void*>(Java_com_nimbo_common_io_NativeFile_getNativeSymlink)),
      native_method("getNativeOwner", "(Ljava/lang/String;)Ljava/lang/String;",
                    reinterpret_cast<void*>(Java_com_nimbo_common_io_NativeFile_getNativeOwner)),
      native_method("getNativePermissions", "(Ljava/lang/String;)I",
                    reinterpret_cast<void*>(Java_com_nimbo_common_io_NativeFile_getNativePermissions)),
      native_method("setNativePermissions", "(Ljava/lang/String;I)V",
                    reinterpret_cast<void*>(Java_com_nimbo_common_io_NativeFile_setNativePermissions)),
      native_method("getNativeAvailableBytes", "(Ljava/lang/String;)J",
                    reinterpret_cast<void*>(Java_com_nimbo_common_io_NativeFile_getNativeAvailableBytes)),
  };
  if (env->RegisterNatives(native_file, methods, sizeof methods / sizeof methods[0]) != JNI_OK) {
    jthrowable pending = take_exception(env);
    if (pending != nullptr) {
      veklog_ex(VEK_SOURCE_HERE(file), VEKLOG_ERROR, pending,
                "Could not register the native methods that are to be called from the NativeFile class.");
    } else {
      veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR,
             "Could not register the native methods that are to be called from the NativeFile class. No further "
             "information is available");
    }
    env->DeleteLocalRef(native_file);
    return false;
  }
  set_enabled_flag(env, native_file);
  veklog(VEK_SOURCE_HERE(file), VEKLOG_DEBUG, "Native methods for %s registered", NATIVE_FILE_CLASS);
  env->DeleteLocalRef(native_file);
  return true;
}

#endif  // !_WIN32
