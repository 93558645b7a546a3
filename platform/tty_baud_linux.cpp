// Kept apart: the kernel's termios2 definitions clash with the C library's <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace platform {

bool SetTtyBaud(int fd, int32_t baudrate) {
    struct termios2 t2 {};
    if (ioctl(fd, TCGETS2, &t2) != 0) return false;
    // BOTHER takes the rate from c_ispeed / c_ospeed; 14400 has no Bnnn constant.
    t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t2.c_ispeed = static_cast<speed_t>(baudrate);
    t2.c_ospeed = static_cast<speed_t>(baudrate);
    return ioctl(fd, TCSETS2, &t2) == 0;
}

}  // namespace platform
