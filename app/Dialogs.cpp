#include "app/Dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QStandardPaths>

void TDialogs::ShowMessage(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok,
                    owner);
    box.exec();
}

bool TDialogs::AskOkCancel(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Infomation"), text,
                    QMessageBox::Ok | QMessageBox::Cancel, owner);
    return box.exec() == QMessageBox::Ok;
}

QString TDialogs::OpenFileName(QWidget* owner, const QString& filter, const QString& folder) {
    return QFileDialog::getOpenFileName(owner, QString(), folder, filter);
}

std::optional<QString> TDialogs::ChooseFolder(QWidget* owner, const QString& caption,
                                              const QString& start) {
    QString from = start;
    if (from.isEmpty()) {
        from = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        if (!QDir(from).exists())
            from = QDir::homePath();
    }
    const QString chosen =
        QFileDialog::getExistingDirectory(owner, caption, from, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return std::nullopt;
    return QDir::cleanPath(chosen);
}
