#include "serial/port.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "serial/link_controls.h"
#include "platform/work_folders.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/com_log.h"
#include "serial/receive_pump.h"

const int32_t baudrate_table[kBaudRows] = {1200,  2400,  4800,  9600,  14400,
                                           19200, 38400, 57600, 115200};
const uint32_t com_timeout_table[kBaudRows] = {50, 30, 20, 15, 10, 10, 10, 10, 10};
PortState g_port;

namespace {

constexpr std::size_t kDevicePathSize = 32;
constexpr int kComRows = 40;

long HandleValue(platform::PortHandle h) {
    return static_cast<long>(reinterpret_cast<std::intptr_t>(h));
}

// The combo's selection; when it has none, the error line is printed and row 0 is taken.
int ReadSelection(platform::Wnd combo, const char* error_line) {
    int index = platform::UI().ComboGetSelection(combo);
    if (index == -1) {
        ConWrite(error_line);
        index = 0;
    }
    return index;
}

}  // namespace

// The device path of the chosen port: the POSIX path, or "\\.\COM<n>".
bool DevicePath(char (&path)[kDevicePathSize], const char*& device) {
    device = g_port.com_device_path;
    if (device[0] != '\0') return true;
    device = path;
    return FormatBounded(path, sizeof path, "\\\\.\\COM%i", g_port.com_port_number);
}

void OpenComPort(platform::Wnd wnd, std::string* refused) {
    const bool by_path = g_port.com_device_path[0] != '\0';
    if (!by_path && g_port.com_port_number == 0) return;
    // A second handle on the same port would leak the first one and its timer.
    if (g_port.port_handle != nullptr) CloseComPort(wnd);

    const int number = g_port.com_port_number;
    char path[kDevicePathSize];
    const char* device = nullptr;
    const bool fits = DevicePath(path, device);
    if (by_path) {
        ConPrintf("Opening %s\n", device);
    } else {
        if (!fits) {
            ConPrintf("Error opening COM%i: device path too long\n", number);
            return;
        }
        ConPrintf("Opening COM%i\n", number);
    }

    platform::SerialPort& serial = platform::Serial();
    platform::PortHandle h = serial.Open(device);
    if (h == nullptr) {
        g_port.port_handle = nullptr;
        if (by_path) {
            ConPrintf("Error opening %s\n", device);
        } else {
            ConPrintf("Error opening COM%i\n", number);
        }
        return;
    }
    // A port that cannot be set to the line's rate and time-outs would read and write
    // garbage, or block the program: it is not used at all.
    char name[sizeof g_port.open_port_name];
    if (by_path) {
        FormatBounded(name, sizeof name, "%s", device);
    } else {
        FormatBounded(name, sizeof name, "COM%i", number);
    }
    std::string reason;
    if (!serial.Configure(h, g_port.com_baudrate, reason)) {
        serial.Close(h);
        g_port.port_handle = nullptr;
        ConPrintf("Error opening %s: ", name);
        ConWrite(reason);
        ConWrite("\n");
        if (refused != nullptr) *refused = reason.empty() ? "configuration failed" : reason;
        return;
    }
    g_port.port_handle = h;
    std::memcpy(g_port.open_port_name, name, sizeof name);

    const long baud = g_port.com_baudrate;
    char port_line[kDevicePathMax + 32];
    if (by_path) {
        FormatBounded(port_line, sizeof port_line, "%s, %li bps\n", device, baud);
    } else {
        FormatBounded(port_line, sizeof port_line, "COM %li, %li bps\n", static_cast<long>(number),
                      baud);
    }
    ConPrintf("Com port open (handle %li)\n", HandleValue(h));
    ConWrite(port_line);
    if (g_log.com_log_active) {
        ComLogPrintf("Com port open (handle %li)\n", HandleValue(h));
        ComLogText(port_line);
        ComLogText("--------------------------\n\n");
    }
    if (!g_port.fine_timer) {
        platform::Sys().FineTimer(true);
        g_port.fine_timer = true;
    }
    platform::UI().StartTimer(wnd, RECEIVE_TIMER_ID, 10, ReceiveTimerProc);
}

