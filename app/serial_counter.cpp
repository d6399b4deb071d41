#include "serial_counter.h"

#include <cstdio>
#include <thread>

#include "file_replace.h"

namespace talvex {
namespace {

// A number, blanks and a line end; anything longer is not a counter file.
constexpr std::uint64_t kMaxCounterBytes = 64;

CounterResult Problem(std::string message) {
    CounterResult result;
    result.message = std::move(message);
    return result;
}

CounterResult DatabaseOnly(const SerialSettings& serial) {
    return Problem("[Serial] Counter=" + CounterName(serial) +
                   " is a counter in the line database, and no database is set ([Line] "
                   "Database, --database or TALVEX_DATABASE); no serial number was taken.");
}

CounterResult ReadCounter(const std::string& path) {
    detail::OpenedFile opened = detail::OpenForReading(path, kMaxCounterBytes, false);
    if (opened.check.status == ini::FileStatus::Missing) {
        // Starting again from nothing would hand out numbers already in
        // boards; the first number is the engineer's decision.
        return Problem("Counter file " + path +
                       " does not exist; create it holding the first serial number.");
    }
    if (opened.check.status != ini::FileStatus::Readable) {
        return Problem("Counter file " + path + " cannot be read (" + opened.check.reason + ").");
    }
    char buffer[kMaxCounterBytes + 1] = {};
    const std::size_t n = std::fread(buffer, 1, kMaxCounterBytes, opened.file.get());
    if (std::ferror(opened.file.get())) {
        return Problem("Counter file " + path + " cannot be read.");
    }
    std::string text(buffer, n);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.back())) text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && blank(text[start])) ++start;
    text.erase(0, start);
    std::uint64_t value = 0;
    bool sound = !text.empty() && text.size() <= 20;
    for (char c : text) {
        if (c < '0' || c > '9') {
            sound = false;
            break;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            sound = false;
            break;
        }
        value = value * 10 + digit;
    }
    if (!sound) {
        return Problem("Counter file " + path + " does not hold one decimal number.");
    }
    CounterResult result;
    result.status = CounterStatus::Taken;
    result.number = value;
    return result;
}

CounterResult CheckLast(const SerialSettings& serial, CounterResult result) {
    if (result.status == CounterStatus::Taken && serial.last && result.number > *serial.last) {
        result.status = CounterStatus::UsedUp;
        result.message = "Serial numbers used up: the next number, " +
                         std::to_string(result.number) +
                         ", is past Last=" + std::to_string(*serial.last) + " (counter file " +
                         serial.counterPath + "). Nothing was erased.";
    }
    return result;
}

} // namespace

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path, std::chrono::milliseconds wait,
                                            std::string& whyNot) {
    StatePtr state = Open(path, whyNot);
    if (!state) return nullptr;
    const auto until = std::chrono::steady_clock::now() + wait;
    // Polled rather than blocking, so that a station stopped while holding
    // the lock makes the others give up instead of hanging.
    for (;;) {
        switch (TryLock(*state, path, whyNot)) {
        case Try::Locked: return std::make_unique<FileLock>(std::move(state));
        case Try::Failed: return nullptr;
        case Try::Busy: break;
        }
        if (std::chrono::steady_clock::now() >= until) {
            whyNot =
                path + " held by another station for " + std::to_string(wait.count() / 1000) + " s";
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

CounterResult PeekSerialNumber(const SerialSettings& serial) {
    if (!serial.counterDb.empty()) return DatabaseOnly(serial);
    return CheckLast(serial, ReadCounter(serial.counterPath));
}

CounterResult TakeSerialNumber(const SerialSettings& serial) {
    if (!serial.counterDb.empty()) return DatabaseOnly(serial);
    std::string whyNot;
    const std::unique_ptr<FileLock> lock =
        FileLock::Acquire(serial.counterPath + ".lock", kCounterLockWait, whyNot);
    if (!lock) {
        return Problem("Counter file " + serial.counterPath + " could not be locked (" + whyNot +
                       "); no serial number was taken.");
    }
    CounterResult result = CheckLast(serial, ReadCounter(serial.counterPath));
    if (result.status != CounterStatus::Taken) return result;
    if (result.number > UINT64_MAX - serial.step) {
        return Problem("Counter file " + serial.counterPath + " cannot go past " +
                       std::to_string(result.number) + "; no serial number was taken.");
    }
    const std::string next = std::to_string(result.number + serial.step) + detail::NativeLineEnd();
    if (!detail::ReplaceFileDurably(serial.counterPath, next, &whyNot)) {
        return Problem("Counter file " + serial.counterPath + " not written (" + whyNot +
                       "); no serial number was taken.");
    }
    return result;
}

} // namespace talvex
