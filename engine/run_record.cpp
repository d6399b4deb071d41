#include "run_record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>

#include "image_file.h"
#include "json_writer.h"
#include "line_settings.h"
#include "port_diagnosis.h"
#include "sha256.h"
#include "system_error_text.h"
#include "utf16.h"

namespace talvex {

namespace {

constexpr std::size_t kPhaseCount = static_cast<std::size_t>(RunPhase::Run) + 1;

std::int64_t Micros(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

} // namespace

const char* RunPhaseName(RunPhase phase) {
    switch (phase) {
    case RunPhase::Connect: return "connect";
    case RunPhase::Identify: return "identify";
    case RunPhase::Check: return "check";
    case RunPhase::MassErase: return "mass_erase";
    case RunPhase::Erase: return "erase";
    case RunPhase::Write: return "write";
    case RunPhase::Verify: return "verify";
    case RunPhase::Protect: return "protect";
    case RunPhase::Run: return "run";
    }
    return "unknown";
}

const RunRecord::Phase* RunRecord::Find(RunPhase phase) const {
    for (const Phase& p : phases) {
        if (p.phase == phase) return &p;
    }
    return nullptr;
}

std::string FormatUtcTime(std::int64_t unixMs) {
    std::int64_t days = unixMs / 86400000;
    std::int64_t msOfDay = unixMs % 86400000;
    if (msOfDay < 0) {
        msOfDay += 86400000;
        --days;
    }
    // Civil date from a day count (proleptic Gregorian calendar, eras of
    // 400 years), valid for every day a run can have.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];
    std::snprintf(
        text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
        static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
        static_cast<long long>(msOfDay / 3600000), static_cast<long long>(msOfDay / 60000 % 60),
        static_cast<long long>(msOfDay / 1000 % 60), static_cast<long long>(msOfDay % 1000));
    return text;
}

RunRecord::Image FingerprintImage(const std::string& path) {
    RunRecord::Image image;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(PathFromUtf8(path), error);
    const std::string absoluteName = error ? std::string() : Utf8FromPath(absolute);
    image.path = absoluteName.empty() || path.empty() ? path : absoluteName;
    if (path.empty()) {
        image.problem = "no image file is set";
        return image;
    }
    UniqueFile file;
    errno = 0;
    const ImageOpenFailure failure = OpenRegularFile(path, file);
    if (failure == ImageOpenFailure::NotRegularFile) {
        image.problem = "not a regular file";
        return image;
    }
    if (failure != ImageOpenFailure::None || !file) {
        image.problem = errno != 0 ? ErrnoText(errno) : "cannot be opened";
        return image;
    }
    Sha256 hash;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        hash.Add(buffer, n);
        image.bytes += n;
    }
    if (std::ferror(file.get())) {
        image.bytes = 0;
        image.problem = "cannot be read";
        return image;
    }
    image.sha256 = hash.FinishHex();
    image.read = true;
    return image;
}

std::string NewRunId() {
    // One generator for the process, seeded from the system's entropy: ids
    // of runs a second apart on two stations must not meet.
    static std::mutex mutex;
    static std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        high = generator();
        low = generator();
    }
    high = (high & ~0xF000ull) | 0x4000ull;         // version 4
    low = (low & ~(0x3ull << 62)) | (0x2ull << 62); // RFC 4122 variant
    char text[40];
    std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFFF),
                  static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

