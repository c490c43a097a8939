// The listening socket a resident hosting takes its connections from: one it
// was handed on a file descriptor (standard input, as web servers and
// supervisors start such programs) or one it opens on an address, made ready
// and waited on; the connections taken from it (ReadinessSet.h waits on many
// of them at once), read and written without waiting.
#pragma once
#include <cstddef>
#include <string>

namespace platform {

// True when the descriptor is a socket that listens for connections.
bool IsListeningSocket(int fd);
// Whether the text is an address to listen on: a path with a "/" (a unix
// socket), HOST:PORT with HOST a numeric IPv4 address, "localhost" or
// nothing (every IPv4 interface), or [IPV6]:PORT with a numeric IPv6
// address (every interface: [::]); PORT from 1 to 65535. If not, why.
bool IsListeningAddress(const std::string& address, std::string& why);
// Opens a socket listening on such an address, with room for backlog
// connections not yet taken; a unix socket's path may hold only an older
// socket, which is replaced. -1, and why, when it cannot.
int OpenListeningSocket(const std::string& address, int backlog, std::string& why);
// Makes accepting on the socket return at once when no connection waits.
bool SetNonBlocking(int fd);
// Takes a connection waiting on the socket (made not to block) without
// waiting; -1 when none waits or none can be taken, outOfDescriptors telling
// whether the process (or the system) has no descriptor left for it. The
// connection does not block either: a read or write that cannot go on at
// once fails with EAGAIN. peerAddress is the peer's numeric address (IPv4
// for an IPv4 peer on an IPv6 socket), empty for a local (unix) socket.
int AcceptConnection(int listenSocket, std::string& peerAddress, bool& outOfDescriptors);
// What a read that does not wait got.
enum class Received {
    Bytes,    // count bytes
    Nothing,  // no byte is there now
    Ended,    // the peer closed the connection, or it failed (count bytes before)
};
// Reads at most size bytes the connection holds, without waiting.
Received ReceiveWithoutWaiting(int fd, char* buffer, size_t size, size_t& count);
// Sends no more on the connection: the peer reads what was sent, then the end.
void EndSending(int fd);
// Waits at most that long until the descriptor can be read (or written),
// or was closed or failed; false when the time is up first. A signal does
// not end the wait.
bool WaitUntilReady(int fd, bool forWriting, int milliseconds);
// A connection the peer closed fails the write instead of ending the process.
void IgnoreBrokenConnections();
// Closes a descriptor this process opened.
void CloseDescriptor(int fd);

}  // namespace platform
