// The server mode's request files: reading the variable lines, base names,
// sweeping old files.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/hostings/ServerExchange.h"
#include "engine/hostings/ServerMode.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Stream.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {
MemoryStream StreamOf(const std::string& bytes) {
    MemoryStream s;
    s.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    s.Seek(0, 0);
    return s;
}

std::string Rest(Stream& s) {
    std::string out;
    char b[300];
    for (int64_t n; (n = s.Read(b, sizeof b)) > 0;) out.append(b, static_cast<size_t>(n));
    return out;
}
}  // namespace

TEST(RequestFileHead, VariablesEndAtTheEmptyLineAndTheStreamStandsOnTheBody) {
    MemoryStream s = StreamOf("A=1\r\nB=x y\r\n\r\nbody\r\n\r\nmore");
    std::vector<std::string> vars;
    ASSERT_TRUE(ReadRequestHead(s, vars));
    EXPECT_EQ(vars, (std::vector<std::string>{"A=1", "B=x y"}));
    EXPECT_EQ(Rest(s), "body\r\n\r\nmore");
}

TEST(RequestFileHead, WithoutTheEmptyLineThereIsNoRequest) {
    for (std::string bytes : {"", "A=1\r\nB=2", "A=1\r\nB=2\r\n", "A=1\n\nbody", "\r\n\r\nA=1"}) {
        MemoryStream s = StreamOf(bytes);
        std::vector<std::string> vars{"left over"};
        EXPECT_FALSE(ReadRequestHead(s, vars)) << bytes;
        EXPECT_TRUE(vars.empty());
    }
}

TEST(RequestFileHead, EmptyLineAcrossThePieceBoundaryIsFound) {
    // The reader takes 512 bytes at a time; the CR LF CR LF straddles pieces.
    for (size_t lineLength : {505u, 506u, 507u, 508u, 509u, 1020u}) {
        std::string line = "V=" + std::string(lineLength - 2, 'x');
        MemoryStream s = StreamOf(line + "\r\n\r\nBODY");
        std::vector<std::string> vars;
        ASSERT_TRUE(ReadRequestHead(s, vars)) << lineLength;
        EXPECT_EQ(vars, std::vector<std::string>{line});
        EXPECT_EQ(Rest(s), "BODY");
    }
}

TEST(RequestFileHead, HeadLargerThanTheBoundIsRefused) {
    std::string big(MaxRequestHeadBytes + 1024, 'a');
    MemoryStream s = StreamOf("A=" + big + "\r\n\r\n");
    std::vector<std::string> vars;
    EXPECT_FALSE(ReadRequestHead(s, vars));
}

TEST(RequestFileHead, OnlyCrLfSplitsLinesSoAStrayBreakStaysVisible) {
    MemoryStream s = StreamOf(std::string("A=1\nB=2\r\nC=3\r4\r\nD=\0x\r\n\r\nbody", 28));
    std::vector<std::string> vars;
    ASSERT_TRUE(ReadRequestHead(s, vars));
    EXPECT_EQ(vars, (std::vector<std::string>{"A=1\nB=2", "C=3\r4", std::string("D=\0x", 4)}));
    EXPECT_EQ(Rest(s), "body");
    EXPECT_EQ(RequestVariablesFault(vars), "line break or zero byte in a variable");
}

TEST(RequestVariables, WhatCannotTravelUnchangedIsNamed) {
    const std::vector<std::string> plain = {"REQUEST_METHOD=GET", "QUERY_STRING=a=b&c", "EMPTY=", "=no name",
                                            "HTTP_X_A=1", "HTTP_X_B=1"};
    EXPECT_EQ(RequestVariablesFault(plain), "");
    struct Case {
        std::vector<std::string> entries;
        std::string fault;
    };
    const std::string breaks = "line break or zero byte in a variable";
    for (const Case& c : std::vector<Case>{
             {{}, "no variables"},
             {{"PATH_INFO=/x\nPATH_TRANSLATED=/elsewhere"}, breaks},
             {{"QUERY_STRING=REPAIR\r\n\r\nbody"}, breaks},
             {{"A=1", "HTTP_X=\r"}, breaks},
             {{"NAME\n=1"}, breaks},
             {{std::string("A=1\0B=2", 7)}, breaks},
             {{"A=1", "JUST A LINE"}, "variable without \"=\""},
             {{"Query_String=S", "QUERY_STRING=REPAIR"}, "variable named twice"},
             {{"HTTP_X-A=1", "HTTP_X A=2", "HTTP_X_A=3"}, "variable named twice"},
             {{"=1", "=2"}, "variable named twice"},
         })
        EXPECT_EQ(RequestVariablesFault(c.entries), c.fault) << ::testing::PrintToString(c.entries);
}

TEST(RequestVariables, HeadUpToTheReadersBoundTravels) {
    // Two lines and the CR LF between them fill the bound exactly.
    std::string first = "A=" + std::string(1000, 'a');
    std::string second = "B=" + std::string(MaxRequestHeadBytes - first.size() - 2 - 2, 'b');
    EXPECT_EQ(RequestVariablesFault({first, second}), "");
    MemoryStream s = StreamOf(first + "\r\n" + second + "\r\n\r\n");
    std::vector<std::string> vars;
    EXPECT_TRUE(ReadRequestHead(s, vars));
    EXPECT_EQ(RequestVariablesFault({first, second + "b"}), "variables too long");
}

TEST(RequestBaseNames, AddressDotsBecomeDashesAndTheRandomPartIsHex) {
    EXPECT_EQ(RequestBaseName("/t/p.cgi_", "10.0.0.7", 0x3FA9C), "/t/p.cgi_10-0-0-7_3FA9C");
    EXPECT_EQ(RequestBaseName("/t/p.cgi_", "10.0.0.7", 0xAB), "/t/p.cgi_10-0-0-7_000AB");
    EXPECT_EQ(RequestBaseName("/t/p.cgi_", "::1", 0x0FFFFFFE), "/t/p.cgi_::1_FFFFFFE");
}

TEST(RequestBaseNames, AddressCanNeverLeaveTheExchangeFolder) {
    EXPECT_EQ(FileNameAddress("../../etc/x"), "--_--_etc_x");
    EXPECT_EQ(FileNameAddress(std::string("a\0b/c\\d e\xff", 10)), "a_b_c_d_e_");
    EXPECT_EQ(FileNameAddress("fe80::1%eth0"), "fe80::1_eth0");
    EXPECT_EQ(FileNameAddress(std::string(300, '1')).size(), 64u);
}

TEST(DeleteOldFilesSweep, DeletesOnlyMatchingFilesOlderThanTheMoment) {
    TempDir dir;
    double now = platform::NowSeconds();
    for (const char* name : {"p_old_rsp", "p_new_rsp", "other_old"}) WriteFile(dir / name, "x");
    platform::SetFileModificationTime(dir / "p_old_rsp", now - 3600);
    platform::SetFileModificationTime(dir / "other_old", now - 3600);
    std::filesystem::create_directory(dir / "p_folder");
    DeleteOldFiles(dir / "P_*", now - 900);
    EXPECT_FALSE(Exists(dir / "p_old_rsp"));
    EXPECT_TRUE(Exists(dir / "p_new_rsp"));
    EXPECT_TRUE(Exists(dir / "other_old"));
    EXPECT_TRUE(Exists(dir / "p_folder"));
}
