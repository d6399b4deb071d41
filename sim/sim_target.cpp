#include "sim_target.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace zarq {

namespace {

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

bool KnownLetter(std::uint8_t c) {
    return c == 'E' || c == 'W' || c == 'V' || c == 'P' || c == 'R';
}

std::uint64_t Microseconds(double ms) {
    return static_cast<std::uint64_t>(std::llround(ms * 1000));
}

const HoldRule* FirstMatch(const std::vector<HoldRule>& rules, std::uint64_t command, char letter,
                           std::uint64_t ofLetter) {
    for (const HoldRule& rule : rules)
        if (rule.selector.Matches(command, letter, ofLetter)) return &rule;
    return nullptr;
}

std::string ByteText(std::uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", b);
    return text;
}

} // namespace

TargetCore::TargetCore(const SimOptions& options, FlashGeometry geometry, std::string idText,
                       const std::vector<std::uint8_t>& preset)
    : options_(options),
      flash_(geometry.size, geometry.kernelStart - kFlashBase, options.flashFill.value_or(0xFF),
             preset),
      idText_(std::move(idText)),
      recordLog_(options.keepLog || !options.logPath.empty()),
      random_(options.seed.value_or(0)),
      answerDelayUs_(Microseconds(options.answerDelayMs)),
      jitterUs_(Microseconds(options.jitterMs)) {}

std::uint64_t TargetCore::DrawHoldUs() {
    // Drawn by hand rather than through a distribution, whose results the
    // standard leaves to each library: a seed must give the same delays
    // wherever the tests run. The modulo's bias is below 1e-6 for any
    // jitter that can be asked for.
    if (jitterUs_ == 0) return answerDelayUs_;
    return answerDelayUs_ + random_() % (jitterUs_ + 1);
}

void TargetCore::AddLog(LogEntry&& entry, std::size_t at) {
    const std::uint64_t skipped = parser_.TakeSkipped();
    stats_.bytesSkipped += skipped;
    if (!recordLog_) return;
    entry.skippedBefore = skipped + pendingSkipped_;
    pendingSkipped_ = 0;
    entry.timeUs = at;
    log_.push_back(std::move(entry));
}

std::size_t TargetCore::Feed(const std::uint8_t* data, std::size_t count,
                             std::vector<Reply>& replies) {
    if (stats_.hungUp || count == 0) return 0;
    if (options_.hangupAfter && *options_.hangupAfter == 0) {
        Reply r;
        r.dueAfter = 1;
        r.hangUp = true;
        replies.push_back(r);
        stats_.hungUp = true;
        LogEntry e;
        e.kind = LogEntry::Kind::HangUp;
        e.note = "line closed at the first byte received";
        AddLog(std::move(e), 1);
        return 1;
    }
    std::size_t i = 0;
    while (i < count) {
        ParsedEvent ev;
        i += parser_.Consume(data + i, count - i, ev);
        if (ev.kind == ParsedEvent::Kind::Wake)
            OnWake(i, replies);
        else if (ev.kind == ParsedEvent::Kind::Resync)
            OnResync(i);
        else if (ev.kind != ParsedEvent::Kind::None)
            OnFrame(ev, i, replies);
        if (stats_.hungUp) break;
    }
    // Stray bytes not yet tied to an event still count now.
    const std::uint64_t skipped = parser_.TakeSkipped();
    stats_.bytesSkipped += skipped;
    pendingSkipped_ += skipped;
    return i;
}

void TargetCore::OnWake(std::size_t at, std::vector<Reply>& replies) {
    if (running_ || options_.neverAnnounce || announced_) {
        ++stats_.bytesSkipped;
        ++pendingSkipped_;
        return;
    }
    LogEntry e;
    Reply r;
    r.dueAfter = at;
    if (!options_.noise.empty() && !noiseSent_) {
        // Another device on the line speaks first; the bootloader's own text
        // answers the next wake byte.
        noiseSent_ = true;
        r.bytes = options_.noise;
        e.kind = LogEntry::Kind::Noise;
        e.note = options_.noise;
    } else {
        announced_ = true;
        ++stats_.identifications;
        r.bytes = idText_;
        e.kind = LogEntry::Kind::Identification;
        e.note = idText_;
        ForgetLastCommand();
    }
    e.wireLength = static_cast<std::uint32_t>(r.bytes.size());
    r.holdUs = DrawHoldUs();
    e.holdUs = r.holdUs;
    replies.push_back(std::move(r));
    AddLog(std::move(e), at);
}

