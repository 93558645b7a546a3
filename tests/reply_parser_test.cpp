#include "tests/fakes/test_env.h"

namespace {

using G = GenPageHandles;

// The device flags, shown as four digits: bootloader, PWM, DC control, search always.
uint8_t* const kFlags[] = {&g_dev.uCisBootloader, &g_dev.pwm_on, &g_dev.pwm_ctl_on,
                           &g_dev.search_always_on};

class ReplyParserTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        const std::pair<platform::Wnd G::*, const char*> named[] = {
            {&G::hWndPwmOnOff, "PwmOnOff"}, {&G::hWndCtlOnOff, "CtlOnOff"},
            {&G::hWndFreq, "Freq"},         {&G::hWndDuty, "Duty"},
            {&G::hWndSearchAlways, "Srch"}, {&G::hWndFmax, "Fmax"},
            {&G::hWndFmin, "Fmin"},         {&G::hWndVmin, "Vmin"},
            {&G::hWndAutoRead, "AutoRead"}, {&G::hWndAntVpeak, "Vpeak"},
            {&G::hWndAntIpeak, "Ipeak"},    {&G::hWndVsupply, "Vsupply"},
            {&G::hWndAntIavg, "Iavg"},      {&G::hWndAntPavg, "Pavg"},
            {&G::hWndPcbTemp, "PcbTemp"},   {&G::hWndTempThresh, "Thresh"},
            {&G::hWndHwVersion, "Hw"},      {&G::hWndFwVersion, "Fw"}};
        for (const auto& [member, name] : named) g_gen.*member = ui.NewWindow(name);
        g_link_ui.hWndComText = ui.NewWindow("ComText");
    }

    // The reply lies in a buffer of exactly its size, so a read past its NUL is caught.
    void Parse(const std::string& reply) {
        std::vector<char> buf(reply.begin(), reply.end());
        buf.push_back('\0');
        ParseDeviceReply(buf.data(), static_cast<uint32_t>(buf.size()));
    }

    // Every text set, in order, as "control=text|control=text".
    std::string TextsSet() {
        std::string out;
        for (const auto& [w, text] : ui.set_texts)
            out += (out.empty() ? "" : "|") + ui.controls[w].cls + "=" + text;
        return out;
    }

    std::string ComText() { return ui.Text(g_link_ui.hWndComText); }
};

