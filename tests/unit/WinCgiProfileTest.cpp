// Reading Win-CGI profiles: line rules, sections, form fields, the body and
// the output file.
#include <gtest/gtest.h>

#include <map>

#include "engine/StringList.h"
#include "engine/hostings/WinCgiEngine.h"
#include "support/EngineHarness.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

struct Parsed {
    StringList variables{false};
    ProfileContents contents;
};

// Parses profile bytes; [Form External] files come from the map.
Parsed Parse(const std::string& bytes, const std::map<std::string, std::string>& files = {}) {
    Parsed p;
    MemoryStream in;
    in.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    in.Seek(0, 0);
    ParseProfile(in, p.variables, p.contents, [&](const std::string& path, int64_t count, std::string& content) {
        auto it = files.find(path);
        if (it == files.end()) return false;
        content = it->second.substr(0, static_cast<size_t>(count));
        return true;
    });
    return p;
}

std::string Entries(const StringList& list) {
    std::string s;
    for (const auto& e : list.Items()) s += e + "|";
    return s;
}

std::string Body(Stream* input) {
    std::string s;
    char buffer[256];
    for (int64_t n; input && (n = input->Read(buffer, sizeof buffer)) > 0;) s.append(buffer, static_cast<size_t>(n));
    return s;
}

}  // namespace

TEST(ProfileLines, CrEndsALineAndTheLfAfterItIsDropped) {
    Parsed p = Parse("[CGI]\rA=1\r\nB=2\r\n\r\n  \t C = 3 \r");
    EXPECT_EQ(Entries(p.variables), "A=1|B=2|C=3|");
}

TEST(ProfileLines, LastLineWithoutCrIsNotRead) {
    EXPECT_EQ(Entries(Parse("[CGI]\r\nA=1\r\nB=2").variables), "A=1|");
    EXPECT_EQ(Entries(Parse("[CGI]\r\nA=1\r\nB=2\n").variables), "A=1|");
}

TEST(ProfileLines, LoneLfDoesNotEndALine) {
    // Only CR ends a line: "A=1\nB=2" is one entry whose value holds the LF.
    Parsed p = Parse("[CGI]\rA=1\nB=2\r");
    ASSERT_EQ(p.variables.Count(), 1u);
    EXPECT_EQ(p.variables[0], "A=1\nB=2");
}

TEST(ProfileLines, OverlongLineKeepsItsFirst16383Characters) {
    std::string value(20000, 'v');
    Parsed p = Parse("[CGI]\r\nK=" + value + "\r\nNext=1\r\n");
    ASSERT_EQ(p.variables.Count(), 2u);
    EXPECT_EQ(p.variables[0].size(), MaxProfileLineLength);
    EXPECT_EQ(p.variables[0], "K=" + std::string(MaxProfileLineLength - 2, 'v'));
    // The cut-off rest is not read as an entry of its own.
    EXPECT_EQ(p.variables[1], "Next=1");
}

TEST(ProfileLines, EntriesWithoutEqualsOrWithEmptyKeyAreIgnored) {
    Parsed p = Parse("[CGI]\r\njust text\r\n=value\r\n  = x\r\nEmpty=\r\nK= a=b \r\n");
    EXPECT_EQ(Entries(p.variables), "Empty=|K=a=b|");
}

TEST(ProfileSections, CgiSystemAndExtraHeadersBecomeVariablesWithUnderscores) {
    Parsed p = Parse(
        "[CGI]\r\nRequest Method=GET\r\n[ system ]\r\nOutput File=/tmp/o\r\n"
        "[Extra Headers]\r\nUser Agent=Mozilla/5.0 (X11)\r\n[Other]\r\nIgnored=1\r\n");
    EXPECT_EQ(Entries(p.variables), "Request_Method=GET|Output_File=/tmp/o|User_Agent=Mozilla/5.0 (X11)|");
    EXPECT_FALSE(p.contents.hasFormInput);
}

