#include "serial/reg_console.h"

#include <cstring>
#include <string>

#include "serial/link_controls.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/receive_pump.h"

RegExchange g_reg;

void RegExchangeAnswered(const char* reply, uint32_t flash_bytes) {
    if (!g_reg.pending) return;
    g_reg.pending = false;
    ++g_reg.answers;
    g_reg.reply = reply;
    g_reg.flash_bytes = flash_bytes;
}

namespace {

void Sent(const char* command) {
    g_reg.refused = RegRefusal::kNone;
    g_reg.command = command;
    g_reg.pending = true;
    g_reg.reply.clear();
    g_reg.flash_bytes = 0;
}

// A command buffer holds "cr " or "cw ", the register text, CR and the NUL.
constexpr std::size_t kCommandFrame = 5;

void ReportPortClosed(platform::Wnd wnd, bool reading) {
    g_reg.refused = RegRefusal::kPortClosed;
    if (reading) {
        ConPrintf("Error: Open COM port before reading uC registers!\n");
        platform::UI().ShowMessageBox(wnd, "Open COM port before reading uC registers!", "Error",
                                      platform::kMbIconWarning);
    } else {
        ConPrintf("Error: Open COM port before writing uC registers!\n");
        platform::UI().ShowMessageBox(wnd, "Open COM port before writing uC registers!", "Error",
                                      platform::kMbIconWarning);
    }
}

void ReportTooLong(platform::Wnd wnd, std::size_t buffer_size) {
    const unsigned max = static_cast<unsigned>(buffer_size - kCommandFrame);
    g_reg.refused = RegRefusal::kTooLong;
    g_reg.max_text = max;
    ConPrintf("Error: Register text too long (max. %u characters)!\n", max);
    char msg[64];
    FormatBounded(msg, sizeof msg, "Register text too long (max. %u characters)!", max);
    platform::UI().ShowMessageBox(wnd, msg, "Error", platform::kMbIconWarning);
}

// A read of a register whose name begins with "Mr" makes the device stream its flash.
void SetFlashStreamMode(const std::string& text) {
    if (text.size() >= 2 && text[0] == 'M' && text[1] == 'r') {
        g_rx.flash_stream_mode = 1;
        g_flash.flash_stream_len = 0;
    } else {
        g_rx.flash_stream_mode = 0;
    }
}

void LogCommand(const char* cmd) {
    ComLogText(cmd);
    ComLogText("\n");
}

}  // namespace

void button_Reg_Read_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd) {
    if (platform::HighWord(wParam) != platform::kBnClicked) return;
    char szRdCmndBuf[64] = {};
    const std::string text =
        platform::UI().GetControlText(g_link_ui.hWndRegEdit, sizeof szRdCmndBuf);
    if (g_port.com_port_open == 0) {
        ReportPortClosed(wnd, true);
        return;
    }
    if (!FormatBounded(szRdCmndBuf, sizeof szRdCmndBuf, "cr %s\r", text.c_str())) {
        ReportTooLong(wnd, sizeof szRdCmndBuf);
        return;
    }
    if (!PortWriteText(szRdCmndBuf)) {
        g_reg.refused = RegRefusal::kWriteFailed;
        ShowWriteFailed(wnd);
        return;
    }
    SetFlashStreamMode(text);
    Sent(szRdCmndBuf);
    ConWrite(szRdCmndBuf);
    ConPrintf("\n");
    LogCommand(szRdCmndBuf);
}

void button_Reg_Write_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd) {
    if (platform::HighWord(wParam) != platform::kBnClicked) return;
    char szWrCmndBuf[128] = {};
    const std::string text =
        platform::UI().GetControlText(g_link_ui.hWndRegEdit, sizeof szWrCmndBuf);
    if (g_port.com_port_open == 0) {
        ReportPortClosed(wnd, false);
        return;
    }
    if (!FormatBounded(szWrCmndBuf, sizeof szWrCmndBuf, "cw %s\r", text.c_str())) {
        ReportTooLong(wnd, sizeof szWrCmndBuf);
        return;
    }
    if (!PortWriteText(szWrCmndBuf)) {
        g_reg.refused = RegRefusal::kWriteFailed;
        ShowWriteFailed(wnd);
        return;
    }
    Sent(szWrCmndBuf);
    ConWrite(szWrCmndBuf);
    ConPrintf("\n");
    LogCommand(szWrCmndBuf);
}

void button_ClearScr_process(platform::Wnd, uint32_t wParam, platform::Wnd) {
    if (platform::HighWord(wParam) != platform::kBnClicked) return;
    platform::UI().SetControlText(g_link_ui.hWndComText, "");
}

namespace {

// The text without its line breaks, for the user to mend and end again.
std::string Unended(const char* s) {
    std::string kept;
    for (const char* p = s; *p != '\0'; ++p) {
        if (*p != '\r' && *p != '\n') kept.push_back(*p);
    }
    return kept;
}

// A read of the Reg: field's text once a line break ends it.
void SendEndedLine(platform::Wnd wnd, const std::string& text) {
    platform::Ui& ui = platform::UI();
    const char* s = text.c_str();
    if (s[0] == '\0') return;
    const std::size_t line_break = std::strcspn(s, "\r\n");
    if (s[line_break] == '\0' || line_break == 0) return;  // the user has not finished the line
    const unsigned char first = static_cast<unsigned char>(s[0]);
    if (first < 0x30 || first > 0x7A) return;

    // The field is changed before any box: the box's message loop keeps running this timer.
    if (g_port.com_port_open == 0) {
        ui.SetControlText(g_link_ui.hWndRegEdit, "");
        ReportPortClosed(wnd, true);
        return;
    }
    char szRdCmndBuf[64] = {};
    if (!FormatBounded(szRdCmndBuf, sizeof szRdCmndBuf, "cr %s\r", s)) {
        ui.SetControlText(g_link_ui.hWndRegEdit, Unended(s));
        ReportTooLong(wnd, sizeof szRdCmndBuf);
        return;
    }
    if (!PortWriteText(szRdCmndBuf)) {
        ui.SetControlText(g_link_ui.hWndRegEdit, Unended(s));
        ShowWriteFailed(wnd);
        return;
    }
    SetFlashStreamMode(text);
    ConWrite(szRdCmndBuf);
    LogCommand(szRdCmndBuf);
    ui.SetControlText(g_link_ui.hWndRegEdit, "");
}

// As WM_GETTEXT into the 64-byte read buffer: at most 63 characters.
std::string RegFieldText() {
    return platform::UI().GetControlText(g_link_ui.hWndRegEdit, 64);
}

}  // namespace

void RegLinePollTimerProc(platform::Wnd wnd) {
    SendEndedLine(wnd, RegFieldText());
}

void RegLineEnter(platform::Wnd wnd) {
    SendEndedLine(wnd, RegFieldText() + "\r");
}
