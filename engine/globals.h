#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The server's process-wide settings, loaded from "TFTP Server"/"Config" of the settings store.
// Their users read and write them directly; the configuration dialog and the automation class
// store what they change.
namespace Globals {

// Directory that every requested name is taken relative to.
extern QString RootDir;
// RootDir as the file system names it. Names that clients send are appended to it byte for
// byte; the root itself is text the operator typed, so it takes the system's encoding.
QByteArray RootDirPath();
// Show the tray icon.
extern bool TaskBar;
// ReceiveOnly refuses read requests, TransmitOnly refuses write requests.
extern bool ReceiveOnly;
extern bool TransmitOnly;
// Off: WriteLog writes nothing, as the dialog's choice not to log requests promises.
extern bool Logging;
extern QString LogFile;
// Minutes without transfer activity before the program closes itself.
extern qint32 InactivityMinutes;
// Minutes left; counted down by the main window.
extern qint32 MinutesRemaining;

// Fills every setting from the store; a stored text that does not convert leaves its setting
// as it was. Creates RootDir (one level; failure ignored).
void LoadSettings();
// Starts the inactivity count again from InactivityMinutes.
void ResetInactivity();
// Appends one dated line to LogFile (opened and closed for the line) when Logging is on. The
// text is a transfer's line: a client's name in it reaches the file as the bytes the client sent
// (see LogFileText). A failure adds one untagged error line to the main window's list (when that
// window is loaded) and is otherwise silent.
void WriteLog(const QString& text);

// The folder of the program's executable; tests may point it elsewhere (empty: the real one).
QString ProgramFolder();
void SetProgramFolder(const QString& folder);
// The root directory used when none is stored. There are no drive letters here, so it is the
// root of the one file tree; tests may point it elsewhere (empty: the real one).
QString DefaultRootDir();
void SetDefaultRootDir(const QString& folder);

} // namespace Globals
