#include "hex_reader.h"

#include "hex_field.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace talvex {

using hexfield::AllHexDigits;
using hexfield::ScanHex;
using hexfield::StrictByte;

namespace {

constexpr char kEndRecord[] = ":00000001FF";
constexpr std::size_t kEndRecordLength = sizeof(kEndRecord) - 1;

bool IsWordSpace(int c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Extended address values are taken character by character, whatever the
// characters are; stored images may depend on that.
std::uint8_t LooseByte(std::string_view text, std::size_t pos) {
    return static_cast<std::uint8_t>((HexDigitValue(text[pos]) << 4) |
                                     HexDigitValue(text[pos + 1]));
}

} // namespace

std::uint8_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - 0x30);
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 0x37);
    return static_cast<std::uint8_t>(c - 0x57);
}

CHexReader::CHexReader() = default;
CHexReader::~CHexReader() = default;

bool CHexReader::OpenImage(const std::string& path) {
    CloseImage();
    // Binary mode: line ends are whitespace to us anyway, and a text-mode
    // stream would end early at a stray Ctrl-Z on some platforms.
    openReason_.clear();
    openFailure_ = OpenRegularFile(path, file_, &openReason_);
    base_ = 0;
    Rewind();
    return IsOpen();
}

void CHexReader::CloseImage() { file_.reset(); }

bool CHexReader::IsOpen() const { return file_ != nullptr; }

void CHexReader::Rewind() {
    chunkPos_ = 0;
    chunkLen_ = 0;
    line_ = 1;
    lastTextLine_ = 0;
    lastWasCr_ = false;
    lastTooLong_ = false;
    skipRest_ = false;
    readFailed_ = false;
    stopped_ = false;
    if (!file_) return;
    // fseek clears the end-of-file condition; clearerr also drops a read
    // error so that the next pass tries again.
    std::clearerr(file_.get());
    if (std::fseek(file_.get(), 0, SEEK_SET) != 0) readFailed_ = true;
}

int CHexReader::NextChar() {
    if (chunkPos_ == chunkLen_) {
        if (readFailed_ || stopped_) return EOF;
        // Looked at once per chunk: a file of nothing but blanks must not
        // hold a stop up for as long as it takes to read.
        if (stop_ && stop_->load()) {
            stopped_ = true;
            return EOF;
        }
        chunkPos_ = 0;
        chunkLen_ = std::fread(chunk_, 1, kChunk, file_.get());
        if (chunkLen_ == 0) {
            if (std::ferror(file_.get())) readFailed_ = true;
            return EOF;
        }
    }
    const int c = static_cast<unsigned char>(chunk_[chunkPos_++]);
    // LF, CR LF and a lone CR each end one line.
    if (c == '\n') {
        if (!lastWasCr_) ++line_;
        lastWasCr_ = false;
    } else if (c == '\r') {
        ++line_;
        lastWasCr_ = true;
    } else {
        lastWasCr_ = false;
    }
    return c;
}

void CHexReader::SkipRestOfWord() {
    for (;;) {
        while (chunkPos_ < chunkLen_) {
            if (IsWordSpace(chunk_[chunkPos_])) return; // counted when read
            ++chunkPos_;
        }
        const int c = NextChar();
        if (c == EOF || IsWordSpace(c)) return;
    }
}

