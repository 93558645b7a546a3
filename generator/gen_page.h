#pragma once
// The generator page's controls (right part of the page).
#include "platform/types.h"

struct GenPageHandles {
    platform::Font hFontValue = nullptr;
    platform::Wnd hWndPwmOnOff = nullptr, hWndCtlOnOff = nullptr, hWndPwmRead = nullptr;
    platform::Wnd hWndFreq = nullptr, hWndFreqDown = nullptr, hWndFreqUp = nullptr;
    platform::Wnd hWndDuty = nullptr, hWndDutyDown = nullptr, hWndDutyUp = nullptr;
    platform::Wnd hWndAutoSearch = nullptr, hWndSearchAlways = nullptr;
    platform::Wnd hWndFmax = nullptr, hWndFmin = nullptr, hWndFreqLimRead = nullptr;
    platform::Wnd hWndFmaxWrite = nullptr, hWndFminWrite = nullptr;
    platform::Wnd hWndVmin = nullptr, hWndVminRead = nullptr, hWndVminWrite = nullptr;
    platform::Wnd hWndMeasRead = nullptr, hWndAutoRead = nullptr;
    platform::Wnd hWndAntVpeak = nullptr, hWndAntIpeak = nullptr, hWndVsupply = nullptr;
    platform::Wnd hWndAntIavg = nullptr, hWndAntPavg = nullptr, hWndPcbTemp = nullptr;
    platform::Wnd hWndEepPassword = nullptr, hWndEepWrEn = nullptr, hWndPwmSave = nullptr;
    platform::Wnd hWndEepRecall = nullptr, hWndOfflEdit = nullptr;
    platform::Wnd hWndTempThresh = nullptr, hWndTempThreshRead = nullptr;
    platform::Wnd hWndTempThreshWrite = nullptr;
    platform::Wnd hWndHwVersion = nullptr, hWndFwVersion = nullptr;
    void Reset() { *this = GenPageHandles{}; }
};
extern GenPageHandles g_gen;

void CreateGeneratorPage(platform::Wnd page);
// The read-outs back to their start texts: nothing shown is from the device now connected.
void ClearReadouts();
