#pragma once
// Every dialog and message box the window raises goes through TDialogs, so a test can answer
// them without a user. The base class shows the real Qt dialogs; tests derive and override.

#include <QString>
#include <optional>

class QWidget;

class TDialogs {
public:
    virtual ~TDialogs() = default;

    // Plain message box: the application's title as caption, no icon, one OK button.
    virtual void ShowMessage(QWidget* owner, const QString& text);

    // The window's questions: caption "Infomation", information icon, OK and Cancel.
    // True when the user answered OK.
    virtual bool AskOkCancel(QWidget* owner, const QString& text);

    // Open-file dialog with a Qt name filter such as "Support file(*.mp3)" and no title, starting
    // in folder (empty: the dialog's own choice). Empty when cancelled.
    virtual QString OpenFileName(QWidget* owner, const QString& filter, const QString& folder);

    // Folder dialog restricted to folders. A non-empty start folder is preselected; an empty one
    // starts at the desktop. Nothing when cancelled; otherwise the folder without a trailing
    // separator (except the root folder itself).
    virtual std::optional<QString> ChooseFolder(QWidget* owner, const QString& caption,
                                                const QString& start);
};
