// Text conversion for the installer's wide-character Windows calls. Names
// from archives are UTF-8 (what tar tools and the packer write); a text that
// is not valid UTF-8 is taken in the ANSI code page, as the ANSI calls took
// it. ASCII is the same either way.
#ifndef INSTALLER_WIDE_TEXT_WINDOWS_H
#define INSTALLER_WIDE_TEXT_WINDOWS_H

#include <windows.h>

#include <string>

// The wide form of `text`; empty when it cannot be converted (or is empty).
inline std::wstring installer_wide(const char* text) {
  for (UINT code_page : {(UINT)CP_UTF8, (UINT)CP_ACP}) {
    DWORD flags = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int count = MultiByteToWideChar(code_page, flags, text, -1, nullptr, 0);
    if (count <= 0) continue;
    std::wstring wide((size_t)count, L'\0');
    MultiByteToWideChar(code_page, flags, text, -1, &wide[0], count);
    wide.resize((size_t)count - 1);
    return wide;
  }
  return std::wstring();
}

// The UTF-8 form of a wide text; empty when it cannot be converted.
inline std::string installer_utf8(const wchar_t* text) {
  int count = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return std::string();
  std::string utf8((size_t)count, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], count, nullptr, nullptr);
  utf8.resize((size_t)count - 1);
  return utf8;
}

#endif  // INSTALLER_WIDE_TEXT_WINDOWS_H
