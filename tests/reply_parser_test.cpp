#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/com_page.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "tests/fakes/test_env.h"

namespace {

struct Flags {
    uint8_t boot, pwm, ctl, search;
    bool operator==(const Flags& o) const {
        return boot == o.boot && pwm == o.pwm && ctl == o.ctl && search == o.search;
    }
};

std::ostream& operator<<(std::ostream& os, const Flags& f) {
    return os << "{boot " << int{f.boot} << ", pwm " << int{f.pwm} << ", ctl " << int{f.ctl}
              << ", search " << int{f.search} << "}";
}

Flags CurrentFlags() {
    return {g_dev.uCisBootloader, g_dev.pwm_on, g_dev.pwm_ctl_on, g_dev.search_always_on};
}

void SetFlags(const Flags& f) {
    g_dev.uCisBootloader = f.boot;
    g_dev.pwm_on = f.pwm;
    g_dev.pwm_ctl_on = f.ctl;
    g_dev.search_always_on = f.search;
}

class ReplyParserTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        fakes::CoreTest::SetUp();
        MakeWindows();
    }

    void MakeWindows() {
        struct Named {
            platform::Wnd* handle;
            const char* name;
        };
        const Named named[] = {
            {&g_gen.hWndPwmOnOff, "PwmOnOff"},
            {&g_gen.hWndCtlOnOff, "CtlOnOff"},
            {&g_gen.hWndFreq, "Freq"},
            {&g_gen.hWndDuty, "Duty"},
            {&g_gen.hWndSearchAlways, "SrchAlw"},
            {&g_gen.hWndFmax, "Fmax"},
            {&g_gen.hWndFmin, "Fmin"},
            {&g_gen.hWndVmin, "Vmin"},
            {&g_gen.hWndAutoRead, "AutoRead"},
            {&g_gen.hWndAntVpeak, "AntVpeak"},
            {&g_gen.hWndAntIpeak, "AntIpeak"},
            {&g_gen.hWndVsupply, "Vsupply"},
            {&g_gen.hWndAntIavg, "AntIavg"},
            {&g_gen.hWndAntPavg, "AntPavg"},
            {&g_gen.hWndPcbTemp, "PcbTemp"},
            {&g_gen.hWndTempThresh, "TempThresh"},
            {&g_gen.hWndHwVersion, "HwVersion"},
            {&g_gen.hWndFwVersion, "FwVersion"},
        };
        for (const Named& n : named) *n.handle = ui.NewWindow(n.name);
        g_com.hWndComText = ui.NewWindow("ComText");
    }

    // The reply lies in a buffer of exactly its size, so a read past its NUL is caught.
    void Parse(const std::string& reply) {
        std::vector<char> buf(reply.begin(), reply.end());
        buf.push_back('\0');
        ParseDeviceReply(buf.data(), static_cast<uint32_t>(buf.size()));
    }

    // Every text set, in order, as "control=text".
    std::vector<std::string> TextsSet() {
        std::vector<std::string> out;
        for (const auto& [w, text] : ui.set_texts) out.push_back(ui.controls[w].cls + "=" + text);
        return out;
    }

    std::string ComText() { return ui.Text(g_com.hWndComText); }
};

using Texts = std::vector<std::string>;

struct ReplyCase {
    const char* name;
    std::string reply;
    Flags before;
    Texts texts;          // control=text, in the order set
    std::string console;  // exact bytes
    bool appended;        // the reply went to the text area
    Flags after;
    const char* shortened = nullptr;  // what of the reply was appended, when not all
};

constexpr Flags kStart{0, 1, 0, 0};

