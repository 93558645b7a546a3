#pragma once
// The commands of lumrax; each returns the process's exit code.
#include "cli/session.h"

namespace cli {

int RunCommand(Context& ctx);

int RunPorts(Context& ctx);
int RunInfo(Context& ctx);
int RunRegisters(Context& ctx, bool write);
int RunMonitor(Context& ctx);
int RunDump(Context& ctx);

}  // namespace cli