std::string CHexReader::NextRecordText() {
    std::string text;
    lastTooLong_ = false;
    if (!file_) return text;
    if (skipRest_) {
        skipRest_ = false;
        SkipRestOfWord();
    }
    int c = NextChar();
    while (c != EOF && IsWordSpace(c)) c = NextChar();
    if (c == EOF) return text;
    lastTextLine_ = line_;
    text.reserve(64);
    text.push_back(static_cast<char>(c));
    // The rest of the word is taken straight from the chunk: it holds no
    // line ends, so nothing needs counting. A word longer than any record
    // is given up as soon as that is known, so that a file of one endless
    // word (a device, a huge blob) is not read to its end.
    for (;;) {
        if (chunkPos_ == chunkLen_) {
            c = NextChar();
            if (c == EOF || IsWordSpace(c)) return text;
            if (text.size() == kMaxRecordText) {
                lastTooLong_ = true;
                skipRest_ = true;
                return text;
            }
            text.push_back(static_cast<char>(c));
            continue;
        }
        std::size_t end = chunkPos_;
        while (end < chunkLen_ && !IsWordSpace(chunk_[end])) ++end;
        const std::size_t room = kMaxRecordText - text.size();
        const std::size_t take = end - chunkPos_;
        if (take > room) {
            text.append(chunk_ + chunkPos_, room);
            chunkPos_ += room;
            lastTooLong_ = true;
            skipRest_ = true;
            return text;
        }
        text.append(chunk_ + chunkPos_, take);
        chunkPos_ = end;
        if (end < chunkLen_) {
            NextChar(); // the whitespace that ends the word, for line counting
            return text;
        }
    }
}

bool CHexReader::IsEndRecord(const std::string& text) {
    return text.compare(0, kEndRecordLength, kEndRecord) == 0;
}

void CHexReader::ResetBase() { base_ = 0; }

const HexRecord& CHexReader::ParseRecord(const std::string& text, bool padding) {
    // Fields are read at fixed positions of the text as a C string, so an
    // embedded NUL ends it.
    const std::string_view t(text.c_str());
    record_.count = 0;

    std::uint32_t n = 0;
    if (!ScanHex(t, 1, 2, n)) return record_;
    std::uint32_t offset = 0;
    if (!ScanHex(t, 3, 4, offset)) return record_;
    record_.address = offset;
    std::uint32_t type = 0;
    if (!ScanHex(t, 7, 2, type)) return record_;

    std::uint8_t sum = static_cast<std::uint8_t>(n + (offset >> 8) + offset + type);
    switch (type) {
    case 0x00: {
        record_.address = offset + base_;
        // A signed byte count ("-1") reads as a huge number; such a record
        // has no sensible length and is dropped.
        if (n > 255) return record_;
        for (std::uint32_t i = 0; i < n; ++i) {
            std::uint32_t b = 0;
            const std::size_t pos = 9 + 2 * i;
            if (AllHexDigits(t, pos, 2)) {
                b = StrictByte(t, pos); // the common case, same result
            } else if (!ScanHex(t, pos, 2, b)) {
                // An unreadable data byte would leave a stale value in the
                // record; drop the record instead of delivering it.
                return record_;
            }
            record_.data[i] = static_cast<std::uint8_t>(b);
            sum = static_cast<std::uint8_t>(sum + b);
        }
        std::uint32_t check = 0;
        if (!ScanHex(t, 9 + 2 * n, 2, check)) return record_;
        if (static_cast<std::uint8_t>(sum + check) != 0) return record_;
        record_.count = static_cast<std::int32_t>(n);
        break;
    }
    case 0x02:
    case 0x04: {
        // Without its four value characters the record cannot say a base;
        // the base stays as it was.
        if (t.size() < 13) return record_;
        std::uint8_t hi = LooseByte(t, 9);
        std::uint8_t lo = LooseByte(t, 11);
        // Bit 19 of the base is the flash's own 0x80000; clearing it makes
        // absolute and flash-relative images land at the same offsets.
        if (type == 0x02) {
            hi &= 0x7F;
            base_ = static_cast<std::uint32_t>((hi << 8) | lo) << 4;
        } else {
            lo &= 0xF7;
            base_ = static_cast<std::uint32_t>((hi << 8) | lo) << 16;
        }
        return record_;
    }
    default: return record_;
    }

    if (padding && halfwordAlign_) PadToHalfwords(record_);
    return record_;
}

