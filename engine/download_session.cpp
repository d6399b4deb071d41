#include "download_session.h"

#include <filesystem>

#include "image_precheck.h"
#include "ini_file.h"
#include "utf16.h"

namespace talvex {

std::string UnusableImageNotice(const StartupResult& startup) {
    Settings settings = startup.settings;
    ReadSettingsAtOpening(settings);
    ApplyUnstoredOptions(startup, settings);
    const std::string reason = WhyImageUnusable(settings.imageFile);
    return reason.empty() ? std::string() : ImageUnusableNotice(settings.imageFile, reason);
}

HelpBrowseRequest ImageBrowseRequest(const std::string& imageFile, char separator) {
    HelpBrowseRequest request;
    request.title = "Select File";
    request.filters = {{"*.hex ", "*.hex"}, {"All Files", "*"}};
    const std::size_t split = imageFile.rfind(separator);
    if (split == std::string::npos) {
        request.proposedName = imageFile;
    } else {
        request.folder = imageFile.substr(0, split + 1);
        request.proposedName = imageFile.substr(split + 1);
    }
    return request;
}

HelpBrowseRequest LogSaveRequest(const std::string& imageFile, char separator) {
    HelpBrowseRequest request = ImageBrowseRequest(imageFile, separator);
    request.title = "Save log";
    request.filters = {{"Text files", "*.txt"}, {"All Files", "*"}};
    request.proposedName = "talvex-log.txt";
    return request;
}

std::optional<std::string> DroppedImage(const std::vector<std::string>& paths) {
    if (paths.size() != 1 || paths.front().empty()) return std::nullopt;
    std::error_code error;
    if (!std::filesystem::is_regular_file(PathFromUtf8(paths.front()), error)) return std::nullopt;
    return paths.front();
}

std::string ConfiguredRecordFile(const std::string& settingsPath) {
    // A relative record file lies beside the settings file, wherever the
    // program was started from.
    std::string logFile = ini::ReadText(settingsPath, "Log", "File", "", ini::kWholeValue);
    if (logFile.empty()) return logFile;
    const std::filesystem::path path = PathFromUtf8(logFile);
    return path.has_root_path() ? logFile
                                : Utf8FromPath(PathFromUtf8(settingsPath).parent_path() / path);
}

DownloadSession::DownloadSession(IWindowOps& frontEnd, const StartupResult& startup,
                                 std::unique_ptr<ISerialPort> port)
    : frontEnd_(frontEnd),
      settings_(startup.settings),
      unattended_(startup.unattended),
      results_([this](const RunResult& result) {
          // After a stop the window may be closing: it hears nothing more.
          if (!StopRequested()) frontEnd_.ShowRunResult(result);
      }) {
    ReadSettingsAtOpening(settings_);
    // Options the settings file could not take still hold for this run.
    ApplyUnstoredOptions(startup, settings_);
    worker_ = std::make_unique<SerialThread>(frontEnd_, settings_, std::move(port));
    observers_.Set(&results_, nullptr);
    worker_->SetRunObserver(&observers_);
    worker_->SetImagePath(settings_.imageFile);
    if (unattended_) worker_->Flags().Unattended.Begin();
    const std::string logFile = ConfiguredRecordFile(settings_.settingsPath);
    if (!logFile.empty()) SetRunRecordFile(logFile);
}

bool DownloadSession::SetRunRecordFile(const std::string& path) {
    // The worker tells the recorder in force about every run, without a
    // lock: once it has started, that recorder stays, and lives as long as
    // the worker does.
    if (worker_->Running()) return false;
    recordFile_ = path;
    RemakeRecorder();
    return true;
}

bool DownloadSession::SetLineDatabase(std::shared_ptr<ILineDatabase> database) {
    if (!worker_->SetLineDatabase(database)) return false;
    database_ = std::move(database);
    RemakeRecorder();
    return true;
}

void DownloadSession::RemakeRecorder() {
    std::unique_ptr<RunRecorder> next;
    if (!recordFile_.empty() || database_) {
        next = std::make_unique<RunRecorder>(
            recordFile_, [this](const std::string& text) { frontEnd_.RunRecordFailed(text); },
            database_);
    }
    observers_.Set(&results_, next.get());
    recorder_ = std::move(next);
}

DownloadSession::~DownloadSession() {
    worker_->RequestStop();
    worker_->Join();
}

void DownloadSession::Open() {
    frontEnd_.EnableButton(kRunResetButton, false);
    frontEnd_.AppendStatusLine("    Connect test board to PC " + settings_.port + " at " +
                               settings_.baud + " Baud.");
    frontEnd_.AppendStatusLine("    Click Start.");
    if (unattended_) Start();
}

std::string DownloadSession::RunResetCaption() const {
    return settings_.runMode == 1 ? "Reset" : "Run";
}

void DownloadSession::Start() {
    // Before the worker first runs it works on what the window shows now.
    worker_->SetSettings(settings_);
    worker_->SetImagePath(settings_.imageFile);
    worker_->PressStart();
}

void DownloadSession::RunReset() {
    frontEnd_.EnableButton(kRunResetButton, false);
    frontEnd_.EnableButton(kConfigureButton, true);
    // The worker's own Run/Reset, so that the window and the tests that
    // press it on the worker take the same path.
    worker_->PressRunReset();
}

void DownloadSession::ChooseImage(const std::string& path) {
    settings_.imageFile = path;
    worker_->SetImagePath(path);
    worker_->SetSettings(settings_);
    // A failed write leaves the file as it was; the choice holds for this run.
    ini::WriteText(settings_.settingsPath, "TalVex", "File", path);
}

ConfigureValues DownloadSession::ReadConfigureValues() {
    ReadSettingsAtConfigure(settings_);
    ConfigureValues values;
    values.settings = settings_;
    values.browser = ReadHelpBrowser(settings_);
    values.helpFolder = ReadHelpFolder(settings_);
    return values;
}

void DownloadSession::ApplyConfiguration(const ConfigureValues& values) {
    const Settings& v = values.settings;
    settings_.propertyPage = v.propertyPage;
    settings_.port = v.port;
    settings_.baud = v.baud;
    settings_.massErase = v.massErase;
    settings_.program = v.program;
    settings_.verify = v.verify;
    settings_.protect = v.protect;
    settings_.autorun = v.autorun;
    settings_.runMode = v.runMode;
    settings_.key0 = v.key0;
    settings_.mask = v.mask;
    settings_.part = v.part;
    WriteSettingsAfterConfigure(settings_, values.browser, values.helpFolder);
    worker_->SetSettings(settings_);
    frontEnd_.AddStatusLine("    Connect test board to PC " + settings_.port + " at " +
                            settings_.baud + " Baud. Click Start.");
    frontEnd_.EnableButton(kRunResetButton, false);
}

void DownloadSession::SelectPart(const std::string& part) {
    settings_.part = part;
    worker_->SetSettings(settings_);
}

void DownloadSession::RequestStop() { worker_->RequestStop(); }

bool DownloadSession::Finished() const { return worker_->Finished(); }

bool DownloadSession::StopRequested() const { return worker_->StopFlag().load(); }

} // namespace talvex
