#include "sim/pty_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace sim {

PtyLink::~PtyLink() {
    Unlink();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

bool PtyLink::Open(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[PATH_MAX] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    slave_name_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        error = "cannot open " + slave_name_ + ": " + std::strerror(errno);
        return false;
    }
    termios tio{};
    if (tcgetattr(slave_, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B38400);
        cfsetospeed(&tio, B38400);
        tcsetattr(slave_, TCSANOW, &tio);
    }
    int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    return true;
}

bool PtyLink::LinkTo(const std::string& path, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = path + " exists and is not a symbolic link";
            return false;
        }
        unlink(path.c_str());
    }
    if (symlink(slave_name_.c_str(), path.c_str()) != 0) {
        error = "cannot link " + path + ": " + std::strerror(errno);
        return false;
    }
    link_ = path;
    return true;
}

void PtyLink::Unlink() {
    if (link_.empty()) return;
    char target[PATH_MAX] = {};
    ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0 && slave_name_ == std::string(target, static_cast<std::size_t>(n))) {
        unlink(link_.c_str());
    }
    link_.clear();
}

int32_t PtyLink::Baud() const {
    return slave_ >= 0 ? ReadTtyBaud(slave_) : 0;
}

}  // namespace sim
