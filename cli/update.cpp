#include "cli/update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "boot/boot_commands.h"
#include "boot/bootloader.h"
#include "cli/flash_pace.h"
#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "firmware/page_image.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "page/page.h"
#include "platform/text_format.h"
#include "platform/work_folders.h"
#include "page/control_ids.h"

namespace cli {

namespace {

constexpr uint32_t kPercentStep = 5;
constexpr double kNsPerSecond = 1e9;

std::string Hex(uint32_t value, int digits) {
    char buf[16];
    FormatBounded(buf, sizeof buf, "0x%0*lX", digits, static_cast<unsigned long>(value));
    return buf;
}

std::string Fixed2(double v) {
    char buf[32];
    FormatBounded(buf, sizeof buf, "%.2f", v);
    return buf;
}

const ChipRow& SelectedChip() {
    return chip_table[g_chip.chip_index];
}

int Interrupted(Context& ctx) {
    return ctx.out.Fail(kExitInterrupted, "interrupted");
}

// A question answered Cancel, or interrupted by Ctrl-C while it was asked.
int Cancelled(Context& ctx, const Session& s) {
    if (s.question_interrupted()) return Interrupted(ctx);
    return ctx.out.Fail(kExitUsage, "cancelled: nothing more is sent");
}

// Reads the file and checks it for --chip, with the images into out_dir (empty: none are
// written, the pages are still built). Refused before any port is opened.
int LoadHexFile(Context& ctx, Session& s, const std::string& out_dir) {
    const std::string& path = ctx.opt.args[0];
    if (path.size() >= static_cast<std::size_t>(kPathSize) ||
        out_dir.size() >= static_cast<std::size_t>(kPathSize)) {
        return ctx.out.Fail(
            kExitUsage, "path longer than " + std::to_string(kPathSize - 1) + " characters: " +
                            (path.size() >= static_cast<std::size_t>(kPathSize) ? path : out_dir));
    }
    s.BuildPage(false);
    int row = 0;
    for (int i = 0; i < kChipRows; ++i)
        if (ctx.opt.chip == chip_table[i].name) row = i;
    ctx.ui.ComboSetSelection(g_com.hWndChipSelect, row);
    ChipSelect_process(platform::MakeWParam(id::kChipSelect, platform::kCbnSelEndOk), nullptr);
    FormatBounded(g_folders.szBinPath, sizeof g_folders.szBinPath, "%s", out_dir.c_str());

    // As the File Open dialog's choice: read, checked, and the file to send.
    if (!HexFileLoad(path.c_str())) {
        // "reason:\npath"
        std::string reason = g_hex.szReadError;
        reason = reason.substr(0, reason.find(":\n"));
        return ctx.out.Fail(kExitFileRefused, path + ": " + reason);
    }
    if (g_image.hex_file_valid == 0) {
        const HexFinding& f = g_hex.finding;
        const std::string message = path + ": refused by the check for ATmega" +
                                    SelectedChip().name + ": " +
                                    (f.text[0] != '\0' ? f.text : "the check failed");
        if (ctx.out.json()) {
            ctx.out.Message(message);
            ctx.out.Emit(JsonLine("error")
                             .Int("exit_code", kExitFileRefused)
                             .Str("message", message)
                             .Int("line", f.line)
                             .Str("finding", HexFindingName(f.kind)));
            return kExitFileRefused;
        }
        return ctx.out.Fail(kExitFileRefused, message);
    }
    return kExitDone;
}

// The device's answer to a command written by the core: kExitDone once a reply came.
int AwaitReply(Context& ctx, Session& s, std::size_t before) {
    const int rc = s.Wait([&]() { return s.watch().replies.size() > before; });
    return rc == kExitInterrupted ? Interrupted(ctx) : rc;
}

// A reply in a message of one line: its lines joined by " / ".
std::string OneLine(const std::string& reply) {
    std::string text = ReplyText(reply);
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 3)
        text.replace(at, 1, " / ");
    return text;
}

// The identification rows the reply parser has recognised since a mark (its count of replies
// then): the application's "Lum_Rax_" row or the bootloader's "Bootloader for" row (the
// firmware), and the application's "Lum_Rax, HW Rev" row (the hardware).
using IdentMark = uint32_t;

IdentMark MarkIdent(const Context&) {
    return g_readings.replies;
}

struct Ident {
    bool fw_row = false;
    bool hw_row = false;
    bool named() const { return fw_row || hw_row; }
    bool boot() const { return g_dev.uCisBootloader == 1; }
    // The bootloader sends one row, the application two.
    bool whole() const { return boot() ? fw_row : fw_row && hw_row; }
};

Ident SeenSince(const Context&, IdentMark mark) {
    return {g_readings.firmware_reply > mark, g_readings.hardware_reply > mark};
}

// The application may send its two rows as two replies: the other one is given a second,
// so that it does not run into what follows (a flash read-back, a switch).
int AwaitOtherRow(Context& ctx, Session& s, IdentMark mark) {
    constexpr int64_t kOtherRowNs = 1000 * kNsPerMs;
    const int rc = s.WaitUpTo(kOtherRowNs, [&]() { return SeenSince(ctx, mark).whole(); });
    return rc == kExitInterrupted ? Interrupted(ctx) : rc;
}

// Reads Sv; boot tells whether the bootloader runs. Either row of the application names it.
int Identify(Context& ctx, Session& s, bool& boot) {
    const IdentMark mark = MarkIdent(ctx);
    const std::size_t before = s.watch().replies.size();
    int rc = s.RegisterCommand(false, "Sv");
    if (rc != kExitDone) return rc;
    rc = AwaitReply(ctx, s, before);
    if (rc != kExitDone) return rc;
    if (!SeenSince(ctx, mark).named()) {
        return ctx.out.Fail(kExitDevice, "no identification in the answer to \"cr Sv\": " +
                                             OneLine(s.watch().replies[before]));
    }
    boot = g_dev.uCisBootloader == 1;
    return AwaitOtherRow(ctx, s, mark);
}

// Switch Boot/App; "cw Sboot" needs no answer. Then Sv is read once a second until the
// identification names the firmware wanted, for at most 5 s.
int Switch(Context& ctx, Session& s, bool to_boot) {
    constexpr int kReads = 5;
    constexpr int64_t kReadNs = 1000 * kNsPerMs;
    button_BootSwitch_process(s.page(), platform::MakeWParam(id::kBootSwitch, platform::kBnClicked),
                              nullptr);
    if (s.question_cancelled()) return Cancelled(ctx, s);
    LinkWatch& w = s.watch();
    w.unanswered_since = -1;
    std::string answered;  // the last answer to a read
    bool named = false;    // an answer named a firmware (the other one)
    int rc = kExitDone;
    for (int read = 0; read < kReads && rc == kExitDone; ++read) {
        const IdentMark mark = MarkIdent(ctx);
        const std::size_t before = w.replies.size();
        rc = s.RegisterCommand(false, "Sv");
        if (rc != kExitDone) return rc;
        // A reply that names the other firmware (still, or late) waits for the next read.
        rc = s.WaitUpTo(kReadNs, [&]() {
            const Ident id = SeenSince(ctx, mark);
            return id.named() && id.boot() == to_boot;
        });
        w.unanswered_since = -1;
        if (w.replies.size() > before) answered = OneLine(w.replies.back());
        const Ident id = SeenSince(ctx, mark);
        named = named || id.named();
        if (rc == kExitDone && id.named() && id.boot() == to_boot)
            return AwaitOtherRow(ctx, s, mark);
    }
    if (rc == kExitInterrupted) return Interrupted(ctx);
    if (rc != kExitDone) return rc;
    if (answered.empty()) {
        return ctx.out.Fail(kExitTimeout,
                            "device time-out: no answer to \"cr Sv\" within 5 s "
                            "after \"cw Sboot\"");
    }
    if (!named) {
        return ctx.out.Fail(kExitDevice,
                            "no identification in the answer to \"cr Sv\" after "
                            "\"cw Sboot\": " +
                                answered);
    }
    return ctx.out.Fail(kExitDevice, "the device still runs its " +
                                         std::string(to_boot ? "application" : "bootloader") +
                                         " after \"cw Sboot\" (it answered \"" + answered + "\")");
}

// Flash Erase; its answer is taken when one comes, else the erase is given its settle time.
int Erase(Context& ctx, Session& s) {
    LinkWatch& w = s.watch();
    const std::size_t before = w.replies.size();
    button_FlashErase_process(s.page(), platform::MakeWParam(id::kFlashErase, platform::kBnClicked),
                              nullptr);
    if (s.question_cancelled()) return Cancelled(ctx, s);
    w.unanswered_since = -1;
    const uint32_t settle_ms = ctx.opt.erase_settle_ms >= 0
                                   ? static_cast<uint32_t>(ctx.opt.erase_settle_ms)
                                   : EraseSettleMs(SelectedChip());
    const int rc = s.WaitUpTo(settle_ms * kNsPerMs, [&]() { return w.replies.size() > before; });
    if (rc == kExitInterrupted) return Interrupted(ctx);
    if (rc != kExitDone) return rc;
    if (w.replies.size() == before) {
        ctx.out.Message("no answer to \"cw Fe\": the erase was given " + std::to_string(settle_ms) +
                        " ms");
        return kExitDone;
    }
    const std::string answer = OneLine(w.replies[before]);
    if (EraseFailed(answer)) {
        return ctx.out.Fail(kExitDevice, "the erase failed: the device answered \"cw Fe\" with \"" +
                                             answer + "\"; no line is sent");
    }
    return kExitDone;
}

// Go! and the transfer to its end; seconds: from the first line to the end; ack: it ended at
// the answer's pace.
int Transfer(Context& ctx, Session& s, double& seconds, bool& ack) {
    Clock& clock = ctx.ticks.clock();
    const uint32_t total = g_image.ihex_line_num_max_app;
    TransferProgress progress(ctx.out, IsTerminal(2) && !ctx.out.json());
    s.watch().core_times_out = true;
    button_BootGo_process(s.page());
    if (s.question_cancelled()) return Cancelled(ctx, s);
    if (g_boot.process_state_bootloader == 0) {
        // Only a box of the core can say why.
        const int rc = s.Wait([]() { return true; });
        return rc != kExitDone ? rc : ctx.out.Fail(kExitDevice, "the transfer did not start");
    }
    std::optional<AckTransfer> fast;
    if (ctx.opt.pace_ack) {
        AckPace pace;
        pace.min_gap_ns = int64_t{ctx.opt.min_gap_ms} * kNsPerMs;
        pace.baud = baudrate_table[ctx.opt.baud_row];
        fast.emplace(ctx, s, pace);
    }
    int rc = s.Wait(
        [&]() {
            progress.Update(g_boot.lines_sent, total, clock.NowNs());
            return g_boot.process_state_bootloader == 0;
        },
        [&]() { return ctx.out.Fail(TransferExitCode(g_boot.outcome), TransferOutcomeText()); });
    progress.Finish();
    seconds = progress.Seconds(clock.NowNs());
    ack = fast && fast->pace().acking;
    fast.reset();
    s.watch().core_times_out = false;
    s.watch().unanswered_since = -1;
    if (rc == kExitInterrupted) {
        // As the stop question's OK: the core sends nothing more.
        BootloaderStop();
        return ctx.out.Fail(kExitInterrupted,
                            "interrupted at line " + std::to_string(g_boot.lines_sent) + " of " +
                                std::to_string(total) + ": the device's flash is incomplete");
    }
    if (rc != kExitDone) return rc;
    if (g_boot.lines_sent != total) {
        return ctx.out.Fail(kExitEndMismatch, "the transfer ended after " +
                                                  std::to_string(g_boot.lines_sent) + " of " +
                                                  std::to_string(total) + " lines");
    }
    return kExitDone;
}

// Mr: the flash read back and compared with the image.
int ReadBackAndCompare(Context& ctx, Session& s) {
    LinkWatch& w = s.watch();
    w.flash.clear();
    w.flash_ended = false;
    w.bytes_answer = true;
    int rc = s.RegisterCommand(false, "Mr");
    if (rc == kExitDone) rc = s.Wait([&]() { return w.flash_ended; });
    w.bytes_answer = false;
    if (rc == kExitInterrupted) return Interrupted(ctx);
    if (rc != kExitDone) return rc;

    const std::vector<uint8_t> expected = ExpectedApplication();
    const FlashDifference d = CompareFlash(expected, w.flash);
    const uint32_t size = static_cast<uint32_t>(expected.size());
    if (ctx.out.json()) {
        JsonLine j("result");
        j.Str("command", "verify").Int("bytes", size).Int("differ", d.count);
        if (d.count > 0) j.Int("first", d.first);
        ctx.out.Emit(j);
    } else if (d.count == 0) {
        ctx.out.Write("verified: " + std::to_string(size) + " bytes (" + Hex(size, 4) +
                      ") match the image\n");
    }
    if (d.count == 0) return kExitDone;
    std::string where;
    if (d.first < w.flash.size()) {
        where = "device " + Hex(w.flash[d.first], 2) + ", image " + Hex(expected[d.first], 2);
    } else {
        where = "the device sent only " + std::to_string(w.flash.size()) + " bytes";
    }
    return ctx.out.Fail(kExitVerify, "verify: " + std::to_string(d.count) + " of " +
                                         std::to_string(size) + " bytes differ, the first at " +
                                         Hex(d.first, 5) + " (" + where + ")");
}

// The hex file read and checked, the port open, and which firmware the device runs.
int LoadOpenAndIdentify(Context& ctx, Session& s, bool& boot) {
    int rc = LoadHexFile(ctx, s, "");
    if (rc == kExitDone) rc = s.Open(false);
    if (rc == kExitDone) rc = Identify(ctx, s, boot);
    return rc;
}

}  // namespace

