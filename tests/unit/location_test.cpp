// Project locations against real repositories made with git in a temporary
// directory: plain and linked work trees, detached heads, other refs, and
// the hand-written ".git" files and HEADs that git would not make.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "location/location.h"
#include "test_support.h"

namespace ruk {
namespace {

using protocol::Location;

class LocationTest : public ::testing::Test {
protected:
    test::TempDir tmp;
    std::string base;  // tmp with symbolic links resolved, as the kernel reports a directory

    LocationTest() {
        char* real = ::realpath(tmp.path().c_str(), nullptr);
        base = real ? real : tmp.path();
        std::free(real);
    }

    std::string path(std::string_view name) const { return base + "/" + std::string(name); }

    void mkdirs(std::string_view name) const { std::filesystem::create_directories(path(name)); }

    // git with a fixed identity, failing the test when it fails.
    std::string git(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{"git", "-c", "user.name=t", "-c", "user.email=t@example.com",
                                      "-c", "init.defaultBranch=main"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = test::run(argv, {{"GIT_CONFIG_NOSYSTEM", "1"}, {"HOME", base}});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    // A repository "proj" on main with one commit, and its commit id.
    std::string make_project() const {
        mkdirs("proj/src/lib");
        git({"init", "-q", path("proj")});
        git({"-C", path("proj"), "commit", "-q", "--allow-empty", "-m", "start"});
        std::string id = git({"-C", path("proj"), "rev-parse", "HEAD"});
        while (!id.empty() && id.back() == '\n') id.pop_back();
        return id;
    }
};

TEST_F(LocationTest, WorkTreesOfARealRepository) {
    if (test::run({"git", "--version"}).status != 0) GTEST_SKIP() << "git is not installed";
    const std::string commit = make_project();
    git({"-C", path("proj"), "worktree", "add", "-q", "-b", "feature", path("wt/feature")});
    git({"-C", path("proj"), "worktree", "add", "-q", "--detach", path("wt/detached")});
    git({"-C", path("proj"), "worktree", "add", "-q", "-b", "lonely", path("wt/lonely")});
    // A linked work tree whose git directory lost its commondir file.
    ASSERT_EQ(::unlink((path("proj/.git/worktrees/lonely") + "/commondir").c_str()), 0);
    git({"-C", path("proj"), "tag", "release"});
    mkdirs("tagged");
    git({"init", "-q", path("tagged")});
    test::write_file(path("tagged/.git/HEAD"), "ref: refs/tags/release\n");

    struct Case {
        std::string dir;
        Location want;
    };
    const Case cases[] = {
        {path("proj"), {path("proj"), "main"}},
        {path("proj/src/lib"), {path("proj"), "main"}},
        {path("wt/feature"), {path("proj"), "feature"}},
        {path("wt/detached"), {path("proj"), commit.substr(0, 7)}},
        {path("wt/lonely"), {path("wt/lonely"), "lonely"}},
        {path("tagged"), {path("tagged"), "refs/tags/release"}},
        {path("wt"), {path("wt"), std::nullopt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        EXPECT_EQ(project_location(c.dir), c.want);
    }
    // A branch switch shows at the next look.
    git({"-C", path("proj"), "checkout", "-q", "-b", "other"});
    EXPECT_EQ(project_location(path("proj/src")), (Location{path("proj"), "other"}));
}

TEST_F(LocationTest, HandWrittenGitFiles) {
    // ".git" file with blanks after the colon, CR LF, a line before it.
    mkdirs("x");
    mkdirs("x-git");
    test::write_file(path("x/.git"), "# moved\r\ngitdir:    ../x-git  \r\n");
    test::write_file(path("x-git/HEAD"), "ref: refs/heads/dev\n");
    // An absolute gitdir with a commondir that is no ".git": the root stays.
    mkdirs("y");
    mkdirs("bare.git/worktrees/y");
    test::write_file(path("y/.git"), "gitdir: " + path("bare.git/worktrees/y") + "\n");
    test::write_file(path("bare.git/worktrees/y/HEAD"), "ref: refs/heads/topic\n");
    test::write_file(path("bare.git/worktrees/y/commondir"), "../..\n");
    // A commondir reached through "..", resolved without the file system.
    mkdirs("m/.git/worktrees/z");
    mkdirs("z");
    test::write_file(path("z/.git"), "gitdir: ../m/.git/worktrees/z\n");
    test::write_file(path("z/../m/.git/worktrees/z/HEAD"), "3f2a9c1d0e\n");
    test::write_file(path("m/.git/worktrees/z/commondir"), "  ../..  \n");
    // A ".git" file without a gitdir line is no repository: the walk goes on.
    mkdirs("outer/.git");
    test::write_file(path("outer/.git/HEAD"), "ref: refs/heads/trunk\n");
    mkdirs("outer/inner");
    test::write_file(path("outer/inner/.git"), "nothing here\n");
    // A HEAD that names nothing, and one with a control character.
    mkdirs("empty/.git");
    test::write_file(path("empty/.git/HEAD"), "  \n");
    mkdirs("odd/.git");
    test::write_file(path("odd/.git/HEAD"), "ref: refs/heads/a\x1b[2Jb\n");
    mkdirs("nohead/.git");
    mkdirs("plain/dir");

    struct Case {
        std::string dir;
        Location want;
    };
    const Case cases[] = {
        {path("x"), {path("x"), "dev"}},
        {path("y"), {path("y"), "topic"}},
        {path("z"), {path("m"), "3f2a9c1"}},
        {path("outer/inner"), {path("outer"), "trunk"}},
        {path("empty"), {path("empty"), std::nullopt}},
        {path("odd"), {path("odd"), "a?[2Jb"}},
        {path("nohead"), {path("nohead"), std::nullopt}},
        {path("plain/dir"), {path("plain/dir"), std::nullopt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        EXPECT_EQ(project_location(c.dir), c.want);
    }
    EXPECT_EQ(project_name(project_location(path("plain/dir"))->root), "dir");
}

TEST_F(LocationTest, AFifoAsHeadDoesNotHang) {
    mkdirs("trap/.git");
    ASSERT_EQ(::mkfifo(path("trap/.git/HEAD").c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(project_location(path("trap")), (Location{path("trap"), std::nullopt}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(LocationTest, PathsThatAreNotUtf8BecomeText) {
    const std::string odd = path("caf\xe9");
    std::filesystem::create_directories(odd + "/.git");
    test::write_file(odd + "/.git/HEAD", "ref: refs/heads/f\xfcr\n");
    const auto got = project_location(odd + "");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->root, path("caf\xEF\xBF\xBD"));
    EXPECT_EQ(got->branch, "f\xEF\xBF\xBDr");
    EXPECT_EQ(project_name(got->root), "caf\xEF\xBF\xBD");
}

TEST(ProjectName, LastComponentFiltered) {
    EXPECT_EQ(project_name("/home/me/proj"), "proj");
    EXPECT_EQ(project_name("/home/me/proj/"), "proj");
    EXPECT_EQ(project_name("/"), "/");
    EXPECT_EQ(project_name("/x/a\x07" "b\u202E"), "a?b");
}

TEST(NormalizePath, LexicalOnly) {
    EXPECT_EQ(normalize_path("/a/b/../c/./d//"), "/a/c/d");
    EXPECT_EQ(normalize_path("/a/.git/worktrees/x/../.."), "/a/.git");
    EXPECT_EQ(normalize_path("/../.."), "/");
    EXPECT_EQ(normalize_path("/"), "/");
}

}  // namespace
}  // namespace ruk
