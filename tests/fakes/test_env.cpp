#include "tests/fakes/test_env.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fakes {

void ResetCoreState() {
    ComLogClose();
    g_port.Reset();
    g_rx.Reset();
    g_reg.Reset();
    g_log.Reset();
    g_dev.Reset();
    g_readings.Reset();
    g_autoread.Reset();
    g_gen.Reset();
    g_com.Reset();
    g_link_ui.Reset();
    g_folders.Reset();
    g_settings.Reset();
    g_app.Reset();
    g_main.Reset();
    g_boot.Reset();
    g_flash.Reset();
    g_dump.Reset();
    g_chip.Reset();
    g_hex.Reset();
    g_image.Reset();
    chart::g_chart.Clear();
    WireDevice();
}

void StartScratchLog() {
    ComLogClose();
    g_log.pCOMLogFile = std::tmpfile();
    ASSERT_NE(g_log.pCOMLogFile, nullptr);
    g_log.com_log_active = 1;
}

std::string ScratchLogBytes() {
    std::FILE* f = g_log.pCOMLogFile;
    std::rewind(f);
    std::string out;
    for (int ch = std::fgetc(f); ch != EOF; ch = std::fgetc(f)) out += static_cast<char>(ch);
    return out;
}

ScratchDir::ScratchDir() {
    std::string templ = ::testing::TempDir() + "lrx_XXXXXX";
    if (mkdtemp(templ.data()) != nullptr) path_ = templ;
    EXPECT_FALSE(path_.empty());
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::Write(const std::string& name, const std::string& bytes) const {
    const std::string full = path_ + "/" + name;
    std::ofstream(full, std::ios::binary) << bytes;
    return full;
}

std::string ScratchDir::Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void CoreTest::Forget() {
    serial.writes.clear();
    serial.written.clear();
    console.out.clear();
    ui.boxes.clear();
    ui.set_texts.clear();
    ui.appended.clear();
}

std::vector<std::string> CoreTest::Boxes() {
    std::vector<std::string> out;
    for (const ShownBox& b : ui.boxes) {
        EXPECT_EQ(b.owner, page) << b.text;
        out.push_back(b.caption + "|" + b.text + "|" + std::to_string(b.flags));
    }
    return out;
}

void PageTest::SetUp() {
    CoreTest::SetUp();
    CreateComPageControls(page);
    CreateGeneratorPage(page);
    g_port.port_handle = serial.Open("\\\\.\\COM15");
    g_port.com_port_open = 1;
    std::snprintf(g_port.open_port_name, sizeof g_port.open_port_name, "COM15");
}

}  // namespace fakes
