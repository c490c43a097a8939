#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/Path.h"
#include "platform/Text.h"
#include "platform/TextFile.h"
#include "platform/Exception.h"
#include "support/TestSupport.h"

TEST(CaseInsensitiveText, OrderFoldsToLowerCase) {
    EXPECT_EQ(text::CompareIgnoreCase("abc", "ABC"), 0);
    EXPECT_LT(text::CompareIgnoreCase("a", "B"), 0);
    // '_' sorts between digits and letters once letters are folded to lower case.
    EXPECT_LT(text::CompareIgnoreCase("_", "a"), 0);
    EXPECT_LT(text::CompareIgnoreCase("9", "_"), 0);
    EXPECT_LT(text::CompareIgnoreCase("ab", "abc"), 0);
}

TEST(IntegerConversion, AcceptsWhatTheRuntimeAccepts) {
    int32_t v = 0;
    EXPECT_TRUE(text::TryStrToInt("42", v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(text::TryStrToInt("  -7", v));
    EXPECT_EQ(v, -7);
    EXPECT_TRUE(text::TryStrToInt("$1F", v));
    EXPECT_EQ(v, 31);
    EXPECT_TRUE(text::TryStrToInt("-2147483648", v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_FALSE(text::TryStrToInt("2147483648", v));
    EXPECT_FALSE(text::TryStrToInt("", v));
    EXPECT_FALSE(text::TryStrToInt("12 ", v));
    EXPECT_FALSE(text::TryStrToInt("abc", v));
    EXPECT_FALSE(text::TryStrToInt("-", v));
    int64_t big = 0;
    EXPECT_FALSE(text::TryStrToInt64("100000000000000000000", big));
}

TEST(WildcardMask, MatchesIgnoringCase) {
    EXPECT_TRUE(platform::MatchesMask("IMG_0001.JPG", "*.jpg"));
    EXPECT_TRUE(platform::MatchesMask("a.b.idd", "*.idd"));
    EXPECT_FALSE(platform::MatchesMask("a.idd.txt", "*.idd"));
    EXPECT_TRUE(platform::MatchesMask("x_REQ", "*_req"));
    EXPECT_TRUE(platform::MatchesMask("ab", "a?"));
    EXPECT_FALSE(platform::MatchesMask("a", "a?"));
    EXPECT_TRUE(platform::MatchesMask("anything", "*"));
    EXPECT_TRUE(platform::MatchesMask("p.exe_10-0-0-1_3FA9C_REQ", "p.exe_*_req"));
}

TEST(PathSplit, AtTheLastSeparatorOfEitherKind) {
    auto parts = [](const std::string& path) {
        platform::PathParts p = platform::SplitPath(path);
        return p.folder + "|" + p.name;
    };
    EXPECT_EQ(parts("C:\\web/photos\\x.jpg"), "C:\\web/photos\\|x.jpg");
    EXPECT_EQ(parts("/srv/web\\a/b.jpg"), "/srv/web\\a/|b.jpg");
    EXPECT_EQ(parts("x.jpg"), "|x.jpg");
    EXPECT_EQ(parts("/srv/web/"), "/srv/web/|");
    EXPECT_EQ(parts("/pictorama.cgi"), "/|pictorama.cgi");
    EXPECT_EQ(parts(""), "|");
}

TEST(FirstTextLine, EndsAtAnyLineEndOrTheEndOfTextMark) {
    testing_support::TempDir dir;
    auto first = [&](const std::string& bytes) {
        testing_support::WriteFile(dir / "f.txt", bytes);
        return platform::ReadFirstTextLine(dir / "f.txt");
    };
    EXPECT_EQ(first("caption\r\nsecond\r\n"), "caption");
    EXPECT_EQ(first("unix\nsecond"), "unix");
    EXPECT_EQ(first("old mac\rsecond"), "old mac");
    EXPECT_EQ(first("cut\x1a" "hidden\r\n"), "cut");
    EXPECT_EQ(first(""), "");
    EXPECT_EQ(first("no line end"), "no line end");
    // A first line longer than one read still comes back whole.
    std::string longLine(10000, 'x');
    EXPECT_EQ(first(longLine + "\r\nnext"), longLine);
    EXPECT_EQ(first(longLine), longLine);
    EXPECT_THROW(platform::ReadFirstTextLine(dir / "missing.txt"), EInOutError);
}