void CloseComPort(platform::Wnd wnd) {
    if (g_port.port_handle == nullptr) return;
    platform::UI().StopTimer(wnd, RECEIVE_TIMER_ID);
    ConWrite("Closing com port\n");
    platform::Serial().Close(g_port.port_handle);
    g_port.port_handle = nullptr;
    if (g_port.fine_timer) {
        platform::Sys().FineTimer(false);
        g_port.fine_timer = false;
    }
}

void ComPortLost(platform::Wnd wnd) {
    if (g_port.port_handle == nullptr && g_port.com_port_open == 0) return;
    const char* name = g_port.open_port_name;
    char text[kDevicePathMax + 64];
    FormatBounded(text, sizeof text, "\r\nWIN info: %s lost (reading failed), port closed\r\n",
                  name);
    ConWrite(text);
    AppendComText(text);
    // Closed before the box: its message loop runs the timers, which must find the port gone.
    platform::Ui& ui = platform::UI();
    ui.SetControlText(g_link_ui.hWndComStartStop, "COM Start");
    CloseComPort(wnd);
    g_port.com_port_open = 0;
    g_rx_consumers.port_lost(wnd);
    // The watch starts before the box, whose message loop runs the timers: it must not wait
    // for the technician's answer.
    const bool watch = g_port.reconnect_enabled != 0;
    if (watch) {
        g_port.reconnect_watch = 1;
        g_port.reconnect_wnd = wnd;
        g_port.lost_at = platform::Sys().Now();
        ui.StartTimer(wnd, RECONNECT_TIMER_ID, kReconnectIntervalMs, ReconnectTimerProc);
    }
    char box[kDevicePathMax + 96];
    FormatBounded(box, sizeof box,
                  watch ? "%s lost!\nThe port has been closed; it is opened again once it is back."
                        : "%s lost!\nThe port has been closed; click COM Start once it is back.",
                  name);
    ui.ShowMessageBox(wnd, box, "Error", platform::kMbIconError);
}

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153L * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

long SecondsOf(const platform::LocalTime& t) {
    return DaysFromCivil(t.year, t.month, t.day) * 86400L + t.hour * 3600L + t.minute * 60L +
           t.second;
}

}  // namespace

void ReconnectTimerProc(platform::Wnd wnd) {
    if (g_port.reconnect_watch == 0 || g_port.port_handle != nullptr) return;
    // A quiet look first: a port that is not back says nothing at all.
    char path[kDevicePathSize];
    const char* device = nullptr;
    if (!DevicePath(path, device)) return;
    platform::SerialPort& serial = platform::Serial();
    const platform::PortHandle probe = serial.Open(device);
    if (probe == nullptr) return;
    serial.Close(probe);
    OpenComPort(wnd);
    if (g_port.port_handle == nullptr) return;  // gone again: keep watching
    StopReconnectWatch();
    platform::UI().SetControlText(g_link_ui.hWndComStartStop, "COM Stop");
    g_port.com_port_open = 1;
    RxPortOpened();

    const platform::LocalTime lost = g_port.lost_at;
    const platform::LocalTime now = platform::Sys().Now();
    long gap = SecondsOf(now) - SecondsOf(lost);
    if (gap < 0) gap = 0;  // the clock was set back meanwhile
    char text[kDevicePathMax + 64];
    FormatBounded(text, sizeof text, "\r\nWIN info: %s back, reopened at %02d:%02d:%02d\r\n",
                  g_port.open_port_name, now.hour, now.minute, now.second);
    ConWrite(text);
    AppendComText(text);
    ComLogPrintf("Port lost at %02d:%02d:%02d, back at %02d:%02d:%02d: %ld s without the port\n",
                 lost.hour, lost.minute, lost.second, now.hour, now.minute, now.second, gap);
    g_rx_consumers.port_opened(wnd);
}

