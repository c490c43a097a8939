// The FastCGI library's reads, writes and accepts come here: the library is
// linked with them sent to this file (the linker's --wrap of OS_Read,
// OS_Write and OS_Accept, set where the engine links libfcgi).
//
// - Every byte it reads passes the input check first (FastCgiInputCheck.h),
//   so it never sees bytes the check refused: such a read fails as a broken
//   connection would, and the library closes the connection and goes on. A
//   request is read by one thread from its first record to its last, so each
//   thread keeps its own check, started over for each request.
// - The connections do not block (between requests they wait with the others,
//   FastCgiConnections.h): a read or write that cannot go on at once waits
//   here, for at most FastCgiStallSeconds without progress, then fails, which
//   ends that connection's request. A write is finished before it returns,
//   as the library expects of a blocking one.
#pragma once

constexpr int FastCgiStallSeconds = 30;

// The thread's next read starts a request at a record boundary: call before
// the library reads a further request on a connection it kept.
void RestartFastCgiInputCheck();
