#include "sim/options.h"

#include <cerrno>
#include <cstdlib>

namespace sim {

namespace {

bool ToUnsigned(const std::string& s, uint64_t max, uint64_t& v) {
    if (s.empty() || s[0] < '0' || s[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long n = std::strtoull(s.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || n > max) return false;
    v = n;
    return true;
}

bool ToMillis(const std::string& s, Nanos& v) {
    uint64_t ms = 0;
    if (!ToUnsigned(s, 86400000ull, ms)) return false;
    v = static_cast<Nanos>(ms) * kMilli;
    return true;
}

}  // namespace

const char* UsageText() {
    return "usage: lumrax-sim [options]\n"
           "  --link PATH                 link PATH to the pseudo-terminal (e.g. a Wine\n"
           "                              prefix's dosdevices/com15); removed at exit\n"
           "  --baud N                    the device's baud rate (default 38400)\n"
           "  --firmware app|boot         firmware running at start (default app)\n"
           "  --chip 328P|1284P|1281      controller and flash size (default 328P)\n"
           "  --boot-answer after|first   the bootloader answers a record that completes a\n"
           "                              flash page after writing it (default), or first\n"
           "                              and then writes it for 4.5 ms, its UART keeping\n"
           "                              two of the bytes that come meanwhile and losing\n"
           "                              the rest; a record that stops short for 20 ms it\n"
           "                              answers 'c'\n"
           "  --flash program|blank|FILE  initial application section (FILE: raw image)\n"
           "  --seed N                    seed of measurements and noise (default 1)\n"
           "  --resonance KHZ             resonance of the antenna circuit (default 131)\n"
           "  --search-ms N               duration of an auto search (default 2500)\n"
           "  --trace                     print every byte that crosses the line\n"
           "  --help                      this text\n"
           "  --version                   the simulator's version\n"
           "faults:\n"
           "  --no-reply REG[,REG]|*      never answer these commands\n"
           "  --late-ms N                 every reply N ms late\n"
           "  --no-etx REG[,REG]|*        text replies without their closing ETX\n"
           "  --record-letter N:L         answer record N (0 = first) with letter L\n"
           "                              (c, e, f, s, x or any other), repeatable\n"
           "  --garbage BYTES:EVERY       random bytes before every EVERY-th reply\n"
           "  --noise-ms N                unsolicited random bytes every N ms\n"
           "  --noise-bytes N             bytes of each noise burst (default 3)\n"
           "  --disconnect-after-records N  the line goes dead as record N arrives\n"
           "  --disconnect-at-ms N        the line goes dead N ms after start\n"
           "  --sv both|hw|apart          the application answers cr Sv with its hardware and\n"
           "                              firmware lines in one reply (default), the hardware\n"
           "                              line alone, or the two as two replies 600 ms apart\n"
           "  --erase-ms N                the bootloader's erase (cw Fe) takes N ms, deaf to\n"
           "                              the line, before its answer (default 0)\n"
           "  --erase-fails               the bootloader answers cw Fe with a failure and\n"
           "                              erases nothing\n"
           "  --stream-limit N            a flash read-back (cr Mr) ends after N bytes\n"
           "  --no-switch                 cw Sboot is answered, but the firmware stays\n"
           "  (--no-reply Sboot,Fe makes both firmwares silent on cw Sboot and cw Fe)\n"
           "signals: SIGINT/SIGTERM end the simulator, SIGUSR1 power-cycles the device\n";
}

bool ParseOptions(const std::vector<std::string>& args, SimOptions& out, std::string& error) {
    Scenario& s = out.scenario;
    Faults& f = s.faults;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        if (opt == "--help" || opt == "-h") {
            out.help = true;
            continue;
        }
        if (opt == "--version") {
            out.version = true;
            continue;
        }
        if (opt == "--trace") {
            out.trace = true;
            continue;
        }
        if (opt == "--erase-fails" || opt == "--no-switch") {
            (opt == "--no-switch" ? f.no_switch : f.erase_fails) = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "missing value after " + opt;
            return false;
        }
        const std::string& v = args[++i];
        bool ok = true;
        uint64_t n = 0;
        if (opt == "--link") {
            out.link = v;
            ok = !v.empty();
        } else if (opt == "--baud") {
            ok = ToUnsigned(v, 4000000, n) && n >= 50;
            s.baudrate = static_cast<int32_t>(n);
        } else if (opt == "--firmware") {
            ok = v == "app" || v == "boot";
            s.firmware = v == "boot" ? Firmware::kBootloader : Firmware::kApplication;
        } else if (opt == "--boot-answer") {
            ok = v == "after" || v == "first";
            s.boot_answer = v == "first" ? BootAnswer::kFirst : BootAnswer::kAfterWrite;
        } else if (opt == "--chip") {
            if (v == "328P") {
                s.chip = Chip::kAtmega328P;
            } else if (v == "1284P") {
                s.chip = Chip::kAtmega1284P;
            } else if (v == "1281") {
                s.chip = Chip::kAtmega1281;
            } else {
                ok = false;
            }
        } else if (opt == "--flash") {
            if (v == "program") {
                s.flash = FlashContent::kProgram;
            } else if (v == "blank") {
                s.flash = FlashContent::kBlank;
            } else {
                out.flash_file = v;
            }
        } else if (opt == "--seed") {
            ok = ToUnsigned(v, UINT64_MAX, n);
            s.seed = n;
        } else if (opt == "--resonance") {
            ok = ToUnsigned(v, 1000, n) && n > 0;
            s.resonance_khz = static_cast<double>(n);
        } else if (opt == "--search-ms") {
            ok = ToMillis(v, s.timing.search);
        } else if (opt == "--no-reply") {
            f.no_reply_to = v;
        } else if (opt == "--late-ms") {
            ok = ToMillis(v, f.late_reply);
        } else if (opt == "--no-etx") {
            f.no_etx_to = v;
        } else if (opt == "--record-letter") {
            std::size_t colon = v.find(':');
            ok = colon != std::string::npos && colon + 2 == v.size() &&
                 ToUnsigned(v.substr(0, colon), UINT32_MAX, n);
            if (ok) f.record_letter[static_cast<uint32_t>(n)] = v[colon + 1];
        } else if (opt == "--garbage") {
            std::size_t colon = v.find(':');
            uint64_t every = 0;
            ok = colon != std::string::npos && ToUnsigned(v.substr(0, colon), 4096, n) &&
                 ToUnsigned(v.substr(colon + 1), UINT32_MAX, every) && every > 0;
            f.garbage_bytes = static_cast<uint32_t>(n);
            f.garbage_every = static_cast<uint32_t>(every);
        } else if (opt == "--noise-ms") {
            ok = ToMillis(v, f.noise_period) && f.noise_period > 0;
        } else if (opt == "--noise-bytes") {
            ok = ToUnsigned(v, 4096, n);
            f.noise_bytes = static_cast<uint32_t>(n);
        } else if (opt == "--disconnect-after-records") {
            ok = ToUnsigned(v, UINT32_MAX, n) && n > 0;
            f.disconnect_after_records = static_cast<uint32_t>(n);
        } else if (opt == "--sv") {
            ok = v == "both" || v == "hw" || v == "apart";
            f.sv = v == "hw" ? SvReply::kHardware : v == "apart" ? SvReply::kApart : SvReply::kBoth;
        } else if (opt == "--erase-ms") {
            ok = ToMillis(v, s.timing.erase);
        } else if (opt == "--stream-limit") {
            ok = ToUnsigned(v, UINT32_MAX, n) && n > 0;
            f.stream_limit = static_cast<uint32_t>(n);
        } else if (opt == "--disconnect-at-ms") {
            ok = ToMillis(v, f.disconnect_at) && f.disconnect_at > 0;
        } else {
            error = "unknown option " + opt;
            return false;
        }
        if (!ok) {
            error = "bad value for " + opt + ": " + v;
            return false;
        }
    }
    return true;
}

}  // namespace sim