int TransferExitCode(TransferOutcome outcome) {
    switch (outcome) {
        case TransferOutcome::kFinished:
            return kExitDone;
        case TransferOutcome::kTimeOut:
            return kExitTimeout;
        case TransferOutcome::kEndedEarly:
        case TransferOutcome::kEndedLate:
        case TransferOutcome::kNoEndAfterEof:
        case TransferOutcome::kNoLineLeft:
            return kExitEndMismatch;
        case TransferOutcome::kStopped:
            return kExitInterrupted;
        case TransferOutcome::kPortLost:
            return kExitPort;
        case TransferOutcome::kNone:
        case TransferOutcome::kDeviceError:
        case TransferOutcome::kUnknownReply:
            break;
    }
    return kExitDevice;
}

const char* HexFindingName(HexFindingKind kind) {
    switch (kind) {
        case HexFindingKind::kNone:
            return "none";
        case HexFindingKind::kLineCount:
            return "line_count";
        case HexFindingKind::kStart:
            return "start";
        case HexFindingKind::kTooLong:
            return "too_long";
        case HexFindingKind::kEnd:
            return "end";
        case HexFindingKind::kAddress:
            return "address";
        case HexFindingKind::kLastLine:
            return "last_line";
        case HexFindingKind::kByteCount:
            return "byte_count";
        case HexFindingKind::kLength:
            return "length";
        case HexFindingKind::kChecksum:
            return "checksum";
        case HexFindingKind::kTooManyLines:
            return "too_many_lines";
        case HexFindingKind::kExtendedRecord:
            return "extended_record";
        case HexFindingKind::kPastApplication:
            return "past_application";
        case HexFindingKind::kAfterEnd:
            return "after_end";
    }
    return "unknown";
}

