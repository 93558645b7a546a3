// The settings file holding arbitrary bytes: LoadSettings reads it, the page preselects port
// and baud rate from it, and what shutdown saves loads back the same.
#include <unistd.h>

#include <fstream>

#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::FreshCore core;
    // In memory where there is such a folder: a disk flushes a file rewritten on every close.
    // On this host the backslash of "%s\%s" is an ordinary character of the file name.
    static const std::string folder = [] {
        char dir[] = "/dev/shm/lrx_fuzz_settings_XXXXXX", other[] = "/tmp/lrx_fuzz_XXXXXX";
        const char* made = mkdtemp(dir) != nullptr ? dir : mkdtemp(other);
        FUZZ_CHECK(made != nullptr);
        return std::string(made) + "/Settings";
    }();
    std::snprintf(g_folders.szSettingsPath, sizeof g_folders.szSettingsPath, "%s", folder.c_str());
    const std::string path = folder + "\\Lum_Rax.setup";
    const std::string content(reinterpret_cast<const char*>(data), size);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;

    LoadSettings();
    const uint32_t com = g_settings.settings_com, baud = g_settings.settings_baudrate;
    if (g_settings.settings_valid == 1) {
        FUZZ_CHECK(com >= 1 && com <= 40 && baud >= 1200 && baud <= 115200);
    }
    // What is read is the file's first 511 bytes as a text, scanned as "COM%d\nbaudrate %d"
    // (where no digit run is long enough to overflow an int, and sscanf's reading is defined).
    const std::string text = content.substr(0, 511).c_str();
    std::size_t run = 0, longest = 0;
    for (char c : text) longest = std::max(longest, run = c >= '0' && c <= '9' ? run + 1 : 0);
    if (longest <= 9) {
        int want_com = 0, want_baud = 0;
        std::sscanf(text.c_str(), "COM%d\nbaudrate %d", &want_com, &want_baud);
        FUZZ_CHECK(com == static_cast<uint32_t>(want_com));
        FUZZ_CHECK(baud == static_cast<uint32_t>(want_baud));
    }
    // Start-up preselects from it, shutdown saves the selection, the next start finds it.
    CreateComPageControls(core.page);
    const uint8_t port = g_port.com_port_number;
    const int32_t rate = g_port.com_baudrate;
    const int row = core.ui.ComboGetSelection(g_link_ui.hWndBaudSelect);
    FUZZ_CHECK(port >= 1 && port <= 40 && row >= 0 && rate == baudrate_table[row]);
    SaveSettings();
    g_settings.Reset();
    LoadSettings();
    FUZZ_CHECK(g_settings.settings_valid == 1 && g_settings.settings_com == port);
    FUZZ_CHECK(g_settings.settings_baudrate == static_cast<uint32_t>(rate));
    std::remove(path.c_str());
    return 0;
}
