#pragma once
// One run of the core without its window: the page's controls kept headless, the port
// opened through COM Start, the timers driven by the tick loop, and what crosses the line
// watched so that a command can wait for its answer or give up after the time-out.
#include <csignal>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/headless_ui.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/output_file.h"
#include "cli/tick_loop.h"
#include "platform/console.h"
#include "platform/system.h"
#include "serial/port.h"

namespace cli {

// Wait's result when the line failed and the session waits for its return (reconnect): no
// line has been given.
constexpr int kLineLost = -1;

// A device that has not answered a command within this time has stopped answering: the
// bootloading protocol's 500 receive ticks.
constexpr int64_t kDeviceTimeoutNs = 5000 * kNsPerMs;

struct Context {
    const Options& opt;
    Output& out;
    HeadlessUi& ui;
    TickLoop& ticks;
    PortIo& port;
    platform::System& system;
    platform::Console& console;
    volatile std::sig_atomic_t* interrupted;
    bool stdin_terminal;
};

// What passed the line, as the port and the receive pump's consumers report it.
struct LinkWatch {
    std::vector<std::string> replies;  // complete replies as the parser got them
    std::vector<uint8_t> flash;        // the flash stream, once it has ended
    bool flash_ended = false;
    // When the first command after the last answer was written; -1 while none waits.
    // Replies carry no name of their command, and the receive pump joins replies that
    // follow each other closely: a reply answers every command before it.
    int64_t unanswered_since = -1;
    std::string unanswered_command;
    uint64_t activity = 0;  // commands written, replies and answering bytes received
    // A received byte counts as the answer (a flash stream has no reply frame).
    bool bytes_answer = false;
    // A transfer runs: the core's own reply count-down is the time-out, not this watch, and
    // its lines are not noted.
    bool core_times_out = false;
    // The receive pump reads nothing: a transfer at the answer's pace reads the port itself.
    bool reads_held = false;
};

// Says why the core showed an error box, from its results, and returns the exit code.
using Failure = std::function<int()>;

class Session {
  public:
    explicit Session(Context& ctx);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Builds the page, starts the register polling (and with autoread the AutoRead) timer,
    // the log, selects baud rate and port and presses COM Start. kExitDone, or the exit
    // code of the failure, whose line has been given.
    int Open(bool autoread);
    // The page's controls and the register polling, without a port.
    void BuildPage(bool autoread);
    // Runs the timers until done() holds. Ends early, with its exit code and line, on the
    // device time-out (a command unanswered for 5 s, or 5 s with no command and no reply),
    // a lost line or an error box of the core (failure(), else the box's own words), which
    // win over done(); on Ctrl-C it returns kExitInterrupted without a line.
    int Wait(const std::function<bool()>& done, const Failure& failure = nullptr);
    // The same for at most ns: kExitDone when done() holds or the time is up (the caller
    // tells which), with no device time-out of its own.
    int WaitUpTo(int64_t ns, const std::function<bool()>& done);
    // The Reg: field holds text, then Read or Write is pressed. kExitDone, or kExitUsage
    // when the core refused the text (its line given).
    int RegisterCommand(bool write, const std::string& text);
    // The start-up reads of AutoRead have all been sent and answered (what the answers
    // left out stays unknown), or the bootloader has identified itself.
    bool StartUpReadsDone() const;
    // The reply parser's count of replies when the port was opened: a reading or an
    // identification with a later reply number was reported by this device.
    uint32_t replies_at_open() const { return replies_at_open_; }
    // COM Stop and the log closed; done by the destructor too.
    void Close();
    // With reconnect set, a failed line ends a wait with kLineLost instead of exit 4.
    void set_reconnect(bool on) {
        reconnect_ = on;
        g_port.reconnect_enabled = on ? 1 : 0;
    }
    // After kLineLost: says the loss, lets the core's watch reopen the port once it is back
    // and says so. kExitDone when it is back, or when
    // stop() held first; kExitInterrupted on Ctrl-C.
    int AwaitReturn(const std::function<bool()>& stop);

    // A question of the core was answered Cancel because nobody could be asked.
    bool question_refused() const { return question_refused_; }
    // The last question of the core was answered Cancel, by whoever answered it.
    bool question_cancelled() const { return question_cancelled_; }
    // ... because Ctrl-C came while it was asked.
    bool question_interrupted() const { return question_interrupted_; }
    platform::Wnd page() const { return page_; }
    LinkWatch& watch() { return watch_; }

  private:
    class WatchedPort;
    int AnswerBox(const MessageBox& box);
    int TakeBoxFailure(int code);
    int Run(const std::function<bool()>& done, const Failure& failure, int64_t deadline);

    Context& ctx_;
    LinkWatch watch_;
    std::unique_ptr<WatchedPort> port_;
    platform::Wnd main_ = nullptr;
    platform::Wnd page_ = nullptr;
    bool pending_box_ = false;  // an error box of the core that is yet to be reported
    MessageBox failure_box_;
    uint32_t replies_at_open_ = 0;
    OutputFile log_;
    bool open_ = false;
    bool opened_ = false;  // the port was open at some time
    bool question_refused_ = false;
    bool question_cancelled_ = false;
    bool question_interrupted_ = false;
    bool reconnect_ = false;
};

// The text of a box as one line: its caption first, line breaks as blanks.
std::string BoxLine(const MessageBox& box);
// A question of the core (OK / Cancel): OK with --yes, else the terminal is asked (y/N), and
// without a terminal it is refused: Cancel, with refused set. The question goes to standard
// error with its answer; with --json a question object follows. input_ready, when given, is
// asked before the terminal is read: false (Ctrl-C came first) answers Cancel unread.
int AnswerQuestion(const MessageBox& box, bool yes, bool terminal, std::istream& in, Output& out,
                   bool& refused, const std::function<bool()>& input_ready = nullptr);
// A reply as the user reads it: CR dropped, the framing's line feeds at both ends trimmed.
std::string ReplyText(std::string_view reply);

}  // namespace cli