uint32_t EraseSettleMs(const ChipRow& chip) {
    // The self-programming page of each chip, in bytes (64 and 128 words).
    const uint32_t spm_page = std::strcmp(chip.name, "328P") == 0 ? 128 : 256;
    const uint32_t pages = chip.app_size / spm_page;
    // 4.5 ms a page and half as much again: 6.75 ms, rounded up to whole 100 ms.
    const uint32_t ms = (pages * 675 + 99) / 100;
    return (ms + 99) / 100 * 100;
}

bool EraseFailed(const std::string& answer) {
    std::string lower;
    for (char c : answer)
        lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    for (const char* word : {"fail", "error", "refused", "unknown"})
        if (lower.find(word) != std::string::npos) return true;
    return false;
}

std::vector<uint8_t> ExpectedApplication() {
    const ChipRow& chip = SelectedChip();
    std::vector<uint8_t> app(chip.app_size, 0xFF);
    for (uint32_t p = 0; p < g_image.page_count && p < kPageRecords; ++p) {
        const std::size_t at = std::size_t{p} * chip.page_size;
        if (at + chip.page_size > app.size()) break;
        std::memcpy(app.data() + at, g_image.page_table[p].data, chip.page_size);
    }
    return app;
}

FlashDifference CompareFlash(const std::vector<uint8_t>& expected,
                             const std::vector<uint8_t>& device) {
    FlashDifference d;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (i < device.size() && device[i] == expected[i]) continue;
        if (d.count == 0) d.first = static_cast<uint32_t>(i);
        ++d.count;
    }
    return d;
}

