#include "image_precheck.h"

#include "hex_reader.h"
#include "result_code.h"
#include "serial_thread.h"

namespace talvex {

std::string WhyImageUnusable(const std::string& path) {
    if (path.empty()) return "no image file is set";
    CHexReader reader;
    if (!reader.OpenImage(path)) {
        if (reader.LastOpenFailure() == ImageOpenFailure::NotRegularFile) {
            return "not a regular file";
        }
        return reader.LastOpenReason().empty() ? "cannot be opened" : reader.LastOpenReason();
    }
    const ImageCount count = CountImage(reader, DisplayName(path));
    if (count.valid) return {};
    std::string reason = count.message.empty() ? "damaged" : count.message;
    if (reason.back() == '.') reason.pop_back();
    return reason;
}

std::string ImageUnusableNotice(const std::string& path, const std::string& reason) {
    return "af=" + path + " cannot be used (" + reason + "); this run will end with code " +
           std::to_string(ToInt(ExitCode::Image));
}

} // namespace talvex
