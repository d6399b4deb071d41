#pragma once
// The image at a glance, before Start: how much it holds, where, how many
// pages it will erase and which file it is (a short SHA-256 to compare with
// the release note), or why it cannot be used, in the reader's own words.
// Large images take a while to read, so a front end looks through an
// ImageGlancer, which reads on a thread of its own and only when the file
// has changed.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace talvex {

// What tells one state of a file from another without reading it.
struct FileStamp {
    bool exists = false;
    std::uint64_t size = 0;
    std::int64_t modified = 0; // the system's own ticks; only compared
    bool operator==(const FileStamp&) const = default;
};
FileStamp StampFile(const std::string& path);

struct ImageGlance {
    std::string path;
    FileStamp stamp;
    std::string problem; // empty when the image is sound
    std::uint64_t dataBytes = 0;
    std::uint64_t records = 0; // data records that carry bytes
    std::uint32_t lowest = 0;  // first and last address the data covers
    std::uint32_t highest = 0;
    std::uint32_t pages = 0; // pages of kPageSize the download erases
    std::string sha256;      // of the whole file, as sha256sum prints it
};

// Reads the image twice (the count pass, then the records) and the file
// once more for its digest. Empty when stop was set on the way.
std::optional<ImageGlance> LookAtImage(const std::string& path,
                                       const std::atomic<bool>* stop = nullptr);

// The lines of a tooltip:
//   board.hex
//   1575 bytes in 99 records
//   0x00080000 - 0x00080626
//   4 pages to erase
//   SHA-256 3f2a9c81d0e4
// or the file's name and what is wrong with it.
std::string GlanceText(const ImageGlance& glance);

// While a look is under way: "Reading board.hex ...".
std::string GlancePendingText(const std::string& path);

class ImageGlancer {
public:
    // Told on the glancer's thread for each look that was not overtaken by
    // a newer one; a front end posts it over to its own thread.
    using Handler = std::function<void(const ImageGlance&)>;
    explicit ImageGlancer(Handler onGlance) : onGlance_(std::move(onGlance)) {}
    // Stops the look in hand, within one chunk of the file.
    ~ImageGlancer();
    ImageGlancer(const ImageGlancer&) = delete;
    ImageGlancer& operator=(const ImageGlancer&) = delete;

    // Begins a new look when the name or the file's stamp differ from the
    // last look's; true when it did. Cheap otherwise: one stat.
    bool Refresh(const std::string& path);

private:
    void Stop();

    Handler onGlance_;
    std::string lastPath_;
    std::optional<FileStamp> lastStamp_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace talvex
