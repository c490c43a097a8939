// The CGI server mode: one resident instance of the program (the server
// instance) serves the requests that short-lived CGI processes hand to it
// through files in the exchange folder (ServerExchange.h names them).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class Stream;
class StringList;
class THttpCGIEngine;

constexpr int ServerResponseWaitSeconds = 180;
constexpr int MaxServerClients = 10;
// A request file whose variables take more than this is refused like one
// without the empty line (a process environment is far smaller).
constexpr size_t MaxRequestHeadBytes = 4 * 1024 * 1024;

// Reads the variable lines of a request file from the stream's start, in
// pieces of 512 bytes, up to the first CR LF CR LF. True when that empty line
// follows at least one byte: variables then holds one entry per line (split
// at CR LF only; a lone CR or LF stays inside its line) and the stream stands
// on the first byte of the body. False leaves variables empty.
bool ReadRequestHead(Stream& request, std::vector<std::string>& variables);

// Why these variables cannot travel through a request file unchanged, or ""
// when they can. They can when there is at least one; every entry is
// NAME=value without CR, LF or a zero byte; no name comes twice, letter case
// aside and with "-" and " " read as "_" (as lookups fold names); and the
// head stays within MaxRequestHeadBytes. Else a value could end its line and
// forge the variables after it, or a second entry could shadow the first.
// The client forwards only such requests; the server refuses any other head.
std::string RequestVariablesFault(const std::vector<std::string>& entries);

// Serves the taken request base + "cnf" into base + "ind", then renames that
// to base + "rsp". An error outside the request deletes the marker file.
void ServeQueuedRequest(THttpCGIEngine* engine, const std::string& base);

// The clean-up at the end of a process started as a server launch: removes
// every exchange file and every file named <program path>_*.
void FinalizeServerMode();

// Hands a request to the resident server instance, copies its answer to
// output and ends the process.
[[noreturn]] void ForwardRequestToServer(Stream* input, Stream* output, StringList* variables);
// Serves the requests queued by forwarding clients until told to stop; ends the process.
[[noreturn]] void RunServerLoop(THttpCGIEngine* engine);
