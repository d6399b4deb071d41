#include "trace_port.h"

#include <cerrno>
#include <cstring>

#include "frame_bytes.h"

namespace talvex {

namespace {

constexpr std::size_t kBytesPerLine = 16;

const char* StatusText(PortStatus status) {
    switch (status) {
    case PortStatus::Ok: return "ok";
    case PortStatus::TimedOut: return "timed out";
    case PortStatus::IoError: return "I/O error";
    case PortStatus::HungUp: return "hung up";
    case PortStatus::Stopped: return "stopped";
    }
    return "?";
}

std::string TimeField(std::int64_t micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%12lld", static_cast<long long>(micros));
    return text;
}

bool IsResyncBlock(const std::uint8_t* bytes, std::size_t count) {
    if (count != kResyncBlockSize || bytes[kResyncZeros] != kFrameStart ||
        bytes[kResyncZeros + 1] != kFrameStart) {
        return false;
    }
    for (std::size_t i = 0; i < kResyncZeros; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

// A command frame: start bytes, a length that covers the rest, a letter.
bool IsFrame(const std::uint8_t* bytes, std::size_t count) {
    return count >= kFrameOverhead && bytes[0] == kFrameStart && bytes[1] == kFrameStart2 &&
           static_cast<std::size_t>(bytes[kFrameLengthAt]) + kFrameLengthLeavesOut == count;
}

std::string FrameNote(const std::uint8_t* bytes, std::size_t count, int attempt) {
    char text[96];
    const std::uint8_t* value4 = bytes + kFrameValueAt;
    const unsigned long value = static_cast<unsigned long>(value4[0]) << 24 |
                                static_cast<unsigned long>(value4[1]) << 16 |
                                static_cast<unsigned long>(value4[2]) << 8 | value4[3];
    const std::size_t data = count - kFrameOverhead;
    const std::uint8_t letterByte = bytes[kFrameLetterAt];
    const char letter =
        letterByte >= 0x20 && letterByte < 0x7F ? static_cast<char>(letterByte) : '?';
    std::snprintf(text, sizeof text, "frame %c 0x%08lX, %zu data byte%s", letter, value, data,
                  data == 1 ? "" : "s");
    std::string note = text;
    if (attempt > 1) note += ", try " + std::to_string(attempt);
    return note;
}

std::string AnswerNote(const std::uint8_t* bytes, std::size_t count) {
    if (count != 1) return {};
    switch (bytes[0]) {
    case kAck: return "ACK";
    case kNak: return "NAK";
    default: return {};
    }
}

} // namespace

std::string FormatTraceGroup(std::int64_t micros, char direction, const std::uint8_t* bytes,
                             std::size_t count, const std::string& note) {
    std::string out;
    const std::string indent(12, ' ');
    for (std::size_t line = 0; line == 0 || line * kBytesPerLine < count; ++line) {
        out += line == 0 ? TimeField(micros) + "  " + direction + " " : indent + "    ";
        std::string hex;
        std::string text;
        for (std::size_t i = line * kBytesPerLine; i < count && i < (line + 1) * kBytesPerLine;
             ++i) {
            char pair[4];
            std::snprintf(pair, sizeof pair, "%02X ", bytes[i]);
            hex += pair;
            text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
        }
        // What came back may be text (the identification); a single byte
        // is an answer whose note says enough.
        std::string suffix = direction == '<' && count > 1 ? text : std::string();
        if (line == 0 && !note.empty()) suffix += (suffix.empty() ? "" : "  ") + note;
        if (!suffix.empty()) {
            hex.resize(kBytesPerLine * 3, ' ');
            out += hex;
            out += ' ';
            out += suffix;
        } else {
            while (!hex.empty() && hex.back() == ' ') hex.pop_back();
            out += hex;
        }
        out += '\n';
    }
    return out;
}

namespace {

// Lines a lagging reader may leave waiting before the trace is given up:
// minutes of a download's trace, and little memory.
constexpr std::size_t kBacklogLimit = std::size_t{1024} * 1024;

std::string Seconds(std::chrono::milliseconds ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms.count()) / 1000.0);
    return text;
}

} // namespace

FileTraceSink::FileTraceSink(std::string path, std::unique_ptr<TraceFile> file)
    : path_(std::move(path)), file_(std::move(file)) {}

FileTraceSink::~FileTraceSink() { Close(); }

std::unique_ptr<FileTraceSink> FileTraceSink::Open(const std::string& path, std::string& whyNot) {
    std::unique_ptr<TraceFile> file = TraceFile::Open(path, whyNot);
    if (!file) return nullptr;
    return std::unique_ptr<FileTraceSink>(new FileTraceSink(path, std::move(file)));
}

void FileTraceSink::Write(const std::string& lines) {
    if (!failure_.empty()) return;
    pending_ += lines;
    if (pending_.size() > kBacklogLimit) Flush();
}

void FileTraceSink::Flush() { Push(std::chrono::milliseconds(0)); }

void FileTraceSink::Close() {
    using namespace std::chrono;
    const auto giveUp = steady_clock::now() + kTraceStallLimit;
    while (!pending_.empty() && failure_.empty()) {
        const auto left = ceil<milliseconds>(giveUp - steady_clock::now());
        if (left.count() <= 0) {
            GiveUp("its reader did not take the last lines within " + Seconds(kTraceStallLimit));
            return;
        }
        Push(left);
    }
}

void FileTraceSink::Push(std::chrono::milliseconds wait) {
    if (pending_.empty() || !failure_.empty()) return;
    std::size_t written = 0;
    std::string whyNot;
    if (!file_->Write(pending_.data(), pending_.size(), wait, written, whyNot)) {
        GiveUp(whyNot.empty() ? "write failed" : whyNot);
        return;
    }
    pending_.erase(0, written);
    if (pending_.empty() || written > 0) {
        stalledSince_.reset();
        if (pending_.empty()) return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!stalledSince_) stalledSince_ = now;
    if (now - *stalledSince_ >= kTraceStallLimit) {
        GiveUp("its reader took nothing for " + Seconds(kTraceStallLimit));
    } else if (pending_.size() > kBacklogLimit) {
        GiveUp("its reader did not keep up");
    }
}

void FileTraceSink::GiveUp(const std::string& why) {
    failure_ = why;
    // What could not go out is dropped with everything after it: the trace
    // ends where its reader stopped taking it, and says no more.
    pending_.clear();
    pending_.shrink_to_fit();
}

TracePort::TracePort(std::unique_ptr<ISerialPort> inner, std::shared_ptr<ITraceSink> sink)
    : inner_(std::move(inner)), sink_(std::move(sink)), origin_(std::chrono::steady_clock::now()) {}

TracePort::~TracePort() {
    FlushSilence();
    sink_->Close();
}

std::int64_t TracePort::Now() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 origin_)
        .count();
}

