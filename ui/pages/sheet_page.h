#pragma once
// What every page of the configuration sheet shares: its size and control
// positions in dialog units of the dialog font, the moments the sheet tells
// it about, and its model, from which it draws and to which it hands the
// user's actions.

#include <QWidget>

#include "dialog_units.h"
#include "sheet_model.h"

class QLabel;
class QLineEdit;

namespace talvex::ui {

class SheetPage : public QWidget {
    Q_OBJECT
public:
    // width and height in dialog units.
    SheetPage(SheetPageModel& model, int width, int height, QWidget* parent = nullptr);

    // The page has become the sheet's current page: the model is told, the
    // page drawn, and a message the model has for it shown over it.
    void Activate();
    bool HasBeenShown() const { return pageModel_.HasBeenShown(); }

    // OK: what the controls hold that the model takes only now.
    virtual void Commit() {}

protected:
    // Draws what may have changed since the page was last in front.
    virtual void Redraw() {}
    // True when filling the page the first time can take a while.
    virtual bool SlowToFill() const { return false; }

    // A control placed at (x, y) in the page's dialog units, also when it
    // lies inside a group box; a width or height of 0 keeps the control's own
    // size hint in that direction.
    void Place(QWidget* control, int x, int y, int width = 0, int height = 0);
    QLabel* AddLabel(const QString& text, int x, int y, QWidget* buddy = nullptr);

    const DialogUnits units_;

private:
    SheetPageModel& pageModel_;
};

// An edit box and the text the page last put into it, so that the model
// can tell a box left as it was from one the user typed into.
class DrawnBox {
public:
    explicit DrawnBox(QLineEdit* box) : box_(box) {}
    void Show(const std::string& text);
    BoxText Taken() const;
    QLineEdit* Box() const { return box_; }

private:
    QLineEdit* box_;
    QString shown_;
};

} // namespace talvex::ui
