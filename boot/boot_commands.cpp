#include "boot/boot_commands.h"

#include "firmware/hex_file.h"
#include "firmware/page_image.h"
#include "platform/env.h"

void button_FileCheck_process(platform::Wnd wnd) {
    ConPrintf("WM_BUTTON_BOOT_FCHECK\n");
    platform::Ui& ui = platform::UI();
    if (g_hex.hex_file_open == 0) {
        ui.ShowMessageBox(wnd, "Open *.hex file first!", "Error", platform::kMbIconWarning);
        return;
    }
    if (HexFileCheck() != 0) {
        ui.ShowMessageBox(wnd, "*.hex file valid!", "Okay", platform::kMbIconInformation);
    } else {
        ui.ShowMessageBox(wnd, "*.hex file Error!!!", "Error", platform::kMbIconError);
    }
}