void PadToHalfwords(HexRecord& record, const ImageBytes* image) {
    if (record.count <= 0) return;
    // Erased flash (0xFF) leaves neighbouring data as it is when written. A
    // verify compares every byte, so there an added place must carry what
    // the image itself puts at that address.
    const auto fill = [image](std::uint32_t address) -> std::uint8_t {
        if (image) {
            if (const auto b = image->ByteAt(address)) return *b;
        }
        return 0xFF;
    };
    // A record longer than any the file can hold is not ours to widen.
    if (static_cast<std::size_t>(record.count) + 2 > kMaxRecordData) return;
    if (record.address & 1u) {
        std::memmove(record.data + 1, record.data, static_cast<std::size_t>(record.count));
        --record.address;
        record.data[0] = fill(record.address);
        ++record.count;
    }
    const std::uint32_t end = record.address + static_cast<std::uint32_t>(record.count);
    if (end & 1u) record.data[record.count++] = fill(end);
}

namespace {

enum class Fault {
    None,
    Unreadable,
    ShortData,
    BadChecksum,
    NoBaseDigits,
};

struct TextCheck {
    Fault fault = Fault::None;
    bool endOfFile = false; // a type-01 record in any spelling
};

// What the passes would silently skip, refused here so that a damaged image
// never reaches the flash with holes in it.
TextCheck CheckRecordText(const std::string& text) {
    TextCheck r;
    const std::string_view t(text);
    if (t.empty() || t[0] != ':' || !AllHexDigits(t, 1, 8)) {
        r.fault = Fault::Unreadable;
        return r;
    }
    const std::size_t n = StrictByte(t, 1);
    const std::uint8_t type = StrictByte(t, 7);
    switch (type) {
    case 0x00: {
        const std::size_t needed = 9 + 2 * n + 2;
        if (t.size() < needed) {
            // A non-digit before the text runs out is damage of another kind.
            r.fault = AllHexDigits(t, 9, t.size() - 9) ? Fault::ShortData : Fault::Unreadable;
            return r;
        }
        // Anything after the checksum (a stray word joined on, a NUL) means
        // the text is not the record it seems to be.
        if (t.size() > needed || !AllHexDigits(t, 9, 2 * n + 2)) {
            r.fault = Fault::Unreadable;
            return r;
        }
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i < n + 5; ++i) {
            sum = static_cast<std::uint8_t>(sum + StrictByte(t, 1 + 2 * i));
        }
        if (sum != 0) r.fault = Fault::BadChecksum;
        return r;
    }
    case 0x01:
        r.endOfFile = true;
        if (t.size() > 9 + 2 * n + 2) r.fault = Fault::Unreadable;
        return r;
    case 0x02:
    case 0x04:
        if (!AllHexDigits(t, 9, 4)) {
            r.fault = Fault::NoBaseDigits;
            return r;
        }
        // The value is read from its four digits whatever the byte count
        // says, so the record may end right after them and a checksum.
        if (t.size() > std::max<std::size_t>(9 + 4 + 2, 9 + 2 * n + 2)) {
            r.fault = Fault::Unreadable;
        }
        return r;
    default:
        if (t.size() > 9 + 2 * n + 2) r.fault = Fault::Unreadable;
        return r;
    }
}

std::string Where(std::size_t line, const std::string& name) {
    return "line " + std::to_string(line) + " of " + name;
}

std::string FaultMessage(Fault fault, std::size_t line, const std::string& name) {
    switch (fault) {
    case Fault::Unreadable: return "Unreadable record in " + Where(line, name) + ".";
    case Fault::ShortData:
        return "Data record in " + Where(line, name) + " is shorter than its byte count.";
    case Fault::BadChecksum: return "Bad checksum in " + Where(line, name) + ".";
    case Fault::NoBaseDigits:
        return "Extended address record in " + Where(line, name) +
               " lacks its four hexadecimal address digits.";
    case Fault::None: break;
    }
    return {};
}

