#pragma once
// The register console: Reg: field, Read, Write, ClearScr and the line polling timer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/types.h"

constexpr unsigned REG_POLL_TIMER_ID = 2;

// The last register read or write sent from the Reg: field, and what came back to it: the next
// reply handed on, or for a flash read-back ("cr Mr...") the end of its stream.
enum class RegRefusal : uint8_t { kNone, kPortClosed, kTooLong, kWriteFailed };
struct RegExchange {
    RegRefusal refused = RegRefusal::kNone;  // why the last click sent nothing
    std::size_t max_text = 0;                // with kTooLong: the longest text taken
    std::string command;                     // as sent, CR included
    bool pending = false;                    // sent, nothing back yet
    uint32_t answers = 0;                    // exchanges that got their answer
    std::string reply;                       // the reply as shown (line ends converted)
    uint32_t flash_bytes = 0;                // a flash read-back's length
    void Reset() { *this = RegExchange{}; }
};
extern RegExchange g_reg;
// The pump's part: what it handed on answers the pending command.
void RegExchangeAnswered(const char* reply, uint32_t flash_bytes);

void button_Reg_Read_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void button_Reg_Write_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void button_ClearScr_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void RegLinePollTimerProc(platform::Wnd wnd);
// Enter in the Reg: field: the field's text is read as a line ended by CR, exactly as the
// polling timer reads a line that holds its line break.
void RegLineEnter(platform::Wnd wnd);
