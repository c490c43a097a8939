// FastCGI: one resident process serves request after request, several at
// once, over the FastCGI protocol (libfcgi reads and writes its records). The
// connections come from a listening socket the process was handed on
// standard input (as web servers and supervisors start such programs) or
// opened from an address on the command line:
//
//     pictorama.cgi --fastcgi ADDRESS [--threads N]
//
// ADDRESS is the path of a unix socket (it has a "/"), host:port (":9000"
// for every interface) or [IPv6]:port; anything else is refused, as is any
// other setting that cannot be served, with status 2 (UsageError). The pool
// has one thread per core unless --threads or the variable
// PICTORAMA_FASTCGI_THREADS says otherwise (1 to MaxFastCgiThreads). A
// thread takes a connection only once its request has arrived
// (FastCgiConnections.h), serves that request with its own context, as the
// library does, and gives a connection the web server keeps back to wait;
// response bytes are those of standard CGI. A request that names no program
// file, or one that is not there, gets 404. A stop signal (SIGTERM) lets the
// requests in flight finish and serves those that have arrived, then the
// process ends.
#pragma once
#include <string>
#include <vector>

#include "engine/hostings/HttpCgiEngine.h"

// The pool never has more threads than this.
constexpr int MaxFastCgiThreads = 256;
// A thread waiting for a connection looks for a stop request this often.
constexpr int FastCgiStopCheckMilliseconds = 200;

// How the process was asked to serve FastCGI.
struct FastCgiSettings {
    std::string address;  // empty: the socket on standard input
    int threads = 0;      // size of the pool
    std::string error;    // why the command line cannot be served, or empty
};

// Reads "--fastcgi ADDRESS" and "--threads N" from the arguments; the
// variable's value sets the pool when no argument does; defaultThreads
// otherwise. An address that is none is an error.
FastCgiSettings ReadFastCgiSettings(const std::vector<std::string>& arguments, const std::string& threadsVariable,
                                    int defaultThreads);

// The program file the request addresses, whose folder holds the gallery's
// side files, trace and slideshow positions: SCRIPT_FILENAME (a proxy's
// "proxy:fcgi://host:port" prefix taken off), else DOCUMENT_ROOT and
// SCRIPT_NAME, else empty (no program file: the request is for no gallery).
std::string RequestProgramFile(const StringList& variables);

// A resident process: a request's end, its error page included, is not the
// process's; the last-request event fires once, when serving stops.
class TFastCgiEngine : public THttpCGIEngine {
public:
    explicit TFastCgiEngine(TComponent* owner) : THttpCGIEngine(owner) { SetLifetime(TProcessLifetime::Resident); }
    // Finishes the thread's request, if any, without ending the process.
    void Terminate() override;
    // Serves connections until a stop signal; the streams given are unused.
    void ServeRequest(Stream* input, Stream* output, StringList* variables) override;
};

// Serves the request of a connection waiting on the listening socket (made
// not to block), once it has arrived as the pool would take it, and closes
// the connection; false when no request came. The fuzz harness drives the
// hosting with it.
bool ServeWaitingConnection(TFastCgiEngine* engine, int listenSocket);
