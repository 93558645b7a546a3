// The settings file holding arbitrary bytes: LoadSettings reads it, the page preselects port
// and baud rate from it, and what shutdown saves loads back the same.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "app/com_page.h"
#include "app/settings.h"
#include "app/startup.h"
#include "serial/port.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// A scratch directory for the run, in memory where there is one: a disk file system flushes
// a file rewritten in place on every close. On this host the backslash of "%s\%s" is an
// ordinary character, so the file is "Settings\Lum_Rax.setup" inside it.
struct ScratchDir {
    ScratchDir() {
        if (mkdtemp(path) == nullptr) {
            std::snprintf(path, sizeof path, "/tmp/lrx_fuzz_settings_XXXXXX");
            FUZZ_CHECK(mkdtemp(path) != nullptr);
        }
    }
    ~ScratchDir() { rmdir(path); }
    char path[40] = "/dev/shm/lrx_fuzz_settings_XXXXXX";
};

const std::string& SettingsFolder() {
    static const ScratchDir dir;
    static const std::string folder = std::string(dir.path) + "/Settings";
    return folder;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// No digit run long enough to overflow an int: there sscanf's reading is defined.
bool NumbersFitInt(const std::string& text) {
    std::size_t run = 0;
    for (char c : text) {
        run = c >= '0' && c <= '9' ? run + 1 : 0;
        if (run > 9) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::FreshCore core;
    const std::string& folder = SettingsFolder();
    std::snprintf(g_folders.szSettingsPath, sizeof g_folders.szSettingsPath, "%s", folder.c_str());
    const std::string path = folder + "\\Lum_Rax.setup";
    const std::string content(reinterpret_cast<const char*>(data), size);
    WriteFile(path, content);

    LoadSettings();
    const uint32_t com = g_settings.settings_com;
    const uint32_t baud = g_settings.settings_baudrate;
    if (g_settings.settings_valid == 1) {
        FUZZ_CHECK(com >= 1 && com <= 40 && baud >= 1200 && baud <= 115200);
    }
    // What is read is the file's first 511 bytes as a text, scanned as "COM%d\nbaudrate %d".
    const std::string text = content.substr(0, 511).c_str();
    if (NumbersFitInt(text)) {
        int want_com = 0, want_baud = 0;
        std::sscanf(text.c_str(), "COM%d\nbaudrate %d", &want_com, &want_baud);
        FUZZ_CHECK(com == static_cast<uint32_t>(want_com));
        FUZZ_CHECK(baud == static_cast<uint32_t>(want_baud));
    }

    // Start-up preselects from it, shutdown saves the selection, the next start finds it.
    CreateComPageControls(core.ui.NewWindow("page"));
    const uint8_t port = g_port.com_port_number;
    const int32_t rate = g_port.com_baudrate;
    FUZZ_CHECK(port >= 1 && port <= 40);
    FUZZ_CHECK(core.ui.ComboGetSelection(g_com.hWndBaudSelect) >= 0);
    FUZZ_CHECK(rate == baudrate_table[core.ui.ComboGetSelection(g_com.hWndBaudSelect)]);
    SaveSettings();
    g_settings.Reset();
    LoadSettings();
    FUZZ_CHECK(g_settings.settings_valid == 1);
    FUZZ_CHECK(g_settings.settings_com == port);
    FUZZ_CHECK(g_settings.settings_baudrate == static_cast<uint32_t>(rate));
    std::remove(path.c_str());
    return 0;
}
