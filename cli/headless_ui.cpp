#include "cli/headless_ui.h"

#include <algorithm>
#include <cstring>

namespace cli {

namespace {
// Handles are made-up values that are never dereferenced; aligned like real pointers.
template <typename T>
T Handle(std::size_t n) {
    return reinterpret_cast<T>(n * 16);
}
}  // namespace

platform::Wnd HeadlessUi::NewWindow() {
    platform::Wnd w = Handle<platform::Wnd>(next_handle_++);
    controls_[w];
    return w;
}

HeadlessUi::Control* HeadlessUi::Find(platform::Wnd w) {
    auto it = controls_.find(w);
    return it == controls_.end() ? nullptr : &it->second;
}

const HeadlessUi::Control* HeadlessUi::Find(platform::Wnd w) const {
    auto it = controls_.find(w);
    return it == controls_.end() ? nullptr : &it->second;
}

std::string HeadlessUi::Text(platform::Wnd w) const {
    const Control* c = Find(w);
    return c != nullptr ? c->text : std::string();
}

platform::Wnd HeadlessUi::CreateControl(platform::Wnd, const platform::ControlSpec& spec) {
    platform::Wnd w = NewWindow();
    controls_[w].text = spec.text != nullptr ? spec.text : "";
    return w;
}

platform::Font HeadlessUi::MakeFont(const char*, int, int) {
    return Handle<platform::Font>(next_font_++);
}

platform::Font HeadlessUi::DefaultGuiFont() {
    return Handle<platform::Font>(0x7000);
}

void HeadlessUi::SetControlText(platform::Wnd w, std::string_view text) {
    if (Control* c = Find(w)) c->text.assign(text);
}

std::string HeadlessUi::GetControlText(platform::Wnd w, std::size_t buffer_size) {
    const Control* c = Find(w);
    if (c == nullptr || buffer_size == 0) return {};
    return c->text.substr(0, std::min(c->text.size(), buffer_size - 1));
}

void HeadlessUi::AppendText(platform::Wnd w, std::string_view text) {
    if (Control* c = Find(w)) c->text.append(text);
}

std::size_t HeadlessUi::TextLength(platform::Wnd w) {
    const Control* c = Find(w);
    return c != nullptr ? c->text.size() : 0;
}

void HeadlessUi::DropLeadingText(platform::Wnd w, std::size_t count) {
    if (Control* c = Find(w)) c->text.erase(0, std::min(count, c->text.size()));
}

void HeadlessUi::ComboReset(platform::Wnd w) {
    if (Control* c = Find(w)) {
        c->items.clear();
        c->selection = -1;
    }
}

void HeadlessUi::ComboAdd(platform::Wnd w, std::string_view item) {
    if (Control* c = Find(w)) c->items.emplace_back(item);
}

void HeadlessUi::ComboSetSelection(platform::Wnd w, int index) {
    if (Control* c = Find(w)) c->selection = index;
}

int HeadlessUi::ComboGetSelection(platform::Wnd w) {
    const Control* c = Find(w);
    return c != nullptr ? c->selection : -1;
}

int HeadlessUi::ShowMessageBox(platform::Wnd, std::string_view text, std::string_view caption,
                               unsigned flags) {
    boxes_.push_back(MessageBox{std::string(text), std::string(caption), flags});
    if (!policy_) return platform::kIdOk;
    // The policy may show boxes of its own; it gets a copy that stays valid.
    const MessageBox box = boxes_.back();
    return policy_(box);
}

void HeadlessUi::StartTimer(platform::Wnd w, unsigned id, unsigned interval_ms,
                            platform::TimerProc proc) {
    ticks_.Start(w, id, interval_ms, proc);
}

void HeadlessUi::StopTimer(platform::Wnd w, unsigned id) {
    ticks_.Stop(w, id);
}

bool HeadlessUi::OpenFileDialog(platform::Wnd, char* path, std::size_t size) {
    if (file_choice_.empty() || file_choice_.size() >= size) return false;
    std::memcpy(path, file_choice_.c_str(), file_choice_.size() + 1);
    return true;
}

}  // namespace cli