TEST_F(ReplyParserTest, EachKnownStringFillsItsFieldsFlagsAndConsole) {
    const std::string pad(260, 'x');
    const ReplyCase cases[] = {
        {"firmware ident",
         "\nLum_Rax_Gen V2.3\r\n",
         {1, 1, 0, 0},
         {"FwVersion=Lum_Rax_Gen V2.3\r\n"},
         "firmware info:\nLum_Rax_Gen V2.3\r\n\n",
         true,
         kStart},
        {"bootloader ident",
         "\nBootloader for ATmega1284P\n",
         kStart,
         {"FwVersion=Bootloader for ATmega1284P\n", "AutoRead=AutoRead ON"},
         "firmware info:\nBootloader for ATmega1284P\n\nuCisBootloader = 1\n",
         true,
         {1, 1, 0, 0}},
        {"both idents take the firmware row only",
         "\nLum_Rax_Gen V2.3 Bootloader for m1284\n",
         {1, 1, 0, 0},
         {"FwVersion=Lum_Rax_Gen V2.3 Bootloader for m1284\n"},
         "firmware info:\nLum_Rax_Gen V2.3 Bootloader for m1284\n\n",
         true,
         kStart},
        {"hardware ident cut after MHz hides what follows",
         "\nLum_Rax, HW Rev 3, 16MHz VINF: 24.0\n",
         {1, 1, 0, 0},
         {"HwVersion=Lum_Rax, HW Rev 3, 16MHz"},
         "uCisBootloader = 0\nhardware info:\nLum_Rax, HW Rev 3, 16MHz\n\n",
         true,
         kStart,
         "\nLum_Rax, HW Rev 3, 16MHz"},
        {"hardware ident without MHz",
         "\nLum_Rax, HW Rev 3\n",
         kStart,
         {"HwVersion=Lum_Rax, HW Rev 3\n"},
         "uCisBootloader = 0\nhardware info:\nLum_Rax, HW Rev 3\n\n\n",
         true,
         kStart},
        {"hardware key at the very end",
         "Lum_Rax, HW Rev",
         kStart,
         {"HwVersion=Lum_Rax, HW Rev"},
         "uCisBootloader = 0\nhardware info:\nLum_Rax, HW Rev\n\n",
         true,
         kStart},
        {"MHz beyond 255 characters is not searched",
         "\nLum_Rax, HW Rev 3, " + pad + " 16MHz VINF: 24.0\n",
         kStart,
         {"HwVersion=Lum_Rax, HW Rev 3, " + pad + " 16MHz VINF: 24.0\n", "Vsupply=24.00V"},
         "uCisBootloader = 0\nhardware info:\nLum_Rax, HW Rev 3, " + pad +
             " 16MHz VINF: 24.0\n\n\nknown string found: VINF: 24.0\n\nVINF: 24.00V\n",
         false,
         kStart},
        {"PWM on",
         "\nPWM_active = 1\n",
         {0, 0, 0, 0},
         {"PwmOnOff=PWM OFF"},
         "known string found: PWM_active = 1\n = 1",
         true,
         {0, 1, 0, 0}},
        {"PWM off",
         "\nPWM_active = 0\n",
         kStart,
         {"PwmOnOff=PWM ON"},
         "known string found: PWM_active = 0\n = 0",
         true,
         {0, 0, 0, 0}},
        {"PWM 2 counts as off",
         "\nPWM_active = 2\n",
         kStart,
         {"PwmOnOff=PWM ON"},
         "known string found: PWM_active = 2\n = 2",
         true,
         {0, 0, 0, 0}},
        {"PWM unreadable counts as off",
         "\nPWM_active = on\n",
         kStart,
         {"PwmOnOff=PWM ON"},
         "known string found: PWM_active = on\n = 0",
         true,
         {0, 0, 0, 0}},
        {"DC control on",
         "\npwm_ctl_active = 1\n",
         kStart,
         {"CtlOnOff=CTL OFF"},
         "known string found: pwm_ctl_active = 1\n = 1",
         true,
         {0, 1, 1, 0}},
        {"DC control off",
         "\npwm_ctl_active = 0\n",
         {0, 1, 1, 0},
         {"CtlOnOff=CTL ON"},
         "known string found: pwm_ctl_active = 0\n = 0",
         true,
         kStart},
        {"frequency and duty",
         "\nfrequency 125.00 kHz x x x x 50.0\n",
         kStart,
         {"Freq=125.00kHz", "Duty=50.0%"},
         "known string found: frequency 125.00 kHz x x x x 50.0\n\nfreq: 125.00kHz\n"
         "duty: 50.0%\n",
         true,
         kStart},
        {"antenna peak",
         "\nVOLT: 12.5 V ISNS: 1.25 A\n",
         kStart,
         {"AntVpeak=12.50Vp", "AntIpeak=1.25Ap"},
         "known string found: VOLT: 12.5 V ISNS: 1.25 A\n\nVOLT: 12.50Vp\nISNS: 1.25Ap\n",
         false,
         kStart},
        {"search always A5",
         "\npwm_search_always = A5\n",
         kStart,
         {"SrchAlw=AS alw. OFF"},
         "known string found: pwm_search_always = A5\n = 165",
         true,
         {0, 1, 0, 1}},
        {"search always 0xa5",
         "\npwm_search_always = 0xa5\n",
         kStart,
         {"SrchAlw=AS alw. OFF"},
         "known string found: pwm_search_always = 0xa5\n = 165",
         true,
         {0, 1, 0, 1}},
        {"search always 165 is hex 0x165",
         "\npwm_search_always = 165\n",
         {0, 1, 0, 1},
         {"SrchAlw=AS alw. ON"},
         "known string found: pwm_search_always = 165\n = 357",
         true,
         kStart},
        {"search always prefix only",
         "\npwm_search_abc 1 A5\n",
         kStart,
         {"SrchAlw=AS alw. OFF"},
         "known string found: pwm_search_abc 1 A5\n = 165",
         true,
         {0, 1, 0, 1}},
        {"fmax",
         "\nfmax: 150.5\n",
         kStart,
         {"Fmax=150.50kHz"},
         "known string found: fmax: 150.5\n\nfmax: 150.50kHz\n",
         true,
         kStart},
        {"fmax unreadable",
         "\nfmax: abc\n",
         kStart,
         {"Fmax=0.00kHz"},
         "known string found: fmax: abc\n\nfmax: 0.00kHz\n",
         true,
         kStart},
        {"fmin",
         "\nfmin: 90\n",
         kStart,
         {"Fmin=90.00kHz"},
         "known string found: fmin: 90\n\nfmin: 90.00kHz\n",
         true,
         kStart},
        {"Vmin",
         "\npwm_search_Vmin: 12\n",
         kStart,
         {"Vmin=12.00 V"},
         "known string found: pwm_search_Vmin: 12\n\nVmin: 12.00 V\n",
         true,
         kStart},
        {"PCB temperature",
         "\nTMP101 = 35.5\n",
         kStart,
         {"PcbTemp=35.5\xB0"
          "C"},
         "known string found: TMP101 = 35.5\n\ntemperature: 35.5\xB0"
         "C\n",
         false,
         kStart},
        {"PCB temperature prefix only",
         "\nTMP100 x 25.0\n",
         kStart,
         {"PcbTemp=25.0\xB0"
          "C"},
         "known string found: TMP100 x 25.0\n\ntemperature: 25.0\xB0"
         "C\n",
         false,
         kStart},
        {"supply voltage",
         "\nVINF: 24.5\n",
         kStart,
         {"Vsupply=24.50V"},
         "known string found: VINF: 24.5\n\nVINF: 24.50V\n",
         false,
         kStart},
        {"antenna average current",
         "\nADC2, IANT 1.25\n",
         kStart,
         {"AntIavg=1.250A"},
         "known string found: ADC2, IANT 1.25\n\nIANT: 1.250A\n",
         false,
         kStart},
        {"antenna power",
         "\nPower: 12.25\n",
         kStart,
         {"AntPavg=12.25W"},
         "known string found: Power: 12.25\n\nPower: 12.25W\n",
         false,
         kStart},
        {"temperature threshold",
         "\nthreshold: 70\n",
         kStart,
         {"TempThresh=70 \xB0"
          "C"},
         "known string found: threshold: 70\n\ntemperature threshold: 70 \xB0"
         "C\n",
         false,
         kStart},
        {"only PCB",
         "\nonly PCB temperature\n",
         kStart,
         {},
         "known string found: only PCB temperature\n\n",
         false,
         kStart},
        {"two measurements in one reply",
         "\nVINF: 24.5\r\nPower: 12.25\n",
         kStart,
         {"Vsupply=24.50V", "AntPavg=12.25W"},
         "known string found: VINF: 24.5\r\nPower: 12.25\n\nVINF: 24.50V\n"
         "known string found: Power: 12.25\n\nPower: 12.25W\n",
         false,
         kStart},
        {"float read earlier in the reply carries over",
         "\nfrequency 80.5 kHz x x x x 30\nfmax: abc\n",
         kStart,
         {"Freq=80.50kHz", "Duty=30.0%", "Fmax=80.50kHz"},
         "known string found: frequency 80.5 kHz x x x x 30\nfmax: abc\n\nfreq: 80.50kHz\n"
         "duty: 30.0%\nknown string found: fmax: abc\n\nfmax: 80.50kHz\n",
         true,
         kStart},
        {"second float read earlier in the reply carries over",
         "\nfrequency 80.5 kHz x x x x 30\nVOLT: 12.5 V ISNS: x\n",
         kStart,
         {"Freq=80.50kHz", "Duty=30.0%", "AntVpeak=12.50Vp", "AntIpeak=30.00Ap"},
         "known string found: frequency 80.5 kHz x x x x 30\nVOLT: 12.5 V ISNS: x\n\n"
         "freq: 80.50kHz\nduty: 30.0%\n"
         "known string found: VOLT: 12.5 V ISNS: x\n\nVOLT: 12.50Vp\nISNS: 30.00Ap\n",
         false,
         kStart},
        {"integer read earlier in the reply carries over",
         "\nPWM_active = 1 pwm_ctl_active = ?\n",
         {0, 0, 0, 0},
         {"PwmOnOff=PWM OFF", "CtlOnOff=CTL OFF"},
         "known string found: PWM_active = 1 pwm_ctl_active = ?\n = 1"
         "known string found: pwm_ctl_active = ?\n = 1",
         true,
         {0, 1, 1, 0}},
        {"keys are case-sensitive", "\nvolt: 3.0\n", kStart, {}, "", true, kStart},
        {"unknown text", "\nOK\n", kStart, {}, "", true, kStart},
        {"shorter than three characters", "Lu", kStart, {}, "", true, kStart},
        {"empty reply", "", kStart, {}, "", true, kStart},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::ResetCoreState();
        MakeWindows();
        console.out.clear();
        ui.set_texts.clear();
        SetFlags(c.before);
        Parse(c.reply);
        EXPECT_EQ(TextsSet(), c.texts);
        EXPECT_EQ(console.out, c.console);
        const std::string whole = c.shortened != nullptr ? c.shortened : c.reply;
        EXPECT_EQ(ComText(), c.appended ? whole : std::string());
        EXPECT_EQ(CurrentFlags(), c.after);
    }
}

