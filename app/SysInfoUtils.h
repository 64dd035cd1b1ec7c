#pragma once
// The window's links to the desktop: the folder dialog, showing a file in the file manager, the
// default web browser and the maker's addresses. None of these reports a failure to the user;
// a desktop service that is missing simply has no effect.

#include <QString>

class QDBusConnection;
class QWidget;
class TDialogs;

// The maker's home page and support mail address, shown in the bottom panel and the About window.
inline constexpr char HomePageAddress[] = "https://www.snipwave.example/";
inline constexpr char SupportMailAddress[] = "support@snipwave.example";

// Asks for a folder. A folder text that names no existing folder is dropped first so the
// dialog preselects nothing. True and folder replaced when the user chose one.
bool BrowseForFolder(TDialogs& dialogs, QWidget* owner, const QString& caption, QString& folder);

// Opens the file manager on the file's folder with the file selected (freedesktop
// FileManager1.ShowItems over the session bus); when no file manager answers, opens the folder
// with xdg-open.
void ShowInExplorer(const QString& fileName);
void ShowInExplorer(const QDBusConnection& bus, const QString& fileName);

// Full path of the desktop's default web browser program, or empty when it cannot be told.
QString GetDefaultBrowser();

// The program that a desktop entry's Exec line starts (its first word, unquoted), or empty when
// the entry has no Exec line in its [Desktop Entry] group.
QString ProgramOfDesktopEntry(const QString& entryText);
// The argument vector that the entry's Exec line starts to open address, program first: quoting
// and escapes undone, %u %U %f %F replaced by the address (once), %i %c %k expanded, %% kept as
// %, the deprecated codes and flatpak's @@ markers dropped; the address is appended when the line
// has no code for it. Empty when there is no Exec line or its quoting is broken.
QStringList ExecCommandLine(const QString& entryText, const QString& address,
                            const QString& entryPath = QString());

// Opens the address in the default browser, or through the desktop's URL handler when no
// browser program can be found. True when something was started.
bool OpenURL(const QString& address);

// Starts a mail to the address in the desktop's mail program.
bool OpenMailTo(const QString& address);
