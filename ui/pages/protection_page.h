#pragma once
// "Protection": which flash units the chip protects, and the key. One list
// line per unit of the part's protection table, one mask bit per line.

#include <cstdint>

#include "sheet_page.h"

class QListWidget;

namespace talvex::ui {

class ProtectionPage final : public SheetPage {
    Q_OBJECT
public:
    explicit ProtectionPage(ProtectionPageModel& model, QWidget* parent = nullptr);
    void Commit() override;

    // The mask the highlighted lines stand for.
    std::uint64_t MaskFromHighlights() const { return model_.MaskFromHighlights(); }

    // A line's item value: the unit's bit (0..31) in bits 0-4, and bit 5 set
    // when the bit lies in the high half of the mask.
    static constexpr int kItemValueRole = Qt::UserRole;

protected:
    // Every time the page comes to the front the list is drawn again, as
    // the model rebuilt it for the part in force and the saved mask.
    void Redraw() override;

private:
    void DrawHighlights();
    void TakeHighlights();

    ProtectionPageModel& model_;
    QListWidget* unitList_;
    DrawnBox keyBox_;
    bool keyShown_ = false;
};

// The list's font: fixed pitch, 24/160 of an inch high at the given
// horizontal resolution, medium weight.
QFont ProtectionListFont(int dotsPerInchX);

} // namespace talvex::ui
