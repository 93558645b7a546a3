// Clock and folders on POSIX systems.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include "platform/env_posix.h"

namespace platform {
namespace {

class PosixSystem final : public System {
  public:
    LocalTime Now() override {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::tm t{};
        localtime_r(&now.tv_sec, &t);
        return LocalTime{t.tm_year + 1900,
                         t.tm_mon + 1,
                         t.tm_mday,
                         t.tm_hour,
                         t.tm_min,
                         t.tm_sec,
                         static_cast<int>(now.tv_nsec / 1000000)};
    }

    bool CurrentDirectory(std::string& out) override {
        std::vector<char> buf(4096);
        if (getcwd(buf.data(), buf.size()) == nullptr) return false;
        out.assign(buf.data());
        return true;
    }

    bool CreateFolder(const char* path) override { return mkdir(path, 0777) == 0; }

    // Linux timers already tick to the millisecond.
    void FineTimer(bool) override {}

    bool ReplaceFile(const char* from, const char* to) override {
        return std::rename(from, to) == 0;
    }
};

}  // namespace

std::unique_ptr<System> NewPosixSystem() {
    return std::make_unique<PosixSystem>();
}

}  // namespace platform
