#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>

#include "engine/HttpUtils.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Path.h"
#include "support/TestSupport.h"

namespace {

// Sets an environment variable for one test and puts the old state back.
// (On Windows the time zone is the system's, not TZ's: the Windows build runs
// these tests with TZ=Europe/Berlin given to Wine, see tests/CMakeLists.txt.)
class EnvOverride {
public:
    EnvOverride(const char* name, const std::optional<std::string>& value) : name_(name) {
        std::string old;
        if (platform::ReadEnvironmentVariable(name, old)) old_ = old;
        testing_support::SetProcessVariable(name, value);
    }
    ~EnvOverride() { testing_support::SetProcessVariable(name_, old_); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

double LocalMoment(int year, int month, int day, int hour, int minute, int second) {
    platform::DateTime t;
    t.year = year, t.month = month, t.day = day, t.hour = hour, t.minute = minute, t.second = second;
    return platform::LocalToEpoch(t);
}

}  // namespace

TEST(UrlDecoding, TranslatesEscapesAndPlus) {
    EXPECT_EQ(http::UrlDecode("a%41b+x"), "aAb x");
    EXPECT_EQ(http::UrlDecode("%2B"), "+");
    EXPECT_EQ(http::UrlDecode("%2b%e9"), "+\xE9");
}

TEST(UrlDecoding, KeepsIncompleteOrInvalidEscapes) {
    EXPECT_EQ(http::UrlDecode("100%"), "100%");
    EXPECT_EQ(http::UrlDecode("%4"), "%4");
    EXPECT_EQ(http::UrlDecode("%zz1"), "%zz1");
    // The byte after a kept "%" is read normally, so it may start an escape itself.
    EXPECT_EQ(http::UrlDecode("%%41"), "%A");
    EXPECT_EQ(http::UrlDecode("%4%41"), "%4A");
}

TEST(UrlDecoding, NeverReadsPastTheGivenText) {
    std::string buffer = "x%41";
    EXPECT_EQ(http::UrlDecode(std::string_view(buffer).substr(0, 3)), "x%4");
}

TEST(UrlDecoding, PercentZeroZeroYieldsAZeroByteInside) {
    std::string decoded = http::UrlDecode("a%00b");
    ASSERT_EQ(decoded.size(), 3u);
    EXPECT_EQ(decoded, std::string("a\0b", 3));
}

TEST(UrlEncoding, EscapesAllButTheKeptBytes) {
    EXPECT_EQ(http::UrlEncode("a b/x.d"), "a+b/x.d");
    EXPECT_EQ(http::UrlEncode("a-b"), "a%2Db");
    EXPECT_EQ(http::UrlEncode("\n"), "%0A");
    EXPECT_EQ(http::UrlEncode("_~:\\Z9"), "%5F%7E%3A\\Z9");
    EXPECT_EQ(http::UrlEncode("\xE9\xFF"), "%E9%FF");
    EXPECT_EQ(http::UrlEncode(std::string("\0", 1)), "%00");
}

TEST(UrlEncoding, DecodingUndoesEncodingForEveryByte) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(http::UrlDecode(http::UrlEncode(all)), all);
}

TEST(LineList, SplitsAtCrLfAndCrLf) {
    EXPECT_EQ(http::TextToList("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    // LF CR is two line ends; a final line end adds no empty line.
    EXPECT_EQ(http::TextToList("a\n\rb\r\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(http::TextToList("\r\n\r\n"), (std::vector<std::string>{"", ""}));
    EXPECT_TRUE(http::TextToList("").empty());
}

TEST(LineList, ZeroByteEndsTheText) {
    EXPECT_EQ(http::TextToList(std::string("a\nb\0c\nd", 7)), (std::vector<std::string>{"a", "b"}));
}

TEST(HttpDates, ZoneEastOfUtcIsSubtracted) {
    EnvOverride zone("TZ", "CET-1");
    EXPECT_EQ(http::HttpDate(LocalMoment(1994, 11, 6, 9, 49, 37)), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(HttpDates, DaylightSavingIsSubtractedToo) {
    EnvOverride zone("TZ", "Europe/Berlin");
    EXPECT_EQ(http::HttpDate(LocalMoment(2006, 7, 15, 14, 30, 0)), "Sat, 15 Jul 2006 12:30:00 GMT");
    EXPECT_EQ(http::HttpDate(LocalMoment(2006, 1, 15, 14, 30, 0)), "Sun, 15 Jan 2006 13:30:00 GMT");
}

TEST(HttpDates, FractionsAreDroppedAndDigitsPadded) {
    EXPECT_EQ(http::HttpDate(0.999), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(http::HttpDate(-0.5), "Wed, 31 Dec 1969 23:59:59 GMT");
    EXPECT_EQ(http::HttpDate(951782400 + 3 * 3600 + 4 * 60 + 5), "Tue, 29 Feb 2000 03:04:05 GMT");
}

TEST(HttpDates, ImpossibleMomentsStillGiveAWellFormedDate) {
    for (double t : {double(NAN), double(INFINITY), -double(INFINITY), 1e300, -1e300}) {
        std::string date = http::HttpDate(t);
        EXPECT_EQ(date.size(), 29u) << date;
        EXPECT_TRUE(date.ends_with(" GMT")) << date;
    }
    EXPECT_EQ(http::HttpDate(1e300), "Fri, 31 Dec 9999 23:59:59 GMT");
}

TEST(EnvironmentVariables, MissingAndEmptyReadAsEmpty) {
    EnvOverride missing("PICTORAMA_TEST_VAR", std::nullopt);
    EXPECT_EQ(http::GetEnvVar("PICTORAMA_TEST_VAR"), "");
    EnvOverride empty("PICTORAMA_TEST_VAR2", "");
    EXPECT_EQ(http::GetEnvVar("PICTORAMA_TEST_VAR2"), "");
}

TEST(EnvironmentVariables, ServerSoftwareWithZBIsHiddenOnlyUnderItsExactName) {
    EnvOverride upper("SERVER_SOFTWARE", "xZBx/1.0");
    EXPECT_EQ(http::GetEnvVar("SERVER_SOFTWARE"), "");
    EnvOverride lower("server_software", "xZBx/1.0");
    EXPECT_EQ(http::GetEnvVar("server_software"), "xZBx/1.0");
    EnvOverride other("SERVER_SOFTWARE", "Apache/2.4 zb");
    EXPECT_EQ(http::GetEnvVar("SERVER_SOFTWARE"), "Apache/2.4 zb");
}

TEST(EnvironmentVariables, LongValueComesBackWhole) {
    // Longer than any first buffer, and within what every system holds
    // (Windows keeps at most 32767 characters in a variable).
    std::string value(32 * 1000, 'v');
    value.back() = 'e';
    EnvOverride big("PICTORAMA_TEST_VAR", value);
    EXPECT_EQ(http::GetEnvVar("PICTORAMA_TEST_VAR"), value);
}

TEST(LogFilePath, RelativeDirectoryIsResolvedBesideTheProgram) {
    EXPECT_EQ(http::ComposeFilePath("/srv/web/pictorama.cgi", "./log", false, "pictorama.cgi", false, "Log"),
              "/srv/web/log/pictorama.Log");
    // The name part ends at the first dot.
    EXPECT_EQ(http::ComposeFilePath("/srv/web/pictorama.2006.cgi", "./log", false, "pictorama.2006.cgi", false, "Log"),
              "/srv/web/log/pictorama.Log");
    EXPECT_EQ(http::ComposeFilePath("/srv/web/p.cgi", "a/./b/", false, "p", false, "Log"), "/srv/web/a/b/p.Log");
}

TEST(LogFilePath, AbsoluteDirectoryIsTakenAsItStands) {
    EXPECT_EQ(http::ComposeFilePath("/srv/web/pictorama.cgi", "/var/log/gallery", false, "pictorama.cgi", false, "Log"),
              "/var/log/gallery/pictorama.Log");
    EXPECT_EQ(http::ComposeFilePath("/srv/web/pictorama.cgi", "/var/log/", false, "pictorama.cgi", false, "Log"),
              "/var/log/pictorama.Log");
    EXPECT_EQ(http::ComposeFilePath("C:\\web\\p.exe", "D:\\logs", false, "p.exe", false, "Log"), "D:\\logs/p.Log");
}

TEST(LogFilePath, AbsoluteNameIsReturnedUnchanged) {
    EXPECT_EQ(http::ComposeFilePath("/srv/web/p.cgi", "./log", false, "/tmp/x//./y.log", false, "Log"),
              "/tmp/x//./y.log");
    EXPECT_EQ(http::ComposeFilePath("/srv/web/p.cgi", "./log", false, "D:\\x.log", false, "Log"), "D:\\x.log");
}

TEST(LogFilePath, LeadingDoubleSeparatorLosesOne) {
    EXPECT_EQ(http::ComposeFilePath("//srv/p.cgi", "log", false, "p", false, "Log"), "/srv/log/p.Log");
}

TEST(LogFilePath, PartsComeFromTheBaseWhenAsked) {
    EXPECT_EQ(http::ComposeFilePath("/srv/pictorama.cgi", ".", true, "x", true, ""), "/srv/pictoramax.cgi");
    EXPECT_EQ(http::ComposeFilePath("/srv/a.b/prog", ".", true, "n.e", true, "Log"), "/srv/a.b/n.Log");
    // Without an extension argument the name's own extension is kept.
    EXPECT_EQ(http::ComposeFilePath("/srv/p.cgi", ".", false, "trace.tar.gz", false, ""), "/srv/trace.tar.gz");
}

TEST(LogFilePath, NameWithARelativeFolderKeepsTheFolder) {
    EXPECT_EQ(http::ComposeFilePath("/srv/p.cgi", "log", false, "old.d/p.cgi", false, "Log"), "/srv/log/old.d/p.Log");
    EXPECT_EQ(http::ComposeFilePath("/srv/p.cgi", "log", false, "old.d/p", false, "Log"), "/srv/log/old.d/p.Log");
}

TEST(LogFilePath, BaseWithoutFolderStaysRelative) {
    EXPECT_EQ(http::ComposeFilePath("p.cgi", "./log", false, "p.cgi", false, "Log"), "./log/p.Log");
}

TEST(LogFilePath, LongPathsAreNotCut) {
    std::string folder = "/srv/" + std::string(1500, 'd');
    EXPECT_EQ(http::ComposeFilePath(folder + "/p.cgi", "./log", false, "p.cgi", false, "Log"),
              folder + "/log/p.Log");
}

TEST(FileSearch, DirectoriesMatchOnlyWhenAsked) {
    testing_support::TempDir dir;
    std::filesystem::create_directory(dir / "Log");
    EXPECT_FALSE(http::FindFile(dir / "log", false));
    std::string found;
    EXPECT_TRUE(http::FindFile(dir / "log", true, &found));
    EXPECT_EQ(found, "Log");
}

TEST(FileSearch, FilesMatchByMaskIgnoringCase) {
    testing_support::TempDir dir;
    testing_support::WriteFile(dir / "IMG_0001.JPG", "x");
    std::string found;
    EXPECT_TRUE(http::FindFile(dir / "*.jpg", false, &found));
    EXPECT_EQ(found, "IMG_0001.JPG");
    EXPECT_FALSE(http::FindFile(dir / "*.gif", true));
    EXPECT_FALSE(http::FindFile(dir / "missing/*", true));
}

TEST(ModulePath, NamesTheRunningProgram) {
    std::string path = http::ModulePath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(std::filesystem::path(path).is_absolute()) << path;
    EXPECT_TRUE(path.ends_with(platform::NativeSeparator + std::string("unit_tests" PICTORAMA_EXECUTABLE_SUFFIX)))
        << path;
}

TEST(AddressAsFileName, KeepsAddressesAndNeutralisesEverythingElse) {
    EXPECT_EQ(http::AddressAsFileName("192.168.1.5"), "192.168.1.5");
    EXPECT_EQ(http::AddressAsFileName("::1"), "::1");
    EXPECT_EQ(http::AddressAsFileName("fe80::1%eth0"), "fe80::1_eth0");
    // No separator, no parent step that could leave the folder, no NUL.
    EXPECT_EQ(http::AddressAsFileName("../x/y\\z"), ".._x_y_z");
    EXPECT_EQ(http::AddressAsFileName(std::string("a\0b\r\n", 5)), "a_b__");
    EXPECT_EQ(http::AddressAsFileName(""), "");
}
