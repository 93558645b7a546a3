#include "cli/session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "boot/flash_dump.h"
#include "device/wiring.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "page/page.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "serial/reg_console.h"
#include "serial/link_controls.h"
#include "page/control_ids.h"

namespace cli {

namespace {

// The session whose watch the pump's consumers fill; one per process.
LinkWatch* g_watch = nullptr;
RxConsumers g_saved_consumers;

void WatchReply(char* reply, uint32_t count) {
    if (g_watch != nullptr && reply != nullptr) {
        // Copied first: the parser may shorten the reply in place.
        g_watch->replies.emplace_back(reply);
        g_watch->unanswered_since = -1;
        ++g_watch->activity;
    }
    g_saved_consumers.parse_reply(reply, count);
}

void WatchFlashDump() {
    if (g_watch != nullptr) {
        const uint32_t len = std::min(g_flash.flash_stream_len, kFlashStreamSize);
        g_watch->flash.assign(g_flash.flash_stream_buf, g_flash.flash_stream_buf + len);
        g_watch->flash_ended = true;
    }
    g_saved_consumers.flash_dump();
}

bool IsError(const MessageBox& box) {
    const unsigned icon = box.flags & 0xF0u;
    return icon == platform::kMbIconWarning || icon == platform::kMbIconError;
}

// A command as a readable text: its line end dropped, other control bytes escaped.
std::string Printable(const uint8_t* data, std::size_t len) {
    std::string s;
    for (std::size_t i = 0; i < len; ++i) {
        const uint8_t b = data[i];
        if (b == '\r' && i + 1 == len) break;
        if (b < 0x20 || b == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            s += hex;
        } else {
            s.push_back(static_cast<char>(b));
        }
    }
    return s;
}

// The page controls of the communication area that the core reaches by handle, with
// their start texts.
struct ComControl {
    platform::Wnd* handle;
    const char* text;
};
const ComControl kComControls[] = {
    {&g_link_ui.hWndComStartStop, "COM Start"},
    {&g_link_ui.hWndComSelect, ""},
    {&g_link_ui.hWndBaudSelect, ""},
    {&g_link_ui.hWndRegEdit, ""},
    {&g_link_ui.hWndRegRead, "Read"},
    {&g_link_ui.hWndRegWrite, "Write"},
    {&g_link_ui.hWndLogStartStop, "LOG Start"},
    {&g_link_ui.hWndClearScr, "ClearScr"},
    {&g_link_ui.hWndComText, ""},
    {&g_com.hWndChipSelect, ""},
    {&g_com.hWndBootSwitch, "Switch Boot/App"},
    {&g_com.hWndFlashErase, "Flash Erase"},
    {&g_com.hWndFileOpen, "File Open"},
    {&g_com.hWndHexFileName, "..."},
    {&g_com.hWndFileCheck, "File Check"},
    {&g_com.hWndCheckResult, "Check: -"},
    {&g_com.hWndBootGo, "Go!"},
    {&g_com.hWndProgress, "lines: - / -"},
    {&g_com.hWndStatusLeft, ""},
    {&g_com.hWndStatusRight, "..."},
};

}  // namespace

// The port as the core sees it, with what passes it noted in the watch.
class Session::WatchedPort final : public platform::SerialPort {
  public:
    WatchedPort(PortIo& inner, LinkWatch& watch, Clock& clock)
        : inner_(inner), watch_(watch), clock_(clock) {}

    platform::PortHandle Open(const char* path) override { return inner_.Open(path); }
    bool Configure(platform::PortHandle h, int32_t baudrate, std::string& error) override {
        return inner_.Configure(h, baudrate, error);
    }
    bool Read(platform::PortHandle h, uint8_t* buf, std::size_t max, std::size_t& got) override {
        if (watch_.reads_held) {
            got = 0;
            return true;
        }
        const bool ok = inner_.Read(h, buf, max, got);
        if (got > 0 && watch_.bytes_answer) {
            watch_.unanswered_since = -1;
            ++watch_.activity;
        }
        return ok;
    }
    bool Write(platform::PortHandle h, const uint8_t* data, std::size_t len,
               std::size_t& put) override {
        const bool ok = inner_.Write(h, data, len, put);
        if (!watch_.core_times_out) {
            if (watch_.unanswered_since < 0) {
                watch_.unanswered_since = clock_.NowNs();
                watch_.unanswered_command = Printable(data, len);
            }
            ++watch_.activity;
        }
        return ok;
    }
    void Close(platform::PortHandle h) override { inner_.Close(h); }

