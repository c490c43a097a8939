// The listening socket a resident hosting takes its connections from: one it
// was handed on a file descriptor (standard input, as web servers and
// supervisors start such programs), made ready and waited on.
#pragma once

namespace platform {

// True when the descriptor is a socket that listens for connections.
bool IsListeningSocket(int fd);
// Makes accepting on the socket return at once when no connection waits.
bool SetNonBlocking(int fd);
// Waits at most that long for a connection (or an error) on the socket;
// false on timeout or an interrupting signal.
bool WaitForConnection(int fd, int milliseconds);
// A connection the peer closed fails the write instead of ending the process.
void IgnoreBrokenConnections();
// Closes a descriptor this process opened.
void CloseDescriptor(int fd);
// The number of processor cores (at least 1).
unsigned ProcessorCount();

}  // namespace platform
