#pragma once
// What every page of the configuration sheet shares: its size and control
// positions in dialog units of the dialog font, and the moments the sheet
// tells it about.

#include <QWidget>

#include "dialog_units.h"
#include "download_session.h"

class QLabel;

namespace talvex::ui {

class SheetPage : public QWidget {
    Q_OBJECT
public:
    // width and height in dialog units; work is the sheet's working copy.
    SheetPage(ConfigureValues& work, int width, int height, QWidget* parent = nullptr);

    // The page has become the sheet's current page. The first time it does,
    // FirstShown runs before BecameCurrent.
    void Activate();
    bool HasBeenShown() const { return shown_; }

    // OK: the page's values go into out. A page never shown keeps the values
    // it was given, so the default takes nothing.
    virtual void TakeBack(ConfigureValues& out) { (void)out; }

protected:
    virtual void FirstShown() {}
    virtual void BecameCurrent() {}

    // A control placed at (x, y) in the page's dialog units, also when it
    // lies inside a group box; a width or height of 0 keeps the control's own
    // size hint in that direction.
    void Place(QWidget* control, int x, int y, int width = 0, int height = 0);
    QLabel* AddLabel(const QString& text, int x, int y, QWidget* buddy = nullptr);

    ConfigureValues& work_;
    const DialogUnits units_;

private:
    bool shown_ = false;
};

} // namespace talvex::ui
