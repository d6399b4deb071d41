// Kept apart from the other tests: <asm/termbits.h> and <termios.h> clash.

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cstdint>
#include <sys/ioctl.h>

namespace talvex::test {

std::uint32_t KernelOutputSpeed(int fd) {
    struct termios2 tio {};
    return ioctl(fd, TCGETS2, &tio) == 0 ? tio.c_ospeed : 0;
}

} // namespace talvex::test
