// lumrax-sim: a simulated Lum_Rax generator behind a pseudo-terminal, for running the
// program (for example under Wine) with no hardware.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/version.h"
#include "sim/device.h"
#include "sim/options.h"
#include "sim/pty_link.h"

namespace {

// What the pty may hold back for the program before the oldest bytes are lost.
constexpr std::size_t kPendingMax = std::size_t{64} * 1024;

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_power_cycle = 0;

void OnStop(int) {
    g_stop = 1;
}
void OnPowerCycle(int) {
    g_power_cycle = 1;
}

void Install(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: poll() returns at once
    sigaction(sig, &sa, nullptr);
}

sim::Nanos Elapsed(const timespec& t0) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - t0.tv_sec) * sim::kSecond + (t.tv_nsec - t0.tv_nsec);
}

void PrintBytes(bool to_host, sim::Nanos at, const uint8_t* data, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        uint8_t b = data[i];
        char buf[8];
        if (b == '\r') {
            text += "\\r";
        } else if (b == '\n') {
            text += "\\n";
        } else if (b >= 0x20 && b < 0x7F && b != '\\') {
            text.push_back(static_cast<char>(b));
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            text += buf;
        }
    }
    std::printf("%10.3f %s %4zu  %s\n", static_cast<double>(at) / sim::kSecond,
                to_host ? "dev>PC" : "PC>dev", n, text.c_str());
    std::fflush(stdout);
}

bool LoadImage(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> buf(0x20001);
    std::size_t n = std::fread(buf.data(), 1, buf.size(), f);
    std::fclose(f);
    if (n == 0 || n > 0x20000) {
        error = path + ": an image of 1 to 131072 bytes is needed";
        return false;
    }
    buf.resize(n);
    out.swap(buf);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    sim::SimOptions opt;
    std::string error;
    if (!sim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), opt, error)) {
        std::fprintf(stderr, "lumrax-sim: %s\n%s", error.c_str(), sim::UsageText());
        return 2;
    }
    if (opt.help) {
        std::fputs(sim::UsageText(), stdout);
        return 0;
    }
    if (opt.version) {
        std::printf("lumrax-sim %s\n", AppVersion());
        return 0;
    }
    if (!opt.flash_file.empty() && !LoadImage(opt.flash_file, opt.scenario.flash_image, error)) {
        std::fprintf(stderr, "lumrax-sim: %s\n", error.c_str());
        return 2;
    }

    sim::PtyLink pty;
    if (!pty.Open(error) || (!opt.link.empty() && !pty.LinkTo(opt.link, error))) {
        std::fprintf(stderr, "lumrax-sim: %s\n", error.c_str());
        return 1;
    }
    Install(SIGINT, OnStop);
    Install(SIGTERM, OnStop);
    Install(SIGHUP, OnStop);
    Install(SIGUSR1, OnPowerCycle);
    signal(SIGPIPE, SIG_IGN);

    sim::Device dev(opt.scenario);
    if (opt.trace) dev.set_trace(PrintBytes);
    const sim::ChipModel& chip = sim::ModelOf(opt.scenario.chip);
    std::printf("lumrax-sim: device on %s%s%s, %d bps, %s, %s firmware running\n",
                pty.slave_name().c_str(), opt.link.empty() ? "" : " linked as ", opt.link.c_str(),
                opt.scenario.baudrate, chip.name,
                dev.running() == sim::Firmware::kApplication ? "application" : "bootloader");
    std::fflush(stdout);

    timespec t0{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    std::string pending;  // bytes for the program that the pty did not take yet
    uint8_t buf[4096];
    int exit_code = 0;
    while (g_stop == 0) {
        const sim::Nanos now = Elapsed(t0);
        dev.AdvanceTo(now);
        if (g_power_cycle != 0) {
            g_power_cycle = 0;
            dev.PowerCycle();
            std::printf(
                "lumrax-sim: power cycled, %s running\n",
                dev.running() == sim::Firmware::kApplication ? "application" : "bootloader");
            std::fflush(stdout);
        }
        const int32_t baud = pty.Baud();
        if (baud > 0 && baud != dev.host_baud()) {
            dev.SetHostBaud(baud);
            if (opt.trace)
                std::printf("%10.3f PC baud rate %d\n", double(now) / sim::kSecond, baud);
        }
        for (;;) {
            ssize_t n = read(pty.master(), buf, sizeof buf);
            if (n > 0) {
                dev.HostWrite(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;  // EAGAIN: nothing more; EIO: nobody on the slave side
        }
        std::size_t got;
        while ((got = dev.HostRead(buf, sizeof buf)) > 0) {
            pending.append(reinterpret_cast<const char*>(buf), got);
        }
        if (pending.size() > kPendingMax) {
            // Nobody has read the port for a long while: a real line loses these bytes too.
            pending.erase(0, pending.size() - kPendingMax);
        }
        while (!pending.empty()) {
            ssize_t n = write(pty.master(), pending.data(), pending.size());
            if (n > 0) {
                pending.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                std::fprintf(stderr, "lumrax-sim: write: %s\n", std::strerror(errno));
                g_stop = 1;
                exit_code = 1;
            }
            break;  // the pty buffer is full: the rest waits for POLLOUT
        }
        // Sleep until the next byte is due, to the nanosecond as a line delivers it (a
        // millisecond's poll() would hold every answer back by up to two), but look at the
        // port at least every 10 ms.
        sim::Nanos wait = 10 * sim::kMilli;
        const sim::Nanos next = dev.NextEvent();
        if (next >= 0) wait = std::clamp<sim::Nanos>(next - Elapsed(t0), 0, wait);
        const timespec timeout{static_cast<time_t>(wait / sim::kSecond),
                               static_cast<long>(wait % sim::kSecond)};
        pollfd pfd{pty.master(), static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
        ppoll(&pfd, 1, &timeout, nullptr);
    }
    pty.Unlink();
    std::printf("lumrax-sim: stopped\n");
    return exit_code;
}
