#pragma once

#include <QString>

// Self-registration of the automation server: the session bus's activatable service file that
// has the bus start this program with --automation when a client asks for "TFTP.Server" or
// "TFTP.IPRange" and no process serves them yet.

// Where the service file goes: $XDG_DATA_HOME/dbus-1/services when that is set; else, for
// root, the machine-wide /usr/local/share/dbus-1/services that every user's session bus reads;
// else the user's own ~/.local/share/dbus-1/services.
QString AutomationServiceFolder();
// Writes the service file naming `program` (an absolute path); false when it cannot be written.
bool RegisterAutomationServer(const QString& program);
// Removes the service file; a file that is not there is no failure.
bool UnregisterAutomationServer();
