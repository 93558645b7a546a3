#include "boot/boot_commands.h"

#include "boot/bootloader.h"
#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "generator/gen_page.h"
#include "firmware/page_image.h"
#include "platform/env.h"
#include "page/page.h"
#include "platform/text_format.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "serial/link_controls.h"
#include "platform/work_folders.h"

namespace {

struct BootCommand {
    const char* question;
    const char* info;
    const char* cancelled;
    const char* command;
    bool clear_readouts;
};

const BootCommand kFlashErase = {"Erase Lum_Rax Flash?", "\r\nWIN info: Flash erasing...\r\n",
                                 "\r\nWIN info: Flash erasing canceled\r\n", "Fe", false};
const BootCommand kBootSwitch = {
    "Switch between Bootloader / Application?",
    "\r\nWIN info: Switching...\r\nCheck Firmware (Read <Sv>) version to find out if Bootloader "
    "or Application is active!\r\n",
    "\r\nWIN info: Switching canceled\r\n", "Sboot", true};

void Say(const char* text) {
    ConWrite(text);
    AppendComText(text);
}

void Run(platform::Wnd wnd, uint32_t wParam, const BootCommand& c) {
    if (platform::HighWord(wParam) != platform::kBnClicked) return;
    platform::Ui& ui = platform::UI();
    if (g_port.com_port_open == 0) {
        ConPrintf("Error: Open COM port!\n");
        ui.ShowMessageBox(wnd, "Open COM port!", "Error", platform::kMbIconWarning);
        return;
    }
    if (ui.ShowMessageBox(wnd, c.question, "", platform::kMbIconQuestion | platform::kMbOkCancel) !=
        platform::kIdOk) {
        Say(c.cancelled);
        return;
    }
    if (c.clear_readouts) ClearReadouts();
    Say(c.info);
    char szRdCmndBuf[64] = {};
    if (!FormatBounded(szRdCmndBuf, sizeof szRdCmndBuf, "cw %s\r", c.command)) return;
    g_rx.flash_stream_mode = 0;
    PortWriteText(szRdCmndBuf);
    ConWrite(szRdCmndBuf);
    ConPrintf("\n");
    ComLogText(szRdCmndBuf);
    ComLogText("\n");
}

long BootFlag() {
    return static_cast<long>(g_boot.process_state_bootloader);
}

}  // namespace

void button_BootSwitch_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd) {
    Run(wnd, wParam, kBootSwitch);
}

void button_FlashErase_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd) {
    Run(wnd, wParam, kFlashErase);
}

void button_FileCheck_process(platform::Wnd wnd) {
    ConPrintf("WM_BUTTON_BOOT_FCHECK\n");
    if (RefusedDuringTransfer(wnd, "File Check")) return;
    platform::Ui& ui = platform::UI();
    if (g_hex.hex_file_open == 0) {
        ui.ShowMessageBox(wnd, "Open *.hex file first!", "Error", platform::kMbIconWarning);
        return;
    }
    if (!HexFileStillAsRead()) {
        // The check would vouch for lines that are no longer the file's, and Go! would stream
        // them: the file must be opened (read and checked) again.
        g_image.hex_file_valid = 0;
        ui.SetControlText(g_com.hWndCheckResult, szHexFileError);
        ConPrintf("Error: the hex file has changed since File Open!\n");
        char text[kPathSize + 96];
        FormatBounded(
            text, sizeof text,
            "*.hex file changed since File Open!\n%s\nOpen it again to read and check it.",
            g_hex.szHexFilePath);
        ui.ShowMessageBox(wnd, text, "Error", platform::kMbIconError);
        return;
    }
    const int valid = HexFileCheck();
    ShowHexFileCheck();
    if (valid != 0) {
        ui.ShowMessageBox(wnd, "*.hex file valid!", "Okay", platform::kMbIconInformation);
    } else {
        ui.ShowMessageBox(wnd, "*.hex file Error!!!", "Error", platform::kMbIconError);
    }
}