TEST(ProfileSections, SectionNameIsTrimmedUpperCasedAndCutAtTheFirstBracket) {
    Parsed p = Parse("  [  extra headers ]] trailing\r\nHost=h\r\n[cgi\r\nX=1\r\n");
    EXPECT_EQ(Entries(p.variables), "Host=h|X=1|");
}

TEST(ProfileSections, EntriesBeforeAnySectionAreIgnored) {
    EXPECT_EQ(Parse("A=1\r\n[CGI]\r\nB=2\r\n").variables.Count(), 1u);
}

TEST(ProfileSections, AcceptCollectsKeysWhoseValueIsYes) {
    Parsed p = Parse("[Accept]\r\ntext/html=Yes\r\nimage/gif=No\r\nimage/png=yES\r\n*/*=\r\n");
    EXPECT_EQ(p.contents.accept, (std::vector<std::string>{"text/html", "image/png"}));
    EXPECT_EQ(p.variables.Count(), 0u);
}

TEST(ProfileForms, LiteralValuesAreUrlEncodedKeysAreNot) {
    Parsed p = Parse("[Form Literal]\r\nname=A B\r\nk y=a-b&c\r\n");
    EXPECT_TRUE(p.contents.hasFormInput);
    EXPECT_EQ(p.contents.formInput, "name=A+B&k y=a%2Db%26c&");
}

TEST(ProfileForms, ExternalValueIsReadUpToItsCountFromTheNamedFile) {
    Parsed p = Parse("[Form External]\r\nbig=/x/my file.txt 5\r\n", {{"/x/my file.txt", "hello world"}});
    EXPECT_EQ(p.contents.formInput, "big=hello&");
}

TEST(ProfileForms, ExternalEntriesWithBadCountsOrMissingFilesAreDropped) {
    std::map<std::string, std::string> files{{"/f", "abc"}};
    for (const char* value : {"/f", "/f x", "/f 12345678901", "/f -1", "/f 1e3", "/missing 3", " 3", "/f 99999999999"}) {
        Parsed p = Parse(std::string("[Form External]\r\nk=") + value + "\r\n", files);
        EXPECT_FALSE(p.contents.hasFormInput) << value;
    }
    // Ten digits is a valid count; above the bound it is a bad one.
    EXPECT_FALSE(Parse("[Form External]\r\nk=/f 9999999999\r\n", files).contents.hasFormInput);
    EXPECT_EQ(Parse("[Form External]\r\nk=/f 0000000002\r\n", files).contents.formInput, "k=ab&");
}

TEST(ProfileForms, ExternalFileShorterThanItsCountGivesWhatItHas) {
    TempDir dir;
    WriteFile(dir / "v.txt", "x y");
    std::string content;
    ASSERT_TRUE(ReadFormExternalFile(dir / "v.txt", 100, content));
    EXPECT_EQ(content, "x y");
    ASSERT_TRUE(ReadFormExternalFile(dir / "v.txt", 2, content));
    EXPECT_EQ(content, "x ");
    EXPECT_FALSE(ReadFormExternalFile(dir / "none.txt", 2, content));
    EXPECT_FALSE(ReadFormExternalFile(dir / "v.txt", MaxFormExternalBytes + 1, content));
}

TEST(ReadProfileFile, ContentFileIsTheBodyAndReplacesTheFormFields) {
    TempDir dir;
    WriteFile(dir / "body", "a=1&b=2");
    WriteFile(dir / "p.ini", "[CGI]\r\nRequest Method=POST\r\nContent Length=7\r\n[System]\r\nContent File=" +
                                 (dir / "body") + "\r\nOutput File=" + (dir / "out") +
                                 "\r\n[Form Literal]\r\nz=9\r\n[Accept]\r\ntext/html=Yes\r\nimage/gif=No\r\n");
    StringList vars(true);
    Stream *in = nullptr, *out = nullptr;
    std::string outName;
    ReadProfile(dir / "p.ini", outName, in, vars, out);
    std::unique_ptr<Stream> ownIn(in), ownOut(out);
    EXPECT_EQ(outName, dir / "out");
    EXPECT_EQ(Body(in), "a=1&b=2");
    EXPECT_EQ(vars.Value("HTTP_ACCEPT"), "text/html");
    EXPECT_EQ(vars.Value("REQUEST_METHOD"), "POST");
    EXPECT_TRUE(Exists(dir / "out"));
}

