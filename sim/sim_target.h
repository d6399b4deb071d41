#pragma once
// The bootloader's side of the exchange, without a line or a clock: bytes go
// in, answers come out tagged with the input byte that made them due, so
// that the serving loop can pace them.

#include "sim_flash.h"
#include "sim_frame.h"
#include "zarq_sim.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace zarq {

struct Reply {
    std::size_t dueAfter = 0;                   // input bytes consumed when the answer is due
    std::string bytes;                          // empty: nothing is sent
    double workUs = 0;                          // flash time before the answer may go
    bool hangUp = false;                        // close the line once this has gone out
    bool ran = false;                           // the program runs from here on
    bool reset = false;                         // the chip resets once this has gone out
    std::uint64_t holdUs = 0;                   // held this long more after work and turnaround
    std::optional<std::uint64_t> repeatAfterUs; // sent again this long after it went out
};

class TargetCore {
public:
    // preset: the flash's bytes from 0x80000 on before the host's first
    // command, over options.flashFill.
    TargetCore(const SimOptions& options, FlashGeometry geometry, std::string idText,
               const std::vector<std::uint8_t>& preset = {});

    // Consumes the input until it ends or the line is to be closed; returns
    // the count consumed. New log entries carry their input offset in timeUs
    // until the caller replaces it with a time.
    std::size_t Feed(const std::uint8_t* data, std::size_t count, std::vector<Reply>& replies);

    const FlashModel& Flash() const { return flash_; }
    const SimStats& Stats() const { return stats_; }
    std::vector<LogEntry>& MutableLog() { return log_; }
    const std::string& IdText() const { return idText_; }
    bool Running() const { return running_; }
    bool HungUp() const { return stats_.hungUp; }

private:
    void OnWake(std::size_t at, std::vector<Reply>& replies);
    void OnFrame(const ParsedEvent& ev, std::size_t at, std::vector<Reply>& replies);
    void OnResync(std::size_t at);
    // How long the flash takes for the command (erase, programming).
    double WorkUs(char letter, std::uint32_t value, const std::uint8_t* data, std::size_t n) const;
    // Carries the command out; false with the reason when the target refuses.
    bool Execute(char letter, std::uint32_t value, const std::uint8_t* data, std::size_t n,
                 std::string& why, double& workUs, bool& ran);
    void ForgetLastCommand() { lastCommandLength_ = 0; }
    void AddLog(LogEntry&& entry, std::size_t at);
    // The answer delay plus a fresh draw of the jitter.
    std::uint64_t DrawHoldUs();

    const SimOptions& options_;
    FlashModel flash_;
    std::string idText_;
    FrameParser parser_;
    SimStats stats_;
    std::vector<LogEntry> log_;
    bool recordLog_;
    std::uint64_t pendingSkipped_ = 0;

    bool announced_ = false;
    bool noiseSent_ = false;
    bool running_ = false;
    bool protectionBegun_ = false;

    std::uint8_t lastCommand_[4 + 255] = {};
    std::size_t lastCommandLength_ = 0;
    std::uint64_t command_ = 0;
    std::uint64_t perLetter_[26] = {};
    std::uint32_t attempt_ = 0;

    std::mt19937_64 random_;
    std::uint64_t answerDelayUs_ = 0;
    std::uint64_t jitterUs_ = 0;
    std::uint64_t firstTryHoldUs_ = 0; // of the current command
};

} // namespace zarq
