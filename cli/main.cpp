// lumrax: the command line companion of LUM_RAX_COM, on the same portable core.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/commands.h"
#include "cli/console_sink.h"
#include "cli/headless_ui.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/tick_loop.h"
#include "platform/version.h"

namespace {
volatile std::sig_atomic_t g_interrupted = 0;
}

int main(int argc, char** argv) {
    cli::PlatformInit();
    const char* env_port = std::getenv("LUMRAX_PORT");
    cli::Options opt;
    std::string error;
    const bool parsed = cli::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                              env_port != nullptr ? env_port : "", opt, error);
    cli::Output out(parsed && opt.json, stdout, stderr);
    if (!parsed) return out.Finish(out.Fail(cli::kExitUsage, error));
    if (opt.command == cli::Command::kHelp) {
        out.Write(cli::HelpText());
        return out.Finish(cli::kExitDone);
    }
    if (opt.command == cli::Command::kVersion) {
        out.Write(std::string("lumrax ") + AppVersion() + "\n");
        return cli::kExitDone;
    }

    cli::CatchInterrupt(&g_interrupted);
    cli::SteadyClock clock;
    cli::TickLoop ticks(clock);
    cli::HeadlessUi ui(ticks);
    std::unique_ptr<cli::PortIo> port = cli::NewPortIo();
    std::unique_ptr<platform::System> system = cli::NewSystem();
    cli::ConsoleSink console(opt.verbose, stderr);
    cli::Context ctx{
        opt, out, ui, ticks, *port, *system, console, &g_interrupted, cli::IsTerminal(0)};
    const int rc = cli::RunCommand(ctx);
    return out.Finish(rc);
}
