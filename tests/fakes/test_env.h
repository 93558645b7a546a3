#pragma once
// Installs the fakes and gives every concern a fresh state; brings the core's headers along.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/com_page.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/startup.h"
#include "boot/bootloader.h"
#include "chart/chart.h"
#include "page/page.h"
#include "device/wiring.h"
#include "boot/flash_dump.h"
#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "firmware/ihex_line.h"
#include "firmware/page_image.h"
#include "generator/autoread.h"
#include "generator/gen_commands.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "platform/work_folders.h"
#include "serial/com_log.h"
#include "serial/link_controls.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "serial/reg_console.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/fake_system.h"
#include "tests/fakes/fake_ui.h"

using Strings = std::vector<std::string>;

namespace fakes {

// Resets the state of every concern of the core.
void ResetCoreState();

// Turns the log on into a scratch file that the test reads back (closing any log before).
void StartScratchLog();
// Everything written to the log so far.
std::string ScratchLogBytes();

// A fresh folder under the test temp folder, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes bytes to a file of the folder and returns its full path.
    std::string Write(const std::string& name, const std::string& bytes) const;
    static std::string Read(const std::string& path);

  private:
    std::string path_;
};

class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetEnv(platform::Env{&ui, &serial, &system, &console});
        ResetCoreState();
    }
    void TearDown() override {
        ResetCoreState();
        platform::SetEnv(platform::Env{});
    }
    // A command of the page, through its router.
    bool Command(uint16_t id, uint16_t code = platform::kBnClicked) {
        return PageCommand(page, platform::MakeWParam(id, code), nullptr);
    }
    // Forgets what was written, printed, shown and set so far.
    void Forget();
    // Forget(), then a command that the router must take.
    void Click(uint16_t id, uint16_t code = platform::kBnClicked) {
        Forget();
        EXPECT_TRUE(Command(id, code)) << id;
    }
    // The boxes shown, each "caption|text|flags"; each must be owned by the page.
    std::vector<std::string> Boxes();

    FakeUi ui;
    FakeSerial serial;
    FakeSystem system;
    FakeConsole console;
    platform::Wnd page = ui.NewWindow("page");
};

// Both pages' controls and the port COM15 open, as COM Start leaves them.
class PageTest : public CoreTest {
  protected:
    void SetUp() override;
};

}  // namespace fakes
