#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace korvane {

// Wide enough for a POSIX descriptor and for a Windows SOCKET alike.
using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

// One end of a TCP connection: an IPv4 address in host byte order and a port.
struct SocketEnd {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const SocketEnd&) const = default;
};

// What starting the sockets layer reported.
struct SocketsStartup {
    int result = 0;
    std::string description;
    std::string systemStatus;
};

// The sockets layer: the program's own TCP connection to the game server and the host's own
// name and address. Addresses are IPv4 numbers in host byte order.
class Sockets {
  public:
    virtual ~Sockets() = default;

    virtual SocketsStartup Startup() = 0;
    virtual int Cleanup() = 0;

    // A new TCP stream socket, or kNoSocket.
    virtual SocketHandle OpenStream() = 0;
    // Blocking connect; 0 on success, -1 on failure (LastError() tells why).
    virtual int Connect(SocketHandle socket, uint32_t address, uint16_t port) = 0;
    // Turns off send coalescing; the result is of no interest to the program.
    virtual void SetNoDelay(SocketHandle socket) = 0;
    // Bounds how long one send may wait for room in the socket's buffer; a send that waited so
    // long returns what it wrote, or fails. The result is of no interest to the program.
    virtual void SetSendTimeout(SocketHandle socket, int milliseconds) = 0;
    // True when the peer has closed or reset the connection, so that bytes sent now would be
    // lost (LastError() then tells why). False for a connection still open, and for a handle
    // that is no connection at all, on which the send itself fails.
    virtual bool PeerClosed(SocketHandle socket) = 0;
    // One send call; the number of bytes written, or -1 on failure. Never raises a signal.
    virtual long Send(SocketHandle socket, std::span<const uint8_t> bytes) = 0;
    virtual void Close(SocketHandle socket) = 0;
    // The local end of a connected socket, or nothing when it cannot be read.
    virtual std::optional<SocketEnd> LocalEnd(SocketHandle socket) = 0;
    // The error code of the latest failed call.
    virtual int LastError() = 0;

    // The host's own name, or nothing when it cannot be read.
    virtual std::optional<std::string> HostName() = 0;
    // The first IPv4 address the name resolves to.
    virtual std::optional<uint32_t> ResolveFirstIPv4(const std::string& name) = 0;
};

// Dotted-decimal text to a host-order address, with the classic inet_addr rules; text that is
// not an address gives 0xFFFFFFFF (255.255.255.255).
uint32_t ParseDottedAddress(const std::string& text);
// A host-order address as dotted-decimal text.
std::string DottedText(uint32_t address);

}  // namespace korvane
