// The link built and run on its own: it opens and closes the port, frames replies and says
// what became of the port through the consumers it is handed, and knows nothing above it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/env.h"
#include "serial/link_controls.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/fake_system.h"
#include "tests/fakes/fake_ui.h"

namespace {

std::vector<std::string> g_events;

class LinkAloneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetEnv(platform::Env{&ui, &serial, &system, &console});
        g_port.Reset();
        g_rx.Reset();
        g_link_ui.Reset();
        g_link_ui.hWndComStartStop = ui.NewWindow("COM Start");
        g_events.clear();
        g_rx_consumers = RxConsumers::Unbound();
        g_rx_consumers.parse_reply = [](char* reply, uint32_t) {
            g_events.push_back(std::string("reply ") + reply);
        };
        g_rx_consumers.port_opened = [](platform::Wnd) { g_events.push_back("opened"); };
        g_rx_consumers.port_lost = [](platform::Wnd) { g_events.push_back("lost"); };
    }
    void TearDown() override {
        CloseComPort(page);
        g_rx_consumers = RxConsumers::Unbound();
        platform::SetEnv(platform::Env{});
    }
    void Tick(int n) {
        for (int i = 0; i < n; ++i) ReceiveTimerProc(page);
    }

    fakes::FakeUi ui;
    fakes::FakeSerial serial;
    fakes::FakeSystem system;
    fakes::FakeConsole console;
    platform::Wnd page = ui.NewWindow("page");
};

TEST_F(LinkAloneTest, OpensFramesRepliesAndReportsALostPort) {
    button_COM_StartStop_process(page, platform::MakeWParam(1036, platform::kBnClicked), nullptr);
    EXPECT_EQ(g_port.com_port_open, 1);
    EXPECT_EQ(ui.Text(g_link_ui.hWndComStartStop), "COM Stop");
    EXPECT_EQ(g_events, (std::vector<std::string>{"opened"}));

    serial.Feed(
        "\x02"
        "frequency 125.00 kHz\x03");
    Tick(2 + static_cast<int>(g_port.COM_timeout_max));            // the bytes, the pause, the end
    EXPECT_EQ(g_events.back(), "reply \nfrequency 125.00 kHz\n");  // STX and ETX as LF

    serial.fail_read = true;
    Tick(1);
    EXPECT_EQ(g_events.back(), "lost");
    EXPECT_EQ(g_port.com_port_open, 0);
    EXPECT_EQ(ui.boxes.size(), 1u);
}

}  // namespace
