#pragma once
// The core's diagnostic trace: on standard error with --verbose, dropped otherwise (the
// COM traffic log of --log is the record of a run).
#include <cstdio>

#include "platform/console.h"

namespace cli {

class ConsoleSink final : public platform::Console {
  public:
    ConsoleSink(bool verbose, std::FILE* to) : verbose_(verbose), to_(to) {}
    void Write(const char* data, std::size_t len) override {
        if (!verbose_ || released_) return;
        std::fwrite(data, 1, len, to_);
        std::fflush(to_);
    }
    void Release() override { released_ = true; }

  private:
    bool verbose_;
    bool released_ = false;
    std::FILE* to_;
};

}  // namespace cli