TEST_F(ReplyParserTest, EachKnownStringFillsItsFieldsFlagsAndConsole) {
    struct Case {
        std::string reply;
        const char* texts;  // see TextsSet()
        // Exact bytes; "+tail": "known string found: ", the reply's row and tail; "*": not
        // looked at.
        std::string console;
        bool appended;                // the whole reply went to the text area
        const char* before = "0100";  // flags, see kFlags
        const char* after = "0100";
    };
    const std::string F = "known string found: ";  // then what is left of the reply
    const Case cases[] = {
        {"\nLum_Rax_Gen V2.3\r\n", "Fw=Lum_Rax_Gen V2.3\r\n",
         "firmware info:\nLum_Rax_Gen V2.3\r\n\n", true, "1100", "0100"},
        {"\nBootloader for ATmega1284P\n", "Fw=Bootloader for ATmega1284P\n|AutoRead=AutoRead ON",
         "firmware info:\nBootloader for ATmega1284P\n\nuCisBootloader = 1\n", true, "0100",
         "1100"},
        // The firmware row wins over the bootloader row.
        {"\nLum_Rax_Gen V2.3 Bootloader for m1284\n", "Fw=Lum_Rax_Gen V2.3 Bootloader for m1284\n",
         "firmware info:\nLum_Rax_Gen V2.3 Bootloader for m1284\n\n", true, "1100", "0100"},
        {"\nLum_Rax, HW Rev 3\n", "Hw=Lum_Rax, HW Rev 3\n",
         "uCisBootloader = 0\nhardware info:\nLum_Rax, HW Rev 3\n\n\n", true, "1100", "0100"},
        // The key at the very end: the search for the clock stays inside the reply.
        {"Lum_Rax, HW Rev", "Hw=Lum_Rax, HW Rev",
         "uCisBootloader = 0\nhardware info:\nLum_Rax, HW Rev\n\n", true},
        {"\nPWM_active = 1\n", "PwmOnOff=PWM OFF", "+ = 1", true, "0000", "0100"},
        {"\nPWM_active = 2\n", "PwmOnOff=PWM ON", "+ = 2", true, "0100", "0000"},
        {"\npwm_ctl_active = 0\n", "CtlOnOff=CTL ON", "+ = 0", true, "0110", "0100"},
        {"\nfrequency 125.00 kHz x x x x 50.0\n", "Freq=125.00kHz|Duty=50.0%",
         "+\nfreq: 125.00kHz\nduty: 50.0%\n", true},
        {"\nVOLT: 12.5 V ISNS: 1.25 A\n", "Vpeak=12.50Vp|Ipeak=1.25Ap",
         "+\nVOLT: 12.50Vp\nISNS: 1.25Ap\n", false},
        {"\npwm_search_always = A5\n", "Srch=AS alw. OFF", "+ = 165", true, "0100", "0101"},
        // Read as hex: 0x165.
        {"\npwm_search_always = 165\n", "Srch=AS alw. ON", "+ = 357", true, "0101", "0100"},
        // Only the first 12 characters of the key count.
        {"\npwm_search_abc 1 A5\n", "Srch=AS alw. OFF", "+ = 165", true, "0100", "0101"},
        {"\nfmax: 150.5\n", "Fmax=150.50kHz", "+\nfmax: 150.50kHz\n", true},
        {"\nfmin: 90\n", "Fmin=90.00kHz", "+\nfmin: 90.00kHz\n", true},
        {"\npwm_search_Vmin: 12\n", "Vmin=12.00 V", "+\nVmin: 12.00 V\n", true},
        {"\nTMP101 = 35.5\n", "PcbTemp=35.5\260C", "+\ntemperature: 35.5\260C\n", false},
        {"\nVINF: 24.5\n", "Vsupply=24.50V", "+\nVINF: 24.50V\n", false},
        {"\nADC2, IANT 1.25\n", "Iavg=1.250A", "+\nIANT: 1.250A\n", false},
        {"\nPower: 12.25\n", "Pavg=12.25W", "+\nPower: 12.25W\n", false},
        {"\nthreshold: 70\n", "Thresh=70 \260C", "+\ntemperature threshold: 70 \260C\n", false},
        {"\nonly PCB temperature\n", "", "+\n", false},
        {"\nVINF: 24.5\r\nPower: 12.25\n", "Vsupply=24.50V|Pavg=12.25W",
         F + "VINF: 24.5\r\nPower: 12.25\n\nVINF: 24.50V\n" + F + "Power: 12.25\n\nPower: 12.25W\n",
         false},
        // An unreadable number shows what an earlier row of the same reply read.
        {"\nfrequency 80.5 kHz x x x x 30\nfmax: abc\n", "Freq=80.50kHz|Duty=30.0%|Fmax=80.50kHz",
         F + "frequency 80.5 kHz x x x x 30\nfmax: abc\n\nfreq: 80.50kHz\nduty: 30.0%\n" + F +
             "fmax: abc\n\nfmax: 80.50kHz\n",
         true},
        {"\nPWM_active = 1 pwm_ctl_active = ?\n", "PwmOnOff=PWM OFF|CtlOnOff=CTL OFF",
         F + "PWM_active = 1 pwm_ctl_active = ?\n = 1" + F + "pwm_ctl_active = ?\n = 1", true,
         "0000", "0110"},
        {"\nvolt: 3.0\n", "", "", true},  // keys are case-sensitive
        {"Lu", "", "", true},
        // A number that does not fit its type is unreadable: the field shows what it would
        // for text that is no number; values that fit read as ever, in every form.
        {"PWM_active = 4294967297", "PwmOnOff=PWM ON", "*", true, "0100", "0000"},
        {"pwm_search_always = 1000000A5", "Srch=AS alw. ON", "*", true},
        {"frequency 1e39 kHz x x x x 50.0", "Freq=0.00kHz|Duty=0.0%", "*", true},
        {"fmax: 3e38", "Fmax=300000000549775575777803994281145270272.00kHz", "*", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        console.out.clear();
        ui.set_texts.clear();
        ui.controls[g_link_ui.hWndComText].text.clear();
        for (int i = 0; i < 4; ++i) *kFlags[i] = static_cast<uint8_t>(c.before[i] - '0');
        g_autoread = {7, 3, 40, 1, 1};  // step, tick, interval, on, read once
        Parse(c.reply);
        EXPECT_EQ(TextsSet(), c.texts);
        if (c.console[0] == '+') {
            EXPECT_EQ(console.out, F + c.reply.substr(1) + c.console.substr(1));
        } else if (c.console != "*") {
            EXPECT_EQ(console.out, c.console);
        }
        EXPECT_EQ(ComText(), c.appended ? c.reply : "");
        std::string flags;
        for (const uint8_t* flag : kFlags) flags += static_cast<char>('0' + *flag);
        EXPECT_EQ(flags, c.after);
        // The bootloader stops AutoRead; the sequencer's other fields are not the parser's.
        const int on = c.after[0] == '1' ? 0 : 1;
        EXPECT_EQ(std::vector<int>({g_autoread.autoread_step, g_autoread.autoread_tick,
                                    g_autoread.autoread_interval, g_autoread.autoread_on,
                                    g_autoread.autoread_read_once}),
                  std::vector<int>({7 * on, 3, 40, on, 1}));
    }
}

// The text area holds at most kComTextLimit characters: an append that reaches the limit
// goes in whole; one character more drops the oldest text down to half the limit.
TEST_F(ReplyParserTest, TextAreaIsBoundExactlyAtItsLimit) {
    const std::size_t half = kComTextLimit / 2;
    struct Case {
        std::size_t have, add, kept;  // kept: the length after the append
    } const cases[] = {
        {kComTextLimit - 10, 10, kComTextLimit},
        {kComTextLimit - 10, 11, half},
        {kComTextLimit, 1, half},
        {0, kComTextLimit - 1, kComTextLimit - 1},
        {5, kComTextLimit, half},  // an oversized text keeps only its newest half
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.have << " + " << c.add);
        ui.controls[g_link_ui.hWndComText].text = std::string(c.have, 'o');
        AppendComText(std::string(c.add - 1, 'n') + "E");
        const std::string& now = ui.controls[g_link_ui.hWndComText].text;
        EXPECT_EQ(now.size(), c.kept);
        EXPECT_EQ(now.back(), 'E');
    }
}

