#include "platform/env.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/text_format.h"

namespace platform {
namespace {
Env g_env;
}

void SetEnv(const Env& env) {
    g_env = env;
}
const Env& GetEnv() {
    return g_env;
}

}  // namespace platform

void ConWrite(std::string_view text) {
    platform::Console* c = platform::GetEnv().console;
    if (c != nullptr && !text.empty()) c->Write(text.data(), text.size());
}

void ConPrintf(const char* fmt, ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        va_end(copy);
        ConWrite(std::string_view(small, static_cast<std::size_t>(n)));
        return;
    }
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, copy);
    va_end(copy);
    ConWrite(std::string_view(big.data(), static_cast<std::size_t>(n)));
}

bool FormatBounded(char* buf, std::size_t size, const char* fmt, ...) {
    if (buf == nullptr || size == 0) return false;
    std::memset(buf, 0, size);
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        std::memset(buf, 0, size);
        return false;
    }
    return true;
}
