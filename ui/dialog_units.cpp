#include "dialog_units.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QStringList>
#include <algorithm>
#include <cmath>

namespace talvex::ui {

QFont DialogFont() {
    if (QFontDatabase::families().contains(QStringLiteral("MS Sans Serif"))) {
        return QFont(QStringLiteral("MS Sans Serif"), 8);
    }
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    // Desktop defaults run from 9 to 11 points; dialogs laid out for 8-point
    // text look crowded at the upper end.
    if (font.pointSizeF() > 9.0 || font.pointSizeF() <= 0) font.setPointSizeF(9.0);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    // The average width of the 52 letters is what the dialog manager uses;
    // the font's own average-width field varies too much between fonts.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    unitX_ = metrics.horizontalAdvance(letters) / static_cast<double>(letters.size()) / 4.0;
    unitY_ = metrics.height() / 8.0;
}

int DialogUnits::X(int units) const { return static_cast<int>(std::lround(units * unitX_)); }

int DialogUnits::Y(int units) const { return static_cast<int>(std::lround(units * unitY_)); }

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
}

void FitLabelToText(QLabel* label, int rightEdge) {
    const int room = std::max(label->width(), rightEdge - label->x());
    const int wanted = std::max(label->width(), label->sizeHint().width());
    label->resize(std::min(wanted, room), label->height());
}

} // namespace talvex::ui