void button_BootGo_process(platform::Wnd wnd) {
    ConPrintf("WM_BUTTON_BOOT_GO\n");
    platform::Ui& ui = platform::UI();
    if (g_boot.process_state_bootloader == 0) {
        ui.SetControlText(g_link_ui.hWndRegEdit, "");
        if (g_port.com_port_open == 1 && g_port.port_handle != nullptr &&
            g_hex.hex_file_open == 1 && g_image.hex_file_valid == 1) {
            if (ui.ShowMessageBox(wnd, "Flash erased?\nStart Bootloader?", "",
                                  platform::kMbIconQuestion | platform::kMbOkCancel) ==
                platform::kIdOk) {
                g_rx.boot_rx_countdown = kBootRxTimeoutTicks;
                g_boot.process_state_bootloader = 1;
            } else {
                Say("\r\nWIN info: Bootloader not started\r\n");
            }
        } else if (g_port.com_port_open == 0) {
            ui.ShowMessageBox(wnd, "Open valid COMport!", "COM?", platform::kMbIconWarning);
        } else {
            ui.ShowMessageBox(wnd, "Open valid *.hex File!", "*.hex file?",
                              platform::kMbIconWarning);
        }
    }
    ConPrintf("process_state_bootloader = %li\n", BootFlag());
}

bool BootStopQuestion(platform::Wnd wnd) {
    if (g_boot.process_state_bootloader == 0) return true;
    const int answer =
        platform::UI().ShowMessageBox(wnd, "Stop bootloader?", "Bootloading in progress...",
                                      platform::kMbIconQuestion | platform::kMbOkCancel);
    if (answer != platform::kIdOk) {
        ConPrintf("process_state_bootloader = %li\n", BootFlag());
        return false;
    }
    BootloaderStop();
    ConPrintf("process_state_bootloader = %li\n", BootFlag());
    return true;
}

void BootloaderStop() {
    if (g_boot.process_state_bootloader == 0) return;
    g_boot.process_state_bootloader = 0;
    g_boot.outcome = TransferOutcome::kStopped;
}

bool RefusedDuringTransfer(platform::Wnd wnd, const char* action) {
    if (g_boot.process_state_bootloader == 0) return false;
    ConPrintf("Error: bootloading in progress, %s refused!\n", action);
    char text[128];
    FormatBounded(text, sizeof text, "Bootloading in progress!\n%s is possible again when it ends.",
                  action);
    platform::UI().ShowMessageBox(wnd, text, "Error", platform::kMbIconWarning);
    return true;
}

void ChipSelect_process(uint32_t wParam, platform::Wnd) {
    if (platform::HighWord(wParam) != platform::kCbnSelEndOk) return;
    int index = platform::UI().ComboGetSelection(g_com.hWndChipSelect);
    if (index == -1) {
        ConPrintf("Chip selection ERROR!\n");
        index = 0;
    }
    if (index < 0 || index >= kChipRows) return;
    g_chip.chip_index = static_cast<uint8_t>(index);
    const ChipRow& chip = chip_table[index];
    ConPrintf("Selected Chip: %li\n", static_cast<long>(index));
    ConPrintf("ATmega%s\n", chip.name);
    ConPrintf("flash size: 0x%lX bytes; application size: 0x%lX bytes\n",
              static_cast<unsigned long>(chip.flash_size),
              static_cast<unsigned long>(chip.app_size));
    ConPrintf("page size: %i bytes; maximum number of pages: %i\n",
              static_cast<int>(chip.page_size), static_cast<int>(chip.max_pages));
    ConPrintf("max lines in hex file: %li; page size: %li\n", static_cast<long>(chip.max_hex_lines),
              static_cast<long>(chip.page_size));
}

void ShowHexFileCheck() {
    platform::Ui& ui = platform::UI();
    if (g_image.hex_file_valid == 0) {
        ui.SetControlText(g_com.hWndCheckResult, szHexFileError);
        return;
    }
    ui.SetControlText(g_com.hWndCheckResult, szHexFileOkay);
    ui.SetControlText(g_com.hWndStatusLeft, g_hex.szHexFilePath);
    ui.SetControlText(g_com.hWndHexFileName, g_image.szHexFileName);
}

bool HexFileLoad(const char* path) {
    if (HexFileRead(path) == 0) return false;
    ShowHexFileCheck();
    g_hex.hex_file_open = 1;
    return true;
}

void HexFileOpen(platform::Wnd owner) {
    platform::Ui& ui = platform::UI();
    // The file loaded before stays whole until a new one has been read.
    char path[kPathSize] = {};
    if (!ui.OpenFileDialog(owner, path, sizeof path)) return;
    ConWrite(path);
    ConPrintf("\r\n");
    if (!HexFileLoad(path)) {
        ui.ShowMessageBox(owner, g_hex.szReadError, "Error", platform::kMbIconError);
        return;
    }
    char progress[32];
    if (FormatBounded(progress, sizeof progress, "lines: 0 / %li",
                      static_cast<long>(g_image.ihex_line_num_max_app))) {
        ui.SetControlText(g_com.hWndProgress, progress);
    }
}
