// The FastCGI hosting's command line and the program file a request names.
#include <gtest/gtest.h>

#include <map>

#include "engine/StringList.h"
#include "engine/hostings/FastCgiEngine.h"

namespace {

StringList Variables(std::initializer_list<const char*> entries) {
    StringList list(true);
    for (const char* e : entries) list.Add(e);
    return list;
}

}  // namespace

TEST(FastCgiSettings, AddressThreadsAndTheirErrors) {
    FastCgiSettings s = ReadFastCgiSettings({"--fastcgi", "127.0.0.1:9000", "--threads", "8"}, "", 2);
    EXPECT_EQ(s.address, "127.0.0.1:9000");
    EXPECT_EQ(s.threads, 8);
    EXPECT_EQ(s.error, "");
    // Standard input's socket, the variable, the default (kept within bounds).
    EXPECT_EQ(ReadFastCgiSettings({}, "3", 2).threads, 3);
    EXPECT_EQ(ReadFastCgiSettings({}, "", 2).threads, 2);
    EXPECT_EQ(ReadFastCgiSettings({}, "", 1000).threads, MaxFastCgiThreads);
    EXPECT_EQ(ReadFastCgiSettings({}, "", 0).threads, 1);
    EXPECT_EQ(ReadFastCgiSettings({}, "", 2).address, "");
    // The argument wins over the variable.
    EXPECT_EQ(ReadFastCgiSettings({"--threads", "5"}, "3", 2).threads, 5);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--threads", "0"}, {"--threads", "257"}, {"--threads", "x"}, {"--threads"}, {"--fastcgi"},
             {"--fastcgi", ""}, {"--other"}})
        EXPECT_NE(ReadFastCgiSettings(bad, "", 2).error, "") << bad[0];
    EXPECT_NE(ReadFastCgiSettings({}, "-1", 2).error, "");
}

// A unix socket's path (with a "/"), host:port or [IPv6]:port; anything
// else, a port alone first of all, is refused with what to give instead.
TEST(FastCgiSettings, AddressForms) {
    for (const char* good : {"/run/pictorama/fcgi.sock", "./fcgi.sock", "127.0.0.1:9000", ":9000", "localhost:9000",
                             "[::1]:9000", "[::]:65535", "0.0.0.0:1"})
        EXPECT_EQ(ReadFastCgiSettings({"--fastcgi", good}, "", 2).error, "") << good;
    const std::map<std::string, std::string> refused = {
        {"19003", "a port alone is no address (127.0.0.1:19003"},
        {"fcgi.sock", "no port"},
        {"[::1]:19004x", "port"},
        {"127.0.0.1:0", "port"},
        {"127.0.0.1:65536", "port"},
        {"127.0.0.1:", "port"},
        {"::1:9000", "brackets"},
        {"[::1]", "no port"},
        {"[1.2.3.4]:80", "IPv6"},
        {"photos.example:80", "names are not looked up"},
        {"/" + std::string(200, 'p'), "at most"},
    };
    for (const auto& [address, why] : refused) {
        std::string error = ReadFastCgiSettings({"--fastcgi", address}, "", 2).error;
        EXPECT_TRUE(error.starts_with("--fastcgi " + address + ": ")) << error;
        EXPECT_NE(error.find(why), std::string::npos) << address << ": " << error;
    }
}

TEST(FastCgiProgramFile, ScriptFilenameThenDocumentRootAndScriptName) {
    EXPECT_EQ(RequestProgramFile(Variables({"SCRIPT_FILENAME=/srv/a/pictorama.cgi", "DOCUMENT_ROOT=/x",
                                            "SCRIPT_NAME=/y.cgi"})),
              "/srv/a/pictorama.cgi");
    // Apache's proxy puts the backend before the path.
    EXPECT_EQ(RequestProgramFile(Variables({"SCRIPT_FILENAME=proxy:fcgi://127.0.0.1:9000/srv/b/pictorama.cgi"})),
              "/srv/b/pictorama.cgi");
    EXPECT_EQ(RequestProgramFile(Variables({"DOCUMENT_ROOT=/srv/c/", "SCRIPT_NAME=/g/pictorama.cgi"})),
              "/srv/c/g/pictorama.cgi");
    // Nothing usable: no program file (the request is answered 404).
    EXPECT_EQ(RequestProgramFile(Variables({"SCRIPT_FILENAME=relative.cgi"})), "");
    EXPECT_EQ(RequestProgramFile(Variables({"SCRIPT_NAME=/g/pictorama.cgi"})), "");
}
