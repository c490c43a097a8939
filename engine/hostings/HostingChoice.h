// How the process was started, and therefore which hosting serves it:
// a web server's CGI request, a FastCGI server, a server launch (the resident instance of the
// server mode), a Win-CGI profile, or a library (platform::RunningAsLibrary).
#pragma once
#include <string>

class StringList;
class TComponent;
class THttpCGIEngine;

// A web server started this process for a CGI request: GATEWAY_INTERFACE
// begins with "CGI/" and REQUEST_METHOD is set. Such a process is a standard
// CGI request whatever its command-line arguments (servers pass the words of a
// query without "=" as arguments, or the script's own name).
bool IsWebServerCgiRequest();
// Started to serve FastCGI: standard input is a listening socket (a web
// server, mod_fcgid, spawn-fcgi or a socket unit started the program so), or
// the first argument is --fastcgi. Never inside a library or for a web
// server's CGI request, and never on Windows, which has no FastCGI hosting.
bool IsFastCgi();
// The FastCGI hosting's engine, when IsFastCgi(); null where there is none.
THttpCGIEngine* NewFastCgiEngine(TComponent* owner);
// Started by hand with one of the program's own options (--make-thumbnails,
// --help, --version, ...): a first argument beginning with "--", none of a
// web server's variables (GATEWAY_INTERFACE, REQUEST_METHOD,
// SERVER_SOFTWARE), and no FastCGI start. Never inside a library, and never
// for a web server's CGI request, whatever its arguments.
bool IsOwnerCommand();
// Started by hand to become the resident server instance (no SERVER_SOFTWARE
// and no arguments), or started by the engine with "$$START_SERVER X".
bool IsServerLaunch();
// Started as a standard CGI program.
bool IsStandardCgi();
// Started as a Win-CGI program (first argument names a profile file), or a server launch.
bool IsWinCgi();
// Every environment entry as NAME=value, sorted ignoring case; the caller owns it.
StringList* EnvironmentList();
