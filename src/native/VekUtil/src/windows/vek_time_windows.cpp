// Millisecond sleep over Sleep (which signals cannot interrupt).
#include <windows.h>

#include "vek_time_platform.h"

namespace vek::time {

void sleep_ms(long milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace vek::time