void TracePort::Emit(const std::string& lines) {
    FlushSilence();
    sink_->Write(lines);
}

void TracePort::FlushSilence() {
    if (silentReads_ == 0) return;
    char text[160];
    // Tenths of a millisecond in whole numbers: no locale may put a comma in.
    const long long tenths = static_cast<long long>((silenceEnd_ - silenceStart_) / 100);
    if (silentReads_ == 1) {
        std::snprintf(text, sizeof text, "%s  < (nothing within %lld.%lld ms)",
                      TimeField(silenceEnd_).c_str(), tenths / 10, tenths % 10);
    } else {
        std::snprintf(text, sizeof text, "%s  < (nothing in %d reads over %lld.%lld ms)",
                      TimeField(silenceEnd_).c_str(), silentReads_, tenths / 10, tenths % 10);
    }
    std::string line = text;
    if (silentWakes_ > 0) {
        line += ", and > 08 sent " + std::to_string(silentWakes_) + " time" +
                (silentWakes_ == 1 ? "" : "s") + " as wake byte";
    }
    silentReads_ = 0;
    silentWakes_ = 0;
    sink_->Write(line + "\n");
}

bool TracePort::Open(const std::string& port, const std::string& baud) {
    const bool ok = inner_->Open(port, baud);
    Emit(TimeField(Now()) + "  * open " + port + " at " + baud + " baud" + (ok ? "" : ": failed") +
         "\n");
    lastFrame_.clear();
    sink_->Flush();
    return ok;
}

