#pragma once
// "Comms": the serial port among those present, and the baud rate.

#include "sheet_page.h"

class QComboBox;

namespace talvex::ui {

class CommsPage final : public SheetPage {
    Q_OBJECT
public:
    explicit CommsPage(CommsPageModel& model, QWidget* parent = nullptr);

    // The item role that holds an adapter's description in the port list.
    static constexpr int kDescriptionRole = Qt::UserRole + 1;

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