std::string FormatRunRecord(const RunRecord& r) {
    JsonWriter w;
    w.BeginObject();
    w.Key("run_id").String(r.runId);
    w.Key("start").String(FormatUtcTime(r.startUnixMs));
    w.Key("host").String(r.host);
    w.Key("station").String(r.station);
    w.Key("tool").String("TALVEX");
    w.Key("version").String(r.version);
    w.Key("settings").String(r.settingsPath);
    w.Key("port").String(r.port);
    w.Key("baud").String(r.baud);
    w.Key("part").String(r.part);
    w.Key("id");
    if (r.id)
        w.String(*r.id);
    else
        w.Null();

    w.Key("image");
    if (!r.download) {
        w.Null();
    } else {
        w.BeginObject();
        w.Key("path").String(r.image.path);
        w.Key("bytes");
        if (r.image.read)
            w.Integer(static_cast<std::int64_t>(r.image.bytes));
        else
            w.Null();
        w.Key("sha256");
        if (r.image.read)
            w.String(r.image.sha256);
        else
            w.Null();
        w.Key("data_bytes");
        if (r.image.dataBytes)
            w.Integer(static_cast<std::int64_t>(*r.image.dataBytes));
        else
            w.Null();
        if (!r.image.problem.empty()) w.Key("problem").String(r.image.problem);
        if (r.serial) {
            w.Key("written_sha256");
            if (r.image.writtenSha256)
                w.String(*r.image.writtenSha256);
            else
                w.Null();
        }
        w.EndObject();
    }

    // Only runs that stamp a number say so; the lines of other runs stay as
    // they were.
    if (r.serial) {
        w.Key("serial").BeginObject();
        w.Key("number").Integer(static_cast<std::int64_t>(r.serial->number));
        w.Key("bytes").String(r.serial->bytes);
        w.Key("counter").String(r.serial->counter);
        w.EndObject();
        w.Key("serial_burned").Bool(r.code != 0);
    }

    w.Key("asked").BeginObject();
    w.Key("mass_erase").Bool(r.asked.massErase);
    w.Key("program").Bool(r.asked.program);
    w.Key("verify").Bool(r.asked.verify);
    w.Key("protect").Bool(r.asked.protect);
    w.Key("run_after").Bool(r.asked.runAfter);
    w.Key("run_mode").String(r.asked.reset ? "reset" : "run");
    w.Key("frame_bytes").Integer(r.asked.frameBytes);
    w.EndObject();

    const auto done = [&](RunPhase phase) -> std::int64_t {
        const RunRecord::Phase* p = r.Find(phase);
        return p ? static_cast<std::int64_t>(p->done) : 0;
    };
    w.Key("done").BeginObject();
    w.Key("mass_erase").Bool(done(RunPhase::MassErase) > 0);
    w.Key("pages_erased").Integer(done(RunPhase::Erase));
    w.Key("bytes_written").Integer(done(RunPhase::Write));
    w.Key("bytes_verified").Integer(done(RunPhase::Verify));
    w.Key("units_protected").Integer(done(RunPhase::Protect));
    w.Key("run");
    if (!r.runCommand.empty() && done(RunPhase::Run) > 0)
        w.String(r.runCommand);
    else
        w.Null();
    w.EndObject();

    w.Key("result").BeginObject();
    w.Key("code").Integer(r.code);
    w.Key("meaning").String(ExitCodeMeaning(r.code));
    w.Key("message");
    if (!r.failure.empty())
        w.String(r.failure);
    else
        w.Null();
    if (!r.portProblem.empty()) w.Key("port_problem").String(r.portProblem);
    w.EndObject();

    // How well the answers kept to their frames; absent where the port
    // never opened.
    if (r.link) {
        w.Key("link").BeginObject();
        w.Key("answer_wait_ms").Integer(r.link->answerWaitMs);
        w.Key("misaligned").Integer(static_cast<std::int64_t>(r.link->misaligned));
        w.Key("repeats").Integer(static_cast<std::int64_t>(r.link->repeats));
        w.EndObject();
    }

    w.Key("phases_ms").BeginObject();
    for (const RunRecord::Phase& p : r.phases) w.Key(RunPhaseName(p.phase)).Fixed(p.micros, 3);
    w.EndObject();
    w.Key("duration_ms").Fixed(r.durationMicros, 3);
    w.EndObject();
    return w.Text();
}

RunRecorder::RunRecorder(std::string path, FailureHandler onFailure,
                         std::shared_ptr<ILineDatabase> database)
    : path_(std::move(path)),
      onFailure_(std::move(onFailure)),
      database_(std::move(database)),
      running_(kPhaseCount) {}

