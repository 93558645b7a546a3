#pragma once
// The settings file: COM port and baud rate kept between runs.
#include <cstdint>

struct SettingsState {
    uint32_t settings_com = 0;
    uint32_t settings_baudrate = 0;
    uint8_t settings_valid = 0;
    // "reconnect 0" turns the option off; a file without the line (an older one) keeps it on.
    uint8_t settings_reconnect = 1;
    void Reset() { *this = SettingsState{}; }
};
extern SettingsState g_settings;

void LoadSettings();
void SaveSettings();
