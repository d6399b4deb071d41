// POSIX systems without a Linux-style termios2 take only the rates of the
// termios speed table.

#include "serial_port_posix_detail.h"

namespace talvex::detail {

bool SetCustomBaud(int, std::uint32_t) { return false; }

} // namespace talvex::detail
