#include "serial/link_controls.h"

#include "platform/env.h"

LinkControls g_link_ui;

void AppendComText(std::string_view text) {
    platform::Wnd area = g_link_ui.hWndComText;
    if (area == nullptr || text.empty()) return;
    platform::Ui& ui = platform::UI();
    if (text.size() >= kComTextLimit) {
        // Only the newest part of an oversized text can stay.
        ui.SetControlText(area, text.substr(text.size() - kComTextLimit / 2));
        return;
    }
    const std::size_t have = ui.TextLength(area);
    if (have + text.size() > kComTextLimit) {
        // Drop a generous slice at once so that trimming does not run on every append.
        std::size_t drop = have + text.size() - kComTextLimit / 2;
        if (drop > have) drop = have;
        ui.DropLeadingText(area, drop);
    }
    ui.AppendText(area, text);
}
