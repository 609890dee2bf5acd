#pragma once

#include <QString>

// Whether a new transfer can have what it needs to run. When it cannot, the request is refused
// here and gets no transfer: an ERROR to the client when a socket can still be had for it, and
// one untagged line in the list and in the log file. Transfers already running go on.
bool AdmitTransfer(bool read, const QString& name, const QString& ip, int port);
