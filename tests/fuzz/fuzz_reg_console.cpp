// The register console with arbitrary text in its Reg: field: the line polling timer and
// the Read and Write buttons, with the port open or closed and the COM log on or off, and the
// polling timer running inside every message box.
//
// Input: operations until the input ends:
//   0 N bytes  the field holds these N bytes (up to the first NUL, as an edit field would)
//   1 poll tick   2 Read   3 Write   4 COM Start / Stop   5 COM log on/off
#include <cstdlib>

#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::FreshCore core;
    CreateComPageControls(core.page);
    // The COM log in memory, so that what each command wrote there can be checked.
    char* log_buf = nullptr;
    std::size_t log_len = 0;
    const auto log = [&] {
        if (g_log.pCOMLogFile != nullptr) std::fflush(g_log.pCOMLogFile);
        return g_log.pCOMLogFile != nullptr ? std::string(log_buf, log_len) : std::string();
    };
    // A message box runs its own message loop, and the polling timer goes on in it.
    bool in_box = false;
    core.ui.on_box = [&] {
        if (in_box) return;
        in_box = true;
        const std::size_t writes = core.serial.writes.size();
        RegLinePollTimerProc(core.page);
        FUZZ_CHECK(core.serial.writes.size() == writes);
        in_box = false;
    };
    fuzz::Input in(data, size);
    while (!in.empty()) {
        const uint8_t op = in.Byte() % 6;
        if (op == 0) {
            const std::string text = in.Bytes(in.Byte());
            core.ui.SetControlText(g_link_ui.hWndRegEdit, text.substr(0, text.find('\0')));
            continue;
        }
        if (op == 4) {
            core.Command(1036);
            continue;
        }
        if (op == 5) {
            if (g_log.pCOMLogFile == nullptr)
                g_log.pCOMLogFile = open_memstream(&log_buf, &log_len);
            g_log.com_log_active ^= 1;
            continue;
        }
        // Runs one operation and checks what it wrote to the port, the log and the field.
        const std::string field = core.ui.Text(g_link_ui.hWndRegEdit);
        const bool open = g_port.com_port_open == 1, logging = g_log.com_log_active == 1;
        const std::size_t writes = core.serial.writes.size();
        const std::string logged = log();
        if (op == 1) {
            RegLinePollTimerProc(core.page);
        } else {
            core.Command(op == 2 ? 1039 : 1040);
        }
        const std::size_t sent = core.serial.writes.size() - writes;
        FUZZ_CHECK(sent <= 1);
        if (sent == 0) {
            FUZZ_CHECK(log() == logged);
            continue;
        }
        FUZZ_CHECK(open);
        // The field's text as the window gives it: 63 characters for a read, 127 for a write.
        const std::string cmd = core.serial.writes.back();
        const std::size_t room = op == 3 ? 127 : 63;
        const std::string text = field.substr(0, room);
        FUZZ_CHECK(cmd == (op == 3 ? "cw " : "cr ") + text + "\r");
        FUZZ_CHECK(cmd.size() <= room);
        FUZZ_CHECK(log() == (logging ? logged + cmd + "\n" : logged));
        if (op == 1) {
            // Only a finished line of a register name is sent, and the field is emptied.
            FUZZ_CHECK(text[0] >= 0x30 && text[0] <= 0x7A);
            const std::size_t line_break = text.find_first_of("\r\n");
            FUZZ_CHECK(line_break != std::string::npos && line_break > 0);
            FUZZ_CHECK(core.ui.Text(g_link_ui.hWndRegEdit).empty());
        }
        if (op != 3) {
            FUZZ_CHECK(g_rx.flash_stream_mode == (text.compare(0, 2, "Mr") == 0 ? 1 : 0));
            FUZZ_CHECK(g_flash.flash_stream_len == 0);
        }
    }
    // Every box says what the user has to do first.
    for (const fakes::ShownBox& box : core.ui.boxes) {
        FUZZ_CHECK(box.caption == "Error");
        FUZZ_CHECK(box.text.rfind("Open COM port before", 0) == 0 ||
                   box.text.rfind("Register text too long", 0) == 0);
    }
    ComLogClose();
    std::free(log_buf);
    return 0;
}
