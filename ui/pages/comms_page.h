#pragma once
// "Comms": the serial port among those present, and the baud rate.

#include "sheet_page.h"

class QComboBox;
class QFontMetrics;

namespace talvex::ui {

// What the closed port list shows of an entry in width pixels: a name too
// long for it (a /dev/serial/by-id/... path) gives up letters from its
// start, so that its end, where device names differ, and the note after it,
// such as "  (not present)", stay whole.
QString FitPortText(const QString& name, const QString& note, const QFontMetrics& metrics,
                    int width);

class CommsPage final : public SheetPage {
    Q_OBJECT
public:
    explicit CommsPage(CommsPageModel& model, QWidget* parent = nullptr);

    // The item role that holds an adapter's description in the port list.
    static constexpr int kDescriptionRole = Qt::UserRole + 1;
    // The item role that holds what the entry shows after the port's name.
    static constexpr int kNoteRole = Qt::UserRole + 2;

protected:
    void Redraw() override;
    // Opening every candidate device can take a moment.
    bool SlowToFill() const override { return true; }

private:
    void DrawPorts();
    void DrawRates();
    void ShowDescription();

    CommsPageModel& model_;
    QComboBox* portList_;
    QComboBox* baudList_;
};

} // namespace talvex::ui
