#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>

#include "cli/monitor.h"
#include "cli/output.h"
#include "cli/session.h"

namespace {

TEST(CliTextTest, JsonStringsCarryDeviceTextSafely) {
    const std::pair<std::string, std::string> cases[] = {
        {"PWM_active = 1", "\"PWM_active = 1\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line\r\nnext\t.", "\"line\\r\\nnext\\t.\""},
        {std::string("\x02"
                     "x\x03\x7F",
                     4),
         "\"\\u0002x\\u0003\\u007f\""},
        {"26.0\xB0"
         "C",
         "\"26.0\xC2\xB0"
         "C\""},  // Windows-1252 degree sign as UTF-8
        {"\x85\xFF", "\"\\u0085\xC3\xBF\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""},
    };
    for (const auto& [text, json] : cases) EXPECT_EQ(cli::JsonString(text), json) << text;

    cli::JsonLine j("result");
    j.Str("command", "info").Bool("pwm", true).Null("ctl").Int("bytes", 32768);
    j.Number("vpeak_V", "27.30").Number("ipeak_A", "-").Strs("ports", {"/dev/ttyUSB0", "b"});
    EXPECT_EQ(j.Text(),
              "{\"event\":\"result\",\"command\":\"info\",\"pwm\":true,\"ctl\":null,"
              "\"bytes\":32768,\"vpeak_V\":27.30,\"ipeak_A\":null,"
              "\"ports\":[\"/dev/ttyUSB0\",\"b\"]}");
}

TEST(CliTextTest, ReadoutValuesLoseTheirUnitOrAreEmpty) {
    struct Case {
        const char* text;
        const char* unit;
        const char* value;
    };
    const Case cases[] = {
        {"27.30Vp", "Vp", "27.30"},
        {"0.512A", "A", "0.512"},
        {"-3.5\xB0"
         "C",
         "\xB0"
         "C",
         "-3.5"},
        {"12W", "W", "12"},
        {"-", "V", ""},        // not read yet
        {"24.00V", "Vp", ""},  // another box's form
        {"Vp", "Vp", ""},
        {"nanVp", "Vp", ""},
        {"1e5W", "W", ""},
        {"007W", "W", ""},
        {".5W", "W", ""},
        {"5.W", "W", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(cli::ReadoutValue(c.text, c.unit), c.value) << c.text;
    for (const char* n : {"0", "-0.25", "165.60"}) EXPECT_TRUE(cli::IsPlainNumber(n)) << n;

    EXPECT_EQ(cli::IsoTime({2024, 3, 5, 14, 7, 9}), "2024-03-05T14:07:09");
    // Exactly the columns of the header, in its order.
    std::string header = "time";
    for (const cli::MeasurementColumn& c : cli::kMeasurementColumns)
        header += std::string(",") + c.name;
    EXPECT_EQ(header, cli::kCsvHeader);
}

TEST(CliTextTest, RepliesAndBoxesAsLines) {
    const std::pair<const char*, const char*> replies[] = {
        {"\nPWM_active = 1\r\n\n", "PWM_active = 1"},
        {"\nLum_Rax, HW Rev 3, 16MHz\r\nLum_Rax_Gen FW V2.07\r\n\n",
         "Lum_Rax, HW Rev 3, 16MHz\nLum_Rax_Gen FW V2.07"},
        {"\n\n", ""},
        {"", ""},
        {"plain", "plain"},
    };
    for (const auto& [reply, text] : replies) EXPECT_EQ(cli::ReplyText(reply), text) << reply;

    EXPECT_EQ(cli::BoxLine({"Open COM port!", "Error", 0x30}), "Error: Open COM port!");
    EXPECT_EQ(cli::BoxLine({"Erase Lum_Rax Flash?", "", 0x21}), "Erase Lum_Rax Flash?");
    EXPECT_EQ(cli::BoxLine({"Auto Search is always ON!\nSave to Eeprom!", "Info!", 0x30}),
              "Info!: Auto Search is always ON! Save to Eeprom!");
}

std::string FileText(std::FILE* f) {
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
    return s;
}

TEST(CliTextTest, QuestionsAreAnsweredByYesOrTheTerminalOrRefused) {
    struct Case {
        bool yes;
        bool terminal;
        const char* typed;
        int answer;
        bool refused;
        const char* err;
    };
    const Case cases[] = {
        {true, false, "", platform::kIdOk, false, "lumrax: Erase Lum_Rax Flash? -> OK (--yes)\n"},
        {true, true, "n\n", platform::kIdOk, false, "lumrax: Erase Lum_Rax Flash? -> OK (--yes)\n"},
        {false, true, "y\n", platform::kIdOk, false, "lumrax: Erase Lum_Rax Flash? [y/N] "},
        {false, true, "yes\n", platform::kIdOk, false, "lumrax: Erase Lum_Rax Flash? [y/N] "},
        {false, true, "\n", platform::kIdCancel, false, "lumrax: Erase Lum_Rax Flash? [y/N] "},
        {false, true, "", platform::kIdCancel, false, "lumrax: Erase Lum_Rax Flash? [y/N] "},
        {false, false, "y\n", platform::kIdCancel, true,
         "lumrax: Erase Lum_Rax Flash? -> Cancel: no terminal to ask, --yes answers OK\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.yes << c.terminal << c.typed);
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        ASSERT_TRUE(out != nullptr && err != nullptr);
        cli::Output output(true, out, err);
        std::istringstream typed(c.typed);
        bool refused = false;
        const cli::MessageBox box{"Erase Lum_Rax Flash?", "", 0x21};
        EXPECT_EQ(cli::AnswerQuestion(box, c.yes, c.terminal, typed, output, refused), c.answer);
        EXPECT_EQ(refused, c.refused);
        EXPECT_EQ(FileText(err), c.err);
        EXPECT_EQ(FileText(out), std::string("{\"event\":\"question\",\"text\":\"Erase Lum_Rax "
                                             "Flash?\",\"answer\":\"") +
                                     (c.answer == platform::kIdOk ? "ok" : "cancel") + "\"}\n");
        std::fclose(out);
        std::fclose(err);
    }
}

}  // namespace
