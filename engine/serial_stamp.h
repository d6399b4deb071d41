#pragma once
// The serial number as bytes in the flash: how a number is written in each
// format, whether its place may take it, and laying it over the image's own
// bytes as the passes hand them on.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "serial_settings.h"
#include "settings.h"

namespace talvex {

struct HexRecord;

// The bytes of number in the format of [Serial], Bytes long. nullopt with
// the reason when the number does not fit.
std::optional<std::vector<std::uint8_t>> EncodeSerialNumber(const SerialSettings& serial,
                                                            std::uint64_t number,
                                                            std::string& whyNot);

// Why the serial number cannot go where [Serial] puts it (outside the flash
// below flashLimit, or in a unit this run protects), or empty when it can.
std::string SerialPlaceProblem(const Settings& settings, std::uint32_t flashLimit);

// Why a run with these settings would be refused its serial number before
// anything is erased, as far as can be told before the port opens: [Serial]
// itself, or, for a run that programs, a counter file that is missing,
// damaged or past Last. Empty when stamping is off or nothing stands in the
// way; the run still checks again when it takes its number.
std::string SerialStartProblem(const Settings& settings);

// The image's own bytes at the serial number's place, gathered over a pass,
// and whether they are what [Serial] Placeholder says the image holds there.
class PlaceholderCheck {
public:
    explicit PlaceholderCheck(const SerialSettings& serial);
    // The image's own bytes of a record: count bytes from address.
    void Take(std::uint32_t address, const std::uint8_t* data, std::uint32_t count);
    // Empty when the image holds the placeholder there (or, without one,
    // nothing at all); else what it holds and where.
    std::string Problem() const;

private:
    const SerialSettings& serial_;
    std::vector<int> found_; // -1: no byte
};

// A number taken, as it goes into the flash.
struct SerialStamp {
    std::uint64_t number = 0;
    std::uint32_t address = 0; // absolute
    std::vector<std::uint8_t> bytes;
    // The image holds a placeholder there: its records carry the stamp;
    // otherwise the stamp goes out as a record of its own.
    bool inImage = false;

    // Lays the stamp over bytes [from, to) of the record.
    void Overlay(HexRecord& record, std::uint32_t from, std::uint32_t to) const;
    // The stamp as a record of its own.
    void AsRecord(HexRecord& record) const;
};

} // namespace talvex
