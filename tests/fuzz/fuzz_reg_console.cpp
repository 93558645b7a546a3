// The register console with arbitrary text in its Reg: field: the line polling timer and
// the Read and Write buttons, with the port open or closed and the COM log on or off, and the
// polling timer running inside every message box.
//
// Input: operations until the input ends:
//   0 N bytes  the field holds these N bytes (up to the first NUL, as an edit field would)
//   1 poll tick   2 Read   3 Write   4 COM Start / Stop   5 COM log on/off
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/com_page.h"
#include "boot/flash_dump.h"
#include "platform/page.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "serial/reg_console.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using platform::MakeWParam;
using platform::Wnd;

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

void Click(void (*handler)(Wnd, uint32_t, Wnd), uint16_t id, Wnd page) {
    handler(page, MakeWParam(id, platform::kBnClicked), nullptr);
}

// The COM log in memory, so that what each command wrote there can be checked.
class MemoryLog {
  public:
    ~MemoryLog() { Close(); }
    void Toggle() {
        if (g_log.pCOMLogFile == nullptr) {
            g_log.pCOMLogFile = open_memstream(&buf_, &len_);
            FUZZ_CHECK(g_log.pCOMLogFile != nullptr);
        }
        g_log.com_log_active ^= 1;
    }
    std::string Bytes() {
        if (g_log.pCOMLogFile == nullptr) return {};
        std::fflush(g_log.pCOMLogFile);
        return std::string(buf_, len_);
    }
    void Close() {
        ComLogClose();
        std::free(buf_);
        buf_ = nullptr;
        len_ = 0;
    }

  private:
    char* buf_ = nullptr;
    std::size_t len_ = 0;
};

class Console {
  public:
    explicit Console(fuzz::FreshCore& core) : core_(core), page_(core.ui.NewWindow("page")) {
        CreateComPageControls(page_);
        // A message box runs its own message loop, and the polling timer goes on in it.
        core.ui.on_box = [this] {
            if (in_box_) return;
            in_box_ = true;
            const std::size_t writes = core_.serial.writes.size();
            RegLinePollTimerProc(page_);
            FUZZ_CHECK(core_.serial.writes.size() == writes);
            in_box_ = false;
        };
    }
    void Type(std::string text) {
        text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
        core_.ui.SetControlText(g_com.hWndRegEdit, text);
    }
    // Runs one operation and checks what it wrote to the port, the log and the field.
    void Run(void (*op)(Wnd), char kind) {
        const std::string field = core_.ui.Text(g_com.hWndRegEdit);
        const bool open = g_port.com_port_open == 1;
        const std::size_t writes = core_.serial.writes.size();
        const std::string log = log_.Bytes();
        const bool logging = g_log.com_log_active == 1;
        op(page_);

        const std::size_t sent = core_.serial.writes.size() - writes;
        FUZZ_CHECK(sent <= 1);
        if (sent == 0) {
            FUZZ_CHECK(log_.Bytes() == log);
            return;
        }
        FUZZ_CHECK(open);
        const std::string cmd = core_.serial.writes.back();
        // The field's text as the window gives it: 63 characters for a read, 127 for a write.
        const std::size_t room = kind == 'w' ? 127 : 63;
        const std::string text = field.substr(0, room);
        FUZZ_CHECK(cmd == (kind == 'w' ? "cw " : "cr ") + text + "\r");
        FUZZ_CHECK(cmd.size() <= room);
        FUZZ_CHECK(log_.Bytes() == (logging ? log + cmd + "\n" : log));
        if (kind == 'p') {
            // Only a finished line of a register name is sent, and the field is emptied.
            FUZZ_CHECK(text[0] >= 0x30 && text[0] <= 0x7A);
            const std::size_t line_break = text.find_first_of("\r\n");
            FUZZ_CHECK(line_break != std::string::npos && line_break > 0);
            FUZZ_CHECK(core_.ui.Text(g_com.hWndRegEdit).empty());
        }
        if (kind != 'w') {
            FUZZ_CHECK(g_rx.flash_stream_mode == (StartsWith(text, "Mr") ? 1 : 0));
            FUZZ_CHECK(g_flash.flash_stream_len == 0);
        }
    }
    void ComStartStop() { Click(button_COM_StartStop_process, 1036, page_); }
    // Every box says what the user has to do first.
    void CheckBoxes() {
        for (const fakes::ShownBox& box : core_.ui.boxes) {
            FUZZ_CHECK(box.caption == "Error");
            FUZZ_CHECK(StartsWith(box.text, "Open COM port before") ||
                       StartsWith(box.text, "Register text too long"));
        }
    }
    MemoryLog& log() { return log_; }

  private:
    fuzz::FreshCore& core_;
    Wnd page_;
    MemoryLog log_;
    bool in_box_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::FreshCore core;
    fuzz::Input in(data, size);
    Console console(core);
    while (!in.empty()) {
        switch (in.Byte() % 6) {
            case 0:
                console.Type(in.Bytes(in.Byte()));
                break;
            case 1:
                console.Run(RegLinePollTimerProc, 'p');
                break;
            case 2:
                console.Run([](Wnd page) { Click(button_Reg_Read_process, 1039, page); }, 'r');
                break;
            case 3:
                console.Run([](Wnd page) { Click(button_Reg_Write_process, 1040, page); }, 'w');
                break;
            case 4:
                console.ComStartStop();
                break;
            default:
                console.log().Toggle();
                break;
        }
    }
    console.CheckBoxes();
    return 0;
}
