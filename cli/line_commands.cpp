#include "line_commands.h"

#include <chrono>
#include <cstdio>

#include "line_database_choice.h"
#include "result_code.h"
#include "serial_stamp.h"

namespace talvex {
namespace {

void Say(const std::string& text) {
    std::fprintf(stderr, "talvex-cli: %s\n", text.c_str());
    std::fflush(stderr);
}

int CodeOf(DbState state) {
    return ToInt(state == DbState::Unreachable ? ExitCode::Port : ExitCode::Image);
}

// The client for the database in force, or null with the exit code in
// refuse (and the reason said) when none can be had.
std::shared_ptr<LineDatabaseClient> MakeClient(const Settings& settings, const LineFlags& flags,
                                               std::optional<int>& refuse, bool required) {
    const LineDatabaseChoice choice = ChooseLineDatabase(settings, flags.database, !required);
    if (!choice.problem.empty()) Say(choice.problem);
    if (choice.refuse) refuse = ToInt(*choice.refuse);
    if (!choice.client && !refuse && required) {
        Say("no line database is set: give --database, set TALVEX_DATABASE, or set [Line] "
            "Database in " +
            settings.settingsPath + ".");
        refuse = ToInt(ExitCode::Usage);
    }
    return choice.client;
}

void DeliverSpool(LineDatabaseClient& client) {
    if (client.SpoolWaiting() == 0) return;
    const SpoolFlush flush = client.FlushSpool();
    if (flush.delivered > 0) {
        Say(std::to_string(flush.delivered) + " run record(s) from the spool delivered to " +
            client.Server() + ".");
    }
    if (!flush.message.empty()) Say(flush.message);
}

} // namespace

bool TakeLineFlag(const std::string& flag, const std::optional<std::string>& value,
                  LineFlags& flags, std::string& problem) {
    if (flag == "--database") {
        if (!value || value->empty()) {
            problem = "--database needs a connection string";
        } else {
            flags.database = *value;
        }
        return true;
    }
    if (flag != "--db-init" && flag != "--db-flush") return false;
    if (value) {
        problem = flag + " takes no value";
        return true;
    }
    (flag == "--db-init" ? flags.init : flags.flush) = true;
    return true;
}

std::shared_ptr<LineDatabaseClient> OpenLineDatabase(const Settings& settings,
                                                     const LineFlags& flags,
                                                     std::optional<int>& refuse) {
    const bool needed = TakesDatabaseNumber(settings);
    std::shared_ptr<LineDatabaseClient> client = MakeClient(settings, flags, refuse, false);
    if (refuse || !client) return nullptr;
    std::string whyNot;
    const DbState state = client->Connect(whyNot);
    if (state == DbState::Done) {
        DeliverSpool(*client);
        return client;
    }
    if (needed) {
        Say(whyNot + " The board is not flashed.");
        refuse = CodeOf(state);
        return nullptr;
    }
    Say(whyNot + " The run goes on; its record waits in the spool until the database is back.");
    return client;
}

int InitLineDatabase(const Settings& settings, const LineFlags& flags) {
    std::optional<int> refuse;
    const std::shared_ptr<LineDatabaseClient> client = MakeClient(settings, flags, refuse, true);
    if (!client) return *refuse;
    if (settings.serial.On() && !settings.serial.settings) {
        Say(settings.serial.problem);
        return ToInt(ExitCode::Image);
    }
    std::string report;
    std::string whyNot;
    const DbState state = client->InitSchema(settings.serial.settings, report, whyNot);
    if (state != DbState::Done) {
        Say(whyNot);
        return CodeOf(state);
    }
    std::printf("%s\n", report.c_str());
    return 0;
}

int FlushLineSpool(const Settings& settings, const LineFlags& flags) {
    std::optional<int> refuse;
    const std::shared_ptr<LineDatabaseClient> client = MakeClient(settings, flags, refuse, true);
    if (!client) return *refuse;
    std::string whyNot;
    const DbState state = client->Connect(whyNot);
    if (state != DbState::Done) {
        Say(whyNot + " The spool is kept as it is.");
        return CodeOf(state);
    }
    const SpoolFlush flush = client->FlushSpool();
    std::printf("%zu run record(s) delivered to %s; %zu waiting, %zu refused.\n", flush.delivered,
                client->Server().c_str(), flush.waiting, flush.rejected);
    if (!flush.message.empty()) Say(flush.message);
    if (flush.waiting > 0) return ToInt(ExitCode::Port);
    return flush.rejected > 0 ? ToInt(ExitCode::Image) : 0;
}

std::optional<int> ReportFromLineDatabase(const Settings& settings, const LineFlags& flags,
                                          const ReportOptions& options) {
    std::optional<int> refuse;
    const std::shared_ptr<LineDatabaseClient> client = MakeClient(settings, flags, refuse, false);
    if (refuse) return refuse;
    if (!client) return std::nullopt;
    std::string whyNot;
    const DbState state = client->Connect(whyNot);
    if (state != DbState::Done) {
        Say(whyNot);
        return CodeOf(state);
    }
    ReportSource source;
    source.name = client->Server();
    source.unreadable = ExitCode::Port;
    source.read = [client](std::vector<ReportRow>& rows, std::string& problem,
                           std::vector<std::string>& /*skipped*/) {
        return client->ReportRows(rows, problem) == DbState::Done;
    };
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    return RunReport(options, source, now, stdout, stderr);
}

} // namespace talvex
