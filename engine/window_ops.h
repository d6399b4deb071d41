#pragma once
// What the download worker may ask of its front end. The window carries each
// operation out on its own thread before returning; the console prints.

#include <cstdint>
#include <string>

namespace talvex {

enum ButtonId : int {
    kStartButton = 1002,
    kRunResetButton = 1007,
    kConfigureButton = 1029,
};

class IWindowOps {
public:
    virtual ~IWindowOps() = default;
    // A new status line, scrolled so that it is the fourth visible one.
    virtual void AddStatusLine(const std::string& text) = 0;
    // A new status line without the scroll step.
    virtual void AppendStatusLine(const std::string& text) = 0;
    virtual void SetProgressStep(int step) = 0;
    virtual void SetProgressRange(std::uint32_t upper) = 0;
    virtual void SetProgressPos(std::uint32_t position) = 0;
    virtual void EnableButton(ButtonId id, bool enable) = 0;
    // Returns once the user has closed it.
    virtual void MessageBox(const std::string& text) = 0;
    // Ends the run with the code; the first code asked for wins. Returns at
    // once.
    virtual void EndWithResult(int code) = 0;
    // In an unattended run a failure shows no message box; a console front
    // end still wants its text for the operator.
    virtual void UnattendedFailure(const std::string& text) { (void)text; }
};

} // namespace talvex
