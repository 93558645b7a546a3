// The largest hex files a chip accepts, through File Open's work (read, check, page build,
// image files) and File Check's (check, page build, image files).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "firmware/page_image.h"
#include "platform/env.h"
#include "page/page.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/fake_system.h"
#include "tests/fakes/fake_ui.h"
#include "tests/fakes/test_env.h"
#include "tests/hex_builder.h"
#include "platform/work_folders.h"

namespace {

// 16-byte lines from address 0 to the application's end, then the end record: max_hex_lines
// lines. Above 64 KiB the extended segment address record takes the place of the last line.
std::string LargestFile(const ChipRow& chip) {
    const bool segmented = chip.app_size > 0x10000;
    const uint32_t data_lines = chip.max_hex_lines - 1 - (segmented ? 1 : 0);
    std::string text;
    for (uint32_t i = 0; i < data_lines; ++i) {
        const uint32_t at = i * 16;
        if (at == 0x10000) text += hexb::Record(0x02, 0, {0x10, 0x00});
        text +=
            hexb::Data(static_cast<uint16_t>(at), hexb::Counting(16, static_cast<uint8_t>(i * 16)));
    }
    return text + hexb::kEof;
}

// The fakes installed, the check's labels made, the file written to a scratch folder that
// takes the image files too.
struct Rig {
    fakes::FakeUi ui;
    fakes::FakeSerial serial;
    fakes::FakeSystem system;
    fakes::FakeConsole console;
    fakes::ScratchDir dir;
    std::string path;

    explicit Rig(int chip) {
        platform::SetEnv(platform::Env{&ui, &serial, &system, &console});
        fakes::ResetCoreState();
        g_com.hWndCheckResult = ui.NewWindow("check");
        g_com.hWndHexFileName = ui.NewWindow("name");
        g_com.hWndStatusLeft = ui.NewWindow("status");
        g_chip.chip_index = static_cast<uint8_t>(chip);
        std::snprintf(g_folders.szBinPath, sizeof g_folders.szBinPath, "%s", dir.path().c_str());
        path = dir.Write("largest.hex", LargestFile(chip_table[chip]));
    }
    ~Rig() {
        fakes::ResetCoreState();
        platform::SetEnv(platform::Env{});
    }
    // True when the last check passed for every line and wrote both image files.
    bool Passed(const ChipRow& chip) const {
        return g_image.hex_file_valid == 1 && g_image.image_files_written == 1 &&
               g_hex.ihex_line_num == chip.max_hex_lines;
    }
};

void Report(benchmark::State& state, const ChipRow& chip) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * chip.max_hex_lines);
    state.SetLabel(std::string("ATmega") + chip.name + ", " + std::to_string(chip.max_hex_lines) +
                   " lines");
}

void BM_FileOpenLargest(benchmark::State& state) {
    const int chip = static_cast<int>(state.range(0));
    Rig rig(chip);
    for (auto _ : state) {
        HexFileRead(rig.path.c_str());
        state.PauseTiming();
        rig.console.out.clear();
        state.ResumeTiming();
    }
    if (!rig.Passed(chip_table[chip])) state.SkipWithError("the largest file did not pass");
    Report(state, chip_table[chip]);
}
BENCHMARK(BM_FileOpenLargest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_FileCheckLargest(benchmark::State& state) {
    const int chip = static_cast<int>(state.range(0));
    Rig rig(chip);
    HexFileRead(rig.path.c_str());
    for (auto _ : state) {
        HexFileCheck();
        state.PauseTiming();
        rig.console.out.clear();
        state.ResumeTiming();
    }
    if (!rig.Passed(chip_table[chip])) state.SkipWithError("the largest file did not pass");
    Report(state, chip_table[chip]);
}
BENCHMARK(BM_FileCheckLargest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
