#pragma once
// The one serial port: choice of port and baud rate, opening, closing, COM Start/Stop.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/types.h"

constexpr unsigned RECEIVE_TIMER_ID = 1;
// While a lost port is watched for: a quiet attempt to open it every second.
constexpr unsigned RECONNECT_TIMER_ID = 4;
constexpr unsigned kReconnectIntervalMs = 1000;
constexpr int kBaudRows = 9;
constexpr std::size_t kDevicePathMax = 256;
extern const int32_t baudrate_table[kBaudRows];
extern const uint32_t com_timeout_table[kBaudRows];

struct PortState {
    uint8_t com_port_number = 15;  // 1..40; 0: nothing is opened
    int32_t com_baudrate = 38400;
    uint32_t COM_timeout_max = 5;  // receive idle time-out, 10 ms ticks
    platform::PortHandle port_handle = nullptr;
    uint8_t com_port_open = 0;
    bool fine_timer = false;  // the 1 ms timer resolution is held while the port is open
    // A front end that names its port by a device path (a POSIX tty) sets it here; while it
    // is empty the port is the Windows port COM<com_port_number>.
    char com_device_path[kDevicePathMax] = {};
    // The port that port_handle holds ("COM15" or the path), for messages about it: the
    // choice may change while it is open.
    char open_port_name[kDevicePathMax] = {};
    // "Reconnect when the port returns": after a lost port, reopen it when it is back.
    uint8_t reconnect_enabled = 1;
    uint8_t reconnect_watch = 0;  // a lost port is being watched for
    platform::Wnd reconnect_wnd = nullptr;
    platform::LocalTime lost_at{};
    void Reset() { *this = PortState{}; }
};
extern PortState g_port;

// On failure port_handle stays null; a port that opened but refused its configuration is
// closed again and the system's reason goes to refused.
void OpenComPort(platform::Wnd wnd, std::string* refused = nullptr);
void CloseComPort(platform::Wnd wnd);
// The open port failed under the program (adapter pulled): says so once and closes it as
// COM Stop would. Whatever runs on the port ends here.
void ComPortLost(platform::Wnd wnd);
// The watch for a lost port: every second a quiet attempt to open it (no box, no console line
// while it is not back); once it opens, it goes on as COM Start would and says so.
void ReconnectTimerProc(platform::Wnd wnd);
// Ends the watch (COM Start/Stop, another port or rate, the option off, shutdown).
void StopReconnectWatch();
void button_COM_StartStop_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void ComSelect_process(uint32_t wParam, platform::Wnd lParam);
void BaudSelect_process(uint32_t wParam, platform::Wnd lParam);

// Writes a command's bytes to the open port with one synchronous write. False when nothing
// went out (port closed) or the port did not take every byte; the console then says so.
bool PortWriteText(const char* text);
// The box of a user's command whose write failed; nothing of the command's state changed.
void ShowWriteFailed(platform::Wnd owner);
