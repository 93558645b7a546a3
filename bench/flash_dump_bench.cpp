// Time of a full 128 KiB flash dump to the console, the text area and an open log.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "page/page.h"
#include "boot/flash_dump.h"
#include "platform/env.h"
#include "serial/com_log.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/fake_system.h"
#include "tests/fakes/fake_ui.h"
#include "tests/fakes/test_env.h"
#include "serial/link_controls.h"

namespace {

void BM_FlashDump128KiB(benchmark::State& state) {
    fakes::FakeUi ui;
    fakes::FakeSerial serial;
    fakes::FakeSystem system;
    fakes::FakeConsole console;
    platform::SetEnv(platform::Env{&ui, &serial, &system, &console});
    fakes::ResetCoreState();
    g_link_ui.hWndComText = ui.NewWindow("ComText");
    g_log.pCOMLogFile = std::tmpfile();
    g_log.com_log_active = state.range(0) != 0 ? 1 : 0;
    for (auto _ : state) {
        state.PauseTiming();
        console.out.clear();
        ui.controls[g_link_ui.hWndComText].text.clear();
        std::rewind(g_log.pCOMLogFile);
        // Half blank flash, half data: both paths of the line test.
        std::memset(g_flash.flash_stream_buf, 0xFF, kFlashStreamSize / 2);
        for (uint32_t i = kFlashStreamSize / 2; i < kFlashStreamSize; ++i) {
            g_flash.flash_stream_buf[i] = static_cast<uint8_t>(i * 7);
        }
        g_flash.flash_stream_len = kFlashStreamSize;
        state.ResumeTiming();
        FlashDump();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFlashStreamSize);
    fakes::ResetCoreState();
    platform::SetEnv(platform::Env{});
}
BENCHMARK(BM_FlashDump128KiB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
