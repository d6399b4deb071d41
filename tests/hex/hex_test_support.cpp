#include "hex_test_support.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace talvex::test {

TempDir::TempDir() {
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("talvex-hex-" + std::to_string(rd()));
        if (std::filesystem::create_directory(candidate)) {
            dir_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::filesystem::path TempDir::Write(const std::string& name, const std::string& content) const {
    const auto path = Path(name);
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
    return path;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Record(std::uint8_t type, std::uint16_t offset,
                   const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = ":";
    std::uint8_t sum = 0;
    auto put = [&](std::uint8_t b) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
        sum = static_cast<std::uint8_t>(sum + b);
    };
    put(static_cast<std::uint8_t>(bytes.size()));
    put(static_cast<std::uint8_t>(offset >> 8));
    put(static_cast<std::uint8_t>(offset));
    put(type);
    for (auto b : bytes) put(b);
    put(static_cast<std::uint8_t>(0x100 - sum));
    return text;
}

std::vector<Delivered> RunPass(CHexReader& reader, bool padding) {
    std::vector<Delivered> out;
    reader.Rewind();
    std::string text = reader.NextRecordText();
    reader.ResetBase();
    while (!text.empty() && !CHexReader::IsEndRecord(text)) {
        const HexRecord& r = reader.ParseRecord(text, padding);
        if (r.count != 0) {
            out.push_back({r.address, std::vector<std::uint8_t>(r.data, r.data + r.count)});
        }
        text = reader.NextRecordText();
    }
    return out;
}

std::vector<std::uint8_t> Bytes(const std::string& hexDigits) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hexDigits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hexDigits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

} // namespace talvex::test
