#include "update/install.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "sys/sys.h"
#include "texts.h"
#include "update/capture.h"
#include "update/curl.h"
#include "update/upgrade.h"
#include "util/sanitize.h"
#include "util/utf8.h"
#include "util/white_space.h"

namespace ruk {

namespace {

std::string system_text(int code) { return std::strerror(code); }

std::string beside(const std::string& directory, std::string_view name) {
    return (directory == "/" ? "" : directory) + "/" + std::string(name);
}

std::string lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

Result<std::string> read_whole(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return fail(system_text(errno), errno);
    std::string content;
    uint8_t buffer[65536];
    while (true) {
        auto n = sys::read_some(fd.get(), buffer);
        if (!n) return fail(system_text(n.error().code), n.error().code);
        if (*n == 0) return content;
        content.append(reinterpret_cast<const char*>(buffer), *n);
    }
}

// The first white-space-separated word of what the program printed.
std::string first_word(std::string_view output) {
    const std::string text = lenient_utf8(output);
    std::string_view rest = trim_start_white_space(text);
    size_t end = 0;
    while (end < rest.size()) {
        const Decoded d = decode_utf8_at(rest, end);
        if (is_white_space(d.cp)) break;
        end += d.length;
    }
    return std::string(rest.substr(0, end));
}

// The downloaded program must run and name the build the manifest promised.
Result<void> check_reported_build(const std::string& path, uint64_t build) {
    // curl writes a plain file; it needs to be executable to be asked.
    if (::chmod(path.c_str(), 0755) != 0) return fail("the downloaded ruk doesn't run: " + system_text(errno), errno);
    auto ran = run_captured({path, "__build"}, ErrorOutput::Discard);
    if (!ran) {
        const Error& e = ran.error();
        return fail("the downloaded ruk doesn't run: " + (e.code ? system_text(e.code) : e.message), e.code);
    }
    const auto reported = parse_decimal_u64(first_word(ran->out));
    const std::string says = ", the manifest says " + std::to_string(build);
    if (!reported) return fail("the downloaded ruk reports build ?" + says);
    if (*reported != build || !ran->success) return fail("the downloaded ruk reports build " + std::to_string(*reported) + says);
    return {};
}

// Permissions only: a set-user-id bit is never carried over to a download.
Result<void> take_mode(const std::string& executable, const std::string& download) {
    struct stat st {};
    if (::stat(executable.c_str(), &st) != 0) return {};
    if (::chmod(download.c_str(), st.st_mode & 0777) != 0)
        return fail("can't replace " + executable + ": " + system_text(errno), errno);
    return {};
}

Result<Installed> verify_and_install(const std::string& executable, const std::string& directory,
                                     const std::string& temporary, const Download& download, uint64_t build) {
    const Asset& asset = download.asset;
    const std::string name = sanitize_text(asset.name);
    if (auto fetched = run_curl({"-o", temporary, download.address}); !fetched)
        return fail("can't download " + download.address + ": " + fetched.error().message, fetched.error().code);
    auto content = read_whole(temporary);
    if (!content) return fail("can't read the download: " + content.error().message, content.error().code);
    if (content->size() != asset.size)
        return fail(name + " is " + std::to_string(content->size()) + " bytes, the manifest says " + std::to_string(asset.size));
    if (sha256_hex(*content) != lower_ascii(asset.sha256))
        return fail(name + " doesn't match its SHA-256 in the manifest; not installed");
    content->clear();
    RUK_TRY(check_reported_build(temporary, build));
    Installed installed{beside(directory, "ruk.old"), version_line()};
    RUK_TRY(take_mode(executable, temporary));
    RUK_TRY(install_release(executable, installed.kept, temporary));
    return installed;
}

}  // namespace

std::string sha256_hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // With a fixed algorithm and memory input this cannot fail short of the
    // library being unusable; an empty result then matches no manifest.
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return "";
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += HEX[digest[i] >> 4];
        out += HEX[digest[i] & 15];
    }
    return out;
}

Result<Download> choose_download(const Manifest& manifest, const std::string& manifest_address) {
    auto it = manifest.assets.find(TARGET_NAME);
    if (it == manifest.assets.end())
        return fail("ruk " + sanitize_text(manifest.version) + " has no build for " + std::string(TARGET_NAME));
    return Download{it->second, asset_address(manifest_address, it->second.name)};
}

Result<std::string> installed_executable() {
    auto own = sys::own_executable();
    if (!own) return fail("can't tell where ruk is installed: " + system_text(own.error().code), own.error().code);
    char resolved[PATH_MAX];
    if (!::realpath(own->c_str(), resolved)) return fail("can't tell where ruk is installed: " + system_text(errno), errno);
    return std::string(resolved);
}

Result<Installed> install_download(const std::string& executable, const Download& download, uint64_t build) {
    const size_t slash = executable.rfind('/');
    if (slash == std::string::npos || executable == "/") return fail("ruk has no parent directory");
    const std::string directory = slash == 0 ? "/" : executable.substr(0, slash);

    // Refused before anything is downloaded: the directory's own word on
    // whether we may create files in it.
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0 || ::access(directory.c_str(), W_OK | X_OK) != 0)
        return fail("can't write to " + directory + "; install the update there yourself");

    const std::string temporary = beside(directory, ".ruk-update-" + std::to_string(::getpid()));
    auto installed = verify_and_install(executable, directory, temporary, download, build);
    if (!installed) ::unlink(temporary.c_str());
    return installed;
}

Result<void> install_release(const std::string& executable, const std::string& kept, const std::string& download) {
    if (::unlink(kept.c_str()) != 0 && errno != ENOENT)
        return fail("can't remove " + kept + " (is it running?): " + system_text(errno), errno);
    if (::rename(executable.c_str(), kept.c_str()) != 0)
        return fail("can't keep the old ruk as " + kept + ": " + system_text(errno), errno);
    if (::rename(download.c_str(), executable.c_str()) != 0) {
        const int code = errno;
        (void)::rename(kept.c_str(), executable.c_str());
        return fail("can't replace " + executable + ": " + system_text(code), code);
    }
    return {};
}

}  // namespace ruk