ImageCount Refuse(std::string message) {
    ImageCount result;
    result.message = std::move(message);
    return result;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

// The line of the first record that puts a byte at the flash offset. Only
// looked for when an image is refused, so that the shadow need not keep a
// line for every byte.
std::size_t FirstLinePutting(CHexReader& reader, std::uint32_t offset, std::uint32_t flashLimit) {
    reader.Rewind();
    std::string text = reader.NextRecordText();
    reader.ResetBase();
    while (!text.empty() && !CHexReader::IsEndRecord(text) && !reader.LastTextTooLong()) {
        const HexRecord& r = reader.ParseRecord(text, false);
        if (r.count > 0 && RecordFits(r.address, r.count, flashLimit)) {
            const std::uint32_t first = FlashOffset(r.address);
            if (offset >= first && offset - first < static_cast<std::uint32_t>(r.count)) {
                return reader.LineOfLastText();
            }
        }
        text = reader.NextRecordText();
    }
    return 0;
}

// Where two records first disagree: the line of the later one and the
// flash offset of the first byte it contradicts.
struct Contradiction {
    std::size_t line = 0;
    std::uint32_t offset = 0;
    bool Before(const Contradiction& other) const {
        return line != other.line ? line < other.line : offset < other.offset;
    }
};

// Pages compared at a time: a file whose records all overlap costs a few more
// readings of the file rather than memory the size of the image.
constexpr std::size_t kRecheckPages = 256;

enum class Recheck { Done, Changed, Stopped, ReadFailed };

// Reads the texts that the count pass took once more and compares, in the
// pages given, every byte with those put there by earlier records. first
// becomes the earliest contradiction, if it lies before the one given.
Recheck RecheckPages(CHexReader& reader, const std::vector<std::uint32_t>& pages,
                     std::uint32_t flashLimit, const ImageDigest& counted,
                     const std::atomic<bool>* stop, std::optional<Contradiction>& first) {
    struct Content {
        std::array<std::uint8_t, kPageSize> bytes{};
        std::bitset<kPageSize> present;
    };
    for (std::size_t from = 0; from < pages.size(); from += kRecheckPages) {
        const auto begin = pages.begin() + static_cast<std::ptrdiff_t>(from);
        const auto end = pages.begin() +
                         static_cast<std::ptrdiff_t>(std::min(pages.size(), from + kRecheckPages));
        std::vector<Content> content(static_cast<std::size_t>(end - begin));
        reader.Rewind();
        reader.ResetBase();
        ImageDigest digest;
        bool found = false;
        while (digest.texts < counted.texts && !found) {
            const std::string text = reader.NextRecordText();
            if ((stop && stop->load()) || reader.Stopped()) return Recheck::Stopped;
            if (text.empty() && reader.ReadFailed()) return Recheck::ReadFailed;
            if (text.empty() || reader.LastTextTooLong() || CHexReader::IsEndRecord(text) ||
                !IsSoundRecordText(text)) {
                return Recheck::Changed;
            }
            // Nothing later can come before a contradiction already found.
            if (first && reader.LineOfLastText() > first->line) break;
            digest.Add(text);
            const HexRecord& r = reader.ParseRecord(text, false);
            if (r.count <= 0 || !RecordFits(r.address, r.count, flashLimit)) continue;
            const std::uint32_t start = FlashOffset(r.address);
            for (std::int32_t i = 0; i < r.count; ++i) {
                const std::uint32_t at = start + static_cast<std::uint32_t>(i);
                const auto page = std::lower_bound(begin, end, at / kPageSize);
                if (page == end || *page != at / kPageSize) continue;
                Content& c = content[static_cast<std::size_t>(page - begin)];
                const std::uint32_t in = at % kPageSize;
                if (!c.present[in]) {
                    c.bytes[in] = r.data[i];
                    c.present[in] = true;
                } else if (c.bytes[in] != r.data[i]) {
                    const Contradiction here{reader.LineOfLastText(), at};
                    if (!first || here.Before(*first)) first = here;
                    found = true;
                    break;
                }
            }
        }
        if (digest.texts == counted.texts && !found &&
            (digest.hash != counted.hash || digest.characters != counted.characters)) {
            return Recheck::Changed;
        }
    }
    return Recheck::Done;
}

} // namespace

