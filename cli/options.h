#pragma once
// The command line of lumrax: a command, its arguments and options in any order.
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum class Command {
    kNone,
    kHelp,
    kVersion,
    kPorts,
    kInfo,
    kRead,
    kWrite,
    kMonitor,
    kPlot,
    kCheck,
    kFlash,
    kDump,
    kVerify
};

// monitor --write-at: "cw reg" that many seconds after the measurements begin.
struct WriteAt {
    uint32_t seconds;
    std::string reg;
};

struct Options {
    Command command = Command::kNone;
    std::string command_name;
    std::vector<std::string> args;  // what follows the command: registers or the hex file
    std::string port;               // --port, else LUMRAX_PORT
    int baud_row = 6;               // row of baudrate_table; 38400
    bool json = false;
    bool yes = false;
    bool verbose = false;
    std::string log_file;
    std::string csv_file;
    bool reconnect = false;  // monitor: wait for a lost port to come back
    std::vector<WriteAt> write_at;
    std::string from, to;  // plot: the span, ISO local times; empty: the file's own ends
    std::string out;
    std::string reg = "Mr";
    std::string chip = "328P";
    uint32_t seconds = 0;  // 0: until Ctrl-C
    bool switch_boot = false;
    bool erase = false;
    bool verify = false;
    int32_t erase_settle_ms = -1;  // -1: the chip's own figure
};

// env_port is the value of LUMRAX_PORT (empty when unset). False with a message for a
// command line that cannot run.
bool ParseCommandLine(const std::vector<std::string>& argv, const std::string& env_port,
                      Options& out, std::string& error);

const char* HelpText();

}  // namespace cli
