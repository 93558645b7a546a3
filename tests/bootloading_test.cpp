// Firmware updates against the simulated generator's bootloader: the boot buttons, the
// transfer's steps, replies and time-out, with the receive timer driven tick by tick.

#include <map>
#include <memory>

#include "sim/sim_port.h"
#include "tests/fakes/test_env.h"

namespace {

using platform::Wnd;

const char* const kFinished = "AVR reports bootloading is finished!";
const char* const kDeviceError = "AVR bootloader error message!";
const char* const kEndTooEarly =
    "AVR reports bootloading is finished,\nbut we don't think so!!!\n"
    "lines_sent < ihex_line_num_max_app";
const char* const kNoEnd =
    "AVR did not report the end of bootloading\nafter the end-of-file line!\nNothing more is sent.";
// The ATmega328P fixture: 0x4F3A bytes in lines of 16, then the end record.
constexpr uint32_t kLines = (0x4F3A + 15) / 16 + 1;

class BootloadingTest : public fakes::CoreTest {
  protected:
    // A device in its bootloader with an erased flash; the fixture loaded, COM Start.
    void Start(const char* fixture = "atmega328p_app", sim::Faults faults = {}) {
        fakes::ResetCoreState();
        Forget();
        sim::Scenario s;
        s.firmware = sim::Firmware::kBootloader;
        s.flash = sim::FlashContent::kBlank;
        s.chip = fixture[6] == '1' ? sim::Chip::kAtmega1284P : sim::Chip::kAtmega328P;
        s.faults = std::move(faults);
        dev_ = std::make_unique<sim::Device>(s);
        port_ = std::make_unique<sim::SimSerialPort>(*dev_);
        platform::SetEnv(platform::Env{&ui, port_.get(), &system, &console});
        CreateComPageControls(page);
        g_chip.chip_index = static_cast<uint8_t>(s.chip);
        std::snprintf(g_folders.szBinPath, sizeof g_folders.szBinPath, "%s", dir_.path().c_str());
        ui.dialog_answers.push_back(std::string(LRX_FIXTURES "/") + fixture + ".hex");
        Command(1064);
        ASSERT_EQ(g_image.hex_file_valid, 1u);
        Command(1036);
        fakes::StartScratchLog();
    }
    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i, ++ticks_) {
            port_->Tick();
            ReceiveTimerProc(page);
        }
    }
    std::string LastBox() { return ui.boxes.empty() ? "" : ui.boxes.back().text; }
    // Lines the port was given, one entry each, starting with the record's colon.
    std::size_t RecordsWritten() {
        std::size_t n = 0;
        for (const std::string& w : port_->writes()) n += !w.empty() && w[0] == ':';
        return n;
    }

    fakes::ScratchDir dir_;
    std::unique_ptr<sim::Device> dev_;
    std::unique_ptr<sim::SimSerialPort> port_;
    uint32_t ticks_ = 0;
};

