#pragma once
// "Comms": the serial port among those present, and the baud rate.

#include <functional>
#include <string>
#include <vector>

#include "port_info.h"
#include "sheet_page.h"

class QComboBox;

namespace talvex::ui {

class CommsPage final : public SheetPage {
    Q_OBJECT
public:
    using PortLister = std::function<std::vector<PortEntry>()>;
    CommsPage(ConfigureValues& work, PortLister listPorts, QWidget* parent = nullptr);
    void TakeBack(ConfigureValues& out) override;

    // The item role that holds an adapter's description in the port list.
    static constexpr int kDescriptionRole = Qt::UserRole + 1;

    // The rates offered, in order.
    static const std::vector<std::string>& BaudRates();

protected:
    void FirstShown() override;

private:
    void FillPorts();
    void FillRates();
    void ShowDescription();

    PortLister listPorts_;
    // The texts OK stores: what was configured, until the user picks an entry.
    std::string port_;
    std::string baud_;
    QComboBox* portList_;
    QComboBox* baudList_;
};

} // namespace talvex::ui
