// Installing a downloaded release over an executable in a directory of the
// test's own: what is refused leaves the installation as it was and no
// temporary file behind; what is accepted keeps the old one as "ruk.old".
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "release_fixture.h"
#include "test_support.h"
#include "update/install.h"

namespace ruk {
namespace {

const uint64_t NEW_BUILD = BUILD_NUMBER + 1;
const std::string OLD_RUK = "#!/bin/sh\necho old\n";

struct Installation {
    test::TempDir dir;
    std::string exe = dir / "ruk";
    Installation() {
        test::write_file(exe, OLD_RUK);
        ::chmod(exe.c_str(), 0700);
    }
    std::vector<std::string> leftovers() const { return test::files_starting(dir.path(), ".ruk-update-"); }
    bool has_kept() const { return ::access((dir / "ruk.old").c_str(), F_OK) == 0; }
};

mode_t mode_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

Download download_of(const test::ReleaseDir& rel, const test::PublishedRelease& published, const std::string& address) {
    const std::string digest = published.sha256 ? *published.sha256 : test::sha256_of_file(rel.path(published.asset.name));
    return {Asset{published.asset.name, published.size.value_or(published.asset.content.size()), digest}, address};
}

TEST(InstallDownload, RefusesABadDownloadAndLeavesNothingBehind) {
    test::ReleaseDir rel;
    const std::string B = std::to_string(NEW_BUILD);
    struct Case {
        std::string what;
        std::string content;
        std::optional<uint64_t> size;
        std::optional<std::string> sha256;
        std::string error;
    };
    const std::string good = test::reporter_of(NEW_BUILD);
    const Case cases[] = {
        {"one byte short", good, good.size() + 1, {},
         "ruk-linux is " + std::to_string(good.size()) + " bytes, the manifest says " + std::to_string(good.size() + 1)},
        {"wrong digest", good, {}, std::string(64, '0'), "ruk-linux doesn't match its SHA-256 in the manifest; not installed"},
        {"prints nothing", test::build_reporter(""), {}, {}, "the downloaded ruk reports build ?, the manifest says " + B},
        {"prints a word", test::build_reporter("ruk 0.1.5\n"), {}, {}, "the downloaded ruk reports build ?, the manifest says " + B},
        {"another build", test::reporter_of(NEW_BUILD + 5), {}, {},
         "the downloaded ruk reports build " + std::to_string(NEW_BUILD + 5) + ", the manifest says " + B},
        {"fails", test::build_reporter(B + " 0 0\n", 3), {}, {}, "the downloaded ruk reports build " + B + ", the manifest says " + B},
        {"does not run", "#!/nonexistent/interpreter\n", {}, {}, "the downloaded ruk doesn't run: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        test::PublishedRelease published;
        published.asset.content = c.content;
        published.size = c.size;
        published.sha256 = c.sha256;
        rel.publish(published);
        auto got = install_download(inst.exe, download_of(rel, published, rel.file_url("ruk-linux")), NEW_BUILD);
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().message, c.error);
        EXPECT_EQ(test::read_file(inst.exe), OLD_RUK);
        EXPECT_EQ(mode_of(inst.exe), 0700u);
        EXPECT_TRUE(inst.leftovers().empty());
        EXPECT_FALSE(inst.has_kept());
    }
}

TEST(InstallDownload, RefusesWhatCannotBeFetchedOrWritten) {
    test::ReleaseDir rel;
    test::HttpServer http(rel.dir().path());
    ASSERT_TRUE(http.started());
    Installation inst;
    const Download missing{Asset{"absent", 1, "00"}, http.url("absent")};
    auto got = install_download(inst.exe, missing, NEW_BUILD);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, "can't download " + http.url("absent") + ": curl: (22) The requested URL returned error: 404");
    EXPECT_EQ(test::read_file(inst.exe), OLD_RUK);
    EXPECT_TRUE(inst.leftovers().empty());

    // A directory whose metadata cannot be read is no place to install to.
    const std::string nowhere = inst.dir / "gone";
    got = install_download(nowhere + "/ruk", missing, NEW_BUILD);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, "can't write to " + nowhere + "; install the update there yourself");
    EXPECT_EQ(http.requests(), "/absent ruk/0.1.4\n") << "nothing more was downloaded";
}

TEST(InstallDownload, InstallsKeepingTheOldOneAndTheMode) {
    test::ReleaseDir rel;
    test::HttpServer http(rel.dir().path());
    ASSERT_TRUE(http.started());
    Installation inst;
    test::write_file(inst.dir / "ruk.old", "an older kept copy");

    test::PublishedRelease published;
    rel.publish(published);
    // A digest in capitals matches; the asset comes through a redirect.
    Download download = download_of(rel, published, http.url("moved/ruk-linux"));
    for (char& c : download.asset.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto got = install_download(inst.exe, download, NEW_BUILD);
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(got->kept, inst.dir / "ruk.old");
    EXPECT_EQ(got->was, version_line());
    EXPECT_EQ(test::read_file(inst.exe), published.asset.content);
    EXPECT_EQ(mode_of(inst.exe), 0700u) << "the installed executable keeps its mode";
    EXPECT_EQ(test::read_file(inst.dir / "ruk.old"), OLD_RUK);
    EXPECT_TRUE(inst.leftovers().empty());
    EXPECT_EQ(test::run({inst.exe, "__build"}).out, std::to_string(NEW_BUILD) + " 0 0\n");
}

TEST(InstallRelease, PutsTheOldOneBackWhenItCannotFinish) {
    struct Case {
        std::string what;
        std::function<void(Installation&)> arrange;
        std::function<std::string(Installation&)> error;
    };
    const Case cases[] = {
        {"kept copy in use",
         [](Installation& i) { std::filesystem::create_directories(i.dir / "ruk.old/x"); },
         [](Installation& i) { return "can't remove " + (i.dir / "ruk.old") + " (is it running?): Is a directory"; }},
        {"no download",
         [](Installation& i) { ::unlink((i.dir / "new").c_str()); },
         [](Installation& i) { return "can't replace " + i.exe + ": No such file or directory"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        test::write_file(inst.dir / "new", "new ruk");
        c.arrange(inst);
        auto got = install_release(inst.exe, inst.dir / "ruk.old", inst.dir / "new");
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().message, c.error(inst));
        EXPECT_EQ(test::read_file(inst.exe), OLD_RUK);
    }

    Installation inst;
    ::unlink(inst.exe.c_str());
    auto got = install_release(inst.exe, inst.dir / "ruk.old", inst.dir / "new");
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, "can't keep the old ruk as " + (inst.dir / "ruk.old") + ": No such file or directory");
}

}  // namespace
}  // namespace ruk
