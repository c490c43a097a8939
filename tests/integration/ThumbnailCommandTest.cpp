// The site owner's command: the program run by hand in the gallery folder
// with --make-thumbnails makes what the photo page would make; --help and
// --version answer as terminal users expect; a web server's request never
// reaches it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/CgiHarness.h"
#include "support/Pictures.h"

using namespace testing_support;

namespace {

// What a shell leaves a program a person starts: no web server's variables.
const std::map<std::string, std::string> ShellEnvironment = {{"PATH", "/usr/bin:/bin"}};

ProcessResult Command(const GalleryFolder& g, const std::vector<std::string>& args) {
    return RunProgram(g.Program(), args, ShellEnvironment);
}

void Listed(const GalleryFolder& g, const std::string& name) {
    WriteFile(g / (name.substr(0, name.rfind('.')) + ".idd"), "k\r\n");
}

bool HasName(const GalleryFolder& g, const std::string& part) {
    for (const auto& entry : std::filesystem::directory_iterator(g.Path()))
        if (entry.path().filename().string().find(part) != std::string::npos) return true;
    return false;
}

// Thumbnails in place (not claims, not files being written).
int Thumbnails(const GalleryFolder& g) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(g.Path())) {
        std::string name = entry.path().filename().string();
        n += name.starts_with("t_") && name.find(".~") == std::string::npos;
    }
    return n;
}

}  // namespace

TEST(ThumbnailCommand, HelpVersionAndWrongUse) {
    GalleryFolder g;
    ProcessResult help = Command(g, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: pictorama.cgi --make-thumbnails [--threads N]\n")) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    ProcessResult version = Command(g, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "pictorama.cgi (Pictorama) 1.0\n");
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"--make-thumbnail"}, {"--make-thumbnails", "--threads", "0"}, {"--threads", "2"}}) {
        ProcessResult r = Command(g, wrong);
        EXPECT_EQ(r.exitCode, 2) << wrong[0];
        EXPECT_NE(r.err.find("Try 'pictorama.cgi --help'."), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(Exists(g / "pictorama.tst"));
}

// A web server's CGI request whose query (and so its argument) reads like
// the command is served its page; the command does not run.
TEST(ThumbnailCommand, CgiRequestNamingTheCommandGetsThePage) {
    GalleryFolder g;
    MakeJpeg(g / "a.jpg", 800, 600);
    Listed(g, "a.jpg");
    CgiResponse r = g.Run(g.Environment("--make-thumbnails"), "", {"--make-thumbnails"});
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_NE(r.head.find("content-type: text/html"), std::string::npos) << r.process.out;
    EXPECT_NE(r.body.find("t_a.jpg\" width=93 height=70>"), std::string::npos);
    EXPECT_NE(r.body.find("1 Images Posted"), std::string::npos);
    EXPECT_EQ(r.process.err, "");
    CgiResponse help = g.Run(g.Environment("--help"), "", {"--help"});
    EXPECT_NE(help.body.find("Images Posted"), std::string::npos);
    EXPECT_EQ(help.body.find("Usage:"), std::string::npos);
}

// Pictures it cannot read are listed and the exit status says so; the rest
// are made, and what it leaves is what the page would leave.
TEST(ThumbnailCommand, PicturesThatCannotBeReadAreListed) {
    GalleryFolder g;
    MakeJpeg(g / "good.jpg", 800, 600);
    Listed(g, "good.jpg");
    WriteFile(g / "broken.jpg", "this is not a picture");
    Listed(g, "broken.jpg");
    WriteFile(g / "bad.gif", "not a gif at all");
    Listed(g, "bad.gif");
    ProcessResult r = Command(g, {"--make-thumbnails"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("Pictures that could not be read:\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  broken.jpg: cannot be read"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  bad.gif: Invalid GIF signature (its thumbnail is left empty"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("good.jpg"), std::string::npos) << r.err;
    int w = 0, h = 0;
    EXPECT_TRUE(JpegSize(g / "t_good.jpg", w, h));
    EXPECT_EQ(w, 93);
    EXPECT_EQ(ReadFile(g / "t_broken.jpg"), "");
    EXPECT_EQ(ReadFile(g / "t_bad.jpg"), "");
    EXPECT_FALSE(HasName(g, ".~"));
    EXPECT_FALSE(Exists(g / "pictorama.tst")) << "the command is no request: it leaves the trace alone";
    // Nothing is left to try: the page takes the empty thumbnails as made.
    ProcessResult again = Command(g, {"--make-thumbnails"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_NE(again.err.find("Every thumbnail of "), std::string::npos) << again.err;
}

// Stopped with Ctrl-C early in its work on 40 camera-sized pictures, it leaves only
// whole thumbnails and no claim; run again, it finishes the job, and every
// thumbnail is the one the photo page makes.
TEST(ThumbnailCommand, InterruptedThenRunAgainFinishesTheJob) {
    GalleryFolder g, page;
    for (int i = 0; i < 40; ++i) {
        std::string name = std::string("IMG_").append(std::to_string(1000 + i)).append(".jpg");
        if (i == 0) MakeJpeg(g / name, 4000, 3000);
        else std::filesystem::copy_file(g / "IMG_1000.jpg", g / name);
        std::filesystem::copy_file(g / name, page / name);
        Listed(g, name);
        Listed(page, name);
    }
    ASSERT_EQ(page.Get("", {{"PICTORAMA_THUMBNAIL_THREADS", "1"}}).process.exitCode, 0);

    int errPipe[2];
    ASSERT_EQ(pipe(errPipe), 0);
    // One thread: seconds of work, so that the stop surely comes halfway.
    ExecVectors vectors(g.Program(), {"--make-thumbnails", "--threads", "1"}, ShellEnvironment);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(errPipe[1], 2);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execve(vectors.Argv()[0], vectors.Argv(), vectors.Envp());
        _exit(127);
    }
    close(errPipe[1]);
    // Once the first thumbnail is there, Ctrl-C.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Thumbnails(g) < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(pid, SIGINT);
    std::string err;
    char buffer[4096];
    for (ssize_t n; (n = read(errPipe[0], buffer, sizeof buffer)) > 0;) err.append(buffer, static_cast<size_t>(n));
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 130) << err;
    EXPECT_NE(err.find("Stopped: "), std::string::npos) << err;
    int made = Thumbnails(g);
    EXPECT_GE(made, 1);
    EXPECT_LT(made, 40);
    EXPECT_FALSE(HasName(g, ".~")) << "a claim or a file being written was left";
    for (const auto& entry : std::filesystem::directory_iterator(g.Path())) {
        std::string name = entry.path().filename().string();
        if (name.starts_with("t_")) {
            EXPECT_EQ(ReadFile(entry.path().string()), ReadFile(page / name)) << name;
        }
    }

    ProcessResult again = Command(g, {"--make-thumbnails"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.err.find(std::to_string(40 - made) + " thumbnails made in "), std::string::npos) << again.err;
    EXPECT_EQ(Thumbnails(g), 40);
    EXPECT_FALSE(HasName(g, ".~"));
    for (int i = 0; i < 40; ++i) {
        std::string name = std::string("t_IMG_").append(std::to_string(1000 + i)).append(".jpg");
        EXPECT_EQ(ReadFile(g / name), ReadFile(page / name)) << name;
    }
    ProcessResult nothing = Command(g, {"--make-thumbnails"});
    EXPECT_EQ(nothing.exitCode, 0);
    EXPECT_NE(nothing.err.find("Every thumbnail of "), std::string::npos) << nothing.err;
}
