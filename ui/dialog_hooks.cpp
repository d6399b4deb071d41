#include "dialog_hooks.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

namespace talvex::ui {

namespace {

void RealMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

QString RealOpenFile(QWidget* parent, const FileRequest& request) {
    QFileDialog dialog(parent, request.title, request.folder, request.filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::ReadOnly, true);
    if (!request.proposedName.isEmpty()) dialog.selectFile(request.proposedName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return QDir::toNativeSeparators(dialog.selectedFiles().first());
}

QString RealSaveFile(QWidget* parent, const FileRequest& request) {
    QFileDialog dialog(parent, request.title, request.folder, request.filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!request.proposedName.isEmpty()) dialog.selectFile(request.proposedName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return QDir::toNativeSeparators(dialog.selectedFiles().first());
}

} // namespace

DialogHooks& Hooks() {
    static DialogHooks hooks{RealMessage, RealOpenFile, RealSaveFile};
    return hooks;
}

void ShowMessageBox(QWidget* parent, const QString& text) { Hooks().message(parent, text); }

QString AskOpenFileName(QWidget* parent, const FileRequest& request) {
    return Hooks().openFile(parent, request);
}

QString AskSaveFileName(QWidget* parent, const FileRequest& request) {
    return Hooks().saveFile(parent, request);
}

} // namespace talvex::ui
