#include "platform/file_replace.h"

#include <filesystem>
#include <system_error>

#include "platform/text_format.h"

bool TempPathBeside(const char* target, char* temp, std::size_t size) {
    for (int i = 0; i <= 9; ++i) {
        const bool fit = i == 0 ? FormatBounded(temp, size, "%s.tmp", target)
                                : FormatBounded(temp, size, "%s.tmp%d", target, i);
        if (!fit) return false;
        std::error_code ec;
        const auto type = std::filesystem::symlink_status(temp, ec).type();
        if (type == std::filesystem::file_type::not_found) return true;
    }
    temp[0] = '\0';
    return false;
}
