// How names read from an archive appear in messages: they reach the
// operator's terminal, so nothing in them may act on it.
#ifndef INSTALLER_PRINTABLE_NAME_H
#define INSTALLER_PRINTABLE_NAME_H

#include <string>

// `name` with every control character (C0, DEL and the C1 range U+0080 to
// U+009F) and every byte that is not part of valid UTF-8 written as a \xNN
// escape of its bytes; valid UTF-8 text otherwise unchanged.
std::string printable_name(const char* name);
std::string printable_name(const std::string& name);

#endif  // INSTALLER_PRINTABLE_NAME_H
