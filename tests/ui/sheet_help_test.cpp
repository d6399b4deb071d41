// Help from the sheet: F1 belongs to the page that has the focus, and the
// Help page's Browse buttons store their choice at once.

#include "sheet_fixture.h"

#include <QDialogButtonBox>
#include <QTabBar>

namespace talvex::testing {
namespace {

class SheetHelpTest : public SheetTest {
protected:
    void SetUp() override {
        SheetTest::SetUp();
        saved_ = ui::Hooks().openFile;
    }
    void TearDown() override {
        ui::Hooks().openFile = saved_;
        SheetTest::TearDown();
    }
    // The file dialog answers with chosen and remembers what it was asked.
    void AnswerFileDialog(const QString& chosen) {
        ui::Hooks().openFile = [this, chosen](QWidget*, const ui::FileRequest& request) {
            requests_.push_back(request);
            return chosen;
        };
    }
    std::function<QString(QWidget*, const ui::FileRequest&)> saved_;
    std::vector<ui::FileRequest> requests_;
};

TEST_F(SheetHelpTest, F1OnAnyPageAsksForHelpButNotOnTheTabsOrButtons) {
    ConfigureValues values = Defaults();
    values.settings.protect = "Yes";
    Open(values);
    // Shortcuts work only in the active window, as for a user.
    QApplication::setActiveWindow(sheet_.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet_.get()));
    int expected = 0;
    for (const char* caption : {"Parts", "Help", "Comms", "Commands", "Protection"}) {
        SCOPED_TRACE(caption);
        GoTo(caption);
        QWidget* page = Tabs()->currentWidget();
        // The first control of the page that takes the focus.
        QWidget* control = page->nextInFocusChain();
        while (control != page && !(page->isAncestorOf(control) && control->isEnabled() &&
                                    (control->focusPolicy() & Qt::TabFocus))) {
            control = control->nextInFocusChain();
        }
        ASSERT_TRUE(page->isAncestorOf(control));
        control->setFocus();
        QTest::keyClick(control, Qt::Key_F1);
        EXPECT_EQ(helpRequests_, ++expected);
    }
    Tabs()->tabBar()->setFocus();
    QTest::keyClick(Tabs()->tabBar(), Qt::Key_F1);
    auto* ok = Find<QPushButton>("okButton");
    ok->setFocus();
    QTest::keyClick(ok, Qt::Key_F1);
    EXPECT_EQ(helpRequests_, expected) << "F1 on the sheet's own controls opens nothing";
}

TEST_F(SheetHelpTest, BrowseForTheBrowserStoresItAtOnceAndOkKeepsIt) {
    ConfigureValues values = Defaults();
    values.browser = "/opt/web/old-browser";
    Open(values);
    GoTo("Help");
    Type("helpPathBox", QStringLiteral("typed but not confirmed"));
    AnswerFileDialog(QStringLiteral("/usr/local/bin/new-browser"));
    Click("browseBrowserButton");
    ASSERT_EQ(requests_.size(), 1u);
    EXPECT_EQ(requests_[0].title, QStringLiteral("Select Browser"));
    EXPECT_EQ(requests_[0].folder, QStringLiteral("/opt/web/"));
    EXPECT_EQ(requests_[0].proposedName, QStringLiteral("old-browser"));
    EXPECT_EQ(stored_, std::vector<std::string>{"Help/Browser=/usr/local/bin/new-browser"});
    EXPECT_EQ(Find<QLineEdit>("browserBox")->text(), QStringLiteral("/usr/local/bin/new-browser"));
    EXPECT_EQ(Find<QLineEdit>("helpPathBox")->text().toStdString(), values.helpFolder)
        << "both boxes show the members again";
    EXPECT_EQ(Ok().browser, "/usr/local/bin/new-browser");
}

TEST_F(SheetHelpTest, BrowseForAHelpFileStoresItsFolderAndCancelStoresNothing) {
    ConfigureValues values = Defaults();
    values.helpFolder = "/srv/help";
    Open(values);
    GoTo("Help");
    AnswerFileDialog(QString());
    Click("browseHelpButton");
    EXPECT_TRUE(stored_.empty());
    ASSERT_EQ(requests_.size(), 1u);
    EXPECT_EQ(requests_[0].title, QStringLiteral("Select Help File"));
    EXPECT_EQ(requests_[0].folder, QStringLiteral("/srv/help"));
    EXPECT_EQ(requests_[0].proposedName, QStringLiteral("QV_P.html"));

    AnswerFileDialog(QStringLiteral("/home/me/help pages/QV_P.html"));
    Click("browseHelpButton");
    EXPECT_EQ(stored_, std::vector<std::string>{"Help/Url=/home/me/help pages"});
    EXPECT_EQ(Find<QLineEdit>("helpPathBox")->text(), QStringLiteral("/home/me/help pages"));
}

} // namespace
} // namespace talvex::testing
