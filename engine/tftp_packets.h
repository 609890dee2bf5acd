#pragma once

#include <QByteArray>
#include <QString>

// The TFTP packets as this server reads and writes them, built and parsed on bytes alone.
namespace TftpPackets {

inline constexpr int kOpRrq = 1;
inline constexpr int kOpWrq = 2;
inline constexpr int kOpData = 3;
inline constexpr int kOpAck = 4;
inline constexpr int kOpError = 5;
inline constexpr int kBlockSize = 512;
inline constexpr int kHeaderSize = 4;
inline constexpr int kFullDataPacket = kHeaderSize + kBlockSize;

// A read or write request as the dispatcher takes it: a datagram of at least 4 bytes whose second
// byte is 1 or 2, then a name ended by a zero byte and at least one byte more (the ignored mode).
struct Request {
    int opcode = 0; // 0: no request
    QByteArray name;
};
Request ParseRequest(const QByteArray& datagram);

// DATA with the block number's two bytes and the data bytes that follow them.
QByteArray BuildData(int block, const QByteArray& data);
// ACK repeating the two block-number bytes as given.
QByteArray BuildAck(quint8 high, quint8 low);
// ERROR with its code and text (one byte per character), then a zero byte.
QByteArray BuildError(quint16 code, const QString& text);

// The opcode byte and the block number of a received DATA or ACK; no check of the first byte.
inline int Opcode(const QByteArray& p) {
    return p.size() >= 2 ? quint8(p[1]) : -1;
}
inline int BlockOf(const QByteArray& p) {
    return quint8(p[2]) * 256 + quint8(p[3]);
}

} // namespace TftpPackets