void TargetCore::OnResync(std::size_t at) {
    ++stats_.resyncBlocks;
    LogEntry e;
    e.kind = LogEntry::Kind::Resync;
    e.wireLength = static_cast<std::uint32_t>(kResyncLength);
    AddLog(std::move(e), at);
}

double TargetCore::WorkUs(char letter, std::uint32_t value, const std::uint8_t* data,
                          std::size_t n) const {
    if (letter == 'E' && n == 1)
        return options_.eraseMs * 1000.0 * (value == 0 && data[0] == 0 ? 1 : data[0]);
    if (letter == 'W') return options_.writeUsPerByte * static_cast<double>(n);
    return 0;
}

void TargetCore::OnFrame(const ParsedEvent& ev, std::size_t at, std::vector<Reply>& replies) {
    ++stats_.frames;
    const std::uint8_t* f = ev.frame;
    LogEntry e;
    e.index = stats_.frames;
    e.wireLength = static_cast<std::uint32_t>(ev.wireLength);
    Reply r;
    r.dueAfter = at;
    // Every frame draws, answered or not, so that a seed gives the same
    // delays to the same frames whatever the faults.
    r.holdUs = DrawHoldUs();
    const HoldRule* doubling = nullptr;

    std::optional<std::uint8_t> answer;
    bool good = false;
    if (ev.kind == ParsedEvent::Kind::ShortFrame) {
        e.note = "length byte " + std::to_string(f[2]) + " is below 5";
    } else {
        e.letter = static_cast<char>(f[3]);
        e.value = BigEndian32(f + 4);
        e.data.assign(f + 8, f + ev.wireLength - 1);
        if (!ChecksumOk(f, ev.wireLength))
            e.note = "bad checksum";
        else if (!KnownLetter(f[3]))
            e.note = "unknown command " + ByteText(f[3]);
        else
            good = true;
        if (!good && !std::isprint(static_cast<unsigned char>(e.letter))) e.letter = '?';
    }

    if (running_) {
        // The program has the chip now; the bootloader no longer listens.
        e.note = "program running; not answered";
    } else if (!good) {
        ++stats_.badFrames;
        answer = kNakByte;
    } else {
        const char letter = static_cast<char>(f[3]);
        if (lastCommandLength_ == ev.wireLength &&
            std::memcmp(lastCommand_, f, ev.wireLength) == 0) {
            ++attempt_;
            e.retry = true;
            ++stats_.retries;
        } else {
            ++command_;
            ++perLetter_[letter - 'A'];
            attempt_ = 1;
            ++stats_.commands;
            std::memcpy(lastCommand_, f, ev.wireLength);
            lastCommandLength_ = ev.wireLength;
        }
        e.command = command_;
        e.attempt = attempt_;
        const std::uint64_t nth = perLetter_[letter - 'A'];

        // A repeat is timed from its own first try, as held then, so that a
        // test can place the two answers relative to each other exactly.
        if (attempt_ == 1) {
            if (const HoldRule* late = FirstMatch(options_.lateAnswer, command_, letter, nth))
                r.holdUs += Microseconds(late->ms);
            firstTryHoldUs_ = r.holdUs;
        } else if (const HoldRule* late = FirstMatch(options_.lateRepeat, command_, letter, nth)) {
            r.holdUs = firstTryHoldUs_ + Microseconds(late->ms);
        }
        doubling = FirstMatch(options_.doubleAnswer, command_, letter, nth);

        const AckAfterRule* rule = nullptr;
        for (const AckAfterRule& candidate : options_.ackAfter) {
            if (candidate.selector.Matches(command_, letter, nth)) {
                rule = &candidate;
                break;
            }
        }
        if (options_.silent.Matches(command_, letter, nth)) {
            e.note = "fault: silent";
        } else if (options_.nak.Matches(command_, letter, nth)) {
            // A refusal comes after the target tried: a write that did not
            // program refuses as late as one that did would acknowledge.
            e.note = "fault: nak";
            answer = kNakByte;
            r.workUs = WorkUs(letter, e.value, e.data.data(), e.data.size());
        } else if (rule && attempt_ <= rule->failures) {
            e.note = "fault: ack-after " + std::to_string(rule->failures) + ", try " +
                     std::to_string(attempt_);
            answer = kNakByte;
            r.workUs = WorkUs(letter, e.value, e.data.data(), e.data.size());
        } else {
            std::string why;
            bool ran = false;
            if (Execute(letter, e.value, e.data.data(), e.data.size(), why, r.workUs, ran)) {
                if (options_.garbageAck.Matches(command_, letter, nth)) {
                    e.note = "fault: garbage-ack";
                    answer = kGarbageByte;
                } else {
                    answer = kAckByte;
                }
                if (ran) {
                    running_ = true;
                    r.ran = true;
                    stats_.ran = true;
                }
                r.reset = letter == 'R' && e.value == 1;
            } else {
                e.note = why;
                answer = kNakByte;
            }
        }
    }

    if (answer) {
        r.bytes.assign(1, static_cast<char>(*answer));
        if (*answer == kAckByte)
            ++stats_.acks;
        else if (*answer == kNakByte)
            ++stats_.naks;
        else
            ++stats_.garbage;
        e.holdUs = r.holdUs;
        if (doubling) {
            r.repeatAfterUs = Microseconds(doubling->ms);
            e.doubled = true;
            ++stats_.doubledAnswers;
        }
    } else {
        ++stats_.unanswered;
    }
    e.answer = answer;

    const bool hangUp = options_.hangupAfter && stats_.frames >= *options_.hangupAfter;
    if (hangUp) {
        r.hangUp = true;
        stats_.hungUp = true;
    }
    replies.push_back(std::move(r));
    AddLog(std::move(e), at);
    if (hangUp) {
        LogEntry h;
        h.kind = LogEntry::Kind::HangUp;
        h.note = "line closed after frame " + std::to_string(stats_.frames);
        AddLog(std::move(h), at);
    }
}

