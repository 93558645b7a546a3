#pragma once
// What lumrax needs from its operating system beyond the core's seam.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_port.h"
#include "platform/system.h"

namespace cli {

// The platform's serial port, with the system's text for its failures.
class PortIo : public platform::SerialPort {
  public:
    // "what: system text" of the last failure; empty while there is none.
    virtual std::string LastError() const = 0;
    // The open line has failed (device removed, hung up): nothing more will come.
    virtual bool LineFailed() const = 0;
    // Returns when the port has bytes to read or timeout_ns has passed, whichever is first;
    // it may return earlier (a signal; a port whose Read does the waiting itself).
    virtual void AwaitBytes(platform::PortHandle h, int64_t timeout_ns) = 0;
};

std::unique_ptr<PortIo> NewPortIo();
std::unique_ptr<platform::System> NewSystem();

// Binary standard streams, a fine timer resolution, no death by a closed pipe.
void PlatformInit();
// Ctrl-C (and a terminal hang-up or termination) sets *flag instead of ending the program.
void CatchInterrupt(volatile std::sig_atomic_t* flag);
bool IsTerminal(int fd);
// Waits until standard input has something to read: false when *interrupted is set first
// (a Ctrl-C just before the wait must not leave the program in a read).
bool AwaitInput(const volatile std::sig_atomic_t* interrupted);

// How the core is to open the port the user named: a device path (POSIX) or the number
// of COM1..COM40 (Windows). False with a message when the name is not a port here.
struct PortChoice {
    std::string device_path;
    int com_number = 0;
};
bool ResolvePort(const std::string& name, PortChoice& out, std::string& error);

// The serial ports that can be opened now, by the names --port takes.
std::vector<std::string> ListPorts();

// What stands at a path an output file is to replace.
enum class PathKind { kMissing, kRegular, kOther };
// kOther also when the path cannot be looked at (errno set); a symbolic link is followed.
PathKind KindOf(const std::string& path);
// The path a file written to path replaces: the file a symbolic link names, else path.
std::string FinalPath(const std::string& path);
// A new file that only this run has opened, in the folder of target, named after it; open
// for binary writing, its name in temp. nullptr with errno set.
std::FILE* CreateTempBeside(const std::string& target, std::string& temp);
// The file's data on the disk (before it is renamed over another one). False with errno.
bool SyncFile(std::FILE* file);
// Renames temp over target, replacing it in one step. False with errno set.
bool RenameOver(const std::string& temp, const std::string& target);

}  // namespace cli
