#pragma once
// The settings file: COM port and baud rate kept between runs.
#include <cstdint>

// The smallest chart window the settings file restores.
constexpr int kChartMinSize = 200;

struct ChartPlace {
    int x = 0, y = 0, width = 0, height = 0;
    int span = 0;
    uint8_t open = 0;
};

struct SettingsState {
    uint32_t settings_com = 0;
    uint32_t settings_baudrate = 0;
    uint8_t settings_valid = 0;
    // "reconnect 0" turns the option off; a file without the line (an older one) keeps it on.
    uint8_t settings_reconnect = 1;
    // "chart X Y W H SPAN OPEN": the chart window's outer rectangle (W 0: never placed, it
    // opens beside the main window), its span (0 to 3) and whether it was open at the end.
    ChartPlace chart;
    void Reset() { *this = SettingsState{}; }
};
extern SettingsState g_settings;

// The chart line's fields; false (place left as it was) for a line that is not one.
bool ParseChartLine(const char* text, ChartPlace& place);

void LoadSettings();
void SaveSettings();
