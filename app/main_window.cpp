#include "app/main_window.h"

#include "app/startup.h"
#include "page/control_ids.h"
#include "boot/boot_commands.h"
#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "page/page.h"
#include "generator/gen_commands.h"
#include "platform/env.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/reg_console.h"

const char* const kHelpText =
    "> Select: COM #, Baud Rate => click COM Start\n"
    "> Write register & subregister & further values to 'Reg:'\n"
    "    then click 'Read' or 'Write'\n"
    "> Log serial com if needed: click 'LOG start'\n"
    "    (needs 'log' subfolder in *.exe path)";
MainWindowState g_main;

bool MainWindowCommand(platform::Wnd main, uint16_t id) {
    platform::Ui& ui = platform::UI();
    switch (id) {
        case IDM_HELP:
            ConPrintf("IDM_HELP\n");
            ui.ShowMessageBox(main, kHelpText, "Help", platform::kMbIconInformation);
            return true;
        case IDM_ABOUT:
            ConPrintf("IDM_ABOUT\n");
            ui.ShowMessageBox(main, g_app.szBanner, "Help", platform::kMbIconInformation);
            return true;
        case IDM_OPEN:
            ConPrintf("IDM_OPEN\n");
            if (!RefusedDuringTransfer(main, "File Open")) HexFileOpen(main);
            return true;
        case IDM_EXIT:
            ConPrintf("IDM_EXIT\n");
            AppShutdown(main);
            return true;
        case IDM_RECONNECT:
            g_port.reconnect_enabled = g_port.reconnect_enabled != 0 ? 0 : 1;
            ConPrintf("IDM_RECONNECT\nreconnect = %d\n", g_port.reconnect_enabled);
            if (g_port.reconnect_enabled == 0) StopReconnectWatch();
            return true;
        default:
            return false;
    }
}

namespace {

using Handler = void (*)(platform::Wnd page, uint32_t wParam, platform::Wnd lParam);

struct Route {
    uint16_t id;
    Handler handler;
};

void RouteComStartStop(platform::Wnd page, uint32_t wParam, platform::Wnd lParam) {
    if (platform::HighWord(wParam) == platform::kBnClicked && !BootStopQuestion(page)) return;
    button_COM_StartStop_process(page, wParam, lParam);
}

void RouteComSelect(platform::Wnd, uint32_t wParam, platform::Wnd lParam) {
    ComSelect_process(wParam, lParam);
}

void RouteBaudSelect(platform::Wnd, uint32_t wParam, platform::Wnd lParam) {
    BaudSelect_process(wParam, lParam);
}

void RouteFileOpen(platform::Wnd page, uint32_t, platform::Wnd) {
    ConPrintf("WM_BUTTON_BOOT_FOPEN\n");
    if (!RefusedDuringTransfer(page, "File Open")) HexFileOpen(page);
}

void RouteFileCheck(platform::Wnd page, uint32_t, platform::Wnd) {
    button_FileCheck_process(page);
}

void RouteGo(platform::Wnd page, uint32_t, platform::Wnd) {
    button_BootGo_process(page);
}

void RouteBootSwitch(platform::Wnd page, uint32_t wParam, platform::Wnd lParam) {
    ConPrintf("WM_BUTTON_BOOT_SWITCH\n");
    button_BootSwitch_process(page, wParam, lParam);
}

void RouteFlashErase(platform::Wnd page, uint32_t wParam, platform::Wnd lParam) {
    ConPrintf("WM_BUTTON_BOOT_FERASE\n");
    button_FlashErase_process(page, wParam, lParam);
}

void RouteChipSelect(platform::Wnd page, uint32_t wParam, platform::Wnd lParam) {
    if (platform::HighWord(wParam) == platform::kCbnSelEndOk &&
        RefusedDuringTransfer(page, "Choosing the chip")) {
        // The list shows the chip of the image being sent.
        platform::UI().ComboSetSelection(g_com.hWndChipSelect, g_chip.chip_index);
        return;
    }
    ChipSelect_process(wParam, lParam);
}

void RouteFreqLimWriteMax(platform::Wnd page, uint32_t wParam, platform::Wnd lParam) {
    button_Pwm_FreqLim_Wr_process(page, wParam, lParam, 0);
}

void RouteFreqLimWriteMin(platform::Wnd page, uint32_t wParam, platform::Wnd lParam) {
    button_Pwm_FreqLim_Wr_process(page, wParam, lParam, 1);
}

// The text area, the Reg: field and the labels and read-outs are deliberately absent.
const Route kRoutes[] = {
    {id::kComSelect, RouteComSelect},
    {id::kBaudSelect, RouteBaudSelect},
    {id::kComStartStop, RouteComStartStop},
    {id::kRegRead, button_Reg_Read_process},
    {id::kRegWrite, button_Reg_Write_process},
    {id::kLogStartStop, button_LOG_StartStop_process},
    {id::kClearScr, button_ClearScr_process},
    {id::kFileOpen, RouteFileOpen},
    {id::kFileCheck, RouteFileCheck},
    {id::kBootGo, RouteGo},
    {id::kChipSelect, RouteChipSelect},
    {id::kBootSwitch, RouteBootSwitch},
    {id::kFlashErase, RouteFlashErase},
    {id::kPwmOnOff, button_Pwm_OnOff_process},
    {id::kPwmRead, button_PwmSet_read},
    {id::kFreqDown, button_Pwm_Step_process},
    {id::kFreqUp, button_Pwm_Step_process},
    {id::kDutyDown, button_Pwm_Step_process},
    {id::kDutyUp, button_Pwm_Step_process},
    {id::kFreqLimRead, button_Pwm_FreqLim_Rd_process},
    {id::kFmaxWrite, RouteFreqLimWriteMax},
    {id::kFminWrite, RouteFreqLimWriteMin},
    {id::kMeasRead, button_Measure_Read_process},
    {id::kAutoRead, button_AutoRead_process},
    {id::kVminRead, button_Pwm_Vlim_Read_process},
    {id::kVminWrite, button_Pwm_Vlim_Write_process},
    {id::kCtlOnOff, button_PwmCtl_OnOff_process},
    {id::kAutoSearch, button_Pwm_Srch_now},
    {id::kSearchAlways, Pwm_Srch_always},
    {id::kEepWrEn, button_sys_eep_wr_en_process},
    {id::kPwmSave, button_PwmSet_save},
    {id::kEepRecall, button_Eep_Recall_Defaults},
    {id::kOfflEdit, button_PwmOfflEdit_En},
    {id::kTempThreshRead, button_TempThresh_Rd},
    {id::kTempThreshWrite, button_TempThresh_Wr},
};

}  // namespace

bool PageCommand(platform::Wnd page, uint32_t wParam, platform::Wnd lParam) {
    const uint16_t id = platform::LowWord(wParam);
    for (const Route& route : kRoutes) {
        if (route.id == id) {
            route.handler(page, wParam, lParam);
            return true;
        }
    }
    return false;
}