double TransferProgress::Rate() const {
    if (sent_ < 2 || latest_ns_ <= first_ns_) return 0;
    return (sent_ - 1) * kNsPerSecond / static_cast<double>(latest_ns_ - first_ns_);
}

double TransferProgress::Seconds(int64_t now_ns) const {
    return first_ns_ < 0 ? 0 : static_cast<double>(now_ns - first_ns_) / kNsPerSecond;
}

std::string TransferProgress::BarText(uint32_t sent, uint32_t total, double lines_per_s) {
    constexpr uint32_t kWidth = 24;
    const uint32_t shown = std::min(sent, total);
    const uint32_t filled = total == 0 ? kWidth : shown * kWidth / total;
    const uint32_t percent = total == 0 ? 100 : shown * 100 / total;
    std::string bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "]";
    char text[128];
    if (lines_per_s > 0) {
        const uint32_t left = static_cast<uint32_t>((total - shown) / lines_per_s + 0.999);
        FormatBounded(text, sizeof text, " %lu / %lu lines  %3lu %%  %.1f lines/s  %lu:%02lu left",
                      static_cast<unsigned long>(shown), static_cast<unsigned long>(total),
                      static_cast<unsigned long>(percent), lines_per_s,
                      static_cast<unsigned long>(left / 60), static_cast<unsigned long>(left % 60));
    } else {
        FormatBounded(text, sizeof text, " %lu / %lu lines  %3lu %%  - lines/s  -:-- left",
                      static_cast<unsigned long>(shown), static_cast<unsigned long>(total),
                      static_cast<unsigned long>(percent));
    }
    return bar + text;
}

