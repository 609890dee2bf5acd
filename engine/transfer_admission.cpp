#include "engine/transfer_admission.h"

#include "engine/globals.h"
#include "engine/tftp_packets.h"
#include "engine/tftp_server_core.h"
#include "platform/descriptors.h"
#include "platform/udp_socket_control.h"

namespace {

// Descriptors kept free: Qt and GLib open some of their own whenever they need them (host-name
// lookup threads, each with a wake-up descriptor, and the resolver's files and sockets) and end
// the process when they cannot. A transfer takes two (its socket and its file).
constexpr int kDescriptorReserve = 64;

constexpr quint16 kCodeUndefined = 0;
const QString kErrNoDescriptors =
    QStringLiteral("TFTP Server Error: server has too many open files, try again later");
const QString kNoDescriptors = QStringLiteral(", but server has too many open files");

} // namespace

bool AdmitTransfer(bool read, const QString& name, const QString& ip, int port) {
    if (platform::DescriptorsLeft(kDescriptorReserve)) {
        return true;
    }
    // From a socket of its own like every answer, closed at once; the reserve has room for it.
    platform::UdpSocketControl socket;
    socket.SetRemoteHost(ip);
    socket.SetRemotePort(port);
    socket.SendData(TftpPackets::BuildError(kCodeUndefined, kErrNoDescriptors));
    socket.Close();
    const QString line = read ? QStringLiteral("Error: ") + name +
                                    QStringLiteral(" requested from ") + ip + kNoDescriptors
                              : QStringLiteral("Error: ") + ip +
                                    QStringLiteral(" wants to write ") + name + kNoDescriptors;
    TFTPServer().Log->AddItem(ListText(line));
    Globals::WriteLog(line);
    return false;
}
