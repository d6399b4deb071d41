#pragma once
// Drives the configuration sheet as a user would, through object names, and
// answers its message boxes.

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config_sheet.h"
#include "dialog_hooks.h"

namespace talvex::testing {

// Every message box shown while it lives, answered at once.
class MessageRecorder {
public:
    MessageRecorder() : saved_(ui::Hooks().message) {
        ui::Hooks().message = [this](QWidget*, const QString& text) {
            texts.push_back(text.toStdString());
        };
    }
    ~MessageRecorder() { ui::Hooks().message = saved_; }
    std::vector<std::string> texts;

private:
    std::function<void(QWidget*, const QString&)> saved_;
};

// Finds controls by name and works them as a user does.
class SheetDriver {
public:
    explicit SheetDriver(QWidget* sheet = nullptr) : sheet_(sheet) {}
    void Attach(QWidget* sheet) { sheet_ = sheet; }

    template <typename T>
    T* Find(const char* name) const {
        T* widget = sheet_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << "no control named " << name;
        return widget;
    }

    QTabWidget* Tabs() const { return Find<QTabWidget>("sheetTabs"); }
    std::vector<std::string> TabCaptions() const {
        std::vector<std::string> captions;
        for (int i = 0; i < Tabs()->count(); ++i)
            captions.push_back(Tabs()->tabText(i).toStdString());
        return captions;
    }
    std::string CurrentCaption() const {
        return Tabs()->tabText(Tabs()->currentIndex()).toStdString();
    }
    // Clicks the tab with this caption.
    void GoTo(const char* caption) {
        QTabWidget* tabs = Tabs();
        for (int i = 0; i < tabs->count(); ++i) {
            if (tabs->tabText(i) == QLatin1String(caption)) {
                QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {},
                                  tabs->tabBar()->tabRect(i).center());
                ASSERT_EQ(tabs->currentIndex(), i) << caption;
                return;
            }
        }
        FAIL() << "no tab " << caption;
    }

    void Click(QAbstractButton* button) {
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(4, button->height() / 2));
    }
    void Click(const char* name) { Click(Find<QAbstractButton>(name)); }

    // Opens the drop-down and clicks the entry whose text starts with text,
    // so the pick arrives as the user's, when the drop-down closes.
    void Pick(const char* list, const QString& text) {
        QComboBox* combo = Find<QComboBox>(list);
        ASSERT_NE(combo, nullptr);
        int index = -1;
        for (int i = 0; i < combo->count() && index < 0; ++i)
            if (combo->itemText(i).startsWith(text)) index = i;
        ASSERT_GE(index, 0) << "no entry " << text.toStdString() << " in " << list;
        combo->showPopup();
        QAbstractItemView* view = combo->view();
        const QRect rect = view->visualRect(view->model()->index(index, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
        ASSERT_EQ(combo->currentIndex(), index);
        ASSERT_FALSE(view->isVisible()) << "the drop-down closed";
    }

    std::vector<std::string> Entries(const char* list) const {
        std::vector<std::string> texts;
        if (auto* combo = Find<QComboBox>(list))
            for (int i = 0; i < combo->count(); ++i)
                texts.push_back(combo->itemText(i).toStdString());
        return texts;
    }
    std::string Current(const char* list) const {
        auto* combo = Find<QComboBox>(list);
        return combo == nullptr ? std::string() : combo->currentText().toStdString();
    }

    void Type(const char* box, const QString& text) {
        auto* edit = Find<QLineEdit>(box);
        ASSERT_NE(edit, nullptr);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }

private:
    QWidget* sheet_;
};

// A temporary folder with the shipped part database in it.
class SheetTest : public ::testing::Test, public SheetDriver {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/talvex-sheet-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        partDb_ = (dir_ / "zelchip.ini").string();
        std::filesystem::copy_file(TALVEX_RES_DIR "/zelchip.ini", partDb_);
    }
    void TearDown() override {
        sheet_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Values as Configure hands them over with the settings defaults.
    ConfigureValues Defaults() const {
        ConfigureValues v;
        Settings& s = v.settings;
        s.programDir = dir_.string() + "/";
        s.settingsStem = (dir_ / "talvex").string();
        s.settingsPath = s.settingsStem + ".ini";
        s.partDbPath = partDb_;
        s.port = "COM1";
        s.baud = "9600";
        s.massErase = "No";
        s.program = "Yes";
        s.verify = "No";
        s.autorun = "No";
        s.protect = "No";
        s.part = "ZaRQ4126";
        s.key0 = "739";
        v.browser = "/usr/bin/browser";
        v.helpFolder = s.programDir;
        return v;
    }

    // Ports COM3 and COM7 unless a test says otherwise; counts the probes.
    ui::SheetServices Services() {
        ui::SheetServices services;
        services.partSelected = [this](const std::string& part) { selected_.push_back(part); };
        services.listPortEntries = [this] {
            ++probes_;
            return ports_;
        };
        services.showHelp = [this] { ++helpRequests_; };
        services.storeNow = [this](const std::string& section, const std::string& key,
                                   const std::string& value) {
            stored_.push_back(section + "/" + key + "=" + value);
        };
        return services;
    }

    // Builds the sheet and shows it, as exec() would, without a nested loop.
    ui::ConfigSheet& Open(const ConfigureValues& values) {
        sheet_ = std::make_unique<ui::ConfigSheet>(values, Services());
        Attach(sheet_.get());
        sheet_->show();
        return *sheet_;
    }

    // OK as clicked; the values the sheet gives back.
    ConfigureValues Ok() {
        Click("okButton");
        EXPECT_EQ(sheet_->result(), QDialog::Accepted);
        return sheet_->Result();
    }

    void WriteFile(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }

    std::filesystem::path dir_;
    std::string partDb_;
    std::vector<PortEntry> ports_ = {{"COM3", ""}, {"COM7", ""}};
    int probes_ = 0;
    int helpRequests_ = 0;
    std::vector<std::string> stored_;
    std::vector<std::string> selected_;
    std::unique_ptr<ui::ConfigSheet> sheet_;
};

} // namespace talvex::testing
