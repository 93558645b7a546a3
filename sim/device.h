#pragma once
// A simulated Lum_Rax generator on the far end of a serial line: its two firmwares, its
// flash, its UART at a fixed baud rate, and the faults of the scenario. Time only moves
// when the owner advances it, so every run of a scenario is the same.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/application.h"
#include "sim/bootloader.h"
#include "sim/flash.h"
#include "sim/random.h"
#include "sim/scenario.h"
#include "sim/wire.h"

namespace sim {

class Device {
  public:
    explicit Device(Scenario scenario);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    Nanos now() const { return now_; }
    // Runs the device up to time t (never backwards).
    void AdvanceTo(Nanos t);
    void Advance(Nanos dt) { AdvanceTo(now_ + dt); }

    // The program's side of the line.
    void SetHostBaud(int32_t baud) { host_baud_ = baud; }
    int32_t host_baud() const { return host_baud_; }
    // The port was opened: what came before is purged.
    void HostJoin();
    void HostWrite(const uint8_t* data, std::size_t n);
    // What has arrived at the program's port by now, at most max bytes.
    std::size_t HostRead(uint8_t* buf, std::size_t max);
    // When something next happens on the line (for a real-time loop), or -1.
    Nanos NextEvent();

    // Switched off and on again: the application starts if there is one.
    void PowerCycle();

    Firmware running() const { return running_; }
    bool line_dead() const { return dead_; }
    const Scenario& scenario() const { return scenario_; }
    Flash& flash() { return flash_; }
    Application& app() { return app_; }
    Bootloader& boot() { return boot_; }
    // The last reply to each command as the device sent it (register name as in Faults).
    std::string LastReply(const std::string& reg) const;
    uint32_t replies_sent() const { return replies_; }

    // What went to the program: text replies whole (framed, no pause of break_every, no
    // fault on their bytes), text replies broken on purpose, and bursts between replies.
    struct LineCount {
        uint64_t whole = 0;
        uint64_t broken = 0;
        uint64_t bursts = 0;
        uint64_t bursts_etx = 0;  // bursts whose last byte is ETX
    };
    const LineCount& line_count() const { return line_count_; }
    // Sees every reply as it is put on the line: its command, its bytes and whether whole.
    using ReplyWatch =
        std::function<void(const std::string& reg, const std::string& bytes, bool whole)>;
    void set_reply_watch(ReplyWatch watch) { reply_watch_ = std::move(watch); }

    // Sees every byte that crosses the line: to_host, the time and the bytes.
    using Trace = std::function<void(bool to_host, Nanos at, const uint8_t* data, std::size_t n)>;
    void set_trace(Trace trace) { trace_ = std::move(trace); }

  private:
    void Feed(Nanos t, uint8_t b);
    void Emit(Nanos t, const Reply& reply);
    void RunTimed(Nanos upto);
    void RunBoot(Nanos upto);
    void SendBurst(Nanos t);
    Nanos RandomUpTo(Nanos max) {
        return max > 0 ? static_cast<Nanos>(random_.Next() % static_cast<uint64_t>(max + 1)) : 0;
    }
    void Die(Nanos t);
    void Start(Nanos t);

    Scenario scenario_;
    Flash flash_;
    Application app_;
    Bootloader boot_;
    Firmware running_;
    Wire to_device_;
    Wire to_host_;
    int32_t host_baud_;
    Nanos now_ = 0;
    bool dead_ = false;
    Nanos next_noise_ = 0;
    Nanos next_burst_ = 0;
    uint32_t replies_ = 0;
    LineCount line_count_;
    ReplyWatch reply_watch_;
    Random random_;
    std::deque<uint8_t> host_rx_;
    std::vector<ReceivedByte> scratch_;
    std::map<std::string, std::string> last_reply_;
    Trace trace_;
};

// True when the comma-separated list names reg, or is "*".
bool ListMatches(const std::string& list, const std::string& reg);

}  // namespace sim
