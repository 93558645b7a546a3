#include "app/settings.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/startup.h"
#include "platform/console.h"
#include "platform/text_format.h"
#include "serial/port.h"
#include "platform/work_folders.h"

SettingsState g_settings;

namespace {

constexpr const char* kSettingsFileName = "Lum_Rax.setup";
constexpr std::size_t kSettingsPathSize = 256;
constexpr std::size_t kContentSize = 512;

bool SettingsFilePath(char (&path)[kSettingsPathSize]) {
    return FormatBounded(path, sizeof path, "%s\\%s", g_folders.szSettingsPath, kSettingsFileName);
}

void SkipSpace(const char*& p) {
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
}

// One "%d" field. scanf leaves an out-of-range number undefined, so strtol does the work;
// a number beyond int counts as not parsed.
bool ScanInt(const char*& p, int& value) {
    SkipSpace(p);
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    p = end;
    value = static_cast<int>(v);
    return true;
}

bool ScanLiteral(const char*& p, const char* literal) {
    const std::size_t n = std::strlen(literal);
    if (std::strncmp(p, literal, n) != 0) return false;
    p += n;
    return true;
}

// The content as "COM%d\nbaudrate %d" reads it; a field that does not parse leaves its
// value as it was.
void ParseSettings(const char* text) {
    const char* p = text;
    int number = 0;
    if (!ScanLiteral(p, "COM") || !ScanInt(p, number)) return;
    g_settings.settings_com = static_cast<uint32_t>(number);
    SkipSpace(p);
    if (!ScanLiteral(p, "baudrate") || !ScanInt(p, number)) return;
    g_settings.settings_baudrate = static_cast<uint32_t>(number);
    SkipSpace(p);
    if (!ScanLiteral(p, "reconnect") || !ScanInt(p, number)) return;
    g_settings.settings_reconnect = number == 0 ? 0 : 1;
    SkipSpace(p);
    if (*p != '\0' && !ParseChartLine(p, g_settings.chart))
        ConPrintf(
            "chart line of the settings file not understood - the chart keeps its "
            "defaults\n");
}

bool SettingsInRange() {
    const uint32_t com = g_settings.settings_com;
    const uint32_t baud = g_settings.settings_baudrate;
    return com >= 1 && com <= 40 && baud >= static_cast<uint32_t>(baudrate_table[0]) &&
           baud <= static_cast<uint32_t>(baudrate_table[kBaudRows - 1]);
}

}  // namespace

bool ParseChartLine(const char* text, ChartPlace& place) {
    const char* p = text;
    if (!ScanLiteral(p, "chart")) return false;
    int v[6];
    for (int& field : v)
        if (!ScanInt(p, field)) return false;
    // Beyond any desktop, or a window too small to hold a strip: the line is not trusted.
    const auto coord = [](int c) { return c >= -32768 && c <= 32767; };
    const auto size = [](int s) { return s >= kChartMinSize && s <= 32767; };
    const bool placed = v[2] != 0 || v[3] != 0;
    if (!coord(v[0]) || !coord(v[1]) || (placed && (!size(v[2]) || !size(v[3])))) return false;
    if (v[4] < 0 || v[4] > 3 || v[5] < 0 || v[5] > 1) return false;
    SkipSpace(p);
    if (*p != '\0' && *p != '\n' && *p != '\r') return false;
    place = ChartPlace{v[0], v[1], v[2], v[3], v[4], static_cast<uint8_t>(v[5])};
    return true;
}

void LoadSettings() {
    char path[kSettingsPathSize];
    if (!SettingsFilePath(path)) {
        ConPrintf("settings file path too long (more than %d characters) - settings not loaded!\n",
                  static_cast<int>(kSettingsPathSize - 1));
        return;
    }
    ConPrintf("load settings from file...\n%s\n", path);
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        ConPrintf("no settings file found - will be created when application closes\n");
        return;
    }
    ConPrintf("settings file found:\n%s\n", path);
    // One byte stays free so that the text always ends inside the buffer.
    char content[kContentSize] = {};
    const std::size_t got = std::fread(content, 1, sizeof content - 1, file);
    content[got] = '\0';
    ConPrintf("file content of: %s\n%s", path, content);

    ParseSettings(content);
    if (SettingsInRange()) {
        g_settings.settings_valid = 1;
        ConPrintf("valid settings found:\nCOM%lu\nbaudrate %lu\n",
                  static_cast<unsigned long>(g_settings.settings_com),
                  static_cast<unsigned long>(g_settings.settings_baudrate));
    } else {
        g_settings.settings_valid = 0;
    }
    std::fclose(file);
}

void SaveSettings() {
    ConPrintf("save settings to file... \n");
    char path[kSettingsPathSize];
    if (!SettingsFilePath(path)) {
        ConPrintf("settings file path too long (more than %d characters) - settings not saved!\n",
                  static_cast<int>(kSettingsPathSize - 1));
        return;
    }
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        ConPrintf("settings file fopen error!\n");
        return;
    }
    const long port = g_port.com_port_number;
    const long baud = g_port.com_baudrate;
    ConPrintf("settings file created / overwritten:\n%s\n", path);
    ConPrintf("COM%li\n", port);
    ConPrintf("%li\n", baud);

    char content[kContentSize];
    const ChartPlace& c = g_settings.chart;
    FormatBounded(content, sizeof content,
                  "COM%li\nbaudrate %li\nreconnect %d\nchart %d %d %d %d %d %d\n", port, baud,
                  g_port.reconnect_enabled != 0 ? 1 : 0, c.x, c.y, c.width, c.height, c.span,
                  c.open != 0 ? 1 : 0);
    const std::size_t len = std::strlen(content);
    const bool written = std::fwrite(content, 1, len, file) == len;
    // A settings file that only looks saved would come back as defaults next time.
    if (std::fclose(file) != 0 || !written) ConPrintf("settings file write error!\n");
}
