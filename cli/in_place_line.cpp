#include "in_place_line.h"

#include "stream_check.h"

namespace talvex {

void InPlaceLine::Draw(const std::string& text) {
    if (escapes_) {
        std::fprintf(stream_, "\r%s\033[K", text.c_str());
    } else {
        // Blanks over whatever the longer line before left standing.
        const std::size_t pad = width_ > text.size() ? width_ - text.size() : 0;
        std::fprintf(stream_, "\r%s%s", text.c_str(), std::string(pad, ' ').c_str());
    }
    FlushAndNote(stream_);
    width_ = text.size();
    shown_ = true;
}

void InPlaceLine::Clear() {
    if (!shown_) return;
    if (escapes_)
        std::fputs("\r\033[K", stream_);
    else
        std::fprintf(stream_, "\r%s\r", std::string(width_, ' ').c_str());
    FlushAndNote(stream_);
    shown_ = false;
    width_ = 0;
}

} // namespace talvex
