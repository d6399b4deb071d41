#pragma once
// Streams an Intel HEX file record by record; never holds the image.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "unique_file.h"

#include "image_file.h"
#include "image_shadow.h"

namespace talvex {

// The longest valid record: colon, byte count, offset and type, 255 data
// bytes and the checksum. No text longer than this is ever kept.
constexpr std::size_t kMaxRecordText = 1 + 2 + 4 + 2 + 2 * 255 + 2;
// 255 data bytes from the file plus up to two bytes of padding.
constexpr std::size_t kMaxRecordData = 257;

struct HexRecord {
    std::uint32_t address = 0;
    std::int32_t count = 0;
    std::uint8_t data[kMaxRecordData] = {};
};

// '0'..'9' -> 0..9, 'A'..'F' -> 10..15, anything else c - 0x57, as 8 bits.
std::uint8_t HexDigitValue(char c);

// Widens a data record to an even address and an even length, as chips that
// program halfwords need. An added place carries the byte that image puts
// there, when an image is given and puts one; 0xFF (erased flash) otherwise.
void PadToHalfwords(HexRecord& record, const ImageBytes* image = nullptr);

class CHexReader {
public:
    CHexReader();
    ~CHexReader();
    CHexReader(const CHexReader&) = delete;
    CHexReader& operator=(const CHexReader&) = delete;

    // Opens only a regular file (see OpenRegularFile); LastOpenFailure
    // says why an opening failed.
    bool OpenImage(const std::string& path);
    ImageOpenFailure LastOpenFailure() const { return openFailure_; }
    // The system's reason for CannotOpen.
    const std::string& LastOpenReason() const { return openReason_; }
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

    // Once *stop is true, reading ends as at the end of the file within one
    // chunk of the file, also in the middle of a long run of blanks.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
    // Reading ended because of the stop request.
    bool Stopped() const { return stopped_; }

    // 1-based line of the file on which the last record text began.
    std::size_t LineOfLastText() const { return lastTextLine_; }
    // The last record text ran past kMaxRecordText characters; only its
    // first kMaxRecordText characters were returned, and reading stopped
    // there. The next NextRecordText passes over the rest of that word.
    bool LastTextTooLong() const { return lastTooLong_; }
    // Reading the file failed (as opposed to reaching its end).
    bool ReadFailed() const { return readFailed_; }

private:
    int NextChar();
    void SkipRestOfWord();

    UniqueFile file_;
    std::uint32_t base_ = 0;
    HexRecord record_;
    bool halfwordAlign_ = false;
    std::size_t line_ = 1;
    std::size_t lastTextLine_ = 0;
    bool lastWasCr_ = false;
    bool lastTooLong_ = false;
    bool skipRest_ = false;
    bool readFailed_ = false;
    ImageOpenFailure openFailure_ = ImageOpenFailure::None;
    std::string openReason_;
    const std::atomic<bool>* stop_ = nullptr;
    bool stopped_ = false;
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
    std::int32_t size = 0; // sum of counts without padding
    std::string message;   // what is wrong and where, when not valid
    ImageDigest digest;    // of the record texts read, when valid
};

// The checks of the count pass on one record text (not the exact end
// record), without its line: true when the count pass would take it.
bool IsSoundRecordText(const std::string& text);

// The count pass: from the start of the open file up to the exact end record
// (or the end of the file), summing delivered counts without padding, and
// refusing a damaged image: an unreadable record text (also one with
// characters after its checksum), a data record that is short or whose
// checksum fails, an extended address record without its four value digits,
// a record text longer than kMaxRecordText, or no type-01 record at all.
// With a shadow, what the records that fit its flash put there goes into it, and
// two records that put different bytes at one address are refused, naming
// both lines; where the shadow could not compare them as the file was read,
// the file is read again for the pages concerned. displayName names the file
// in messages. Leaves the file position at the end of the pass; the caller
// rewinds. stop, when given and set, ends the pass early with valid = false
// and an empty message.
ImageCount CountImage(CHexReader& reader, const std::string& displayName,
                      const std::atomic<bool>* stop = nullptr, ImageShadow* shadow = nullptr);

} // namespace talvex
