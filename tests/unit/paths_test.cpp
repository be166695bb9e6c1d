// Directories, the socket path and the PATH lookup, with the environment
// set per case.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "paths.h"
#include "test_support.h"

namespace ruk {
namespace {

using test::ScopedEnv;
using test::TempDir;

TEST(ConfigDir, FollowsTheVariablesInOrder) {
    struct Case {
        std::optional<std::string> xdg, appdata, home;
        std::string want;
    };
    const Case cases[] = {
        {"/x", "/a", "/h", "/x/ruk"},
        {"", "/a", "/h", "/a/ruk"},
        {std::nullopt, "", "/h", "ruk"},  // an empty APPDATA is an empty base
        {"", std::nullopt, "/h", "/h/.config/ruk"},
        {std::nullopt, std::nullopt, std::nullopt, "ruk"},
    };
    for (const auto& c : cases) {
        ScopedEnv x("XDG_CONFIG_HOME", c.xdg), a("APPDATA", c.appdata), h("HOME", c.home);
        EXPECT_EQ(config_dir(), c.want) << c.want;
    }
}

TEST(RuntimeDir, UsesTheFirstNonEmptyVariableAndCreatesIt) {
    TempDir tmp;
    {
        ScopedEnv x("XDG_RUNTIME_DIR", ""), l("LOCALAPPDATA", tmp / "local");
        auto dir = runtime_dir();
        ASSERT_TRUE(dir) << dir.error().message;
        EXPECT_EQ(*dir, tmp / "local/ruk");
        struct stat st {};
        ASSERT_EQ(::stat(dir->c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    {
        // Without either variable: a private directory of our own under TMPDIR.
        ScopedEnv x("XDG_RUNTIME_DIR", std::nullopt), l("LOCALAPPDATA", std::nullopt), t("TMPDIR", tmp.path());
        auto dir = runtime_dir();
        ASSERT_TRUE(dir) << dir.error().message;
        EXPECT_EQ(*dir, tmp / ("ruk-" + std::to_string(::geteuid())));
    }
}

TEST(RuntimeDir, RefusesWhatIsNotAPrivateDirectoryOfOurs) {
    TempDir tmp;
    ScopedEnv x("XDG_RUNTIME_DIR", tmp.path());
    const std::string dir = tmp / "ruk";

    test::write_file(dir, "not a directory");
    auto got = runtime_dir();
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, dir + " is not a directory");
    ::unlink(dir.c_str());

    ::mkdir(dir.c_str(), 0755);
    ::chmod(dir.c_str(), 0755);
    got = runtime_dir();
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, dir + " is open to other users (mode 0755); run: chmod 700 " + dir);
    struct stat st {};
    ::stat(dir.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0755u) << "never repaired silently";
    ::rmdir(dir.c_str());

    ::mkdir((tmp / "elsewhere").c_str(), 0700);
    ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), dir.c_str()), 0);
    got = runtime_dir();
    ASSERT_FALSE(got);
    EXPECT_NE(got.error().message.find("is a symbolic link"), std::string::npos) << got.error().message;
    ::unlink(dir.c_str());

    if (::geteuid() == 0) {
        ::mkdir(dir.c_str(), 0700);
        ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
        got = runtime_dir();
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().message,
                  dir + " belongs to another user (uid 65534); set XDG_RUNTIME_DIR to a directory of your own");
    }
}

TEST(SocketPath, AcceptsOneHundredSevenBytesAndRefusesOneHundredEight) {
    TempDir tmp;
    // "/ruk/default.sock" is 17 bytes; pad the base so the path is exactly n bytes.
    for (size_t n : {size_t{107}, size_t{108}}) {
        std::string base = tmp.path() + "/";
        base += std::string(n - 17 - base.size(), 'd');
        ScopedEnv x("XDG_RUNTIME_DIR", base);
        auto path = socket_path();
        if (n == 107) {
            ASSERT_TRUE(path) << path.error().message;
            EXPECT_EQ(path->size(), 107u);
        } else {
            ASSERT_FALSE(path);
            EXPECT_EQ(path.error().message,
                      base + "/ruk/default.sock is too long for a socket; set XDG_RUNTIME_DIR to a shorter directory");
        }
    }
}

TEST(FindOnPath, SkipsDirectoriesAndMissingEntries) {
    TempDir tmp;
    ::mkdir((tmp / "a").c_str(), 0700);
    ::mkdir((tmp / "a/tool").c_str(), 0700);  // a directory of that name comes first
    ::mkdir((tmp / "b").c_str(), 0700);
    test::write_file(tmp / "b/tool", "");
    ScopedEnv p("PATH", tmp / "missing" + ":" + tmp / "a" + ":" + tmp / "b");
    EXPECT_EQ(find_on_path("tool"), tmp / "b/tool");
    EXPECT_EQ(find_on_path("nothing"), std::nullopt);
    ScopedEnv none("PATH", std::nullopt);
    EXPECT_EQ(find_on_path("tool"), std::nullopt);
}

}  // namespace
}  // namespace ruk
