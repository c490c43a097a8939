#include <gtest/gtest.h>

#include <algorithm>

#include "engine/FormFields.h"

namespace {

http::FormFieldList Parse(std::string_view text) {
    http::FormFieldList list;
    http::AddUrlEncodedFields(list, text);
    return list;
}

std::string ValueOf(const http::FormFieldList& list, std::string_view name) {
    const std::string* value = list.Find(name);
    return value ? *value : "<missing>";
}

}  // namespace

TEST(UrlEncodedFields, NamesAreListedSortedIgnoringCase) {
    auto list = Parse("b=2&a=1&");
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Parse("b=1&C=2&a=3&").Entries(), (std::vector<std::string>{"a=3", "b=1", "C=2"}));
}

TEST(UrlEncodedFields, ValuesAreDecodedButNamesAreNot) {
    auto list = Parse("name=red+apple&x=%41&first+name=1&a%41=2&");
    EXPECT_EQ(ValueOf(list, "name"), "red apple");
    EXPECT_EQ(ValueOf(list, "x"), "A");
    EXPECT_EQ(ValueOf(list, "first+name"), "1");
    EXPECT_EQ(ValueOf(list, "a%41"), "2");
    EXPECT_EQ(list.Find("first name"), nullptr);
    EXPECT_EQ(list.Find("aA"), nullptr);
}

TEST(UrlEncodedFields, RepeatedNameJoinsValuesInArrivalOrder) {
    auto list = Parse("a=1&A=2&b=x&a=3&");
    EXPECT_EQ(list.Entries(), (std::vector<std::string>{"a=1\r\n2\r\n3", "b=x"}));
    // Spelled as in the latest occurrence.
    EXPECT_EQ(Parse("a=1&A=2&").Names(), (std::vector<std::string>{"A"}));
    // An empty value still takes its place in the join.
    EXPECT_EQ(ValueOf(Parse("a=&a=x&a=&"), "a"), "\r\nx\r\n");
}

TEST(UrlEncodedFields, ValueIsTextAfterTheLastEquals) {
    EXPECT_EQ(Parse("a=b=c&").Entries(), (std::vector<std::string>{"a=c"}));
}

TEST(UrlEncodedFields, PairsWithoutNameOrEqualsAreSkipped) {
    EXPECT_TRUE(Parse("=x&flag&&&").Empty());
    EXPECT_EQ(Parse("=x&a=1&flag&").Entries(), (std::vector<std::string>{"a=1"}));
    // A pair that holds a later "=" is taken, under the empty name.
    EXPECT_EQ(Parse("=a=b&").Entries(), (std::vector<std::string>{"=b"}));
}

TEST(UrlEncodedFields, EmptyValueIsStored) {
    auto list = Parse("a=&");
    ASSERT_NE(list.Find("a"), nullptr);
    EXPECT_EQ(*list.Find("a"), "");
}

TEST(UrlEncodedFields, OnlyPairsEndedByAmpersandCount) {
    EXPECT_TRUE(Parse("a=1").Empty());
    EXPECT_EQ(Parse("a=1&b=2").Names(), (std::vector<std::string>{"a"}));
    // An "=" in the unfinished tail must not leak into the next call's pairs.
    http::FormFieldList list;
    http::AddUrlEncodedFields(list, "x=1&b=2");
    http::AddUrlEncodedFields(list, "c&");
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"x"}));
}

TEST(UrlEncodedFields, ZeroByteEndsTheText) {
    EXPECT_EQ(Parse(std::string("a=1&b=2\0&c=3&", 13)).Names(), (std::vector<std::string>{"a"}));
}

TEST(UrlEncodedFields, EscapedZeroByteStaysInsideTheValue) {
    auto list = Parse("a=x%00y&b=%&c=9%&");
    EXPECT_EQ(ValueOf(list, "a"), std::string("x\0y", 3));
    EXPECT_EQ(ValueOf(list, "b"), "%");
    EXPECT_EQ(ValueOf(list, "c"), "9%");
}

TEST(UrlEncodedFields, MegabyteQueryStringIsOneValue) {
    std::string value(1 << 20, 'v');
    auto list = Parse("big=" + value + "&");
    EXPECT_EQ(ValueOf(list, "big"), value);
}

TEST(UrlEncodedFields, HundredThousandDistinctFieldsAreAllKept) {
    constexpr int n = 100000;
    std::string body;
    for (int i = 0; i < n; ++i) {
        std::string number = std::to_string(i);
        body.append("f").append(number).append("=").append(number).append("&");
    }
    auto list = Parse(body);
    ASSERT_EQ(list.Count(), static_cast<size_t>(n));
    EXPECT_EQ(ValueOf(list, "F77777"), "77777");
    // Entry order: "f10000=" comes before "f1=".
    auto names = list.Names();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return text::CompareIgnoreCase(a + "=", b + "=") < 0;
    }));
    EXPECT_EQ(names[0], "f0");
    EXPECT_EQ(names[1], "f10000");
}

