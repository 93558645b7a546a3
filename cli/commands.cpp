#include "cli/commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/output_file.h"
#include "cli/plot.h"
#include "cli/update.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "serial/receive_pump.h"

namespace cli {

namespace {

// The first line of an identification box (the box may hold the rest of the reply).
std::string FirstLine(const std::string& text) {
    const std::size_t start = text.find_first_not_of("\r\n ");
    if (start == std::string::npos) return {};
    const std::size_t end = text.find_first_of("\r\n", start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// A register text holding a line break would make the device take two commands.
bool PlainRegisterText(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

int Interrupted(Context& ctx) {
    return ctx.out.Fail(kExitInterrupted, "interrupted");
}

}  // namespace

int RunPorts(Context& ctx) {
    const std::vector<std::string> ports = ListPorts();
    if (ctx.out.json()) {
        ctx.out.Emit(JsonLine("result").Str("command", "ports").Strs("ports", ports));
        return kExitDone;
    }
    for (const std::string& p : ports) ctx.out.Write(p + "\n");
    return kExitDone;
}

int RunInfo(Context& ctx) {
    Session s(ctx);
    int rc = s.Open(true);
    if (rc != kExitDone) return rc;
    rc = s.Wait([&]() { return s.StartUpReadsDone(); });
    if (rc == kExitInterrupted) return Interrupted(ctx);
    if (rc != kExitDone) return rc;

    // What the device did not report is unknown: an empty text here, null in JSON.
    const uint32_t mark = s.replies_at_open();
    auto reported = [&](uint32_t reply) { return reply > mark; };
    const Readings& r = g_readings;
    const bool named = reported(r.firmware_reply) || reported(r.hardware_reply);
    const bool boot = named && g_dev.uCisBootloader == 1;
    const std::string firmware = reported(r.firmware_reply) ? FirstLine(r.firmware) : "";
    const std::string hardware = reported(r.hardware_reply) ? FirstLine(r.hardware) : "";
    const std::string running = !named ? "" : boot ? "bootloader" : "application";
    struct Flag {
        const char* name;
        uint32_t reply;
        uint8_t value;
    };
    const Flag flags[] = {{"pwm", r.pwm_reply, g_dev.pwm_on},
                          {"ctl", r.ctl_reply, g_dev.pwm_ctl_on},
                          {"search_always", r.search_always_reply, g_dev.search_always_on}};
    s.Close();

    if (ctx.out.json()) {
        JsonLine j("result");
        j.Str("command", "info");
        auto text = [&](const char* key, const std::string& v) {
            if (v.empty()) {
                j.Null(key);
            } else {
                j.Str(key, v);
            }
        };
        text("firmware", firmware);
        text("hardware", boot ? "" : hardware);
        text("running", running);
        for (const Flag& f : flags) {
            if (boot || !reported(f.reply)) {
                j.Null(f.name);
            } else {
                j.Bool(f.name, f.value != 0);
            }
        }
        ctx.out.Emit(j);
        return kExitDone;
    }
    auto shown = [](const std::string& v) { return v.empty() ? std::string("unknown") : v; };
    std::string text = "firmware: " + shown(firmware) + "\n";
    if (boot) {
        text += "running: bootloader\n";
    } else {
        text += "hardware: " + shown(hardware) + "\nrunning: " + shown(running) + "\n";
        for (const Flag& f : flags) {
            text += std::string(f.name) + ": " +
                    (!reported(f.reply) ? "unknown"
                     : f.value != 0     ? "on"
                                        : "off") +
                    "\n";
        }
    }
    ctx.out.Write(text);
    return kExitDone;
}

int RunRegisters(Context& ctx, bool write) {
    for (const std::string& text : ctx.opt.args) {
        if (!PlainRegisterText(text))
            return ctx.out.Fail(kExitUsage, "register text with a control character: refused");
    }
    Session s(ctx);
    int rc = s.Open(false);
    if (rc != kExitDone) return rc;
    for (const std::string& text : ctx.opt.args) {
        const std::size_t before = s.watch().replies.size();
        rc = s.RegisterCommand(write, text);
        if (rc != kExitDone) return rc;
        rc = s.Wait([&]() { return s.watch().replies.size() > before; });
        if (rc == kExitInterrupted) return Interrupted(ctx);
        if (rc != kExitDone) return rc;
        const std::string command = (write ? "cw " : "cr ") + text;
        const std::string reply = ReplyText(s.watch().replies[before]);
        if (ctx.out.json()) {
            ctx.out.Emit(JsonLine("reply").Str("command", command).Str("reply", reply));
        } else {
            ctx.out.Write(reply + "\n");
        }
    }
    return kExitDone;
}

int RunDump(Context& ctx) {
    const Options& opt = ctx.opt;
    // Only a read of a register whose name begins with Mr makes the core take the answer
    // as flash bytes.
    if (opt.reg.compare(0, 2, "Mr") != 0 || !PlainRegisterText(opt.reg))
        return ctx.out.Fail(kExitUsage, "--reg " + opt.reg + ": must begin with Mr");
    if (opt.out.empty() && (ctx.out.json() || IsTerminal(1))) {
        return ctx.out.Fail(kExitUsage, ctx.out.json()
                                            ? "dump with --json needs --out FILE"
                                            : "raw bytes are not for a terminal: give --out FILE");
    }
    // The dump goes into a file of this run, put in place of the one named only when it
    // holds the flash.
    OutputFile file;
    if (!opt.out.empty()) {
        std::string reason;
        if (!file.Open(opt.out, reason))
            return ctx.out.Fail(kExitLocalFile, "cannot create " + opt.out + ": " + reason);
    }

    Session s(ctx);
    int rc = s.Open(false);
    if (rc != kExitDone) return rc;
    s.watch().bytes_answer = true;
    rc = s.RegisterCommand(false, opt.reg);
    if (rc != kExitDone) return rc;
    rc = s.Wait([&]() { return s.watch().flash_ended; });
    if (rc == kExitInterrupted) return Interrupted(ctx);
    if (rc != kExitDone) return rc;
    const bool cut = g_rx.flash_stream_cut != 0;
    s.Close();

    const std::vector<uint8_t>& bytes = s.watch().flash;
    const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (opt.out.empty()) {
        ctx.out.Write(data);
        // Its line is given when standard output is closed.
        if (!ctx.out.Healthy()) return kExitLocalFile;
    } else {
        std::string reason;
        file.Write(data);
        if (!file.Keep(reason))
            return ctx.out.Fail(kExitLocalFile, "cannot write " + opt.out + ": " + reason);
    }
    if (cut) {
        return ctx.out.Fail(kExitDevice, "the device sent more than 131072 bytes; the first " +
                                             std::to_string(bytes.size()) + " are kept");
    }
    if (ctx.out.json()) {
        ctx.out.Emit(JsonLine("result")
                         .Str("command", "dump")
                         .Int("bytes", static_cast<int64_t>(bytes.size()))
                         .Str("out", opt.out));
    } else if (!opt.out.empty()) {
        ctx.out.Write(std::to_string(bytes.size()) + " bytes into " + opt.out + "\n");
    }
    return kExitDone;
}

int RunCommand(Context& ctx) {
    switch (ctx.opt.command) {
        case Command::kPorts:
            return RunPorts(ctx);
        case Command::kInfo:
            return RunInfo(ctx);
        case Command::kRead:
            return RunRegisters(ctx, false);
        case Command::kWrite:
            return RunRegisters(ctx, true);
        case Command::kMonitor:
            return RunMonitor(ctx);
        case Command::kPlot:
            return RunPlot(ctx);
        case Command::kDump:
            return RunDump(ctx);
        case Command::kCheck:
            return RunCheck(ctx);
        case Command::kFlash:
            return RunFlash(ctx);
        case Command::kVerify:
            return RunVerify(ctx);
        default:
            break;
    }
    return ctx.out.Fail(kExitUsage, "no command given (lumrax --help lists them)");
}

}  // namespace cli
