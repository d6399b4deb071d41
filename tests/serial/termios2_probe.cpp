// Kept apart from pty_pair.cpp: <asm/termbits.h> and <termios.h> clash.

#include "pty_pair.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace talvex::test {

std::uint32_t KernelOutputSpeed(int fd)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}

} // namespace talvex::test
