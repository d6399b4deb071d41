#pragma once
// The counter file that serial numbers come from: one decimal number, the
// next to hand out. Stations and gang boards that share it take numbers
// under an exclusive lock held on "<counter>.lock", a file that is never
// replaced: the counter itself is replaced whole on every change, so a lock
// on it would lock a file that is no longer the counter.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "serial_settings.h"

namespace talvex {

// An exclusive lock on a file, held until destroyed (or its process ends,
// killed or not). Backends: serial_counter_posix.cpp (flock) and
// serial_counter_win32.cpp (LockFileEx).
class FileLock {
public:
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() = default;

    // Creates the file if needed and waits up to wait for the lock. Null
    // with the reason when it could not be had.
    static std::unique_ptr<FileLock> Acquire(const std::string& path,
                                             std::chrono::milliseconds wait, std::string& whyNot);

    // The backend's open lock file; releasing it releases the lock.
    struct State;
    struct StateDeleter {
        void operator()(State* state) const;
    };
    using StatePtr = std::unique_ptr<State, StateDeleter>;
    explicit FileLock(StatePtr state) : state_(std::move(state)) {}

private:
    enum class Try { Locked, Busy, Failed };
    // The backend's halves: opening (creating) the lock file, refusing
    // anything but a regular file, and one attempt at the lock that does
    // not wait.
    static StatePtr Open(const std::string& path, std::string& whyNot);
    static Try TryLock(State& state, const std::string& path, std::string& whyNot);

    StatePtr state_;
};

// How long a station waits for another that holds the counter: holders keep
// it for a read and a write only, so a longer wait means a stopped process.
constexpr std::chrono::milliseconds kCounterLockWait{10000};

enum class CounterStatus {
    Taken,
    UsedUp,  // the next number is past Last
    Problem, // missing, unreadable, damaged, locked, not written
    // The line database could not be asked: the server is away or refused
    // the connection. Nothing was taken.
    Unreachable,
};

struct CounterResult {
    CounterStatus status = CounterStatus::Problem;
    std::uint64_t number = 0; // Taken: the number; UsedUp: the next one
    std::string message;      // UsedUp and Problem
};

// Both refuse a database counter (db:NAME): only the line database hands
// those out.

// Reads the next number without taking it.
CounterResult PeekSerialNumber(const SerialSettings& serial);

// Takes the next number and advances the counter by Step, under the lock.
// The counter is written before the number is handed out, so a number once
// taken is never handed out again, whatever becomes of its board.
CounterResult TakeSerialNumber(const SerialSettings& serial);

} // namespace talvex
