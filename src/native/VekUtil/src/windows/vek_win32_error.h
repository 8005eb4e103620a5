// The system's message text for a Win32 error code, as every Windows message
// of the library that ends in ": %s" after a Win32 call shows it: one line
// (no line breaks), default language of the neutral locale.
#ifndef VEK_WIN32_ERROR_H
#define VEK_WIN32_ERROR_H

#include <windows.h>

namespace vek {

// Holds the FormatMessageA buffer and releases it with LocalFree.
class Win32ErrorText {
 public:
  explicit Win32ErrorText(DWORD code) {
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                  FORMAT_MESSAGE_MAX_WIDTH_MASK;
    FormatMessageA(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text_), 0,
                   nullptr);
  }
  ~Win32ErrorText() {
    if (text_ != nullptr) LocalFree(text_);
  }
  Win32ErrorText(const Win32ErrorText&) = delete;
  Win32ErrorText& operator=(const Win32ErrorText&) = delete;

  // Never NULL: an unknown code gives an empty text.
  const char* c_str() const { return text_ != nullptr ? text_ : ""; }

 private:
  char* text_ = nullptr;
};

// Text for GetLastError(), read at construction.
class LastWin32ErrorText : public Win32ErrorText {
 public:
  LastWin32ErrorText() : Win32ErrorText(GetLastError()) {}
};

}  // namespace vek

#endif  // VEK_WIN32_ERROR_H
