#pragma once
// "Parts": the part the board carries, from the part database, with its
// flash and kernel limits as the database writes them.

#include "sheet_page.h"

class QComboBox;
class QLabel;

namespace talvex::ui {

class PartsPage final : public SheetPage {
    Q_OBJECT
public:
    explicit PartsPage(PartsPageModel& model, QWidget* parent = nullptr);

protected:
    void Redraw() override;

private:
    static constexpr int kWidth = 186; // dialog units
    void DrawLimits();

    PartsPageModel& model_;
    QComboBox* partList_;
    QLabel* romStart_;
    QLabel* romEnd_;
    QLabel* kernelStart_;
    QLabel* kernelEnd_;
};

} // namespace talvex::ui
