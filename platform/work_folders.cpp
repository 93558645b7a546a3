#include "platform/work_folders.h"

WorkFolders g_folders;
