// Arbitrary rates on Linux go through termios2 with BOTHER. <asm/termbits.h>
// redefines struct termios, so this must stay apart from <termios.h>.

#include "serial_port_posix_detail.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace talvex::detail {

namespace {

// A UART that lands more than 2 % off cannot frame bytes reliably.
bool CloseEnough(std::uint32_t want, std::uint32_t got) {
    const std::uint64_t diff = want > got ? want - got : got - want;
    return diff * 50 <= want;
}

} // namespace

bool SetCustomBaud(int fd, std::uint32_t baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &tio) != 0) return false;
    // The driver writes back the rate it really set.
    struct termios2 check {};
    if (ioctl(fd, TCGETS2, &check) != 0) return false;
    return CloseEnough(baud, check.c_ospeed) && CloseEnough(baud, check.c_ispeed);
}

} // namespace talvex::detail
