#pragma once
// The bootloading protocol: one decoded hex line per exchange with the device's bootloader.
#include <cstdint>
#include <string>

#include "platform/types.h"

// How the last transfer ended, set where its box is shown.
enum class TransferOutcome : uint8_t {
    kNone,           // no transfer has ended yet
    kFinished,       // the device reported the end after the last line
    kTimeOut,        // no answer within the time-out
    kDeviceError,    // the device answered with an error letter (or asked once too often)
    kUnknownReply,   // an answer the protocol does not know
    kEndedEarly,     // the device reported the end before the last line
    kEndedLate,      // the device reported the end after more lines than there are
    kNoEndAfterEof,  // the end-of-file line was written, and the device asked for more
    kNoLineLeft,     // there was no line left to send
    kStopped,        // stopped by the user
    kPortLost,       // the port failed under the transfer
};

struct BootState {
    uint8_t process_state_bootloader = 0;
    uint8_t bootloader_step = 0;
    uint32_t lines_sent = 0;
    uint32_t bootloader_retries = 0;
    char szProgress[32] = {};
    TransferOutcome outcome = TransferOutcome::kNone;
    char outcome_letter = 0;  // the device's letter with kDeviceError and kUnknownReply
    void Reset() { *this = BootState{}; }
};
extern BootState g_boot;

// bootloader_step: 0 start, 1 send a line, 2 wait for its reply.
constexpr uint8_t kBootStepStart = 0;
constexpr uint8_t kBootStepSend = 1;
constexpr uint8_t kBootStepWait = 2;

// 'c' replies a transfer may get before it is given up.
constexpr uint32_t kBootMaxRetries = 8;

// Called by the receive pump at the end of every tick while the port is open. reply_complete
// is 1 on the tick a reply ended; count then covers the reply and its terminating zero.
void BootloaderStep(platform::Wnd wnd, uint8_t reply_complete, uint32_t count,
                    const uint8_t* reply);
// Ends a running transfer as a time-out would: the device can no longer be heard.
void BootloaderPortLost(platform::Wnd wnd);
// The outcome's words for a user, with the figures: "the device reported the end after 812 of
// 1638 lines".
std::string TransferOutcomeText();