TEST_F(BootloadingTest, FixturesAreWrittenWholeAndReportedFinished) {
    for (const char* fixture : {"atmega328p_app", "atmega1284p_app"}) {
        SCOPED_TRACE(fixture);
        Start(fixture);
        ticks_ = 0;
        Command(1066);  // Go!, answered OK
        while (ticks_ < 100000 && g_boot.process_state_bootloader != 0) Tick();
        const uint32_t lines = g_image.ihex_line_num_max_app;
        // The application section as a fully programmed device holds it.
        const std::string ref =
            fakes::ScratchDir::Read(std::string(LRX_FIXTURES "/") + fixture + ".ref");
        std::string want(dev_->flash().boot_start(), '\xFF');
        want.replace(0, ref.size(), ref);
        const auto& flash = dev_->flash().bytes();
        EXPECT_EQ(std::string(flash.begin(), flash.begin() + dev_->flash().boot_start()), want);
        // Asked, told to keep the power, told of the end; the time said as the clock has it.
        EXPECT_NE(console.out.find("WM_BUTTON_BOOT_GO\nprocess_state_bootloader = 1\n"
                                   "Bootloading started: 14h07m09\r\nDo NOT remove power or "
                                   "connection to device!!!\r\nlines_sent: 0\n"),
                  std::string::npos);
        EXPECT_EQ(Boxes(), (Strings{"|Flash erased?\nStart Bootloader?|33",
                                    "Bootloading started!|Do NOT remove power or connection to "
                                    "device!!!|64",
                                    std::string("Bootloading finished|") + kFinished + "|64"}));
        EXPECT_EQ(RecordsWritten(), lines);
        const std::string n = std::to_string(lines);
        EXPECT_EQ(ui.Text(g_com.hWndProgress), "lines: " + n + " / " + n);
        EXPECT_NE(console.out.find("wrote " + n + " of " + n + " lines\n"), std::string::npos);
        // The records sent are echoed from the 1002nd on, as the file has them.
        const std::string hex =
            fakes::ScratchDir::Read(std::string(LRX_FIXTURES "/") + fixture + ".hex");
        std::size_t at = 0;
        for (int i = 0; i < 1001; ++i) at = hex.find(':', at + 1);
        EXPECT_NE(console.out.find("lines_sent: 1000\nuC_reply: "), std::string::npos);
        EXPECT_NE(console.out.find("lines_sent: 1001\nsent: " + hex.substr(at, 45) + "\n"),
                  std::string::npos);
        // Every line is a 10 ms tick to send, one to hear the letter, one silent one.
        EXPECT_LE(ticks_, lines * 4 + 10);
    }
}

TEST_F(BootloadingTest, DeviceRepliesSteerTheTransfer) {
    struct Case {
        std::map<uint32_t, char> letters;  // by record ordinal
        std::string box;
        uint32_t lines_sent;  // when the transfer ended
        uint32_t records;     // written to the port, resends included
        std::string console;
        std::string outcome;  // in lumrax's words
    };
    const auto error = [](char l) {
        return "uC_reply: " + std::string(1, l) + " : Bootloader, error from uC: " + l +
               "\nuC_msg: " + l + "\n";
    };
    const std::string all = std::to_string(kLines);
    std::map<uint32_t, char> nine_c;  // each of nine lines refused once: 'c' counts per transfer
    for (uint32_t i = 0; i < 9; ++i) nine_c[2 * i] = 'c';
    std::vector<Case> cases = {
        {{{3, 'c'}, {7, 'c'}},
         kFinished,
         kLines,
         kLines + 2,
         error('c'),
         "the device reported the end after " + all + " of " + all + " lines"},
        {nine_c, kDeviceError, 9, 17, error('c'), "the device reported error 'c' at line 9"},
        {{{4, 'W'}},
         "AVR bootloader unknown reply!",
         5,
         5,
         "uC_reply: W : Bootloader, unknown reply from uC: W\nuC_msg: W\n",
         "the device answered line 5 with the unknown letter 'W'"},
        {{{4, 'n'}},
         kEndTooEarly,
         5,
         5,
         "uC_reply: n : Bootloading stopped: 14h07m09\r\nBootloader, uC reports writing flash "
         "finished, wrote 5 of " +
             all + " lines\n",
         "the device reported the end after 5 of " + all + " lines"},
        {{{kLines - 1, 'w'}},
         kNoEnd,
         kLines,
         kLines,
         "uC_reply: w : Bootloader - AVR replies line " + all + " written\n",
         "the device did not report the end after the end-of-file line (" + all + " of " + all +
             " lines)"},
        // A reply without a letter, then silence: 500 ticks after the reply was handed on.
        {{{2, '1'}},
         "AVR bootloader Timeout!",
         3,
         3,
         "AVR bootloader Timeout! Line: 3\n",
         "the device did not answer line 3 within 5 s"},
    };
    for (char l : {'e', 'f', 's', 'x'}) {
        cases.push_back({{{6, l}},
                         kDeviceError,
                         7,
                         7,
                         error(l),
                         std::string("the device reported error '") + l + "' at line 7"});
    }
    for (const Case& k : cases) {
        SCOPED_TRACE(k.console);
        sim::Faults f;
        f.record_letter = k.letters;
        Start("atmega328p_app", f);
        Command(1066);
        uint32_t heard = 0;  // the tick that handed on the reply without a letter
        for (int i = 0; i < 100000 && g_boot.process_state_bootloader != 0; ++i) {
            Tick();
            if (heard == 0 && console.out.find("uC_reply: 1 : ") != std::string::npos)
                heard = ticks_;
        }
        // It arrived the tick before; 500 silent ticks after that one.
        EXPECT_TRUE(heard == 0 || ticks_ - heard == 499u) << ticks_ - heard;
        EXPECT_EQ(LastBox(), k.box);
        EXPECT_EQ(ui.boxes.back().flags,
                  k.box == kFinished ? platform::kMbIconInformation : platform::kMbIconError);
        EXPECT_EQ(g_boot.lines_sent, k.lines_sent);
        EXPECT_EQ(TransferOutcomeText(), k.outcome);
        EXPECT_EQ(RecordsWritten(), k.records);
        EXPECT_NE(console.out.find(k.console), std::string::npos);
        // The log has the lines after the reply's echo.
        const std::size_t logged = k.console.find("Bootloader");
        EXPECT_NE(fakes::ScratchLogBytes().find(
                      k.console.substr(logged == std::string::npos ? 0 : logged)),
                  std::string::npos);
        // Nothing goes out after the end.
        const std::size_t writes = port_->writes().size();
        Tick(10);
        EXPECT_EQ(port_->writes().size(), writes);
    }
}