TEST(ReadProfileFile, WithoutContentFileTheFormFieldsAreTheBody) {
    TempDir dir;
    WriteFile(dir / "p.ini", "[System]\r\nOutput File=" + (dir / "out") + "\r\nContent File=" + (dir / "gone") +
                                 "\r\n[Form Literal]\r\nname=A B\r\n");
    StringList vars(true);
    Stream *in = nullptr, *out = nullptr;
    std::string outName;
    ReadProfile(dir / "p.ini", outName, in, vars, out);
    std::unique_ptr<Stream> ownIn(in), ownOut(out);
    EXPECT_EQ(Body(in), "name=A+B&");
    EXPECT_EQ(vars.IndexOfName("HTTP_ACCEPT"), -1);
}

TEST(ReadProfileFile, NoFormFieldsAndNoContentFileMeansNoInput) {
    TempDir dir;
    WriteFile(dir / "p.ini", "[System]\r\nOutput File=" + (dir / "out") + "\r\n");
    StringList vars(true);
    Stream *in = nullptr, *out = nullptr;
    std::string outName;
    ReadProfile(dir / "p.ini", outName, in, vars, out);
    std::unique_ptr<Stream> ownOut(out);
    EXPECT_EQ(in, nullptr);
}

TEST(ReadProfileFile, ExistingOutputFileIsWrittenFromItsStartWithoutTruncation) {
    TempDir dir;
    WriteFile(dir / "out", "0123456789");
    WriteFile(dir / "p.ini", "[System]\r\nOutput File=" + (dir / "out") + "\r\n");
    StringList vars(true);
    Stream *in = nullptr, *out = nullptr;
    std::string outName;
    ReadProfile(dir / "p.ini", outName, in, vars, out);
    out->WriteBuffer("abc", 3);
    delete out;
    EXPECT_EQ(ReadFile(dir / "out"), "abc3456789");
}

TEST(ReadProfileFile, MissingProfileRaises) {
    TempDir dir;
    StringList vars(true);
    Stream *in = nullptr, *out = nullptr;
    std::string outName;
    EXPECT_THROW(ReadProfile(dir / "none.ini", outName, in, vars, out), Exception);
    EXPECT_EQ(out, nullptr);
}

TEST(ReadProfileFile, PostedFieldsReachTheRequestThroughTheEngine) {
    TempDir dir;
    WriteFile(dir / "body", "a=1&b=2");
    WriteFile(dir / "p.ini", "[CGI]\r\nRequest Method=POST\r\nContent Length=7\r\n[System]\r\nContent File=" +
                                 (dir / "body") + "\r\nOutput File=" + (dir / "out") + "\r\n");
    auto* vars = new StringList(true);
    Stream *in = nullptr, *out = nullptr;
    std::string outName;
    ReadProfile(dir / "p.ini", outName, in, *vars, out);
    TestCgiEngine engine;
    std::string fields;
    engine.SetOnExecRequest([&](THttpEngine* e) {
        for (const auto& name : e->GetFormFieldNames()) fields += name + "=" + e->GetFormField(name, "") + ";";
        HttpSend("ok");
    });
    engine.ExecuteRequest(in, out, vars);
    EXPECT_EQ(fields, "a=1;b=2;");
    EXPECT_EQ(ReadFile(dir / "out"),
              "HTTP/1.0 200 OK\r\ncontent-type: text/html\r\ncontent-length: 4\r\nConnection: Keep-Alive\r\n\r\nok\r\n");
}