std::string TransferProgress::StepText(uint32_t percent, uint32_t sent, uint32_t total,
                                       double lines_per_s) {
    char text[96];
    FormatBounded(text, sizeof text, "%lu %% (%lu / %lu lines)",
                  static_cast<unsigned long>(percent), static_cast<unsigned long>(sent),
                  static_cast<unsigned long>(total));
    std::string s = text;
    if (lines_per_s > 0) {
        FormatBounded(text, sizeof text, ", %.1f lines/s", lines_per_s);
        s += text;
    }
    return s;
}

void TransferProgress::Update(uint32_t sent, uint32_t total, int64_t now_ns) {
    if (sent == sent_ && total == total_) return;
    if (sent > sent_) {
        if (first_ns_ < 0) first_ns_ = now_ns;
        latest_ns_ = now_ns;
    }
    sent_ = sent;
    total_ = total;
    if (bar_) {
        // At every line, so that a message of the core always follows the bar's last state;
        // not before the first line, which the start message precedes.
        if (sent > 0) out_.Live(BarText(sent, total, Rate()));
        return;
    }
    // Each 5 % step once, the highest one reached when several are passed at once.
    const uint32_t steps =
        total == 0
            ? 100 / kPercentStep
            : static_cast<uint32_t>(uint64_t{std::min(sent, total)} * 100 / kPercentStep / total);
    if (steps <= steps_) return;
    steps_ = steps;
    const uint32_t percent = steps * kPercentStep;
    if (out_.json()) {
        out_.Emit(
            JsonLine("progress").Int("percent", percent).Int("lines", sent).Int("total", total));
    } else {
        out_.Message(StepText(percent, sent, total, Rate()));
    }
}

