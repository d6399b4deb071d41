#include "serial_stamp.h"

#include <algorithm>
#include <cstdio>

#include "hex_reader.h"
#include "image_shadow.h"
#include "protection_groups.h"
#include "serial_counter.h"

namespace talvex {
namespace {

std::string Hex5(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%05lX", static_cast<unsigned long>(address));
    return text;
}

std::string Hex2(int byte) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

std::uint32_t Absolute(std::uint32_t address) { return address | kFlashBase; }

} // namespace

std::optional<std::vector<std::uint8_t>> EncodeSerialNumber(const SerialSettings& serial,
                                                            std::uint64_t number,
                                                            std::string& whyNot) {
    const auto width = static_cast<std::size_t>(serial.bytes);
    std::vector<std::uint8_t> bytes(width, 0);
    const auto tooLong = [&]() {
        whyNot = "Serial number " + std::to_string(number) + " does not fit in " +
                 std::to_string(serial.bytes) + " bytes as " + SerialFormatName(serial.format) +
                 ".";
        return std::nullopt;
    };
    const auto padded = [&](const std::string& digits,
                            std::size_t size) -> std::optional<std::string> {
        if (digits.size() > size) return std::nullopt;
        return std::string(size - digits.size(), '0') + digits;
    };
    switch (serial.format) {
    case SerialFormat::Le:
    case SerialFormat::Be: {
        if (width < 8 && (number >> (8 * width)) != 0) return tooLong();
        for (std::size_t i = 0; i < std::min<std::size_t>(width, 8); ++i) {
            bytes[i] = static_cast<std::uint8_t>(number >> (8 * i));
        }
        if (serial.format == SerialFormat::Be) std::reverse(bytes.begin(), bytes.end());
        return bytes;
    }
    case SerialFormat::Ascii:
    case SerialFormat::HexAscii: {
        char text[24];
        std::snprintf(text, sizeof text, serial.format == SerialFormat::Ascii ? "%llu" : "%llX",
                      static_cast<unsigned long long>(number));
        const auto digits = padded(text, width);
        if (!digits) return tooLong();
        std::copy(digits->begin(), digits->end(), bytes.begin());
        return bytes;
    }
    case SerialFormat::Bcd: {
        const auto digits = padded(std::to_string(number), 2 * width);
        if (!digits) return tooLong();
        for (std::size_t i = 0; i < width; ++i) {
            bytes[i] = static_cast<std::uint8_t>(((*digits)[2 * i] - '0') << 4 |
                                                 ((*digits)[2 * i + 1] - '0'));
        }
        return bytes;
    }
    }
    return tooLong();
}

std::string SerialPlaceProblem(const Settings& settings, std::uint32_t flashLimit) {
    const SerialSettings& serial = *settings.serial.settings;
    const std::uint32_t first = Absolute(serial.address);
    const auto count = static_cast<std::uint32_t>(serial.bytes);
    const std::string where = Hex5(first) + " - " + Hex5(first + count - 1u);
    if (!RecordFits(serial.address, serial.bytes, flashLimit)) {
        return "Serial number place " + where + " ([Serial] Address) lies outside the flash (" +
               Hex5(kFlashBase) + " - " + Hex5(flashLimit - 1u) + "). Nothing was erased.";
    }
    if (!IsOn(settings.protect)) return {};
    // The unit would be protected with the number in it, and the next
    // board's erase of that unit refused; the line finds out here instead.
    const std::uint32_t from = FlashOffset(serial.address);
    const std::uint32_t to = from + count - 1u;
    for (const ProtectionUnit& unit :
         ListProtectionUnits(BuildProtectionGroups(settings.partDbPath, settings.part))) {
        if (((settings.mask >> MaskBit(unit)) & 1u) == 0) continue;
        if (to < unit.start || from > unit.end) continue;
        return "Serial number place " + where + " ([Serial] Address) lies in protection unit " +
               Hex5(Absolute(unit.start)) + " - " + Hex5(Absolute(unit.end)) + " (mask bit " +
               std::to_string(MaskBit(unit)) + "), which this run protects. Nothing was erased.";
    }
    return {};
}

std::string SerialStartProblem(const Settings& settings) {
    if (!settings.serial.On()) return {};
    if (!settings.serial.settings) return settings.serial.problem;
    // Only a run that programs takes a number.
    if (IsOn(settings.massErase) || !IsOn(settings.program)) return {};
    // The line database is asked when the number is taken; the front end
    // checks beforehand that one is set.
    if (!settings.serial.settings->counterDb.empty()) return {};
    const CounterResult next = PeekSerialNumber(*settings.serial.settings);
    return next.status == CounterStatus::Taken ? std::string() : next.message;
}

PlaceholderCheck::PlaceholderCheck(const SerialSettings& serial)
    : serial_(serial), found_(static_cast<std::size_t>(serial.bytes), -1) {}

void PlaceholderCheck::Take(std::uint32_t address, const std::uint8_t* data, std::uint32_t count) {
    const std::uint32_t first = Absolute(serial_.address);
    const std::uint32_t start = Absolute(address);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t at = start + i;
        if (at >= first && at - first < found_.size()) found_[at - first] = data[i];
    }
}

std::string PlaceholderCheck::Problem() const {
    const std::uint32_t first = Absolute(serial_.address);
    for (std::size_t i = 0; i < found_.size(); ++i) {
        const std::string where = Hex5(first + static_cast<std::uint32_t>(i));
        if (serial_.placeholder.empty()) {
            if (found_[i] < 0) continue;
            return "The image holds " + Hex2(found_[i]) + " at " + where +
                   ", where the serial number goes ([Serial] has no Placeholder, so the image "
                   "must hold nothing there). Nothing was erased.";
        }
        if (found_[i] == serial_.placeholder[i]) continue;
        std::string message = "The image holds ";
        message += found_[i] < 0 ? "no byte" : Hex2(found_[i]);
        message += " at " + where + ", where [Serial] Placeholder=";
        message += FormatHexBytes(serial_.placeholder);
        message += " expects " + Hex2(serial_.placeholder[i]);
        message += found_[i] < 0 ? "." : ": the serial number would overwrite other data.";
        return message + " Nothing was erased.";
    }
    return {};
}

void SerialStamp::Overlay(HexRecord& record, std::uint32_t from, std::uint32_t to) const {
    const std::uint32_t start = Absolute(record.address);
    for (std::uint32_t i = from; i < to; ++i) {
        const std::uint32_t at = start + i;
        if (at >= address && at - address < bytes.size()) record.data[i] = bytes[at - address];
    }
}

void SerialStamp::AsRecord(HexRecord& record) const {
    record.address = FlashOffset(address);
    record.count = static_cast<std::int32_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), record.data);
}

} // namespace talvex
