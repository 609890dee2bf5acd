#pragma once

// A server core on a free loopback port, a root directory, a log file and virtual time, with a
// client socket that plays the TFTP client.
#include "engine/tftp_server_core.h"
#include "platform/timer.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <memory>

class TransferFixture {
public:
    TransferFixture();
    ~TransferFixture();

    QString root() const { return rootDir.path(); }
    QString path(const QString& name) const { return root() + QLatin1Char('/') + name; }
    void writeFile(const QString& name, const QByteArray& bytes) const;
    QByteArray readFile(const QString& name) const;

    static QByteArray request(int opcode, const QByteArray& name, const QByteArray& mode = "octet");
    void sendRequest(int opcode, const QByteArray& name);
    // The client starts again on a port of its own, as a new run of a client does: its next
    // request is a newer one, not a copy of the last.
    void newClientPort();
    // Sends to the transfer's own port (the source port of the last datagram received).
    void sendToTransfer(const QByteArray& datagram);
    void ack(int block);
    static QByteArray data(int block, const QByteArray& bytes);
    // The next datagram to the client, within a short real-time wait; empty with ok false when
    // none comes.
    QByteArray receive(bool* ok = nullptr, int waitMs = 2000);
    bool silent(int waitMs = 60);
    // Acknowledges every block in lockstep until the short block; returns the file's bytes.
    QByteArray fetchRest(QByteArray firstPacket, int* blocks = nullptr);
    quint16 transferPort() const { return lastPort; }

    // Puts the server in the state a refusal case names: "receiveOnly", "transmitOnly",
    // "ranges" (only 10.0.0.1 to 10.0.0.9 admitted) or "writer" (a.bin held open for writing,
    // whose handle is returned for the caller to close).
    void* arrange(const QString& setup);

    QStringList listLines() const;
    QList<qint32> listTags() const;
    // The texts of the log file's lines, after the date, time and " :".
    QStringList logLines() const;
    void advance(qint64 ms) { time->Advance(ms); }
    // Lets the server take and answer what was sent.
    static void settle(int ms = 20);
    static int openDescriptors();
    // Descriptors of this process open on files inside `folder` (the folder itself excluded).
    static int openFilesBeneath(const QString& folder);

    // "TransmitComplete name ip error" and the like, in the order raised.
    QStringList events;

    QTemporaryDir rootDir;
    QTemporaryDir work;
    QUdpSocket client;
    quint16 serverPort = 0;
    quint16 lastPort = 0;
    std::unique_ptr<platform::VirtualTime> time;
};
