#include "record_spool.h"

#include <filesystem>
#include <fstream>

#include "file_replace.h"
#include "run_record.h"
#include "utf16.h"

namespace talvex {

std::unique_ptr<FileLock> RecordSpool::Lock(std::string& whyNot) const {
    return FileLock::Acquire(path_ + ".lock", kCounterLockWait, whyNot);
}

bool RecordSpool::Append(const std::string& line, std::string& whyNot) const {
    return AppendRecordLine(path_, line, whyNot);
}

bool RecordSpool::Read(std::vector<std::string>& lines, std::string& whyNot) const {
    lines.clear();
    std::error_code error;
    const std::filesystem::path path = PathFromUtf8(path_);
    if (!std::filesystem::exists(path, error)) return true;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        whyNot = "cannot be opened";
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    if (in.bad()) {
        whyNot = "cannot be read";
        return false;
    }
    return true;
}

bool RecordSpool::Replace(const std::vector<std::string>& lines, std::string& whyNot) const {
    std::string content;
    for (const std::string& line : lines) content += line + "\n";
    return detail::ReplaceFileDurably(path_, content, &whyNot);
}

std::string RecordSpool::RejectedPath() const { return path_ + ".rejected"; }

} // namespace talvex
