// The exchange folder of the CGI server mode and the names in it: where the
// resident server instance and the short-lived CGI processes that hand
// requests to it meet, and whether such a server is alive.
//
// Exchange files, each named <prefix><address>_<random>_<kind>, with the
// prefix <private folder>/temp/<program file name>_ (the private folder is
// the program's own unless CGI_PRIVATE_DIR names another):
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

// A client must write each piece of its request within this many seconds,
// and a marker file older than this belongs to no live server.
constexpr int ServerRequestWriteSeconds = 30;

// Exact-name existence: every exchange file name is made by this program.
bool ExchangeFileExists(const std::string& path);

std::string ServerWorkDirectory();
std::string ServerFilePrefix();
std::string ServerMarkerFile();
// The file whose lock tells that the server instance is alive.
std::string ServerPresenceFile();

// A live server instance exists (its marker file is younger than
// ServerRequestWriteSeconds and it holds its presence lock), or this process
// is that instance.
bool IsServerRunning();
// Marks this process as the server instance.
void SetServerProcess(bool value);
bool IsServerProcess();

// An address as it may appear in an exchange file name: the address as a
// file name (http::AddressAsFileName) with "." turned into "-"; at most 64
// bytes are kept.
std::string FileNameAddress(std::string_view address);
// prefix + FileNameAddress(address) + "_" + random (below 0x0FFFFFFF) in at
// least five upper-case hexadecimal digits.
std::string RequestBaseName(const std::string& prefix, std::string_view address, uint32_t random);

// Deletes an exchange file, trying up to 11 times (a reader may hold it).
void DeleteWithRetries(const std::string& path);
// Deletes every file matching pattern whose modification time is before
// moment (seconds since the epoch), each with DeleteWithRetries.
void DeleteOldFiles(const std::string& pattern, double moment);