TEST_F(BootloadingTest, ComStopDuringATransferAsksFirst) {
    Start();
    Command(1066);
    g_autoread.autoread_on = 1;  // measurements must wait for the end of the transfer
    const std::size_t first = port_->writes().size();
    for (int i = 0; i < 30; ++i) {
        Tick();
        AutoReadTimerProc(page);
    }
    for (std::size_t i = first; i < port_->writes().size(); ++i)
        EXPECT_EQ(port_->writes()[i][0], ':') << i;
    ui.answers = {platform::kIdCancel};
    console.out.clear();
    Command(1036);
    EXPECT_EQ(ui.boxes.back().caption + "|" + ui.boxes.back().text,
              "Bootloading in progress...|Stop bootloader?");
    EXPECT_EQ(console.out, "process_state_bootloader = 1\n");
    EXPECT_TRUE(port_->is_open());
    Tick(30);
    EXPECT_GT(g_boot.lines_sent, 10u);  // it went on

    // Actions that would change the lines being sent are refused meanwhile; so is Go!.
    ui.boxes.clear();
    MainWindowCommand(ui.NewWindow("main"), IDM_OPEN);
    for (uint16_t id : {1064, 1065}) Command(id);
    ASSERT_EQ(ui.boxes.size(), 3u);
    for (const fakes::ShownBox& b : ui.boxes)
        EXPECT_EQ((b.caption + "|" + b.text).rfind("Error|Bootloading in progress!\n", 0), 0u);
    EXPECT_EQ(ui.boxes[2].text,
              "Bootloading in progress!\nFile Check is possible again when it ends.");
    ui.controls[g_com.hWndChipSelect].selection = 1;
    Command(1069, platform::kCbnSelEndOk);
    EXPECT_EQ(g_chip.chip_index, 0u);
    EXPECT_EQ(ui.controls[g_com.hWndChipSelect].selection, 0);
    EXPECT_EQ(ui.dialog_owners.size(), 1u);  // only the Load of Start opened the dialog
    ui.SetControlText(g_link_ui.hWndRegEdit, "Sv");
    console.out.clear();
    Command(1066);
    EXPECT_EQ(console.out, "WM_BUTTON_BOOT_GO\nprocess_state_bootloader = 1\n");
    EXPECT_EQ(ui.Text(g_link_ui.hWndRegEdit), "Sv");

    const uint32_t sent = g_boot.lines_sent;
    console.out.clear();
    Command(1036);  // answered OK
    EXPECT_EQ(console.out, "process_state_bootloader = 0\nClosing com port\n");
    EXPECT_FALSE(port_->is_open());
    EXPECT_EQ(ui.Text(g_link_ui.hWndComStartStop), "COM Start");
    EXPECT_EQ(g_boot.lines_sent, sent);
}