void TransferProgress::Finish() {
    out_.EndLive();
}

int RunCheck(Context& ctx) {
    const std::string out_dir = ctx.opt.out.empty() ? "." : ctx.opt.out;
    Session s(ctx);
    // One level, as the window program makes its LUMRAXbin; it may exist already.
    if (!ctx.opt.out.empty()) platform::Sys().CreateFolder(out_dir.c_str());
    const int rc = LoadHexFile(ctx, s, out_dir);
    if (rc != kExitDone) return rc;
    if (g_image.image_files_written == 0) {
        return ctx.out.Fail(kExitLocalFile, "cannot write the page images into " + out_dir + ": " +
                                                g_image.szImageFilesError);
    }
    const ChipRow& chip = SelectedChip();
    const std::string& file = ctx.opt.args[0];
    if (ctx.out.json()) {
        ctx.out.Emit(JsonLine("result")
                         .Str("command", "check")
                         .Str("file", file)
                         .Str("chip", chip.name)
                         .Int("lines", g_image.ihex_line_num_max_app)
                         .Int("pages", g_image.page_count)
                         .Int("page_size", chip.page_size)
                         .Str("bin", g_image.szAVRbinPath)
                         .Str("avr", g_image.szFlashImagePath));
        return kExitDone;
    }
    ctx.out.Write("file: " + file + "\nchip: ATmega" + chip.name +
                  "\nlines: " + std::to_string(g_image.ihex_line_num_max_app) +
                  "\npages: " + std::to_string(g_image.page_count) + " of " +
                  std::to_string(chip.page_size) + " bytes\nbin: " + g_image.szAVRbinPath +
                  "\navr: " + g_image.szFlashImagePath + "\n");
    return kExitDone;
}

int RunFlash(Context& ctx) {
    const Options& opt = ctx.opt;
    // Every run asks at least whether to start; refused before anything is done.
    if (!opt.yes && !ctx.stdin_terminal) {
        return ctx.out.Fail(kExitUsage,
                            "flash asks before it starts: give --yes, or run it on a terminal");
    }
    Session s(ctx);
    // Which firmware runs decides whether to switch: cw Sboot toggles.
    bool boot = false;
    int rc = LoadOpenAndIdentify(ctx, s, boot);
    if (rc != kExitDone) return rc;
    if (!boot && !opt.switch_boot) {
        return ctx.out.Fail(kExitDevice,
                            "the device runs its application: --switch puts it in its bootloader");
    }
    if (!boot) {
        rc = Switch(ctx, s, true);
    } else if (opt.switch_boot) {
        ctx.out.Message("the device runs its bootloader already: no switch");
    }
    if (rc == kExitDone && opt.erase) rc = Erase(ctx, s);
    double seconds = 0;
    bool ack = false;
    if (rc == kExitDone) rc = Transfer(ctx, s, seconds, ack);
    if (rc != kExitDone) return rc;

    const uint32_t lines = g_image.ihex_line_num_max_app;
    const double rate = seconds > 0 ? lines / seconds : 0;
    if (ctx.out.json()) {
        ctx.out.Emit(JsonLine("result")
                         .Str("command", "flash")
                         .Int("lines", lines)
                         .Number("seconds", Fixed2(seconds))
                         .Number("lines_per_s", Fixed2(rate))
                         .Str("pace", ack ? "ack" : "tick"));
    } else {
        ctx.out.Write("flashed: " + std::to_string(lines) + " lines in " + Fixed2(seconds) +
                      " s (" + Fixed2(rate) + " lines/s)\n");
    }
    if (!opt.verify) return kExitDone;
    rc = Switch(ctx, s, false);
    if (rc != kExitDone) return rc;
    return ReadBackAndCompare(ctx, s);
}

int RunVerify(Context& ctx) {
    Session s(ctx);
    bool boot = false;
    const int rc = LoadOpenAndIdentify(ctx, s, boot);
    if (rc != kExitDone) return rc;
    if (boot) {
        return ctx.out.Fail(kExitDevice,
                            "the device runs its bootloader: only the application reads the flash "
                            "back");
    }
    return ReadBackAndCompare(ctx, s);
}

}  // namespace cli
