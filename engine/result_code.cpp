#include "result_code.h"

namespace talvex {

namespace {

constexpr ExitCodeInfo kTable[] = {
    {ExitCode::Success, "success"},
    {ExitCode::FlashError, "flash error"},
    {ExitCode::Image, "image file or part database"},
    {ExitCode::Address, "record outside the flash"},
    {ExitCode::Port, "port not opened or read, or run not answered"},
    {ExitCode::Erase, "erase"},
    {ExitCode::WrongPart, "wrong part on the board"},
    {ExitCode::Write, "write"},
    {ExitCode::Verify, "verify"},
    {ExitCode::Protection, "protection"},
    {ExitCode::Usage, "bad talvex-cli flag"},
    {ExitCode::Output, "--help, --version, --show, --list-ports or --report output not written"},
    {ExitCode::Interrupted, "interrupted"},
};

} // namespace

const ExitCodeInfo* ExitCodeTable(std::size_t& count) {
    count = sizeof kTable / sizeof kTable[0];
    return kTable;
}

const char* ExitCodeMeaning(int code) {
    for (const ExitCodeInfo& info : kTable) {
        if (ToInt(info.code) == code) return info.meaning;
    }
    return "unknown result";
}

} // namespace talvex
