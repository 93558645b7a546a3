#pragma once
// Console, clock and folders for tests.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/system.h"

namespace fakes {

class FakeConsole : public platform::Console {
  public:
    void Write(const char* data, std::size_t len) override {
        if (!released) out.append(data, len);
    }
    void Release() override { released = true; }
    std::string out;
    bool released = false;
};

class FakeSystem : public platform::System {
  public:
    platform::LocalTime Now() override { return now; }
    bool CurrentDirectory(std::string& out) override {
        if (!cwd_ok) return false;
        out = cwd;
        return true;
    }
    // Every folder is made: the e2e run meets the ones that are there already.
    bool CreateFolder(const char* path) override {
        created.emplace_back(path);
        return true;
    }
    void FineTimer(bool on) override { fine_timer_calls.push_back(on); }
    bool ReplaceFile(const char* from, const char* to) override {
        return !replace_fails && std::rename(from, to) == 0;
    }
    platform::LocalTime now{2024, 3, 5, 14, 7, 9};
    std::vector<bool> fine_timer_calls;
    std::string cwd = "C:\\work";
    bool cwd_ok = true;
    bool replace_fails = false;
    std::vector<std::string> created;
};

}  // namespace fakes
