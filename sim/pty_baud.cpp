// Kept apart: the kernel's termios2 definitions clash with the C library's <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace sim {

int32_t ReadTtyBaud(int fd) {
    struct termios2 t2 {};
    if (ioctl(fd, TCGETS2, &t2) != 0) return 0;
    return static_cast<int32_t>(t2.c_ospeed);
}

}  // namespace sim
