#pragma once
// A window system that records everything the core asks of it.
#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace fakes {

struct FakeControl {
    platform::ControlSpec spec{};
    std::string cls;  // the class, or the name of a window made by the test
    std::string text;
    platform::Font font = nullptr;
    int selection = -1;  // combo boxes
};

struct ShownBox {
    platform::Wnd owner;
    std::string text, caption;
    unsigned flags;
};

struct RunningTimer {
    platform::Wnd wnd;
    unsigned interval_ms;
    platform::TimerProc proc;
};

class FakeUi : public platform::Ui {
  public:
    // Windows made by the test itself (main window, page).
    platform::Wnd NewWindow(const std::string& name) {
        order.push_back(reinterpret_cast<platform::Wnd>((order.size() + 1) * 16));
        controls[order.back()].cls = name;
        return order.back();
    }
    platform::Wnd CreateControl(platform::Wnd, const platform::ControlSpec& spec) override {
        const platform::Wnd w = NewWindow(spec.cls);
        controls[w].spec = spec;
        controls[w].text = spec.text != nullptr ? spec.text : "";
        return w;
    }
    // Fonts are numbered from 1 in the order they are made; the default GUI font is 0x7000.
    platform::Font MakeFont(const char* face, int height, int weight) override {
        fonts.push_back(std::string(face) + " " + std::to_string(height) + " " +
                        std::to_string(weight));
        return FontHandle(fonts.size());
    }
    platform::Font DefaultGuiFont() override { return FontHandle(0x7000); }
    void SetControlFont(platform::Wnd w, platform::Font f) override { controls[w].font = f; }
    void DeleteFont(platform::Font f) override { deleted_fonts.push_back(f); }
    void SetFocusTo(platform::Wnd w) override { focus = w; }

    void SetControlText(platform::Wnd w, std::string_view text) override {
        controls[w].text = std::string(text);
        set_texts.push_back({w, std::string(text)});
    }
    std::string GetControlText(platform::Wnd w, std::size_t buffer_size) override {
        return controls[w].text.substr(0, buffer_size == 0 ? 0 : buffer_size - 1);
    }
    void AppendText(platform::Wnd w, std::string_view text) override {
        controls[w].text.append(text);
        appended.push_back({w, std::string(text)});
    }
    std::size_t TextLength(platform::Wnd w) override { return controls[w].text.size(); }
    void DropLeadingText(platform::Wnd w, std::size_t n) override { controls[w].text.erase(0, n); }

    void ComboReset(platform::Wnd w) override { controls[w].selection = -1; }
    void ComboAdd(platform::Wnd, std::string_view) override {}
    void ComboSetSelection(platform::Wnd w, int index) override { controls[w].selection = index; }
    int ComboGetSelection(platform::Wnd w) override { return controls[w].selection; }

    int ShowMessageBox(platform::Wnd owner, std::string_view text, std::string_view caption,
                       unsigned flags) override {
        boxes.push_back({owner, std::string(text), std::string(caption), flags});
        if (on_box) on_box();
        if (answers.empty()) return platform::kIdOk;
        const int a = answers.front();
        answers.pop_front();
        return a;
    }

    void StartTimer(platform::Wnd w, unsigned id, unsigned interval_ms,
                    platform::TimerProc proc) override {
        timers[id] = RunningTimer{w, interval_ms, proc};
        timer_log.push_back("start " + std::to_string(id));
    }
    void StopTimer(platform::Wnd, unsigned id) override {
        timers.erase(id);
        timer_log.push_back("stop " + std::to_string(id));
    }
    void AttachRouter(platform::Wnd page) override { router_page = page; }

    bool OpenFileDialog(platform::Wnd owner, char* path, std::size_t size) override {
        dialog_owners.push_back(owner);
        const std::string p = dialog_answers.empty() ? "" : dialog_answers.front();
        if (!dialog_answers.empty()) dialog_answers.pop_front();
        if (p.empty() || p.size() >= size) return false;
        std::copy(p.c_str(), p.c_str() + p.size() + 1, path);
        return true;
    }

    std::string Text(platform::Wnd w) { return controls[w].text; }
    static platform::Font FontHandle(std::size_t i) { return reinterpret_cast<platform::Font>(i); }

    std::map<platform::Wnd, FakeControl> controls;
    std::vector<platform::Wnd> order;  // creation order
    std::vector<std::string> fonts;    // "face height weight"
    std::vector<platform::Font> deleted_fonts;
    std::vector<std::pair<platform::Wnd, std::string>> set_texts, appended;
    std::vector<ShownBox> boxes;
    std::deque<int> answers;       // scripted answers to message boxes, kIdOk when empty
    std::function<void()> on_box;  // runs while a box is "open" (nested message loop)
    std::map<unsigned, RunningTimer> timers;
    std::vector<std::string> timer_log;
    platform::Wnd router_page = nullptr;
    platform::Wnd focus = nullptr;
    std::deque<std::string> dialog_answers;  // empty string: cancel
    std::vector<platform::Wnd> dialog_owners;
};

}  // namespace fakes