TEST_F(ReplyParserTest, RepliesAccumulateInTheTextAreaAndEmptyOnesAddNothing) {
    Parse("\nOK\n");
    Parse("");
    Parse("\nVINF: 1\n");
    Parse("\nfmin: 2\n");
    EXPECT_EQ(ComText(), "\nOK\n\nfmin: 2\n");
    for (const auto& [w, text] : ui.appended) EXPECT_FALSE(text.empty());
}

TEST_F(ReplyParserTest, BootloaderStopsAutoReadButFirmwareIdentLeavesIt) {
    struct Case {
        const char* reply;
        uint8_t boot;
        uint8_t on;
        uint8_t step;
        const char* caption;
    };
    const Case cases[] = {
        {"\nBootloader for ATmega1284P\n", 1, 0, 0, "AutoRead ON"},
        {"\nLum_Rax_Gen V2.3 Bootloader for m1284\n", 0, 1, 7, "AutoRead OFF"},
        {"\nBootloader for m1284 Lum_Rax_Gen V2.3\n", 0, 1, 7, "AutoRead OFF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        g_dev.uCisBootloader = 1 - c.boot;
        g_autoread.autoread_on = 1;
        g_autoread.autoread_step = 7;
        g_autoread.autoread_interval = 40;
        g_autoread.autoread_read_once = 1;
        g_autoread.autoread_tick = 3;
        ui.SetControlText(g_gen.hWndAutoRead, "AutoRead OFF");
        Parse(c.reply);
        EXPECT_EQ(g_dev.uCisBootloader, c.boot);
        EXPECT_EQ(g_autoread.autoread_on, c.on);
        EXPECT_EQ(g_autoread.autoread_step, c.step);
        EXPECT_EQ(ui.Text(g_gen.hWndAutoRead), c.caption);
        // Only the sequencer's on flag and step belong to the parser.
        EXPECT_EQ(g_autoread.autoread_interval, 40);
        EXPECT_EQ(g_autoread.autoread_read_once, 1);
        EXPECT_EQ(g_autoread.autoread_tick, 3);
    }
}

// The hardware identification looks for its clock only within the reply's first 255
// characters: "MHz" must end at index 254 at the latest.
TEST_F(ReplyParserTest, HardwareClockIsCutOnlyWithinTheFirst255Characters) {
    const std::string head = "\nLum_Rax, HW Rev 3, ";
    struct Case {
        std::size_t clock_at;  // index of the M
        bool cut;
    };
    const Case cases[] = {{252, true}, {253, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clock_at);
        console.out.clear();
        ui.controls[g_gen.hWndVsupply].text = "-";
        const std::string body = head + std::string(c.clock_at - head.size(), 'x') + "MHz";
        const std::string reply = body + " VINF: 24.0\n";
        Parse(reply);
        const std::string shown = (c.cut ? body : reply).substr(1);
        EXPECT_EQ(ui.Text(g_gen.hWndHwVersion), shown);
        EXPECT_EQ(ui.Text(g_gen.hWndVsupply), c.cut ? "-" : "24.00V");
        EXPECT_EQ(console.out.substr(0, 19 + 15 + shown.size() + 2),
                  "uCisBootloader = 0\nhardware info:\n" + shown + "\n\n");
    }
}

TEST_F(ReplyParserTest, NullReplyIsIgnored) {
    ParseDeviceReply(nullptr, 0);
    EXPECT_TRUE(ui.set_texts.empty());
    EXPECT_TRUE(ui.appended.empty());
    EXPECT_EQ(console.out, "");
}

class SearchKnownStringTest : public fakes::CoreTest {};

TEST_F(SearchKnownStringTest, FindsTheFirstMatchOfTheKeysLeadingCharacters) {
    struct Case {
        const char* text;
        const char* key;
        uint32_t length;
        uint32_t n;
        bool found;
        uint32_t position;  // starts at 99
    };
    const Case cases[] = {
        {"abc", "a", 0, 1, false, 99},    // length 0: position kept
        {"abc", "a", 3, 0, false, 99},    // n 0: position kept
        {"xxabc", "abc", 5, 3, true, 2},  // at the very end
        {"abab", "ab", 4, 2, true, 0},    // first from the left
        {"xabab", "ab", 5, 2, true, 1},
        {"abc", "x", 3, 1, false, 0},     // not found: position 0
        {"xxab", "abc", 4, 3, false, 0},  // key runs into the NUL
        {"pwm_search_abc", "pwm_search_always", 14, 12, true, 0},
        {"pwm_search_abc", "pwm_search_always", 14, 13, false, 0},
        {"VOLT: 1", "volt", 7, 4, false, 0},  // case-sensitive
        {"ab", "b", 100, 1, true, 1},         // length beyond the NUL
        {"ab", "c", 100, 1, false, 0},
        {"abcabc", "c", 2, 1, false, 0},  // only the first length characters
        {"aab", "ab", 2, 2, true, 1},     // the compare may run past length
        {"ab", "ab", 2, 5, false, 0},     // n longer than the key
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.key + " n=" + std::to_string(c.n));
        std::vector<char> text(c.text, c.text + std::char_traits<char>::length(c.text) + 1);
        uint32_t position = 99;
        EXPECT_EQ(SearchKnownString(text.data(), c.key, c.length, c.n, &position), c.found);
        EXPECT_EQ(position, c.position);
    }
}

}  // namespace
