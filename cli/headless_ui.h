#pragma once
// The window side without a window: controls keep their texts and combo selections so
// that the core's results can be read back, message boxes are answered by a policy, and
// timers run in the tick loop.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/tick_loop.h"
#include "platform/ui.h"

namespace cli {

struct MessageBox {
    std::string text;
    std::string caption;
    unsigned flags = 0;
};

class HeadlessUi final : public platform::Ui {
  public:
    // Answers a box with kIdOk or kIdCancel.
    using BoxPolicy = std::function<int(const MessageBox&)>;

    explicit HeadlessUi(TickLoop& ticks) : ticks_(ticks) {}

    // A window that is not a control (the main window, the page).
    platform::Wnd NewWindow();
    std::string Text(platform::Wnd w) const;
    void SetBoxPolicy(BoxPolicy policy) { policy_ = std::move(policy); }
    // Every box shown so far, in order.
    const std::vector<MessageBox>& boxes() const { return boxes_; }
    // The path the next open-file dialog "chooses"; empty: the dialog is cancelled.
    void SetFileChoice(std::string path) { file_choice_ = std::move(path); }

    platform::Wnd CreateControl(platform::Wnd parent, const platform::ControlSpec& spec) override;
    platform::Font MakeFont(const char* face, int height, int weight) override;
    platform::Font DefaultGuiFont() override;
    void SetControlFont(platform::Wnd, platform::Font) override {}
    void DeleteFont(platform::Font) override {}
    void SetFocusTo(platform::Wnd) override {}
    void SetControlText(platform::Wnd w, std::string_view text) override;
    std::string GetControlText(platform::Wnd w, std::size_t buffer_size) override;
    void AppendText(platform::Wnd w, std::string_view text) override;
    std::size_t TextLength(platform::Wnd w) override;
    void DropLeadingText(platform::Wnd w, std::size_t count) override;
    void ComboReset(platform::Wnd w) override;
    void ComboAdd(platform::Wnd w, std::string_view item) override;
    void ComboSetSelection(platform::Wnd w, int index) override;
    int ComboGetSelection(platform::Wnd w) override;
    int ShowMessageBox(platform::Wnd owner, std::string_view text, std::string_view caption,
                       unsigned flags) override;
    void StartTimer(platform::Wnd w, unsigned id, unsigned interval_ms,
                    platform::TimerProc proc) override;
    void StopTimer(platform::Wnd w, unsigned id) override;
    void AttachRouter(platform::Wnd) override {}
    bool OpenFileDialog(platform::Wnd owner, char* path, std::size_t size) override;

  private:
    struct Control {
        std::string text;
        std::vector<std::string> items;
        int selection = -1;
    };
    // nullptr for a null or unknown window, which the core may pass before a control exists.
    Control* Find(platform::Wnd w);
    const Control* Find(platform::Wnd w) const;

    TickLoop& ticks_;
    std::map<platform::Wnd, Control> controls_;
    std::size_t next_handle_ = 1;
    std::size_t next_font_ = 1;
    BoxPolicy policy_;
    std::vector<MessageBox> boxes_;
    std::string file_choice_;
};

}  // namespace cli
