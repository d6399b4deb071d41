#pragma once
// Pieces of the POSIX backend that live in their own files because they need
// headers that cannot share a translation unit with <termios.h>.

#include <cstdint>

namespace talvex::detail {

// Puts a rate that the termios speed table lacks on the open tty fd.
// False when the platform or the driver refuses it, or the driver settles on
// a rate too far from the one asked for to talk to the target.
bool SetCustomBaud(int fd, std::uint32_t baud);

} // namespace talvex::detail