// The hardware identification is cut after its clock, which hides the rest of the reply
// from the later rows; "MHz" is looked for only within the first 255 characters.
TEST_F(ReplyParserTest, HardwareClockIsCutOnlyWithinTheFirst255Characters) {
    const std::string head = "\nLum_Rax, HW Rev 3, ";
    for (const std::size_t clock_at : {std::size_t{21}, std::size_t{252}, std::size_t{253}}) {
        SCOPED_TRACE(clock_at);  // index of the M
        const bool cut = clock_at < 253;
        console.out.clear();
        ui.controls[g_gen.hWndVsupply].text = "-";
        ui.controls[g_link_ui.hWndComText].text.clear();
        const std::string body = head + std::string(clock_at - head.size(), 'x') + "MHz";
        const std::string reply = body + " VINF: 24.0\n";
        Parse(reply);
        const std::string shown = (cut ? body : reply).substr(1);
        EXPECT_EQ(ui.Text(g_gen.hWndHwVersion), shown);
        EXPECT_EQ(ui.Text(g_gen.hWndVsupply), cut ? "-" : "24.00V");
        EXPECT_EQ(ComText(), cut ? body : "");  // a supply voltage keeps it out
        EXPECT_EQ(console.out.rfind("uCisBootloader = 0\nhardware info:\n" + shown + "\n\n", 0),
                  0u);
    }
}

}  // namespace
