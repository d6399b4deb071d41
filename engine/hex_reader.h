#pragma once
// Streams an Intel HEX file record by record; never holds the image.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace talvex {

constexpr std::size_t kMaxRecordText = 519;
// 255 data bytes from the file plus up to two bytes of padding.
constexpr std::size_t kMaxRecordData = 257;

struct HexRecord {
    std::uint32_t address = 0;
    std::int32_t count = 0;
    std::uint8_t data[kMaxRecordData] = {};
};

// '0'..'9' -> 0..9, 'A'..'F' -> 10..15, anything else c - 0x57, as 8 bits.
std::uint8_t HexDigitValue(char c);

class CHexReader {
public:
    CHexReader();
    ~CHexReader();
    CHexReader(const CHexReader&) = delete;
    CHexReader& operator=(const CHexReader&) = delete;

    bool OpenImage(const std::string& path);
    // The next whitespace-delimited word; empty at the end of the file.
    std::string NextRecordText();
    static bool IsEndRecord(const std::string& text);
    void ResetBase();
    // Parses one record text. The returned record is the reader's own and
    // keeps the address of the previous one where the text cannot give one.
    const HexRecord& ParseRecord(const std::string& text, bool padding);
    void Rewind();
    void CloseImage();
    bool IsOpen() const;

    // The chip flag that identification sets; the reader only reads it.
    void SetHalfwordAlign(bool on) { halfwordAlign_ = on; }
    bool HalfwordAlign() const { return halfwordAlign_; }

    // 1-based line of the file on which the last record text began.
    std::size_t LineOfLastText() const { return lastTextLine_; }
    // The last record text ran past kMaxRecordText characters; only its
    // first kMaxRecordText characters were returned.
    bool LastTextTooLong() const { return lastTooLong_; }
    // Reading the file failed (as opposed to reaching its end).
    bool ReadFailed() const { return readFailed_; }

private:
    int NextChar();

    struct FileCloser {
        void operator()(std::FILE* f) const;
    };
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::uint32_t base_ = 0;
    HexRecord record_;
    bool halfwordAlign_ = false;
    std::size_t line_ = 1;
    std::size_t lastTextLine_ = 0;
    bool lastWasCr_ = false;
    bool lastTooLong_ = false;
    bool readFailed_ = false;
    // Read through a chunk of our own: byte-wise stdio reads take a lock per
    // byte, too slow for multi-megabyte images read four times.
    static constexpr std::size_t kChunk = 4096;
    char chunk_[kChunk] = {};
    std::size_t chunkPos_ = 0;
    std::size_t chunkLen_ = 0;
};

// Outcome of the count pass with validation.
struct ImageCount {
    bool valid = false;
    std::int32_t size = 0;   // sum of counts without padding
    std::string message;     // what is wrong and where, when not valid
};

// The count pass: from the start of the open file up to the exact end record
// (or the end of the file), summing delivered counts without padding, and
// refusing a damaged image: an unreadable record text, a data record that is
// short or whose checksum fails, an extended address record without its four
// value digits, a record text over 519 characters, or no type-01 record at
// all. displayName names the file in messages. Leaves the file position at
// the end of the pass; the caller rewinds. stop, when given and set, ends the
// pass early with valid = false and an empty message.
ImageCount CountImage(CHexReader& reader, const std::string& displayName,
                      const std::atomic<bool>* stop = nullptr);

} // namespace talvex