TEST_F(BootloadingTest, GoNeedsAnOpenPortAndAValidFileAndAsksFirst) {
    Start();
    const std::tuple<bool, bool, std::string> cases[] = {
        {false, false, "COM?|Open valid COMport!"},
        {true, false, "*.hex file?|Open valid *.hex File!"},
    };
    for (const auto& [port, file, box] : cases) {
        SCOPED_TRACE(box);
        if (port != (g_port.com_port_open == 1)) Command(1036);
        g_image.hex_file_valid = file ? 1 : 0;
        ui.SetControlText(g_link_ui.hWndRegEdit, "Sv");
        console.out.clear();
        Command(1066);
        EXPECT_EQ(ui.boxes.back().caption + "|" + ui.boxes.back().text, box);
        EXPECT_EQ(console.out, "WM_BUTTON_BOOT_GO\nprocess_state_bootloader = 0\n");
        EXPECT_EQ(ui.Text(g_link_ui.hWndRegEdit), "");
    }
    g_image.hex_file_valid = 1;
    ui.answers = {platform::kIdCancel};
    console.out.clear();
    Command(1066);
    EXPECT_EQ(console.out,
              "WM_BUTTON_BOOT_GO\n\r\nWIN info: Bootloader not started\r\n"
              "process_state_bootloader = 0\n");
}

TEST_F(BootloadingTest, EraseAndSwitchAskThenSendTheirCommand) {
    Start();
    const std::tuple<uint16_t, const char*, const char*, std::string, std::string, std::string>
        cases[] = {
            {1071, "WM_BUTTON_BOOT_FERASE\n", "Erase Lum_Rax Flash?",
             "\r\nWIN info: Flash erasing...\r\n", "\r\nWIN info: Flash erasing canceled\r\n",
             "cw Fe\r"},
            {1070, "WM_BUTTON_BOOT_SWITCH\n", "Switch between Bootloader / Application?",
             "\r\nWIN info: Switching...\r\nCheck Firmware (Read <Sv>) version to find out if "
             "Bootloader or Application is active!\r\n",
             "\r\nWIN info: Switching canceled\r\n", "cw Sboot\r"},
        };
    for (const auto& [id, name, question, info, cancelled, command] : cases) {
        SCOPED_TRACE(name);
        if (g_port.com_port_open == 1) Command(1036);
        console.out.clear();
        Command(id);
        EXPECT_EQ(console.out, std::string(name) + "Error: Open COM port!\n");
        EXPECT_EQ(LastBox() + "|" + std::to_string(ui.boxes.back().flags), "Open COM port!|48");

        Command(1036);
        fakes::StartScratchLog();
        g_rx.flash_stream_mode = 1;
        const std::size_t writes = port_->writes().size();
        ui.answers = {platform::kIdCancel, platform::kIdOk};
        for (const std::string& said : {cancelled, info}) {
            console.out.clear();
            ui.SetControlText(g_link_ui.hWndComText, "");
            Command(id);
            EXPECT_EQ(ui.boxes.back().caption + "|" + LastBox(), std::string("|") + question);
            EXPECT_EQ(ui.Text(g_link_ui.hWndComText), said);
        }
        EXPECT_EQ(port_->WrittenSince(writes), command);
        EXPECT_EQ(console.out, name + info + command + "\n");
        EXPECT_EQ(g_rx.flash_stream_mode, 0u);
        EXPECT_EQ(fakes::ScratchLogBytes(), command + "\n");
    }
}

}  // namespace