bool TracePort::Close() {
    const bool ok = inner_->Close();
    Emit(TimeField(Now()) + "  * close" + (ok ? "" : ": failed") + "\n");
    sink_->Flush();
    return ok;
}

bool TracePort::Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) {
    return Traced(buffer, count, received, [&] { return inner_->Read(buffer, count, received); });
}

bool TracePort::ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                        std::chrono::milliseconds timeout) {
    // A look at what has come in, made before every frame, is worth a line
    // only when it found something.
    if (timeout.count() == 0) {
        const bool ok = inner_->ReadFor(buffer, count, received, timeout);
        if (received > 0) Emit(FormatTraceGroup(Now(), '<', buffer, received, "stray"));
        return ok;
    }
    return Traced(buffer, count, received,
                  [&] { return inner_->ReadFor(buffer, count, received, timeout); });
}

void TracePort::Remark(const std::string& text) {
    inner_->Remark(text);
    Emit(TimeField(Now()) + "  # " + text + "\n");
    sink_->Flush();
}

bool TracePort::Traced(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                       const std::function<bool()>& read) {
    if (count == 0) return read();
    const std::int64_t began = Now();
    const bool ok = read();
    const std::int64_t now = Now();
    const PortStatus status = inner_->LastStatus();
    if (ok && received == 0 && status == PortStatus::TimedOut) {
        if (silentReads_ == 0) silenceStart_ = began;
        ++silentReads_;
        silenceEnd_ = now;
        return ok;
    }
    std::string note = AnswerNote(buffer, received);
    if (status != PortStatus::Ok && received < count) {
        const std::string what = std::string("[") + StatusText(status) + " after " +
                                 std::to_string(received) + " of " + std::to_string(count) +
                                 " bytes]";
        note = note.empty() ? what : note + " " + what;
    }
    if (received == 0) {
        Emit(TimeField(now) + "  < " + note + "\n");
    } else {
        Emit(FormatTraceGroup(now, '<', buffer, received, note));
    }
    sink_->Flush();
    return ok;
}

bool TracePort::Write(const std::uint8_t* data, std::size_t count, std::size_t& written) {
    const std::int64_t at = Now();
    const bool ok = inner_->Write(data, count, written);
    // Waiting for the target is reads that bring nothing and wake bytes in
    // turn; told as one line when it ends.
    if (ok && written == 1 && count == 1 && data[0] == kWakeByte && silentReads_ > 0) {
        ++silentWakes_;
        return ok;
    }
    std::string note;
    if (count == 1 && data[0] == kWakeByte) {
        note = "wake byte";
    } else if (IsResyncBlock(data, count)) {
        note = "resync block";
    } else if (IsFrame(data, count)) {
        const bool again =
            lastFrame_.size() == count && std::memcmp(lastFrame_.data(), data, count) == 0;
        frameTry_ = again ? frameTry_ + 1 : 1;
        lastFrame_.assign(data, data + count);
        note = FrameNote(data, count, frameTry_);
    }
    if (!ok || written < count) {
        note += std::string(note.empty() ? "" : " ") + "[" + StatusText(inner_->LastStatus()) +
                " after " + std::to_string(written) + " of " + std::to_string(count) + " bytes]";
    }
    Emit(FormatTraceGroup(at, '>', data, count, note));
    return ok;
}

} // namespace talvex
