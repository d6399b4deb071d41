#pragma once
// What the main window does besides drawing, for every front end: the
// opening lines, Start, Run/Reset, the unattended start, Browse and
// Configure with their write-backs, and a shutdown that never makes the
// front end's thread wait for the worker.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "help_launcher.h"
#include "run_record.h"
#include "run_result.h"
#include "serial_port.h"
#include "serial_thread.h"
#include "settings.h"
#include "startup.h"
#include "window_ops.h"

namespace talvex {

// The values the configuration sheet works on: copies, taken back on OK.
struct ConfigureValues {
    Settings settings;      // port, baud, switches, runMode, key0, mask, part, propertyPage
    std::string browser;    // the Help page's browser
    std::string helpFolder; // the Help page's folder of help pages
};

// For a front end before an unattended run begins: the notice that the
// image named by the settings cannot be used (ImageUnusableNotice), or
// empty when it can.
std::string UnusableImageNotice(const StartupResult& startup);

// Browse's open-file request for the current image file: "Select File",
// "*.hex " then "All Files", and the file split at its last separator into
// the starting folder (separator kept) and the proposed name. Without a
// separator the whole value is the name and the dialog starts in its
// default folder.
HelpBrowseRequest ImageBrowseRequest(const std::string& imageFile, char separator);

// Save log's request: "Save log", a text file named talvex-log.txt in the
// image's folder, where the operator keeps what belongs to that board.
HelpBrowseRequest LogSaveRequest(const std::string& imageFile, char separator);

// What a drop on the window chooses: the one file dropped when it is a
// regular file (the HEX reader opens nothing else), else nothing. Several
// files at once are refused rather than one picked at random.
std::optional<std::string> DroppedImage(const std::vector<std::string>& paths);

// The run record file the settings key [Log] File names, a relative name
// taken from the settings file's folder; empty when the key is not set.
std::string ConfiguredRecordFile(const std::string& settingsPath);

class DownloadSession {
public:
    // Reads every setting from the settings file start-up chose, as the
    // window does when it opens, and makes the worker (not started yet).
    // The front end must outlive the session.
    DownloadSession(IWindowOps& frontEnd, const StartupResult& startup,
                    std::unique_ptr<ISerialPort> port = nullptr);
    // Stops the worker and waits for it. A front end whose window operations
    // wait for its own thread calls RequestStop first and destroys the
    // session only once Finished() is true (WorkerFinished was told).
    ~DownloadSession();
    DownloadSession(const DownloadSession&) = delete;
    DownloadSession& operator=(const DownloadSession&) = delete;

    // The window has opened: the two opening lines, Run/Reset disabled, and
    // in an unattended run the start, as if Start had been pressed.
    void Open();

    bool Unattended() const { return unattended_; }
    const Settings& CurrentSettings() const { return settings_; }
    std::string ImagePath() const { return settings_.imageFile; }
    // "Reset" when the run mode is 1, otherwise "Run".
    std::string RunResetCaption() const;

    void Start();
    void RunReset();

    // Browse accepted: the file becomes the image and is stored at once.
    void ChooseImage(const std::string& path);

    // What Configure shows: runMode, propertyPage and the help values read
    // again now, the rest as in force.
    ConfigureValues ReadConfigureValues();
    // Configure accepted: every value taken back and stored in the order
    // the settings file expects, the line that names port and rate, and
    // Run/Reset disabled (its caption may have changed: ask again).
    void ApplyConfiguration(const ConfigureValues& values);
    // The Parts page's choice takes effect at once, whatever the sheet's
    // outcome.
    void SelectPart(const std::string& part);

    // Never blocks: the worker stops at its next step and no window
    // operation reaches the front end any more.
    void RequestStop();
    bool Finished() const;
    // Waits until the worker has nothing in hand (the download in hand has
    // ended with its last lines). False when the time ran out first.
    bool WaitIdle(std::chrono::milliseconds timeout) { return worker_->WaitIdle(timeout); }
    bool StopRequested() const;
    const std::atomic<bool>& StopFlag() const { return worker_->StopFlag(); }

    SerialThread& Worker() { return *worker_; }

    // For the production line; each is taken only before the worker starts
    // (Open() of an unattended run, the first Start or Run/Reset otherwise),
    // and refused with false after that.
    // One record line per run appended to path (empty: none), in place of
    // the file the settings key [Log] File names. A line that cannot be
    // written reaches the front end's RunRecordFailed.
    bool SetRunRecordFile(const std::string& path);
    // The line database: db: counters take their numbers from it and every
    // run's record goes to it (beside the record file, when one is set).
    // One database serves every session of the process.
    bool SetLineDatabase(std::shared_ptr<ILineDatabase> database);
    // The record file in force, empty when none.
    std::string RunRecordFile() const { return recordFile_; }
    bool SetTraceSink(std::shared_ptr<ITraceSink> sink) {
        return worker_->SetTraceSink(std::move(sink));
    }
    bool SetIdentificationLimit(std::chrono::seconds limit) {
        return worker_->SetIdentificationLimit(limit);
    }

private:
    IWindowOps& frontEnd_;
    Settings settings_;
    bool unattended_ = false;
    // These outlive the worker, which tells them about every run: the
    // result for the front end, and the record when one is kept.
    RunResultCollector results_;
    std::unique_ptr<RunRecorder> recorder_;
    std::string recordFile_;
    std::shared_ptr<ILineDatabase> database_;
    // Makes the recorder anew for the record file and database in force.
    void RemakeRecorder();
    RunObserverPair observers_;
    std::unique_ptr<SerialThread> worker_;
};

} // namespace talvex
