// Every byte the FastCGI library reads from a connection passes the input
// check first (FastCgiInputCheck.h). The library is linked with its reads and
// accepts sent here (the linker's --wrap of OS_Read and OS_Accept, set where
// the engine links libfcgi), so it never sees bytes the check refused: such a
// read fails as a broken connection would, and the library closes the
// connection and goes on. A request is read by one thread from its first
// record to its last, so each thread keeps its own check, started over for
// each request.
#pragma once

// The thread's next read starts a request at a record boundary: call before
// the library reads a further request on a connection it kept.
void RestartFastCgiInputCheck();
