#include "platform/ListeningSocket.h"

#include <io.h>


#include "platform/Process.h"

// No hosting on this system is handed a listening socket (the FastCGI
// hosting is not built here): a descriptor is never one, and there is
// nothing to accept on.
namespace platform {

bool IsListeningSocket(int) { return false; }

bool IsListeningAddress(const std::string&, std::string& why) {
    why = "no FastCGI on this system";
    return false;
}

int OpenListeningSocket(const std::string&, int, std::string& why) {
    why = "no FastCGI on this system";
    return -1;
}

bool SetNonBlocking(int) { return false; }

int AcceptConnection(int, std::string& peerAddress, bool& outOfDescriptors) {
    peerAddress.clear();
    outOfDescriptors = false;
    return -1;
}

Received ReceiveWithoutWaiting(int, char*, size_t, size_t& count) {
    count = 0;
    return Received::Ended;
}

void EndSending(int) {}

bool WaitUntilReady(int, bool, int milliseconds) {
    SleepMilliseconds(milliseconds);
    return false;
}

// Writing to a closed connection fails the write here; nothing ends the process.
void IgnoreBrokenConnections() {}

void CloseDescriptor(int fd) {
    if (fd >= 0) _close(fd);
}

}  // namespace platform
