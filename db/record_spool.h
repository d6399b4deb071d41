#pragma once
// The spool: run records that could not reach the line database, one JSON
// line each, kept until they are delivered. Writers and the flush hold a
// lock on "<spool>.lock", so that a flush never drops a line appended while
// it delivers.

#include <memory>
#include <string>
#include <vector>

#include "serial_counter.h"

namespace talvex {

class RecordSpool {
public:
    explicit RecordSpool(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    // Null with the reason when the lock could not be had in time.
    std::unique_ptr<FileLock> Lock(std::string& whyNot) const;
    // Under the lock: appends one line.
    bool Append(const std::string& line, std::string& whyNot) const;
    // Under the lock: every line, in order; a missing file has none.
    bool Read(std::vector<std::string>& lines, std::string& whyNot) const;
    // Under the lock: the spool holds these lines and nothing else.
    bool Replace(const std::vector<std::string>& lines, std::string& whyNot) const;
    // Lines the server refused go here, beside the spool, for an engineer.
    std::string RejectedPath() const;

private:
    std::string path_;
};

} // namespace talvex
