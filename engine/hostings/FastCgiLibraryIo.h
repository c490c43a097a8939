// The FastCGI library's reads, writes, accepts and closes come here: the
// library is linked with them sent to this file (the linker's --wrap of
// OS_Read, OS_Write, OS_Accept and OS_IpcClose, set where the engine links
// libfcgi).
//
// - It reads only the request a thread serves, from the bytes that arrived
//   before the thread took it (FastCgiRequestArrival.h), which passed the
//   input check: never the connection itself, never a byte past the
//   request's records, and past what arrived its read fails at once (the
//   program waits for no more of that request), which ends the request's
//   input and keeps the connection from serving another.
// - It never closes the connection it serves (the caller does, lingering if
//   need be, without a thread: FastCgiConnections.h), and never accepts one.
// - A write that cannot go on at once waits, for at most FastCgiStallSeconds
//   without progress, then fails, which ends that connection's request. A
//   write is finished before it returns, as the library expects of a
//   blocking one.
#pragma once

class FastCgiRequestArrival;

constexpr int FastCgiStallSeconds = 30;

// While it lives, the thread's library reads the request that arrived on
// the connection and leaves closing it to the caller.
class LibraryServesConnection {
public:
    LibraryServesConnection(int fd, FastCgiRequestArrival& arrival);
    ~LibraryServesConnection();
    LibraryServesConnection(const LibraryServesConnection&) = delete;
    LibraryServesConnection& operator=(const LibraryServesConnection&) = delete;
    // The library would have closed the connection (the web server asked it
    // to, or the request's input failed).
    bool CloseWanted() const { return closeWanted_; }

    // For the library's wrapped calls.
    int Fd() const { return fd_; }
    FastCgiRequestArrival& Arrival() { return arrival_; }
    void WantClose() { closeWanted_ = true; }

private:
    int fd_;
    FastCgiRequestArrival& arrival_;
    bool closeWanted_ = false;
};
