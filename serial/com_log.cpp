#include "serial/com_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "serial/link_controls.h"
#include "platform/work_folders.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "platform/version.h"

ComLogState g_log;

namespace {

// Two starts within one second get the same time stamp; later ones are numbered.
constexpr int kMaxNameSuffix = 99;

enum class CreateResult { kCreated, kExists, kFailed };

// Creates the file only if no file of that name exists (atomically, so an earlier log is
// never truncated), opened for binary read and write.
CreateResult CreateNewFile(const char* name, std::FILE** out) {
    *out = nullptr;
#if defined(_WIN32)
    int fd = _open(name, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return errno == EEXIST ? CreateResult::kExists : CreateResult::kFailed;
    std::FILE* f = _fdopen(fd, "w+b");
    if (f == nullptr) {
        _close(fd);
        return CreateResult::kFailed;
    }
#else
    int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno == EEXIST ? CreateResult::kExists : CreateResult::kFailed;
    std::FILE* f = fdopen(fd, "w+b");
    if (f == nullptr) {
        close(fd);
        return CreateResult::kFailed;
    }
#endif
    *out = f;
    return CreateResult::kCreated;
}

// The file becomes the log: its name is kept and the two header lines are written.
void BeginLog(std::FILE* file, const char* name, const platform::LocalTime& t) {
    g_log.pCOMLogFile = file;
    std::memset(g_log.szCOMLogFileName, 0, sizeof g_log.szCOMLogFileName);
    const std::size_t len = std::strlen(name);
    const std::size_t room = sizeof g_log.szCOMLogFileName - 1;
    std::memcpy(g_log.szCOMLogFileName, name, len < room ? len : room);
    // People and scripts find a log by its first words; the version only follows them.
    std::fprintf(file, "COM Port log file - LUM_RAX_COM %s\n", AppVersion());
    std::fprintf(file, "Started: %02d:%02d:%02d, %02d.%02d.%04d\n", t.hour, t.minute, t.second,
                 t.day, t.month, t.year);
    std::fflush(file);
}

void ReportCreationFailure(platform::Wnd wnd) {
    ConPrintf("Error: COM Log file creation failed!\n");
    platform::UI().ShowMessageBox(wnd, "Log File Creation Error!\nlog path available?", "Error!",
                                  platform::kMbIconError);
}

void StartLog(platform::Wnd wnd) {
    ConPrintf("Starting COM log file creation... \n");
    const platform::LocalTime t = platform::Sys().Now();

    char name[kLogNameSize];
    std::FILE* file = nullptr;
    for (int n = 1; n <= kMaxNameSuffix && file == nullptr; ++n) {
        bool fits;
        if (n == 1) {
            fits = FormatBounded(
                name, sizeof name, "%s" LRX_DIR_SEP "COM_log_%04d-%02d-%02d_%02dh%02dm%02d.txt",
                g_folders.szLogPath, t.year, t.month, t.day, t.hour, t.minute, t.second);
        } else {
            fits = FormatBounded(
                name, sizeof name, "%s" LRX_DIR_SEP "COM_log_%04d-%02d-%02d_%02dh%02dm%02d_%d.txt",
                g_folders.szLogPath, t.year, t.month, t.day, t.hour, t.minute, t.second, n);
        }
        if (!fits) {
            ConPrintf("Error: log path too long for the log file name (max. %u characters)!\n",
                      static_cast<unsigned>(kLogNameSize - 1));
            ReportCreationFailure(wnd);
            return;
        }
        const CreateResult r = CreateNewFile(name, &file);
        if (r == CreateResult::kFailed) break;
    }
    if (file == nullptr) {
        ReportCreationFailure(wnd);
        return;
    }

    BeginLog(file, name, t);

    ConPrintf("Created log file: ");
    ConWrite(name);
    ConPrintf("\n");
    ConPrintf("pCOMLogFile = 0x%X\n",
              static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(g_log.pCOMLogFile)));
    g_log.com_log_active = 1;
    platform::UI().SetControlText(g_link_ui.hWndLogStartStop, "log STOP");
}

bool LogOn() {
    return g_log.com_log_active != 0 && g_log.pCOMLogFile != nullptr;
}

}  // namespace

void button_LOG_StartStop_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd) {
    if (platform::HighWord(wParam) != platform::kBnClicked) return;
    if (g_log.com_log_active == 1) {
        platform::UI().SetControlText(g_link_ui.hWndLogStartStop, "LOG Start");
        ComLogClose();
        return;
    }
    StartLog(wnd);
}

bool ComLogStartFile(const char* path) {
    ComLogClose();
    if (path == nullptr || path[0] == '\0') return false;
    std::FILE* file = std::fopen(path, "wb+");
    if (file == nullptr) return false;
    BeginLog(file, path, platform::Sys().Now());
    g_log.com_log_active = 1;
    return true;
}

void ComLogWrite(const void* data, std::size_t len) {
    if (!LogOn() || data == nullptr || len == 0) return;
    std::fwrite(data, 1, len, g_log.pCOMLogFile);
    std::fflush(g_log.pCOMLogFile);
}

void ComLogText(std::string_view text) {
    ComLogWrite(text.data(), text.size());
}

void ComLogPrintf(const char* fmt, ...) {
    if (!LogOn()) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(g_log.pCOMLogFile, fmt, ap);
    va_end(ap);
    std::fflush(g_log.pCOMLogFile);
}

void ComLogClose() {
    if (g_log.pCOMLogFile != nullptr) std::fclose(g_log.pCOMLogFile);
    g_log.pCOMLogFile = nullptr;
    g_log.com_log_active = 0;
}