  private:
    PortIo& inner_;
    LinkWatch& watch_;
    Clock& clock_;
};

std::string BoxLine(const MessageBox& box) {
    std::string line = box.caption.empty() ? "" : box.caption + ": ";
    for (char c : box.text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    return line;
}

int AnswerQuestion(const MessageBox& box, bool yes, bool terminal, std::istream& in, Output& out,
                   bool& refused, const std::function<bool()>& input_ready) {
    const std::string line = BoxLine(box);
    int answer = platform::kIdCancel;
    if (yes) {
        answer = platform::kIdOk;
        out.Message(line + " -> OK (--yes)");
    } else if (terminal) {
        out.Prompt(line + " [y/N] ");
        std::string reply;
        if (!input_ready || input_ready()) std::getline(in, reply);
        if (reply == "y" || reply == "Y" || reply == "yes") answer = platform::kIdOk;
    } else {
        refused = true;
        out.Message(line + " -> Cancel: no terminal to ask, --yes answers OK");
    }
    if (out.json()) {
        out.Emit(JsonLine("question")
                     .Str("text", box.text)
                     .Str("answer", answer == platform::kIdOk ? "ok" : "cancel"));
    }
    return answer;
}

std::string ReplyText(std::string_view reply) {
    std::string s;
    for (char c : reply)
        if (c != '\r') s.push_back(c);
    const std::size_t first = s.find_first_not_of('\n');
    if (first == std::string::npos) return {};
    const std::size_t last = s.find_last_not_of('\n');
    return s.substr(first, last - first + 1);
}

Session::Session(Context& ctx) : ctx_(ctx) {
    port_ = std::make_unique<WatchedPort>(ctx.port, watch_, ctx.ticks.clock());
    platform::SetEnv(platform::Env{&ctx.ui, port_.get(), &ctx.system, &ctx.console});
    g_watch = &watch_;
    WireDevice();
    // A lost port ends a lumrax run, unless monitor --reconnect turns the watch on.
    g_port.reconnect_enabled = 0;
    g_saved_consumers = g_rx_consumers;
    g_rx_consumers.parse_reply = WatchReply;
    g_rx_consumers.flash_dump = WatchFlashDump;
    ctx.ui.SetBoxPolicy([this](const MessageBox& box) { return AnswerBox(box); });
}

Session::~Session() {
    Close();
    if (pending_box_) TakeBoxFailure(kExitDevice);
    ctx_.ui.SetBoxPolicy(nullptr);
    g_rx_consumers = g_saved_consumers;
    g_watch = nullptr;
    platform::SetEnv(platform::Env{});
}

void Session::BuildPage(bool autoread) {
    HeadlessUi& ui = ctx_.ui;
    if (page_ == nullptr) {
        main_ = ui.NewWindow();
        page_ = ui.NewWindow();
        for (const ComControl& c : kComControls) {
            const platform::ControlSpec spec{"", c.text, 0, 0, 0, 0, platform::Style::LabelCentre,
                                             0};
            *c.handle = ui.CreateControl(page_, spec);
        }
        CreateGeneratorPage(page_);
    }
    ui.StartTimer(main_, REG_POLL_TIMER_ID, 20, RegLinePollTimerProc);
    if (autoread) ui.StartTimer(main_, AUTOREAD_TIMER_ID, 25, AutoReadTimerProc);
}

int Session::Open(bool autoread) {
    const Options& opt = ctx_.opt;
    PortChoice choice;
    std::string error;
    if (!ResolvePort(opt.port, choice, error)) return ctx_.out.Fail(kExitUsage, error);
    BuildPage(autoread);

    if (!opt.log_file.empty()) {
        // The core writes the log into a file of this run, kept under its name at the end.
        std::string reason;
        bool started = log_.Open(opt.log_file, reason);
        if (started && !ComLogStartFile(log_.temp_path().c_str())) {
            started = false;
            reason = std::strerror(errno);
        }
        if (!started) {
            return ctx_.out.Fail(kExitLocalFile,
                                 "cannot create log file " + opt.log_file + ": " + reason);
        }
        log_.Adopt(g_log.pCOMLogFile);
    }

    ctx_.ui.ComboSetSelection(g_link_ui.hWndBaudSelect, opt.baud_row);
    BaudSelect_process(platform::MakeWParam(id::kBaudSelect, platform::kCbnSelEndOk), nullptr);

    if (!choice.device_path.empty()) {
        std::memcpy(g_port.com_device_path, choice.device_path.c_str(),
                    choice.device_path.size() + 1);
    } else {
        ctx_.ui.ComboSetSelection(g_link_ui.hWndComSelect, choice.com_number - 1);
        ComSelect_process(platform::MakeWParam(id::kComSelect, platform::kCbnSelEndOk), nullptr);
    }

    button_COM_StartStop_process(
        page_, platform::MakeWParam(id::kComStartStop, platform::kBnClicked), nullptr);
    if (g_port.com_port_open != 1) {
        // The core's "No COM Port available!" says less than the system's own reason.
        pending_box_ = false;
        std::string reason = ctx_.port.LastError();
        if (reason.empty()) reason = "cannot open";
        return ctx_.out.Fail(kExitPort, "port " + opt.port + ": " + reason);
    }
    open_ = true;
    opened_ = true;
    // Only what the device answers from now on counts.
    replies_at_open_ = g_readings.replies;
    return kExitDone;
}

bool Session::StartUpReadsDone() const {
    // The bootloader names itself and answers nothing else.
    if (g_dev.uCisBootloader == 1 && g_readings.firmware_reply > replies_at_open_) return true;
    // Past step 4 AutoRead has sent Wo, Sv, Wc and Ww.
    return g_autoread.autoread_step > 4 && watch_.unanswered_since < 0 && RxLineAtRest();
}

int Session::Wait(const std::function<bool()>& done, const Failure& failure) {
    return Run(done, failure, -1);
}

int Session::WaitUpTo(int64_t ns, const std::function<bool()>& done) {
    return Run(done, nullptr, ctx_.ticks.clock().NowNs() + ns);
}

int Session::Run(const std::function<bool()>& done, const Failure& failure, int64_t deadline) {
    int result = kExitDone;
    Clock& clock = ctx_.ticks.clock();
    // Nothing written and nothing answered since then: a device that sends no whole reply
    // (or a line too busy to send on) ends the wait too.
    uint64_t activity = watch_.activity;
    int64_t quiet_since = clock.NowNs();
    const bool ran = ctx_.ticks.RunUntil([&]() {
        // Before done(): the tick that ends a transfer may be the one that failed it.
        if (ctx_.port.LineFailed()) {
            // The system's reason says more than what the core may show about it.
            pending_box_ = false;
            if (reconnect_) {
                result = kLineLost;
                return true;
            }
            result =
                ctx_.out.Fail(kExitPort, "port " + ctx_.opt.port + ": " + ctx_.port.LastError());
            return true;
        }
        if (pending_box_) {
            if (failure) {
                pending_box_ = false;
                result = failure();
            } else {
                result = TakeBoxFailure(kExitDevice);
            }
            return true;
        }
        if (done()) return true;
        if (*ctx_.interrupted != 0) {
            result = kExitInterrupted;
            return true;
        }
        const int64_t now = clock.NowNs();
        if (deadline >= 0) return now >= deadline;
        if (watch_.core_times_out) return false;
        if (watch_.unanswered_since >= 0) {
            if (now - watch_.unanswered_since < kDeviceTimeoutNs) return false;
            result = ctx_.out.Fail(kExitTimeout, "device time-out: no answer to \"" +
                                                     watch_.unanswered_command + "\" within 5 s");
            return true;
        }
        if (watch_.activity != activity) {
            activity = watch_.activity;
            quiet_since = now;
        }
        if (now - quiet_since < kDeviceTimeoutNs) return false;
        result = ctx_.out.Fail(kExitTimeout, "device time-out: no reply within 5 s");
        return true;
    });
    if (!ran) result = ctx_.out.Fail(kExitPort, "port " + ctx_.opt.port + " closed");
    return result;
}

int Session::RegisterCommand(bool write, const std::string& text) {
    HeadlessUi& ui = ctx_.ui;
    ui.SetControlText(g_link_ui.hWndRegEdit, text);
    const uint16_t id = write ? id::kRegWrite : id::kRegRead;
    const uint32_t click = platform::MakeWParam(id, platform::kBnClicked);
    if (write) {
        button_Reg_Write_process(page_, click, nullptr);
    } else {
        button_Reg_Read_process(page_, click, nullptr);
    }
    // The field keeps its text after a click; the 20 ms line polling must not send it again.
    ui.SetControlText(g_link_ui.hWndRegEdit, "");
    if (!pending_box_) return kExitDone;
    pending_box_ = false;
    switch (g_reg.refused) {
        case RegRefusal::kTooLong:
            return ctx_.out.Fail(kExitUsage, "register text longer than " +
                                                 std::to_string(g_reg.max_text) +
                                                 " characters: " + text);
        case RegRefusal::kPortClosed:
            return ctx_.out.Fail(kExitPort, "port " + ctx_.opt.port + " is not open");
        case RegRefusal::kWriteFailed:
            return ctx_.out.Fail(kExitPort, "port " + ctx_.opt.port + ": writing \"" +
                                                (write ? "cw " : "cr ") + text + "\" failed");
        case RegRefusal::kNone:
            break;
    }
    return TakeBoxFailure(kExitUsage);
}

namespace {

std::string ClockText() {
    const platform::LocalTime t = platform::Sys().Now();
    char text[16];
    FormatBounded(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return text;
}

}  // namespace

int Session::AwaitReturn(const std::function<bool()>& stop) {
    ctx_.out.Message("port " + ctx_.opt.port + " lost at " + ClockText() +
                     ", waiting for it to come back");
    // The core watches for the port once a second, quietly, and reopens it as COM Start does
    // (ReconnectTimerProc); its box about the loss is this line's.
    ctx_.ticks.RunUntil([&]() {
        pending_box_ = false;
        return *ctx_.interrupted != 0 || stop() ||
               (g_port.com_port_open == 1 && g_port.reconnect_watch == 0);
    });
    pending_box_ = false;
    if (*ctx_.interrupted != 0) return kExitInterrupted;
    if (g_port.com_port_open != 1) return kExitDone;  // stop() came first
    watch_.unanswered_since = -1;
    ++watch_.activity;
    ctx_.out.Message("port " + ctx_.opt.port + " back at " + ClockText());
    return kExitDone;
}

void Session::Close() {
    StopReconnectWatch();
    if (open_ && g_port.com_port_open == 1) {
        button_COM_StartStop_process(
            page_, platform::MakeWParam(id::kComStartStop, platform::kBnClicked), nullptr);
    }
    open_ = false;
    if (log_.is_open()) {
        // The stream is this session's to close, checked: taken from the core first.
        g_log.pCOMLogFile = nullptr;
        g_log.com_log_active = 0;
        // The record of a run that reached the device, whatever its end; a run that never
        // opened the port leaves the file as it was.
        std::string reason;
        if (!opened_) {
            log_.Drop();
        } else if (!log_.Keep(reason)) {
            ctx_.out.FailLater(kExitLocalFile,
                               "cannot write log file " + ctx_.opt.log_file + ": " + reason);
        }
    }
    ComLogClose();
}

int Session::AnswerBox(const MessageBox& box) {
    Output& out = ctx_.out;
    if (IsError(box)) {
        // Reported once, by whoever waits for the core: the command's failure line.
        if (!pending_box_) {
            pending_box_ = true;
            failure_box_ = box;
        }
        return platform::kIdOk;
    }
    const std::string line = BoxLine(box);
    if ((box.flags & 0x0Fu) != platform::kMbOkCancel) {
        out.Message(line);
        if (out.json())
            out.Emit(JsonLine("message").Str("caption", box.caption).Str("text", box.text));
        return platform::kIdOk;
    }
    const int answer =
        AnswerQuestion(box, ctx_.opt.yes, ctx_.stdin_terminal, std::cin, out, question_refused_,
                       [this]() { return AwaitInput(ctx_.interrupted); });
    question_cancelled_ = answer != platform::kIdOk;
    // Ctrl-C ends the terminal's read: the question was not answered but interrupted.
    question_interrupted_ = question_cancelled_ && *ctx_.interrupted != 0;
    if (question_interrupted_ && ctx_.stdin_terminal && !ctx_.opt.yes) out.EndPrompt();
    return answer;
}

int Session::TakeBoxFailure(int code) {
    pending_box_ = false;
    return ctx_.out.Fail(code, BoxLine(failure_box_));
}

}  // namespace cli
