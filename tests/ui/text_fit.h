#pragma once
// Static texts whose words do not fit the space they were given, so the
// user sees them cut short.

#include <QFontMetrics>
#include <QLabel>
#include <QWidget>
#include <string>
#include <vector>

namespace talvex::testing {

inline std::vector<std::string> CutShortLabels(const QWidget& root) {
    std::vector<std::string> cut;
    for (const QLabel* label : root.findChildren<QLabel*>()) {
        if (!label->isVisibleTo(&root) || label->text().isEmpty()) continue;
        QString shown = label->text();
        if (label->buddy() != nullptr) shown.remove(QLatin1Char('&'));
        const int needed = label->fontMetrics().horizontalAdvance(shown);
        if (needed > label->contentsRect().width()) {
            cut.push_back(label->objectName().toStdString() + " \"" + shown.toStdString() +
                          "\" needs " + std::to_string(needed) + " px, has " +
                          std::to_string(label->contentsRect().width()));
        }
    }
    return cut;
}

} // namespace talvex::testing