void StopReconnectWatch() {
    if (g_port.reconnect_watch == 0) return;
    g_port.reconnect_watch = 0;
    platform::UI().StopTimer(g_port.reconnect_wnd, RECONNECT_TIMER_ID);
    g_port.reconnect_wnd = nullptr;
}

void button_COM_StartStop_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd) {
    if (platform::HighWord(wParam) != platform::kBnClicked) return;
    platform::Ui& ui = platform::UI();
    StopReconnectWatch();

    if (g_port.com_port_open == 1) {
        ui.SetControlText(g_link_ui.hWndComStartStop, "COM Start");
        CloseComPort(wnd);
        g_port.com_port_open = 0;
        return;
    }

    std::string refused;
    OpenComPort(wnd, &refused);
    if (g_port.port_handle == nullptr) {
        if (refused.empty()) {
            ui.ShowMessageBox(wnd, "No COM Port available!", "Error", platform::kMbIconWarning);
        } else {
            char text[kDevicePathMax + 320];
            const std::string name = g_port.com_device_path[0] != '\0'
                                         ? std::string(g_port.com_device_path)
                                         : "COM" + std::to_string(g_port.com_port_number);
            if (!FormatBounded(text, sizeof text, "%s cannot be set up:\n%s", name.c_str(),
                               refused.c_str())) {
                FormatBounded(text, sizeof text, "%s cannot be set up.", name.c_str());
            }
            ui.ShowMessageBox(wnd, text, "Error", platform::kMbIconError);
        }
        g_port.com_port_open = 0;
        return;
    }
    ui.SetControlText(g_link_ui.hWndComStartStop, "COM Stop");
    g_port.com_port_open = 1;
    RxPortOpened();
    g_rx_consumers.port_opened(wnd);
}

void ComSelect_process(uint32_t wParam, platform::Wnd) {
    if (platform::HighWord(wParam) != platform::kCbnSelEndOk) return;
    const int index = ReadSelection(g_link_ui.hWndComSelect, "COM selection ERROR!\n");
    if (index < 0 || index >= kComRows) return;
    StopReconnectWatch();
    g_port.com_port_number = static_cast<uint8_t>(index + 1);
    ConPrintf("Selected COM %li\n", static_cast<long>(g_port.com_port_number));
}

void BaudSelect_process(uint32_t wParam, platform::Wnd) {
    if (platform::HighWord(wParam) != platform::kCbnSelEndOk) return;
    const int index = ReadSelection(g_link_ui.hWndBaudSelect, "Baud rate selection ERROR!\n");
    if (index < 0 || index >= kBaudRows) return;
    StopReconnectWatch();
    g_port.com_baudrate = baudrate_table[index];
    g_port.COM_timeout_max = com_timeout_table[index];
    ConPrintf("Selected baud rate: %li bps (cb_reply = %li)\n",
              static_cast<long>(g_port.com_baudrate), static_cast<long>(index));
    ConPrintf("COM_timeout_max:    %li * 10 ms\n", static_cast<long>(g_port.COM_timeout_max));
}

bool PortWriteText(const char* text) {
    if (g_port.port_handle == nullptr || text == nullptr) return false;
    const std::size_t len = std::strlen(text);
    if (len == 0) return true;
    std::size_t put = 0;
    const bool ok = platform::Serial().Write(g_port.port_handle,
                                             reinterpret_cast<const uint8_t*>(text), len, put) &&
                    put == len;
    // Even a part of a command makes the device answer (or complain): a reply is due.
    if (ok || put > 0) RxCommandSent();
    if (ok) g_rx_consumers.command_sent(text);
    if (!ok) {
        ConPrintf("Error: writing to %s failed, %lu of %lu bytes sent!\n", g_port.open_port_name,
                  static_cast<unsigned long>(put), static_cast<unsigned long>(len));
    }
    return ok;
}

void ShowWriteFailed(platform::Wnd owner) {
    char text[kDevicePathMax + 64];
    FormatBounded(text, sizeof text, "Sending to %s failed!\nThe command was not carried out.",
                  g_port.open_port_name);
    platform::UI().ShowMessageBox(owner, text, "Error", platform::kMbIconError);
}