void RunRecorder::RunBegan(const Settings& s, const std::string& imagePath, bool download) {
    record_ = RunRecord{};
    running_.assign(kPhaseCount, std::nullopt);
    start_ = Clock::now();
    record_.startUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    record_.runId = NewRunId();
    record_.host = HostName();
    record_.station = ReadLineSettings(s.settingsPath).station;
    if (record_.station.empty()) record_.station = record_.host;
    if (s.serial.settings) counter_ = CounterName(*s.serial.settings);
    record_.version = TALVEX_VERSION;
    record_.settingsPath = s.settingsPath;
    record_.port = s.port;
    record_.baud = s.baud;
    record_.part = s.part;
    record_.download = download;
    record_.asked = {IsOn(s.massErase), IsOn(s.program), IsOn(s.verify), IsOn(s.protect),
                     IsOn(s.autorun),   s.runMode == 1,  s.frameBytes};
    if (download) record_.image = FingerprintImage(imagePath);
    open_ = true;
}

RunRecord::Phase& RunRecorder::Entry(RunPhase phase) {
    for (RunRecord::Phase& p : record_.phases) {
        if (p.phase == phase) return p;
    }
    record_.phases.push_back({phase, 0, 0});
    return record_.phases.back();
}

void RunRecorder::PhaseBegan(RunPhase phase) {
    if (!open_) return;
    // A phase done again (the port opened anew for the run step) counts
    // what its last attempt achieved.
    Entry(phase).done = 0;
    running_[static_cast<std::size_t>(phase)] = Clock::now();
}

void RunRecorder::PhaseCount(RunPhase phase, std::uint64_t done) {
    if (!open_) return;
    Entry(phase).done = done;
    if (phase == RunPhase::Check) record_.image.dataBytes = done;
}

void RunRecorder::EndPhase(RunPhase phase, Clock::time_point at) {
    auto& began = running_[static_cast<std::size_t>(phase)];
    if (!began) return;
    Entry(phase).micros += Micros(at - *began);
    began.reset();
}

void RunRecorder::PhaseEnded(RunPhase phase) {
    if (open_) EndPhase(phase, Clock::now());
}

void RunRecorder::Identified(const std::string& text) {
    if (open_) record_.id = text;
}

void RunRecorder::LinkReport(std::uint32_t answerWaitMs, std::uint64_t misaligned,
                             std::uint64_t repeats) {
    if (open_) record_.link = RunRecord::Link{answerWaitMs, misaligned, repeats};
}

void RunRecorder::RunCommand(bool reset) {
    if (open_) record_.runCommand = reset ? "reset" : "run";
}

void RunRecorder::SerialAssigned(std::uint64_t number, const std::vector<std::uint8_t>& bytes) {
    if (open_) record_.serial = RunRecord::Serial{number, FormatHexBytes(bytes), counter_};
}

void RunRecorder::ImageWritten(const std::string& sha256) {
    if (open_) record_.image.writtenSha256 = sha256;
}

void RunRecorder::RunEnded(ExitCode code, const std::string& failure) {
    if (!open_) return;
    open_ = false;
    const Clock::time_point end = Clock::now();
    // A failure ends the phase in hand where it happened.
    for (std::size_t i = 0; i < kPhaseCount; ++i) EndPhase(static_cast<RunPhase>(i), end);
    record_.durationMicros = Micros(end - start_);
    record_.code = ToInt(code);
    record_.failure = failure;
    // A port that did not open says why, while the cause is still there.
    const RunRecord::Phase* connect = record_.Find(RunPhase::Connect);
    if (code == ExitCode::Port && connect != nullptr && connect->done == 0) {
        const PortDiagnosis d = DiagnosePort(record_.port, record_.baud, false);
        record_.portProblem = d.problem == PortProblem::None
                                  ? "it opens now; it was busy for a reason the system did not give"
                                  : d.text;
    }
    const std::string line = FormatRunRecord(record_);
    std::string whyNot;
    if (!path_.empty() && !AppendRecordLine(path_, line, whyNot) && onFailure_) {
        onFailure_("Run record not written to " + path_ + ": " + whyNot + ".");
    }
    if (database_) {
        const RecordDelivery delivery = database_->StoreRecord(line);
        if (!delivery.stored && onFailure_) onFailure_(delivery.message);
    }
}

} // namespace talvex
