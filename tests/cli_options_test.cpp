#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"

namespace {

using cli::Command;

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

TEST(CliOptionsTest, OptionsBeforeOrAfterTheCommand) {
    struct Case {
        const char* line;
        const char* env_port;
        Command command;
        std::vector<std::string> args;
        const char* port;
        int baud_row;
    };
    const Case cases[] = {
        {"info --port /dev/ttyUSB0", "", Command::kInfo, {}, "/dev/ttyUSB0", 6},
        {"--port /dev/x --baud 14400 read Wo Wc", "", Command::kRead, {"Wo", "Wc"}, "/dev/x", 4},
        {"read --port=/dev/x Wo --baud=1200", "", Command::kRead, {"Wo"}, "/dev/x", 0},
        {"write Wo1 -- -3 --json",
         "/dev/env",
         Command::kWrite,
         {"Wo1", "-3", "--json"},
         "/dev/env",
         6},
        {"--port /dev/x monitor", "/dev/env", Command::kMonitor, {}, "/dev/x", 6},
        {"dump --baud 115200", "COM15", Command::kDump, {}, "COM15", 8},
        {"ports", "", Command::kPorts, {}, "", 6},
        {"check fw.hex --chip 1284P", "", Command::kCheck, {"fw.hex"}, "", 6},
        {"info --help", "", Command::kHelp, {}, "", 6},
        {"help", "", Command::kHelp, {}, "", 6},
        {"-h", "", Command::kHelp, {}, "", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        cli::Options o;
        std::string error;
        ASSERT_TRUE(cli::ParseCommandLine(Words(c.line), c.env_port, o, error)) << error;
        EXPECT_EQ(o.command, c.command);
        if (c.command == Command::kHelp) continue;
        EXPECT_EQ(o.args, c.args);
        EXPECT_EQ(o.port, c.port);
        EXPECT_EQ(o.baud_row, c.baud_row);
    }

    cli::Options o;
    std::string error;
    ASSERT_TRUE(cli::ParseCommandLine(
        Words("monitor --json --seconds 9 --csv m.csv --log l.txt --verbose --yes"), "/dev/x", o,
        error));
    EXPECT_TRUE(o.json && o.verbose && o.yes);
    EXPECT_EQ(o.seconds, 9u);
    EXPECT_EQ(o.csv_file, "m.csv");
    EXPECT_EQ(o.log_file, "l.txt");
    ASSERT_TRUE(cli::ParseCommandLine({"dump", "--reg", "Mr 100 40", "--out", "f.bin"}, "/dev/x", o,
                                      error));
    EXPECT_EQ(o.reg, "Mr 100 40");
    EXPECT_EQ(o.out, "f.bin");
    EXPECT_EQ(o.seconds, 0u);
}

TEST(CliOptionsTest, BadCommandLinesAreRefusedWithOneMessage) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "no command given (lumrax --help lists them)"},
        {"--json", "no command given (lumrax --help lists them)"},
        {"frob", "unknown command frob (lumrax --help lists them)"},
        {"info --frob", "unknown option --frob"},
        {"info --baud 1000",
         "--baud 1000: not one of 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200"},
        {"info --baud 38400x",
         "--baud 38400x: not one of 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200"},
        {"read", "usage: lumrax read REG..."},
        {"info Wo", "usage: lumrax info"},
        {"verify", "usage: lumrax verify FILE.hex"},
        {"info --csv x", "--csv does not apply to info"},
        {"ports --port /dev/x", "--port does not apply to ports"},
        {"read Wo --out x", "--out does not apply to read"},
        {"monitor --seconds 0", "--seconds 0: not a whole number of seconds from 1"},
        {"monitor --seconds -1", "--seconds -1: not a whole number of seconds from 1"},
        {"monitor --seconds 2.5", "--seconds 2.5: not a whole number of seconds from 1"},
        {"info --port", "--port needs a value"},
        {"info --port=", "--port needs a non-empty value"},
        {"info --json=1", "--json takes no value"},
        {"flash fw.hex --chip 2560", "--chip 2560: not one of 328P, 1284P, 1281"},
    };
    for (const auto& [line, message] : cases) {
        SCOPED_TRACE(line);
        cli::Options o;
        std::string error;
        EXPECT_FALSE(cli::ParseCommandLine(Words(line), "/dev/env", o, error));
        EXPECT_EQ(error, message);
    }
    cli::Options o;
    std::string error;
    EXPECT_FALSE(cli::ParseCommandLine({"info"}, "", o, error));
    EXPECT_EQ(error, "no port: give --port or set LUMRAX_PORT");
}

TEST(CliOptionsTest, FirmwareUpdateCommandsTakeTheirSteps) {
    cli::Options o;
    std::string error;
    ASSERT_TRUE(cli::ParseCommandLine(Words("flash fw.hex --switch --erase --verify --yes"),
                                      "/dev/x", o, error))
        << error;
    EXPECT_EQ(o.command, Command::kFlash);
    EXPECT_TRUE(o.switch_boot && o.erase && o.verify && o.yes);
    const std::pair<const char*, const char*> refused[] = {
        {"verify fw.hex --erase", "--erase does not apply to verify"},
        {"check fw.hex --port /dev/x", "--port does not apply to check"},
        {"flash fw.hex --out d", "--out does not apply to flash"},
        {"check", "usage: lumrax check FILE.hex"},
    };
    for (const auto& [line, message] : refused) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(cli::ParseCommandLine(Words(line), "/dev/x", o, error));
        EXPECT_EQ(error, message);
    }
}

}  // namespace
