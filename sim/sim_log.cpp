// One JSON object per log entry; a benchmark reads the wire lengths back.

#include "zarq_sim.h"

#include <cstdio>

namespace zarq {

namespace {

void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            // Identification and noise texts are bytes, not UTF-8.
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    out += '"';
}

void AppendHex(std::string& out, const std::vector<std::uint8_t>& data) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (const std::uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    out += '"';
}

// Only when asked for, so that the lines of a plain run stay as they were.
void AppendHold(std::string& out, const LogEntry& e) {
    if (e.holdUs != 0) out += ",\"hold_us\":" + std::to_string(e.holdUs);
    if (e.doubled) out += ",\"doubled\":true";
}

} // namespace

std::string FormatLogLine(const LogEntry& e) {
    std::string out;
    out.reserve(160 + 2 * e.data.size());
    out += "{\"t_us\":" + std::to_string(e.timeUs);
    switch (e.kind) {
    case LogEntry::Kind::Frame: {
        out += ",\"event\":\"frame\",\"index\":" + std::to_string(e.index);
        out += ",\"command\":" + std::to_string(e.command);
        out += ",\"try\":" + std::to_string(e.attempt);
        out += ",\"retry\":";
        out += e.retry ? "true" : "false";
        out += ",\"letter\":";
        if (e.letter != 0)
            AppendJsonString(out, std::string(1, e.letter));
        else
            out += "null";
        out += ",\"value\":" + std::to_string(e.value);
        out += ",\"data\":";
        AppendHex(out, e.data);
        out += ",\"wire_bytes\":" + std::to_string(e.wireLength);
        out += ",\"answer\":";
        if (e.answer) {
            char a[8];
            std::snprintf(a, sizeof a, "\"%02x\"", *e.answer);
            out += a;
        } else {
            out += "null";
        }
        AppendHold(out, e);
        break;
    }
    case LogEntry::Kind::Identification:
    case LogEntry::Kind::Noise:
        out += e.kind == LogEntry::Kind::Noise ? ",\"event\":\"noise\""
                                               : ",\"event\":\"identification\"";
        out += ",\"text\":";
        AppendJsonString(out, e.note);
        out += ",\"wire_bytes\":" + std::to_string(e.wireLength);
        AppendHold(out, e);
        break;
    case LogEntry::Kind::HangUp: out += ",\"event\":\"hangup\""; break;
    case LogEntry::Kind::Resync:
        out += ",\"event\":\"resync\",\"wire_bytes\":" + std::to_string(e.wireLength);
        break;
    }
    out += ",\"skipped\":" + std::to_string(e.skippedBefore);
    if (e.kind == LogEntry::Kind::Frame || e.kind == LogEntry::Kind::HangUp) {
        out += ",\"note\":";
        if (e.note.empty())
            out += "null";
        else
            AppendJsonString(out, e.note);
    }
    out += '}';
    return out;
}

} // namespace zarq
