#include "generator/gen_commands.h"

#include "page/control_ids.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "page/page.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/port.h"
#include "serial/link_controls.h"

namespace {

constexpr float kFreqMinKHz = 100.0f;
constexpr float kFreqMaxKHz = 250.0f;
constexpr float kVminLow = 20.0f;
constexpr float kVminHigh = 35.0f;

constexpr char kEepPassword[] = "KTZ73";
constexpr std::size_t kEepPasswordLen = sizeof kEepPassword - 1;
// The device takes the password and the one character after it.
constexpr std::size_t kEepPasswordKeep = kEepPasswordLen + 1;

void Box(Wnd wnd, const char* text, const char* caption, unsigned flags) {
    platform::UI().ShowMessageBox(wnd, text, caption, flags);
}

// Silence while the bootloader runs, clicks only, and an open port.
bool CommandAllowed(Wnd wnd, uint32_t wParam) {
    if (g_dev.uCisBootloader != 0) return false;
    if (platform::HighWord(wParam) != platform::kBnClicked) return false;
    if (g_port.com_port_open == 0) {
        ConPrintf("Error: Open COM port!\n");
        Box(wnd, "Open COM port!", "Error", platform::kMbIconWarning);
        return false;
    }
    return true;
}

// A command that did not fit its buffer is not sent at all: half a command could
// change a register to something nobody asked for.
bool Formatted(Wnd wnd, bool fits) {
    if (!fits) {
        ConPrintf("Error: command too long!\n");
        Box(wnd, "Command too long, nothing was sent!", "Error", platform::kMbIconError);
    }
    return fits;
}

void Echo(const char* cmd) {
    ConWrite(cmd);
}
void NewLine() {
    ConWrite("\n");
}

// Writes a formatted command; a write that failed is told and nothing else happens.
bool Sent(Wnd wnd, const char* cmd) {
    if (PortWriteText(cmd)) return true;
    ShowWriteFailed(wnd);
    return false;
}

// Sends a fixed command, echoes it and ends the console line. False when it did not go out.
bool SendEchoNl(Wnd wnd, const char* text) {
    char cmd[64];
    if (!Formatted(wnd, FormatBounded(cmd, sizeof cmd, "%s", text))) return false;
    if (!Sent(wnd, cmd)) return false;
    Echo(cmd);
    NewLine();
    return true;
}

// Reads an entry box as WM_GETTEXT into a buffer of the given size would, then "%f".
// False, with value 0, when the text does not begin with a number.
bool ReadNumber(Wnd box, std::size_t buffer_size, float& value) {
    const std::string text = platform::UI().GetControlText(box, buffer_size);
    value = 0.0f;
    if (std::sscanf(text.c_str(), "%f", &value) == 1) return true;
    value = 0.0f;
    return false;
}

// Unreadable text gives 0.
float ReadNumber(Wnd box, std::size_t buffer_size) {
    float value = 0.0f;
    ReadNumber(box, buffer_size, value);
    return value;
}

void SetCaption(Wnd w, const char* text) {
    platform::UI().SetControlText(w, text);
}

// The temperature threshold as the whole number sent: truncated toward zero, saturated to
// the int range (a plain conversion out of range is undefined). -2^31 and 2^31 are exact
// floats, so the bounds are exact too.
int TempThresholdToInt(float value) {
    if (value >= 2147483648.0f) return INT_MAX;
    if (value < -2147483648.0f) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

void button_Pwm_OnOff_process(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    if (g_dev.pwm_on == 0) {
        if (!SendEchoNl(wnd, "cw Wo1\r")) return;
        SetCaption(g_gen.hWndPwmOnOff, "PWM OFF");
        g_dev.pwm_on = 1;
    } else {
        if (!SendEchoNl(wnd, "cw Wo0\r")) return;
        SetCaption(g_gen.hWndPwmOnOff, "PWM ON");
        g_dev.pwm_on = 0;
    }
}

void button_PwmSet_read(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    if (!SendEchoNl(wnd, "cr Wf\r")) return;
    ConPrintf("PWM settings read!\n");
}

void button_Pwm_Step_process(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    const char* cmd = nullptr;
    switch (platform::LowWord(wParam)) {
        case id::kFreqDown:
            cmd = "cw Wf-\r";
            break;
        case id::kFreqUp:
            cmd = "cw Wf+\r";
            break;
        case id::kDutyDown:
            cmd = "cw Wd-\r";
            break;
        case id::kDutyUp:
            cmd = "cw Wd+\r";
            break;
        default:
            return;
    }
    if (!SendEchoNl(wnd, cmd)) return;
    ConPrintf("PWM setting done!\n");
}

void button_Pwm_FreqLim_Rd_process(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    ConPrintf("button_Pwm_FreqLim_Rd_process\n");
    char cmd[64];
    if (!Formatted(wnd, FormatBounded(cmd, sizeof cmd, "cr Wl\r"))) return;
    if (!Sent(wnd, cmd)) return;
    Echo(cmd);
}

void button_Pwm_FreqLim_Wr_process(Wnd wnd, uint32_t wParam, Wnd, int selector) {
    if (!CommandAllowed(wnd, wParam)) return;
    const float fmax = ReadNumber(g_gen.hWndFmax, 128);
    const float fmin = ReadNumber(g_gen.hWndFmin, 128);
    // Written so that NaN fails every comparison and is refused.
    const bool valid = fmax >= kFreqMinKHz && fmax <= kFreqMaxKHz && fmin >= kFreqMinKHz &&
                       fmin <= kFreqMaxKHz && fmax > fmin;
    if (!valid) {
        ConPrintf("Error: Out of Range!\n");
        Box(wnd, "Enter valid frequencies (in kHz)", "Error", platform::kMbIconWarning);
        return;
    }
    char cmd[64];
    const bool fits =
        selector == 0 ? FormatBounded(cmd, sizeof cmd, "cw Wlx %.0f\r", static_cast<double>(fmax))
                      : FormatBounded(cmd, sizeof cmd, "cw Wli %.0f\r", static_cast<double>(fmin));
    if (!Formatted(wnd, fits)) return;
    Sent(wnd, cmd);
}

void button_Measure_Read_process(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    g_autoread.autoread_step = 5;
    g_autoread.autoread_read_once = 1;
    // Past any interval: the sequencer runs the step on its next tick.
    g_autoread.autoread_tick = 100;
}

void button_AutoRead_process(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    if (g_autoread.autoread_on == 0) {
        SetCaption(g_gen.hWndAutoRead, "AutoRead OFF");
        g_autoread.autoread_on = 1;
    } else {
        SetCaption(g_gen.hWndAutoRead, "AutoRead ON");
        g_autoread.autoread_on = 0;
    }
}

void button_Pwm_Vlim_Read_process(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    ConPrintf("button_Pwm_Vlim_Read_process\n");
    char cmd[32];
    if (!Formatted(wnd, FormatBounded(cmd, sizeof cmd, "cr Wk\r"))) return;
    if (!Sent(wnd, cmd)) return;
    Echo(cmd);
}

void button_Pwm_Vlim_Write_process(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    const float volts = ReadNumber(g_gen.hWndVmin, 128);
    if (!(volts >= kVminLow && volts <= kVminHigh)) {
        ConPrintf("Error: Out of Range!\n");
        Box(wnd, "Enter valid voltage (20V..35V)", "Error", platform::kMbIconWarning);
        return;
    }
    char cmd[32];
    if (!Formatted(wnd, FormatBounded(cmd, sizeof cmd, "cw Wk %f\r", static_cast<double>(volts))))
        return;
    Sent(wnd, cmd);
}

void button_PwmCtl_OnOff_process(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    if (g_dev.pwm_ctl_on == 0) {
        if (!SendEchoNl(wnd, "cw Wc1\r")) return;
        SetCaption(g_gen.hWndCtlOnOff, "CTL OFF");
        g_dev.pwm_ctl_on = 1;
    } else {
        if (!SendEchoNl(wnd, "cw Wc0\r")) return;
        SetCaption(g_gen.hWndCtlOnOff, "CTL ON");
        g_dev.pwm_ctl_on = 0;
    }
}

void button_Pwm_Srch_now(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    const int answer =
        platform::UI().ShowMessageBox(wnd, "Start Auto Search for optimum PWM frequency?", "",
                                      platform::kMbOkCancel | platform::kMbIconQuestion);
    if (answer != platform::kIdOk) {
        static const char kCanceled[] = "\r\nWIN info: Auto Search start canceled\r\n";
        ConWrite(kCanceled);
        AppendComText(kCanceled);
        return;
    }
    // Sent before anything says it started: the console reads the same either way.
    static const char kCommand[] = "cw Ws1\r";
    if (!Sent(wnd, kCommand)) return;
    static const char kStarted[] = "\r\nWIN info: Auto Search started...\r\n";
    ConWrite(kStarted);
    AppendComText(kStarted);
    ConPrintf("button_Pwm_Srch_now\n");
    Echo(kCommand);
    NewLine();
    Box(wnd, "Auto Search started...\nDo NOT read or write to device!", "Info!",
        platform::kMbIconWarning);
}

void Pwm_Srch_always(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    ConPrintf("Pwm_Srch_always\n");
    // The caption follows the device's next auto-search reply, not this click.
    if (g_dev.search_always_on == 1) {
        if (!SendEchoNl(wnd, "cw Ww0\r")) return;
        Box(wnd, "Auto Search is always OFF!\nSave to Eeprom!", "Info!", platform::kMbIconWarning);
        g_dev.search_always_on = 0;
    } else {
        if (!SendEchoNl(wnd, "cw WwA5\r")) return;
        Box(wnd, "Auto Search is always ON!\nSave to Eeprom!", "Info!", platform::kMbIconWarning);
        g_dev.search_always_on = 1;
    }
}

void button_sys_eep_wr_en_process(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    char entered[32] = {};
    const std::string text = platform::UI().GetControlText(g_gen.hWndEepPassword, sizeof entered);
    std::memcpy(entered, text.data(), std::min(text.size(), sizeof entered - 1));

    if (std::strncmp(entered, kEepPassword, kEepPasswordLen) == 0) {
        if (std::strlen(entered) > kEepPasswordKeep) {
            std::memset(entered + kEepPasswordKeep, 0, sizeof entered - kEepPasswordKeep);
        }
        char cmd[64];
        if (Formatted(wnd, FormatBounded(cmd, sizeof cmd, "cw Se%s\r", entered))) {
            if (!Sent(wnd, cmd)) return;
            Echo(cmd);
            NewLine();
        }
    } else {
        if (!Sent(wnd, "cw Se0\r")) return;
        ConPrintf("Error: invalid password!\n");
        Box(wnd, "Invalid Password!\nEeeprom writing disabled!", "Error", platform::kMbIconWarning);
    }
    ConPrintf("button_sys_eep_wr_en_process\n");
    ConWrite("Entered Password is: ");
    ConWrite(entered);
    ConWrite("\n");
    platform::UI().SetControlText(g_gen.hWndEepPassword, "");
}

void button_PwmSet_save(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    ConPrintf("button_PwmSet_save\n");
    if (!SendEchoNl(wnd, "cw Wesave\r")) return;
    Box(wnd, "Check if settings are saved correctly:\npower up LUM_RAX device and read gain",
        "Info!", platform::kMbIconWarning);
}

void button_Eep_Recall_Defaults(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    ConPrintf("button_Eep_Recall_Defaults\n");
    if (!SendEchoNl(wnd, "cw Efault1\r")) return;
    Box(wnd, "Check big edit window for timer!\nUM_RAX must be powered OFF & ON!", "Info!",
        platform::kMbIconWarning);
}

void button_PwmOfflEdit_En(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    ConPrintf("button_PwmOfflEdit_En\n");
    SendEchoNl(wnd, "cw Wn1\r");
}

void button_TempThresh_Rd(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    ConPrintf("button_TempThresh_Rd\n");
    SendEchoNl(wnd, "cr Pt\r");
}

void button_TempThresh_Wr(Wnd wnd, uint32_t wParam, Wnd) {
    if (!CommandAllowed(wnd, wParam)) return;
    float value = 0.0f;
    // The box holds "-" until the device has been read: that is no threshold to send.
    if (!ReadNumber(g_gen.hWndTempThresh, 64, value) || std::isnan(value)) {
        ConPrintf("Error: Not a number!\n");
        Box(wnd,
            "Enter valid temperature threshold (in \xB0"
            "C)",
            "Error", platform::kMbIconWarning);
        return;
    }
    ConPrintf("button_TempThresh_Wr\n");
    char cmd[64];
    if (!Formatted(wnd, FormatBounded(cmd, sizeof cmd, "cw Pt %d\r", TempThresholdToInt(value))))
        return;
    if (!Sent(wnd, cmd)) return;
    Echo(cmd);
    NewLine();
}
