#pragma once
// "Parts": the part the board carries, from the part database, with its
// flash and kernel limits as the database writes them.

#include <functional>
#include <string>

#include "sheet_page.h"

class QComboBox;
class QLabel;

namespace talvex::ui {

class PartsPage final : public SheetPage {
    Q_OBJECT
public:
    // partSelected is told every part that becomes the setting, at once.
    PartsPage(ConfigureValues& work, std::function<void(const std::string&)> partSelected,
              QWidget* parent = nullptr);

protected:
    void FirstShown() override;

private:
    void Choose(const std::string& part);
    void ShowLimits();

    std::function<void(const std::string&)> partSelected_;
    QComboBox* partList_;
    QLabel* romStart_;
    QLabel* romEnd_;
    QLabel* kernelStart_;
    QLabel* kernelEnd_;
};

} // namespace talvex::ui
