#include <filesystem>

#include "platform/version.h"
#include "tests/fakes/test_env.h"

namespace fs = std::filesystem;

namespace {

const std::string kHeader = std::string("COM Port log file - LUM_RAX_COM ") + AppVersion() +
                            "\nStarted: 14:07:09, 05.03.2024\n";
const std::string kName = "COM_log_2024-03-05_14h07m09.txt";

class ComLogTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        SetLogPath(dir.path());
        CreateComPageControls(page);
    }
    void SetLogPath(const std::string& path) {
        ASSERT_LT(path.size(), sizeof g_folders.szLogPath);
        std::snprintf(g_folders.szLogPath, sizeof g_folders.szLogPath, "%s", path.c_str());
    }
    void Click(uint16_t code = platform::kBnClicked) { Command(1041, code); }
    static Strings Files(const fs::path& in) {
        Strings names;
        for (const auto& e : fs::directory_iterator(in)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string In(const std::string& name) const { return dir.path() + "/" + name; }

    fakes::ScratchDir dir;
};

TEST_F(ComLogTest, StartWriteStopAndStartAgainWithinTheSameSecond) {
    Click(5);  // only the click acts
    EXPECT_EQ(console.out, "");
    EXPECT_TRUE(Files(dir.path()).empty());

    Click();
    ASSERT_EQ(g_log.com_log_active, 1);
    EXPECT_EQ(ui.Text(g_link_ui.hWndLogStartStop), "log STOP");
    char address[32];
    std::snprintf(address, sizeof address, "pCOMLogFile = 0x%X\n",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(g_log.pCOMLogFile)));
    EXPECT_EQ(console.out, "Starting COM log file creation... \nCreated log file: " + In(kName) +
                               "\n" + address);
    Click(5);
    EXPECT_EQ(g_log.com_log_active, 1);

    // Every event is on disk at once, verbatim; the header before any event.
    std::string want = kHeader;
    const auto expect_on_disk = [&](const std::string& added) {
        want += added;
        EXPECT_EQ(fakes::ScratchDir::Read(In(kName)), want);
    };
    expect_on_disk("");
    ComLogPrintf("Com port open (handle %li)\n", 16L);
    expect_on_disk("Com port open (handle 16)\n");
    ComLogWrite("\x02OK\x03", 4);  // a reply as received, framing bytes included
    expect_on_disk("\x02OK\x03");
    ComLogText("%s%n\r");  // text from outside is never a format
    expect_on_disk("%s%n\r");

    Click();
    EXPECT_EQ(g_log.com_log_active, 0);
    EXPECT_EQ(g_log.pCOMLogFile, nullptr);
    EXPECT_EQ(ui.Text(g_link_ui.hWndLogStartStop), "LOG Start");
    ComLogText("late\n");
    ComLogWrite("late", 4);
    ComLogPrintf("late %d\n", 1);
    ComLogClose();  // harmless with no log open

    // Later starts within the same second get numbered names; no earlier file is touched.
    for (const char* text : {"second\n", "third\n"}) {
        Click();
        ComLogText(text);
        Click();
    }
    const std::string second = "COM_log_2024-03-05_14h07m09_2.txt";
    const std::string third = "COM_log_2024-03-05_14h07m09_3.txt";
    EXPECT_EQ(Files(dir.path()), (Strings{kName, second, third}));
    EXPECT_EQ(fakes::ScratchDir::Read(In(kName)), want);
    EXPECT_EQ(fakes::ScratchDir::Read(In(second)), kHeader + "second\n");
    EXPECT_EQ(fakes::ScratchDir::Read(In(third)), kHeader + "third\n");

    EXPECT_TRUE(ui.boxes.empty());
}

// A missing folder is the e2e run's; here the name that does not fit.
TEST_F(ComLogTest, PathTooLongForTheNameIsRefused) {
    // The full name is the folder, a separator and 31 characters, in 256 bytes with the NUL.
    // The folder's length, whether a file of the plain name exists (the new one then needs
    // "_2"), whether the log starts.
    const std::tuple<std::size_t, bool, bool> cases[] = {
        {223, false, true},
        {224, false, false},
        {221, true, true},
        {222, true, false},
        {sizeof g_folders.szLogPath - 1, false, false}};
    const std::string prefix = dir.path() + "/";
    for (const auto& [path_len, earlier_file, created] : cases) {
        SCOPED_TRACE(path_len);
        console.out.clear();
        ui.boxes.clear();
        const fs::path folder = prefix + std::string(path_len - prefix.size(), 'a');
        fs::create_directory(folder);
        if (earlier_file) dir.Write(folder.filename().string() + "/" + kName, "earlier");
        SetLogPath(folder.string());

        Click();
        EXPECT_EQ(g_log.com_log_active, created ? 1 : 0);
        if (created) {
            EXPECT_EQ(std::strlen(g_log.szCOMLogFileName), kLogNameSize - 1);
            Click();
        } else {
            EXPECT_EQ(console.out,
                      "Starting COM log file creation... \nError: log path too long for the log "
                      "file name (max. 255 characters)!\nError: COM Log file creation failed!\n");
            EXPECT_EQ(Boxes(), Strings{"Error!|Log File Creation Error!\nlog path available?|16"});
            EXPECT_EQ(ui.Text(g_link_ui.hWndLogStartStop), "LOG Start");
            Click();  // tries again rather than stopping a log that never ran
            EXPECT_EQ(ui.boxes.size(), 2u);
        }
        const std::size_t files = (created ? 1u : 0u) + (earlier_file ? 1u : 0u);
        EXPECT_EQ(Files(folder).size(), files);
        if (earlier_file) {
            EXPECT_EQ(fakes::ScratchDir::Read(folder / kName), "earlier");
        }
        fs::remove_all(folder);
    }
}

}  // namespace
