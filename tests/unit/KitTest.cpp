#include <gtest/gtest.h>

#include "app/Kit.h"
#include "engine/HttpUtils.h"
#include "platform/Path.h"

TEST(KitTrim, RemovesControlBytesAndBlanksOnly) {
    EXPECT_EQ(kit::TrimBlanks(" 70\t"), "70");
    EXPECT_EQ(kit::TrimBlanks("   "), "");
    EXPECT_EQ(kit::TrimBlanks(std::string("\0\x1F a b\r\n", 8)), "a b");
    // Bytes from 128 up are text, not blanks.
    EXPECT_EQ(kit::TrimBlanks("\xA0x\xE9"), "\xA0x\xE9");
}

TEST(KitTrailingSeparator, AppendsTheNativeSeparatorOnce) {
    EXPECT_EQ(kit::WithTrailingSeparator(""), "");
    EXPECT_EQ(kit::WithTrailingSeparator("/srv/web"), std::string("/srv/web") + platform::NativeSeparator);
    // '/' ends a folder on both systems, '\\' on Windows only.
    EXPECT_EQ(kit::WithTrailingSeparator("/srv/web/"), "/srv/web/");
    EXPECT_EQ(kit::WithTrailingSeparator("C:\\web\\"), platform::IsSeparator('\\') ? "C:\\web\\" : "C:\\web\\/");
}

TEST(KitDirectoryPart, KeepsTheTrailingSeparator) {
    EXPECT_EQ(kit::DirectoryPart("/photos/pictorama.cgi"), "/photos/");
    EXPECT_EQ(kit::DirectoryPart("C:\\web\\photos\\pictorama.exe"), "C:\\web\\photos\\");
    EXPECT_EQ(kit::DirectoryPart("/photos/"), "/photos/");
}

TEST(KitDirectoryPart, ScriptAtTheServerRootGivesTheRoot) {
    EXPECT_EQ(kit::DirectoryPart("/pictorama.cgi"), "/");
    EXPECT_EQ(kit::DirectoryPart("/"), "/");
}

TEST(KitDirectoryPart, BareNameComesBackUnchanged) {
    EXPECT_EQ(kit::DirectoryPart("pictorama.exe"), "pictorama.exe");
    EXPECT_EQ(kit::DirectoryPart(""), "");
}

TEST(KitDirectoryPart, MixedSeparatorsSplitAtTheKindThatStartsLater) {
    EXPECT_EQ(kit::DirectoryPart("C:\\a/b.exe"), "C:\\a/");
    EXPECT_EQ(kit::DirectoryPart("C:/a\\b.exe"), "C:/a\\");
    // The later-starting kind decides even when the other occurs last.
    EXPECT_EQ(kit::DirectoryPart("/a\\b/c"), "/a\\");
}

TEST(KitProgramDirectory, IsTheFolderOfTheModule) {
    std::string folder = kit::ProgramDirectory();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), platform::NativeSeparator);
    EXPECT_EQ(folder + "unit_tests" PICTORAMA_EXECUTABLE_SUFFIX, http::ModulePath());
}

TEST(KitFileNamePart, TakesTheTextAfterTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(kit::FileNamePart("C:\\web/photos\\x.jpg"), "x.jpg");
    EXPECT_EQ(kit::FileNamePart("x.jpg"), "x.jpg");
    EXPECT_EQ(kit::FileNamePart("/srv/web/"), "");
}

TEST(KitFileNamePart, LongPathsKeepTheirWholeName) {
    std::string longFolder = "/" + std::string(300, 'd') + "/" + std::string(200, 'e');
    EXPECT_EQ(kit::FileNamePart(longFolder + "/IMG_0001.JPG"), "IMG_0001.JPG");
    std::string longName(300, 'n');
    EXPECT_EQ(kit::FileNamePart("/srv/" + longName), longName);
}

TEST(KitExtensionPart, SearchesOnlyTheLastComponent) {
    EXPECT_EQ(kit::ExtensionPart("C:\\web\\x.tar.jpg"), "jpg");
    EXPECT_EQ(kit::ExtensionPart("C:\\web.d\\x"), "");
    EXPECT_EQ(kit::ExtensionPart("/srv/web.d/x"), "");
    EXPECT_EQ(kit::ExtensionPart("/" + std::string(300, 'd') + "/x.JPG"), "JPG");
    EXPECT_EQ(kit::ExtensionPart("x."), "");
}

TEST(KitWithoutExtension, SearchesTheWholeArgument) {
    EXPECT_EQ(kit::WithoutExtension("x.tar.jpg"), "x.tar");
    EXPECT_EQ(kit::WithoutExtension("C:\\web.d\\x"), "C:\\web");
    EXPECT_EQ(kit::WithoutExtension("/srv/photos/IMG_0001.JPG"), "/srv/photos/IMG_0001");
    EXPECT_EQ(kit::WithoutExtension("noext"), "noext");
}