TEST(UrlEncodedFields, HundredThousandValuesOfOneNameJoinInOrder) {
    constexpr int n = 100000;
    std::string body, expected;
    for (int i = 0; i < n; ++i) {
        std::string number = std::to_string(i);
        body.append(i % 2 ? "K=" : "k=").append(number).append("&");
        expected.append(i ? "\r\n" : "").append(number);
    }
    auto list = Parse(body);
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"K"}));
    EXPECT_EQ(ValueOf(list, "k"), expected);
}

TEST(FieldList, OrderComparesFoldedBytesOfTheWholeEntry) {
    http::FormFieldList list;
    for (const char* name : {"a", "a!", "a_", "B", "_", "9", "\xE9"}) list.Add(name, "v");
    // "!" sorts before "=" and "_" after it, so "a!=v" < "a=v" < "a_=v".
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"9", "_", "a!", "a", "a_", "B", "\xE9"}));
}

TEST(FieldList, SetReplacesAndRespellsInsteadOfJoining) {
    http::FormFieldList list;
    list.Add("name", "1");
    list.Set("NAME", "2");
    EXPECT_EQ(list.Entries(), (std::vector<std::string>{"NAME=2"}));
    list.Set("other", "");
    EXPECT_EQ(list.Count(), 2u);
}

TEST(FieldList, RemoveAndFindIgnoreCase) {
    http::FormFieldList list;
    list.Add("Name", "x");
    list.Add("keep", "");
    EXPECT_NE(list.Find("NAME"), nullptr);
    list.Remove("nAmE");
    EXPECT_EQ(list.Find("name"), nullptr);
    ASSERT_NE(list.Find("KEEP"), nullptr);
    EXPECT_EQ(*list.Find("KEEP"), "");
}

TEST(BasicCredentials, SchemeWordThenBase64OfUserColonPassword) {
    std::string user, password;
    http::DecodeBasicCredentials("Basic dXNlcjpwYXNz", user, password);
    EXPECT_EQ(user, "user");
    EXPECT_EQ(password, "pass");
}

TEST(BasicCredentials, BothPartsAreTrimmedOfControlBytes) {
    std::string user, password;
    // " user \t: secret \n"
    http::DecodeBasicCredentials("Basic IHVzZXIgCTogc2VjcmV0IAo=", user, password);
    EXPECT_EQ(user, "user");
    EXPECT_EQ(password, "secret");
    // "ab:c" with padding: the two zero bytes from "==" vanish in the trim.
    http::DecodeBasicCredentials("Basic YWI6Yw==", user, password);
    EXPECT_EQ(user, "ab");
    EXPECT_EQ(password, "c");
}

TEST(BasicCredentials, WithoutColonNothingChanges) {
    std::string user = "old", password = "kept";
    http::DecodeBasicCredentials("Basic bm9ib2R5", user, password);  // "nobody"
    EXPECT_EQ(user, "old");
    EXPECT_EQ(password, "kept");
    http::DecodeBasicCredentials("", user, password);
    EXPECT_EQ(user, "old");
}

TEST(BasicCredentials, TextWithoutBlankIsDecodedWhole) {
    std::string user, password;
    http::DecodeBasicCredentials("dXNlcjpwYXNz", user, password);
    EXPECT_EQ(user, "user");
    EXPECT_EQ(password, "pass");
}

TEST(BasicCredentials, ForeignCharacterTakesAPlaceButAddsNoBits) {
    std::string user, password;
    // "Dpw*" carries 18 bits: 00 3A 70, that is NUL ":" "p".
    http::DecodeBasicCredentials("Basic dXNlDpw*YXNz", user, password);
    EXPECT_EQ(user, "use");
    EXPECT_EQ(password, "pass");
}

TEST(BasicCredentials, UnfinishedLastGroupEmitsNothing) {
    std::string user, password;
    http::DecodeBasicCredentials("Basic dXNlcjpwYXNzYQ", user, password);
    EXPECT_EQ(password, "pass");
}

TEST(BasicCredentials, OnlyTheFirst1032CharactersAfterTheBlankAreRead) {
    // The colon comes after byte 800 of the decoded text, past the 1032
    // Base64 characters that are read.
    std::string decoded = std::string(800, 'a') + ":b";
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (size_t i = 0; i < decoded.size(); i += 3) {
        uint32_t bits = 0;
        for (size_t k = 0; k < 3; ++k)
            bits = (bits << 8) | (i + k < decoded.size() ? static_cast<unsigned char>(decoded[i + k]) : 0);
        for (int k = 3; k >= 0; --k) encoded.push_back(alphabet[(bits >> (6 * k)) & 63]);
    }
    std::string user = "old", password = "kept";
    http::DecodeBasicCredentials("Basic " + encoded, user, password);
    EXPECT_EQ(user, "old");
    http::DecodeBasicCredentials(encoded, user, password);
    EXPECT_EQ(user, std::string(800, 'a'));
}