bool IsSoundRecordText(const std::string& text) {
    return text.size() <= kMaxRecordText && CheckRecordText(text).fault == Fault::None;
}

ImageCount CountImage(CHexReader& reader, const std::string& displayName,
                      const std::atomic<bool>* stop, ImageShadow* shadow) {
    if (!reader.IsOpen()) return Refuse("Cannot read " + displayName + ".");
    reader.Rewind();
    std::int64_t size = 0;
    bool sawEndOfFile = false;
    ImageDigest digest;
    // The first damage met, and the first contradiction; a contradiction
    // found later, on another reading of the file, may still lie before it.
    std::string fault;
    std::optional<Contradiction> contradiction;

    std::string text = reader.NextRecordText();
    reader.ResetBase();
    for (;;) {
        if ((stop && stop->load()) || reader.Stopped()) return ImageCount{};
        if (reader.LastTextTooLong()) {
            fault = "Record in " + Where(reader.LineOfLastText(), displayName) +
                    " is longer than " + std::to_string(kMaxRecordText) + " characters.";
            break;
        }
        if (text.empty()) {
            if (reader.ReadFailed()) {
                return Refuse("Cannot read " + displayName + ".");
            }
            break;
        }
        if (CHexReader::IsEndRecord(text)) {
            sawEndOfFile = true;
            digest.endRecord = true;
            break;
        }
        const TextCheck check = CheckRecordText(text);
        if (check.fault != Fault::None) {
            fault = FaultMessage(check.fault, reader.LineOfLastText(), displayName);
            break;
        }
        digest.Add(text);
        sawEndOfFile = sawEndOfFile || check.endOfFile;
        const HexRecord& record = reader.ParseRecord(text, false);
        size += record.count;
        if (size > std::numeric_limits<std::int32_t>::max()) {
            fault = displayName + " holds more data than any flash.";
            break;
        }
        std::uint32_t conflict = 0;
        if (shadow && !shadow->Add(record.address, record.data, record.count, conflict)) {
            contradiction = Contradiction{reader.LineOfLastText(), conflict};
            break;
        }
        text = reader.NextRecordText();
    }
    if (fault.empty() && !contradiction && !sawEndOfFile) {
        fault = displayName + " ends without an end-of-file record.";
    }
    if (shadow) {
        const std::vector<std::uint32_t> pages = shadow->PagesToRecheck();
        if (!pages.empty()) {
            switch (
                RecheckPages(reader, pages, shadow->FlashLimit(), digest, stop, contradiction)) {
            case Recheck::Done: break;
            case Recheck::Stopped: return ImageCount{};
            case Recheck::ReadFailed: return Refuse("Cannot read " + displayName + ".");
            case Recheck::Changed: return Refuse(displayName + " changed during the download.");
            }
        }
    }
    if (contradiction) {
        // The flash would hold the AND of both bytes, which neither record
        // asked for.
        const std::size_t earlier =
            FirstLinePutting(reader, contradiction->offset, shadow->FlashLimit());
        return Refuse("Lines " + (earlier ? std::to_string(earlier) : "?") + " and " +
                      std::to_string(contradiction->line) + " of " + displayName +
                      " put different bytes at address " + Hex(contradiction->offset) + ".");
    }
    if (!fault.empty()) return Refuse(fault);
    ImageCount result;
    result.valid = true;
    result.size = static_cast<std::int32_t>(size);
    result.digest = digest;
    return result;
}

} // namespace talvex
