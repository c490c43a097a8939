// The CGI server mode: one resident instance of the program (the server
// instance) serves the requests that short-lived CGI processes hand to it
// through files in the exchange folder <program folder>/temp.
//
// Exchange files, each named <prefix><address>_<random>_<kind>:
//   _new  request being written by the client (renamed to _REQ when complete)
//   _REQ  queued request: variable lines, an empty line, the body
//   _cnf  request taken by the server
//   _ind  response being written by the server
//   _rsp  complete response, read and deleted by the client
// <prefix>s is the server's marker file (its time stamp is the heartbeat);
// <program file name>_S.lock carries the server's presence lock.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class Stream;
class THttpCGIEngine;

constexpr int ServerRequestWriteSeconds = 30;
constexpr int ServerResponseWaitSeconds = 180;
constexpr int MaxServerClients = 10;
// A request file whose variables take more than this is refused like one
// without the empty line (a process environment is far smaller).
constexpr size_t MaxRequestHeadBytes = 4 * 1024 * 1024;

// The file whose lock tells that the server instance is alive.
std::string ServerPresenceFile();

// Reads the variable lines of a request file from the stream's start, in
// pieces of 512 bytes, up to the first CR LF CR LF. True when that empty line
// follows at least one byte: variables then holds one entry per line and the
// stream stands on the first byte of the body. False leaves variables empty.
bool ReadRequestHead(Stream& request, std::vector<std::string>& variables);

// An address as it may appear in a file name: "." becomes "-", and every
// byte outside A-Z a-z 0-9 . : _ - becomes "_"; at most 64 bytes are kept.
std::string FileNameAddress(std::string_view address);
// prefix + FileNameAddress(address) + "_" + random (below 0x0FFFFFFF) in at
// least five upper-case hexadecimal digits.
std::string RequestBaseName(const std::string& prefix, std::string_view address, uint32_t random);

// Deletes every file matching pattern whose modification time is before
// moment (seconds since the epoch); each deletion is tried up to 11 times.
void DeleteOldFiles(const std::string& pattern, double moment);

// Serves the taken request base + "cnf" into base + "ind", then renames that
// to base + "rsp". An error outside the request deletes the marker file.
void ServeQueuedRequest(THttpCGIEngine* engine, const std::string& base);

// The clean-up at the end of a process started as a server launch: removes
// every exchange file and every file named <program path>_*.
void FinalizeServerMode();
