#pragma once
// The program's working folders under the current directory.

constexpr int kPathSize = 260;

struct WorkFolders {
    char szExePath[kPathSize] = {};
    char szSettingsPath[kPathSize] = {};
    char szLogPath[kPathSize] = {};
    char szBinPath[kPathSize] = {};
    void Reset() { *this = WorkFolders{}; }
};
extern WorkFolders g_folders;  // empty paths while unknown

// A folder and a file name are joined by the host's folder separator.
#if defined(_WIN32)
#define LRX_DIR_SEP "\\"
#else
#define LRX_DIR_SEP "/"
#endif
