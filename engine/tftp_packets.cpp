#include "engine/tftp_packets.h"

namespace TftpPackets {

Request ParseRequest(const QByteArray& datagram) {
    Request r;
    if (datagram.size() < 4) {
        return r;
    }
    const int opcode = quint8(datagram[1]);
    if (opcode != kOpRrq && opcode != kOpWrq) {
        return r;
    }
    const qsizetype zero = datagram.indexOf('\0', 2);
    // No terminated name, or nothing at all after it.
    if (zero < 0 || zero == datagram.size() - 1) {
        return r;
    }
    r.opcode = opcode;
    r.name = datagram.mid(2, zero - 2);
    return r;
}

QByteArray BuildData(int block, const QByteArray& data) {
    QByteArray p;
    p.reserve(kHeaderSize + data.size());
    p.append('\0').append(char(kOpData)).append(char(block / 256)).append(char(block % 256));
    p.append(data);
    return p;
}

QByteArray BuildAck(quint8 high, quint8 low) {
    const char ack[4] = {0, char(kOpAck), char(high), char(low)};
    return QByteArray(ack, 4);
}

QByteArray BuildError(quint16 code, const QString& text) {
    QByteArray p;
    p.append('\0').append(char(kOpError)).append(char(code >> 8)).append(char(code & 0xFF));
    p.append(text.toLatin1()).append('\0');
    return p;
}

} // namespace TftpPackets
