#include "line_database_client.h"

namespace talvex {
namespace {

const char* const kNotHere =
    "The line database is not available in the Windows build; use a counter file and "
    "--record there.";

} // namespace

std::string DatabaseSettingProblem(const std::string& /*connection*/, const std::string& source) {
    return source + ": " + kNotHere;
}

struct LineDatabaseClient::Impl {};

LineDatabaseClient::LineDatabaseClient(LineDatabaseOptions /*options*/)
    : impl_(std::make_unique<Impl>()) {}
LineDatabaseClient::~LineDatabaseClient() = default;

DbState LineDatabaseClient::Connect(std::string& whyNot) {
    whyNot = kNotHere;
    return DbState::Refused;
}
std::string LineDatabaseClient::Server() const { return "the line database"; }
DbState LineDatabaseClient::InitSchema(const std::optional<SerialSettings>& /*counter*/,
                                       std::string& /*report*/, std::string& whyNot,
                                       int /*targetVersion*/) {
    whyNot = kNotHere;
    return DbState::Refused;
}
int LineDatabaseClient::SchemaVersion(std::string& whyNot) {
    whyNot = kNotHere;
    return -1;
}
SpoolFlush LineDatabaseClient::FlushSpool() {
    SpoolFlush flush;
    flush.message = kNotHere;
    return flush;
}
DbState LineDatabaseClient::ReportRows(std::vector<ReportRow>& /*rows*/, std::string& whyNot) {
    whyNot = kNotHere;
    return DbState::Refused;
}
std::size_t LineDatabaseClient::SpoolWaiting() const { return 0; }
CounterResult LineDatabaseClient::TakeSerial(const SerialSettings& /*serial*/,
                                             const std::string& /*port*/) {
    CounterResult out;
    out.message = kNotHere;
    return out;
}
CounterResult LineDatabaseClient::PeekSerial(const SerialSettings& serial) {
    return TakeSerial(serial, {});
}
RecordDelivery LineDatabaseClient::StoreRecord(const std::string& /*line*/) {
    RecordDelivery delivery;
    delivery.message = kNotHere;
    return delivery;
}

} // namespace talvex
