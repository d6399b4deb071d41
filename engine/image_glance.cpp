#include "image_glance.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <vector>

#include "flash_sequence.h"
#include "hex_reader.h"
#include "image_shadow.h"
#include "regular_file.h"
#include "sha256.h"
#include "utf16.h"

namespace talvex {

namespace {

std::string OpenProblem(const CHexReader& reader) {
    if (reader.LastOpenFailure() == ImageOpenFailure::NotRegularFile) return "not a regular file";
    return reader.LastOpenReason().empty() ? "cannot be opened" : reader.LastOpenReason();
}

// Digest of the whole file, read in chunks so that a stop is seen soon.
std::optional<std::string> FileDigest(const std::string& path, const std::atomic<bool>* stop,
                                      std::string& problem) {
    RegularFile file = OpenRegularFileForReading(path);
    if (file.status != RegularFileStatus::Opened) {
        problem = file.reason.empty() ? "cannot be opened" : file.reason;
        return std::string();
    }
    Sha256 sha;
    std::vector<char> chunk(std::size_t{64} * 1024);
    while (const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file.file.get())) {
        if (stop != nullptr && stop->load()) return std::nullopt;
        sha.Add(chunk.data(), got);
    }
    if (std::ferror(file.file.get()) != 0) {
        problem = "cannot be read";
        return std::string();
    }
    return sha.FinishHex();
}

} // namespace

FileStamp StampFile(const std::string& path) {
    FileStamp stamp;
    std::error_code error;
    const std::filesystem::path name = PathFromUtf8(path);
    const auto size = std::filesystem::file_size(name, error);
    if (error) return stamp;
    const auto modified = std::filesystem::last_write_time(name, error);
    if (error) return stamp;
    stamp.exists = true;
    stamp.size = size;
    stamp.modified = static_cast<std::int64_t>(modified.time_since_epoch().count());
    return stamp;
}

std::optional<ImageGlance> LookAtImage(const std::string& path, const std::atomic<bool>* stop) {
    ImageGlance glance;
    glance.path = path;
    glance.stamp = StampFile(path);
    const auto stopped = [stop] { return stop != nullptr && stop->load(); };
    CHexReader reader;
    reader.SetStopFlag(stop);
    if (path.empty()) {
        glance.problem = "no image file is set";
        return glance;
    }
    if (!reader.OpenImage(path)) {
        glance.problem = OpenProblem(reader);
        return glance;
    }
    const ImageCount count = CountImage(reader, DisplayName(path), stop);
    if (stopped()) return std::nullopt;
    if (!count.valid) {
        glance.problem = count.message.empty() ? "damaged" : count.message;
        return glance;
    }
    // The records again, for where they lie: the count pass has judged
    // every text sound already.
    reader.Rewind();
    reader.ResetBase();
    std::set<std::uint32_t> pages;
    bool any = false;
    for (std::string text = reader.NextRecordText();
         !text.empty() && !CHexReader::IsEndRecord(text); text = reader.NextRecordText()) {
        const HexRecord& record = reader.ParseRecord(text, false);
        if (record.count <= 0) continue;
        const std::uint32_t first = record.address;
        const std::uint32_t last = first + static_cast<std::uint32_t>(record.count) - 1u;
        glance.lowest = any ? std::min(glance.lowest, first) : first;
        glance.highest = any ? std::max(glance.highest, last) : last;
        any = true;
        ++glance.records;
        glance.dataBytes += static_cast<std::uint64_t>(record.count);
        // As the download plans its erase: the pages a record's first and
        // last byte fall in.
        pages.insert(FlashOffset(first) / kPageSize);
        pages.insert(FlashOffset(last) / kPageSize);
    }
    if (stopped()) return std::nullopt;
    reader.CloseImage();
    glance.pages = static_cast<std::uint32_t>(pages.size());
    const auto digest = FileDigest(path, stop, glance.problem);
    if (!digest) return std::nullopt;
    glance.sha256 = *digest;
    return glance;
}

std::string GlanceText(const ImageGlance& glance) {
    const std::string name = DisplayName(glance.path);
    if (!glance.problem.empty()) return name + " cannot be used:\n" + glance.problem;
    char text[256];
    std::snprintf(
        text, sizeof text,
        "%s\n%llu bytes in %llu records\n0x%08lX - 0x%08lX\n%lu page%s to erase\n"
        "SHA-256 %s",
        name.c_str(), static_cast<unsigned long long>(glance.dataBytes),
        static_cast<unsigned long long>(glance.records), static_cast<unsigned long>(glance.lowest),
        static_cast<unsigned long>(glance.highest), static_cast<unsigned long>(glance.pages),
        glance.pages == 1 ? "" : "s", glance.sha256.substr(0, 12).c_str());
    return text;
}

std::string GlancePendingText(const std::string& path) {
    return "Reading " + DisplayName(path) + " ...";
}

ImageGlancer::~ImageGlancer() { Stop(); }

void ImageGlancer::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    stop_ = false;
}

bool ImageGlancer::Refresh(const std::string& path) {
    const FileStamp stamp = StampFile(path);
    if (lastStamp_ && path == lastPath_ && stamp == *lastStamp_) return false;
    // The look in hand is overtaken; it ends within one chunk of its file.
    Stop();
    lastPath_ = path;
    lastStamp_ = stamp;
    thread_ = std::thread([this, path] {
        if (const auto glance = LookAtImage(path, &stop_)) {
            if (!stop_.load() && onGlance_) onGlance_(*glance);
        }
    });
    return true;
}

} // namespace talvex