bool TargetCore::Execute(char letter, std::uint32_t value, const std::uint8_t* data, std::size_t n,
                         std::string& why, double& workUs, bool& ran) {
    switch (letter) {
    case 'E':
        if (n != 1) {
            why = "E carries 1 data byte, not " + std::to_string(n);
            return false;
        }
        if (value == 0 && data[0] == 0) {
            flash_.MassErase(why);
            ++stats_.massErases;
            workUs = WorkUs(letter, value, data, n);
            return true;
        }
        if (!flash_.ErasePages(value, data[0], why)) return false;
        stats_.erasedPages += data[0];
        workUs = WorkUs(letter, value, data, n);
        return true;
    case 'W':
        if (!flash_.Write(value, data, n, why)) return false;
        stats_.bytesWritten += n;
        workUs = WorkUs(letter, value, data, n);
        return true;
    case 'V': return flash_.Verify(value, data, n, why);
    case 'P': {
        if (n != 1) {
            why = "P carries 1 data byte, not " + std::to_string(n);
            return false;
        }
        ProtectionRecord& p = stats_.protection;
        switch (data[0]) {
        case 0x00:
            if (value != 0) {
                why = "protection begin with value " + Hex(value) + " instead of 0";
                return false;
            }
            ++p.begins;
            p.units.clear();
            p.key.reset();
            protectionBegun_ = true;
            return true;
        case 0x0F: {
            // The read-protection unit lies above the kernel start on the
            // one-block parts, so any page of the whole array is a unit.
            const std::uint64_t end = kFlashBase + std::uint64_t(flash_.Bytes().size());
            if (!protectionBegun_) {
                why = "protection unit before a begin frame";
                return false;
            }
            if (value < kFlashBase || value >= end || value % kPageSize != 0) {
                why = "protection unit " + Hex(value) + " is not a page of the flash (" +
                      Hex(kFlashBase) + ".." + Hex(end) + ")";
                return false;
            }
            p.units.push_back(value);
            return true;
        }
        case 0x01:
            if (!protectionBegun_) {
                why = "protection key before a begin frame";
                return false;
            }
            p.key = value;
            return true;
        default: why = "unknown protection sub-code " + ByteText(data[0]); return false;
        }
    }
    case 'R':
        if (n != 0) {
            why = "R carries no data, not " + std::to_string(n) + " bytes";
            return false;
        }
        if (value == 0) {
            ran = true;
            ForgetLastCommand();
            return true;
        }
        if (value == 1) {
            ++stats_.resets;
            announced_ = false;
            protectionBegun_ = false;
            ForgetLastCommand();
            return true;
        }
        why = "R value " + Hex(value) + " is neither 0 (run) nor 1 (reset)";
        return false;
    default: why = "unknown command"; return false;
    }
}

} // namespace zarq
