#pragma once
// Dialog layouts are given in dialog units: a quarter of the dialog font's
// average character width across, an eighth of its height down. Converting
// with the real font keeps the proportions on any font and scale.

#include <QFont>
#include <QRect>

class QLabel;

namespace talvex::ui {

// "MS Sans Serif" 8 pt where the system has it, else the platform's own UI
// font at a comparable size.
QFont DialogFont();

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int X(int units) const; // horizontal units to pixels
    int Y(int units) const; // vertical units to pixels
    QRect Rect(int x, int y, int width, int height) const;

private:
    double unitX_;
    double unitY_;
};

// The layouts were drawn for a font whose figures and letters are narrower
// than most fonts a desktop offers, so a static text placed at its given
// width can lose its last letters. This widens the label to its text, up to
// rightEdge (in its parent's pixels), and never makes it narrower.
void FitLabelToText(QLabel* label, int rightEdge);

} // namespace talvex::ui
