// The update check, the download and the vote under Wine's WinHTTP, against the local stand-in for the
// maker's services. The product uses its shipped host names: the test's mount namespace resolves them
// to 127.0.0.1 and trusts the stand-in's CA (tests/update/with-maker-service).
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "app/constants.h"
#include "app/handles.h"
#include "app/policy.h"
#include "app/settings.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "update/authenticode.h"
#include "update/download.h"
#include "update/https.h"
#include "update/maker_service.h"
#include "update/staging.h"
#include "update/support.h"
#include "update/update_check.h"
#include "update/web_services.h"
#include "ui/page_window.h"

namespace calmlane {
namespace {

namespace fs = std::filesystem;
using test::get;
using test::installer;
using test::waitUntil;

constexpr UINT CheckDone = WM_APP + 11;
constexpr UINT LikeDone = WM_APP + 12;
constexpr UINT DownloadDone = WM_APP + 13;
constexpr DWORD Wait = 30000;
constexpr long long MiB = 1048576;
const std::string Manifest = "/versionCalmLane.json";
const std::string VotePath = "/api/likes/calmlane/1.1.3";
const std::string Elsewhere = "redirected.calmlane.example";  // served too, under the stand-in's certificate

std::string manifest(const std::string& version) { return R"({"name":"Calmlane","version":")" + version + R"("})"; }
std::string narrow(const std::wstring& text) { return fs::path(text).string(); }
test::Route sized(test::Route route, long long size) {
    route.size = size;
    return route;
}
test::Route vote(const std::string& body, int status = 200) {
    return {.method = "POST", .path = VotePath, .status = status, .body = body};
}
UniqueHandle openFile(const std::wstring& path, DWORD access, DWORD share) {
    return UniqueHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

// A check's answer, the AvailableVersion it left (marked "+" when the cache calls it newer) and the day
// it marked as checked.
std::string outcome(const UpdateInfo& info) {
    const DWORD day = readDword(HKEY_CURRENT_USER, UserRegistry, L"LastUpdateCheckDay", 0);
    const UpdateInfo cached = cachedUpdateInfo();
    return "answered=" + std::to_string(info.answered) + " available=" + std::to_string(info.available) +
           " version=" + narrow(info.version) + " stored=" + narrow(cached.version) + (cached.available ? "+" : "") +
           " day=" + (day == localDay() ? "today" : std::to_string(day));
}

std::unique_ptr<UpdateInfo> check(bool force, DWORD wait = Wait) {
    beginUpdateCheck(test::resultWindow(), CheckDone, force);
    return test::awaitPosted<UpdateInfo>(CheckDone, wait);
}
std::unique_ptr<UpdateDownloadResult> download(const std::wstring& version) {
    beginUpdateDownload(test::resultWindow(), DownloadDone, version);
    return test::awaitPosted<UpdateDownloadResult>(DownloadDone, Wait);
}
std::unique_ptr<LikeResult> like() {
    beginLike(test::resultWindow(), LikeDone);
    return test::awaitPosted<LikeResult>(LikeDone, Wait);
}
bool stagingEmpty() { return !fs::exists(updateFolder()) || fs::is_empty(updateFolder()); }
// update_signed_tests runs a copy of this program signed by the test publisher (sign-test-programs).
bool signedRun() { return std::getenv("CALMLANE_SIGNED_RUN") != nullptr; }

class MakerServices : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        fs::remove_all(updateFolder());
        const std::string image = test::builtInstaller(L"update_installer_1_2_0_5");
        service.put("1.2.0.5.exe", image);
        service.put("x86.exe", test::as32Bit(image));
        service.put("caps-1.3.exe", test::builtInstaller(L"update_installer_caps_1_3"));
        service.put("other-1.2.exe", test::builtInstaller(L"update_installer_other_1_2"));
        // The recording stand-in installer writes the command line of each start there.
        DeleteFileW(record.c_str());
        SetEnvironmentVariableW(L"CALMLANE_INSTALLER_RECORD", record.c_str());
        installDirectoryOverride = L"C:\\Program Files\\Calmlane Test";
    }
    void TearDown() override {
        installDirectoryOverride.clear();
        std::error_code ignored;
        fs::remove_all(updateFolder(), ignored);
    }
    void expectRequests(std::size_t count, const std::string& method, const std::string& path,
                        const std::string& voter) {
        const auto requests = service.requests();
        EXPECT_EQ(requests.size(), count);
        for (const auto& request : requests) {
            EXPECT_EQ(request.method + " " + request.path, method + " " + path);
            EXPECT_EQ(request.userAgent, "Calmlane/1.1.3");
            EXPECT_EQ(request.voter, voter);
        }
    }
    // The command line the installer staged at `path` recorded when it started (empty when it did not),
    // once it has gone and released the file.
    std::wstring startedCommandLine(const std::wstring& path) {
        std::string line;
        waitUntil([&] { return (line = test::readWholeFile(record)).find('\n') != std::string::npos; }, 10000, 50);
        EXPECT_TRUE(waitUntil([&] { return DeleteFileW(path.c_str()) != FALSE; }, 10000, 50))
            << "the started installer stays locked";
        DeleteFileW(record.c_str());
        const std::wstring text(reinterpret_cast<const wchar_t*>(line.data()), line.size() / sizeof(wchar_t));
        return text.substr(0, text.find(L'\n'));
    }
    // Starts a verified installer (the recording stand-in) and returns the command line it was given.
    std::wstring launchAndRecord(const std::wstring& path) {
        EXPECT_TRUE(launchDownloadedUpdate(test::resultWindow(), path));
        return startedCommandLine(path);
    }

    const std::wstring record = fs::temp_directory_path().wstring() + L"\\calmlane-installer-record.txt";
    test::EnglishUser registry;
    test::MakerService service;
};

TEST_F(MakerServices, UpdateCheckAnswersAndRemembersByTheManifest) {
    const char* const Unanswered = "answered=0 available=0 version= stored=9.9+ day=0";  // "9.9" before
    const struct {
        const char* what;
        test::Route route;
        const char* outcome;
    } cases[] = {
        {"newer", get(Manifest, manifest("1.2.0")), "answered=1 available=1 version=1.2.0 stored=1.2.0+ day=today"},
        {"a leading letter", get(Manifest, manifest("v1.2")), "answered=1 available=0 version=v1.2 stored= day=today"},
        {"invalid UTF-8", get(Manifest, manifest("2.\xff")), Unanswered},
        {"16,384 bytes", sized(get(Manifest, manifest("2.0")), 16384),
         "answered=1 available=1 version=2.0 stored=2.0+ day=today"},
        {"16,385 bytes", sized(get(Manifest, manifest("2.0")), 16385), Unanswered},
        {"status 500", get(Manifest, manifest("2.0"), 500), Unanswered},
        {"no manifest (404)", get("/elsewhere.json", manifest("2.0")), Unanswered},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        service.serve({c.route});
        writeString(HKEY_CURRENT_USER, UserRegistry, L"AvailableVersion", L"9.9");
        RegDeleteKeyValueW(HKEY_CURRENT_USER, UserRegistry, L"LastUpdateCheckDay");
        const auto info = check(true);
        ASSERT_TRUE(info);
        EXPECT_EQ(outcome(*info), c.outcome);
    }
}

TEST_F(MakerServices, SilentCheckRunsOncePerAnsweredDayAndForcedChecksAlways) {
    service.serve({get(Manifest, "", 503)});
    ASSERT_TRUE(check(false));
    ASSERT_TRUE(check(false)) << "an unanswered check leaves the day open";
    service.serve({get(Manifest, manifest("1.2.0"))});
    ASSERT_TRUE(check(false));
    EXPECT_FALSE(check(false, 1500)) << "a second silent check on the same day posts nothing";
    const auto forced = check(true);
    ASSERT_TRUE(forced);
    EXPECT_TRUE(forced->answered && forced->available);
    expectRequests(2, "GET", Manifest, "");
}

TEST_F(MakerServices, DownloadKeepsAndStartsOnlyAVerifiedInstallerOfTheRequestedVersion) {
    auto cut = installer("1.2", "1.2.0.5.exe", 2 * MiB);
    cut.cutAfter = MiB + 10;
    const struct {
        const char* what;
        const wchar_t* version;
        test::Route route;
        bool sent, ok;
    } cases[] = {
        {"1.2.0.5 for 1.2, exactly 1 MiB", L"1.2", installer("1.2", "1.2.0.5.exe", MiB), true, true},
        {"1.2.0.5 for 1.2.0", L"1.2.0", installer("1.2.0", "1.2.0.5.exe", 2 * MiB), true, true},
        {"product name in capitals", L"1.3", installer("1.3", "caps-1.3.exe", MiB), true, true},
        {"one byte under 1 MiB", L"1.2", installer("1.2", "1.2.0.5.exe", MiB - 1), true, false},
        {"over 64 MiB", L"1.2", installer("1.2", "1.2.0.5.exe", 64 * MiB + 1), true, false},
        {"another minor version", L"1.3", installer("1.3", "1.2.0.5.exe", MiB), true, false},
        {"another patch version", L"1.2.1", installer("1.2.1", "1.2.0.5.exe", MiB), true, false},
        {"a 32-bit image", L"1.2", installer("1.2", "x86.exe", MiB), true, false},
        {"another product", L"1.2", installer("1.2", "other-1.2.exe", MiB), true, false},
        {"not an image", L"1.2", sized(get("/download/calmlane/1.2", "MZ"), MiB), true, false},
        {"connection lost mid-body", L"1.2", cut, true, false},
        {"status 404", L"1.2", installer("other", "1.2.0.5.exe", MiB), true, false},
        {"the running version", L"1.1.3", installer("1.1.3", "1.2.0.5.exe", MiB), false, false},
        {"an older version", L"1.0", installer("1.0", "1.2.0.5.exe", MiB), false, false},
        {"one component", L"2", installer("2", "1.2.0.5.exe", MiB), false, false},
        {"four components", L"1.2.3.4", installer("1.2.3.4", "1.2.0.5.exe", MiB), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        service.serve({c.route});
        const auto result = download(c.version);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->ok, c.ok);
        EXPECT_EQ(result->version, c.version);
        expectRequests(c.sent, "GET", "/download/calmlane/" + narrow(c.version), "");
        if (!c.ok) {
            EXPECT_EQ(result->path, L"");
            EXPECT_TRUE(stagingEmpty()) << "a refused download leaves no file";
            continue;
        }
        ASSERT_EQ(result->path, updateFolder() + L"\\Calmlane-Setup-" + c.version + L".exe");
        EXPECT_EQ(fs::file_size(result->path), static_cast<std::uintmax_t>(c.route.size));
        // Until it is started, the verified file admits readers only.
        EXPECT_FALSE(DeleteFileW(result->path.c_str()));
        EXPECT_FALSE(openFile(result->path, GENERIC_WRITE, 7));
        EXPECT_TRUE(openFile(result->path, GENERIC_READ, FILE_SHARE_READ));
        const std::string commandLine = narrow(launchAndRecord(result->path));
        EXPECT_NE(commandLine.find(fs::path(result->path).filename().string()), std::string::npos) << commandLine;
        EXPECT_TRUE(commandLine.ends_with(R"( --install-update "C:\Program Files\Calmlane Test")")) << commandLine;
        EXPECT_FALSE(launchDownloadedUpdate(test::resultWindow(), result->path)) << "one verification, one start";
    }
    // A file staged by anybody else is never started.
    fs::create_directories(updateFolder());
    fs::copy_file(test::binFolder() + L"\\update_installer_1_2_0_5.exe", updateFolder() + L"\\Calmlane-Setup-1.2.exe");
    EXPECT_FALSE(launchDownloadedUpdate(test::resultWindow(), updateFolder() + L"\\Calmlane-Setup-1.2.exe"));
}

// Puts a folder back where it was when the test ends, however it ends.
struct MovedFolder {
    MovedFolder(const fs::path& from, const fs::path& to) : from(from), to(to) {
        moved = MoveFileW(from.c_str(), to.c_str()) != FALSE;
    }
    ~MovedFolder() {
        std::error_code ignored;
        fs::remove_all(from, ignored);
        if (moved) MoveFileW(to.c_str(), from.c_str());
    }
    fs::path from, to;
    bool moved = false;
};

// Every step works on the file held since it was written: no download through a staging folder that is a
// link (Wine's here, a junction on Windows), the version read from the held file whatever its name leads
// to, and no start once that name leads to another file (here: the profile folder renamed and an
// impostor put in its place, which Wine's final path does not follow).
TEST_F(MakerServices, OnlyTheHeldFileIsStagedCheckedAndStarted) {
    service.serve({installer("1.2", "1.2.0.5.exe", MiB)});
    const fs::path updates = updateFolder(), product = updates.parent_path();
    const fs::path elsewhere = product.parent_path() / "Calmlane-elsewhere";
    for (const fs::path& link : {product, updates}) {
        SCOPED_TRACE(link.string());
        fs::remove_all(product);
        fs::remove_all(elsewhere);
        fs::create_directories(elsewhere);
        fs::create_directories(link.parent_path());
        ASSERT_TRUE(test::makeUnixLink(elsewhere.wstring(), link.wstring()));
        const auto refused = download(L"1.2");
        EXPECT_TRUE(refused && !refused->ok);
        EXPECT_TRUE(fs::is_empty(elsewhere));
        EXPECT_TRUE(test::removeUnixLink(link.wstring()));
        fs::remove_all(elsewhere);
    }

    const std::wstring impostor = test::binFolder() + L"\\update_installer_caps_1_3.exe";
    fs::create_directories(updates);
    const std::wstring opened = updates.wstring() + L"\\opened.exe";
    ASSERT_TRUE(CopyFileW((test::binFolder() + L"\\update_installer_1_2_0_5.exe").c_str(), opened.c_str(), FALSE));
    {
        const UniqueHandle file = openFile(opened, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
        ASSERT_TRUE(MoveFileW(opened.c_str(), (opened + L".moved").c_str()));
        ASSERT_TRUE(CopyFileW(impostor.c_str(), opened.c_str(), FALSE));
        EXPECT_TRUE(verifiedInstaller(file.get(), L"1.2"));
        EXPECT_FALSE(verifiedInstaller(file.get(), L"1.3"));
    }

    const auto verified = download(L"1.2");
    ASSERT_TRUE(verified && verified->ok);
    {
        const fs::path profile = product.parent_path();
        const MovedFolder away(profile, profile.wstring() + L"-moved");
        ASSERT_TRUE(away.moved);
        fs::create_directories(updates);
        fs::create_directories(fs::path(record).parent_path());  // the temporary folder moved with the profile
        ASSERT_TRUE(CopyFileW(impostor.c_str(), verified->path.c_str(), FALSE));
        launchDownloadedUpdate(test::resultWindow(), verified->path);
        std::string started;
        waitUntil([&] { return !(started = test::readWholeFile(record)).empty(); }, 5000, 50);
        const std::wstring line(reinterpret_cast<const wchar_t*>(started.data()), started.size() / sizeof(wchar_t));
        EXPECT_EQ(line.find(verified->path), std::wstring::npos) << "the impostor was started";
    }
}

TEST_F(MakerServices, ASecondDownloadOfTheSameVersionFailsWithoutDisturbingTheFirst) {
    auto slow = installer("1.2", "1.2.0.5.exe", MiB + 4096);
    slow.stallAfter = MiB / 2;  // the first download waits inside its body, its staged file open
    service.serve({slow});
    const std::wstring staged = updateFolder() + L"\\Calmlane-Setup-1.2.exe";
    beginUpdateDownload(test::resultWindow(), DownloadDone, L"1.2");
    waitUntil([&] { return fs::exists(staged); });
    const auto second = download(L"1.2");
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->ok);
    const auto first = test::awaitPosted<UpdateDownloadResult>(DownloadDone, Wait);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->ok);
    EXPECT_EQ(fs::file_size(staged), static_cast<std::uintmax_t>(MiB + 4096));
    expectRequests(2, "GET", "/download/calmlane/1.2", "");
    launchAndRecord(first->path);
}

TEST_F(MakerServices, VoteRemembersTheVersionOnAnyAnswerWithABody) {
    const struct {
        const char* what;
        test::Route route;
        const char* outcome;  // the result, and whether the version is remembered as voted for
    } cases[] = {
        {"added", vote(R"({"added":true,"likes":42})"), "ok=1 added=1 likes=42 remembered=1"},
        {"not added", vote(R"({"added": false, "likes": 7})"), "ok=1 added=0 likes=7 remembered=1"},
        {"status 500", vote(R"({"added":true,"likes":1})", 500), "ok=0 added=0 likes=0 remembered=0"},
        {"empty body", vote(""), "ok=0 added=0 likes=0 remembered=0"},
        {"16,385 bytes", sized(vote(R"({"added":true})"), 16385), "ok=0 added=0 likes=0 remembered=0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        service.serve({c.route});
        RegDeleteKeyValueW(HKEY_CURRENT_USER, UserRegistry, L"LikedVersion-1.1.3");
        const auto result = like();
        ASSERT_TRUE(result);
        EXPECT_EQ("ok=" + std::to_string(result->ok) + " added=" + std::to_string(result->added) + " likes=" +
                      std::to_string(result->likes) + " remembered=" + std::to_string(likedCurrentVersion()),
                  c.outcome);
    }
}

// The identifier goes into a request header: only a braced GUID is sent, anything else is replaced.
TEST_F(MakerServices, VoterIdIsABracedGuidCreatedBeforeTheFirstVoteAndReused) {
    const struct {
        const char* what;
        const wchar_t* stored;  // null: none
        bool kept;
    } cases[] = {
        {"none", nullptr, false},
        {"a braced GUID", L"{0123ABCD-4567-89ab-cdef-0123456789AB}", true},
        {"without braces", L"0123ABCD-4567-89ab-cdef-0123456789AB", false},
        {"not hexadecimal", L"{0123ABCD-4567-89ab-cdef-0123456789AG}", false},
        {"38 characters with a line break", L"{0123ABCD-4567-89ab-cdef-01234567}\r\nX:", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.stored) writeString(HKEY_CURRENT_USER, UserRegistry, L"AnonymousLikeId", c.stored);
        else RegDeleteKeyValueW(HKEY_CURRENT_USER, UserRegistry, L"AnonymousLikeId");
        service.serve({vote(R"({"added":true,"likes":1})")});
        ASSERT_TRUE(like());
        ASSERT_TRUE(like());
        std::wstring id;
        ASSERT_TRUE(readString(HKEY_CURRENT_USER, UserRegistry, L"AnonymousLikeId", id));
        ASSERT_EQ(id.size(), 38u);
        EXPECT_TRUE(id.starts_with(L'{') && id.ends_with(L'}') && id.find_first_of(L"\r\n") == std::wstring::npos);
        EXPECT_EQ(c.stored && id == c.stored, c.kept);
        expectRequests(2, "POST", VotePath, narrow(id));
    }
}

// Each must fail: a client that ignored certificate errors, accepted TLS 1.1 or followed redirects
// would be answered.
TEST_F(MakerServices, RequestsRefuseUntrustedPeersOldTlsAndRedirects) {
    auto redirect = [](test::Route route, const std::string& location) {
        route.status = 302;
        route.location = location;
        return route;
    };
    const test::Route answer = get(Manifest, manifest("1.2"));
    const test::Route moved = get("/moved", manifest("1.2"));
    const std::string elsewhere = "https://" + Elsewhere + "/moved";
    const struct {
        const char* what;
        std::vector<test::Route> routes;
        std::string tls;  // the handshakes refused: no request arrives; else the first request, not followed
        bool voting;
    } cases[] = {
        {"a certificate from an untrusted CA", {answer}, "untrusted", false},
        {"a certificate for another host name", {answer}, "wrong-host", false},
        {"TLS 1.1 at most", {answer}, "tls1.1", false},
        {"a redirect to plain HTTP", {redirect(get(Manifest), "http://" + narrow(EndpointHost) + Manifest)}, "", false},
        // WinHTTP's default policy follows this one: only the disabled redirects stop it.
        {"a redirect on the same host", {redirect(get(Manifest), "https://" + narrow(EndpointHost) + "/moved"), moved},
         "", false},
        {"a redirect to another host", {redirect(get(Manifest), elsewhere), moved}, "", false},
        {"a vote sent to another host",
         {redirect(vote(R"({"added":true,"likes":1})"), elsewhere), get("/moved", R"({"added":true})")}, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        service.serve(c.routes, c.tls);
        if (c.voting) {
            const auto result = like();
            ASSERT_TRUE(result);
            EXPECT_FALSE(result->ok);
        } else {
            const auto info = check(true);
            ASSERT_TRUE(info);
            EXPECT_FALSE(info->answered);
        }
        EXPECT_EQ(service.requests().size(), c.tls.empty() ? 1u : 0u);
    }
}

// A peer that trickles its body cannot keep an exchange going beyond its total time.
TEST_F(MakerServices, ReadsFailOnceTheExchangesTotalTimeHasPassed) {
    auto slow = installer("1.2", "1.2.0.5.exe", 2 * MiB);
    slow.stallAfter = MiB;  // 3 seconds, well within the 10-second time-out of one read
    service.serve({slow});
    for (const unsigned long total : {60000ul, 2000ul}) {
        SCOPED_TRACE(total);
        HttpsExchange exchange;
        ASSERT_TRUE(
            exchange.perform(DownloadHost, L"GET", L"/download/calmlane/1.2", {4000, 4000, 10000, 10000, total}));
        std::vector<char> chunk(65536);
        unsigned long long received = 0;
        bool ok = true;
        for (unsigned long count = 1; ok && count != 0; received += count) {
            ok = exchange.read(chunk.data(), 65536, count);
        }
        EXPECT_EQ(ok, total == 60000);
        EXPECT_EQ(received == 2 * MiB, total == 60000);
    }
}

// What WinVerifyTrust makes of the test installers, and of this program (signed in the signed run).
TEST_F(MakerServices, SignaturesAsWinVerifyTrustSeesThem) {
    auto signature = [](const std::wstring& path) {
        const UniqueHandle file = openFile(path, GENERIC_READ, FILE_SHARE_READ);
        EXPECT_TRUE(file) << narrow(path);
        return verifySignature(file.get(), path, Revocation::WholeChain);
    };
    // The state, the status in hex, and whether subject and root are those of `reference`.
    const auto verdict = [](const Signature& found, const Signature& reference) {
        const char* const states[] = {"unsigned", "valid", "invalid"};
        char status[16];
        std::snprintf(status, sizeof(status), "%lx", static_cast<unsigned long>(found.status));
        return std::string(states[static_cast<int>(found.state)]) + " " + status +
               " subject=" + std::to_string(!found.subject.empty() && found.subject == reference.subject) +
               " root=" + std::to_string(!found.root.empty() && found.root == reference.root);
    };
    const Signature self = signature(modulePath());
    EXPECT_EQ(self.state, signedRun() ? SignatureState::Valid : SignatureState::Unsigned);
    EXPECT_EQ(runningImageSigned(), signedRun());
    const Signature publisher = signature(service.path("signed-1.2.0.5.exe"));
    const struct {
        const char* file;
        const char* verdict;
    } cases[] = {
        {"unsigned-1.2.0.5.exe", "unsigned 800b0100 subject=0 root=0"},
        {"signed-1.2.0.5.exe", "valid 0 subject=1 root=1"},
        {"other-1.2.0.5.exe", "valid 0 subject=0 root=1"},
        {"impostor-1.2.0.5.exe", "valid 0 subject=1 root=0"},  // the publisher's name, another CA
        {"altered-1.2.0.5.exe", "invalid 80096010 subject=0 root=0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Signature found = signature(service.path(c.file));
        EXPECT_EQ(verdict(found, publisher), c.verdict);
        if (signedRun()) {
            EXPECT_EQ(verdict(found, self), c.verdict);
        }
    }
}

// Through the main window: a signed program starts only what its own publisher signed; an unsigned
// one (a development build) keeps the format checks alone. The version downloaded is the one the user
// agreed to, even when a check reports another while the question is open.
TEST_F(MakerServices, WindowStartsOnlyInstallersOfItsOwnPublisher) {
    const struct {
        const char* what;
        const char* file;
        bool startedSigned, startedUnsigned;
    } cases[] = {
        {"same publisher", "signed-1.2.0.5.exe", true, true},
        {"another subject of the same CA", "other-1.2.0.5.exe", false, true},
        {"the publisher's name from another trusted CA", "impostor-1.2.0.5.exe", false, true},
        {"unsigned", "unsigned-1.2.0.5.exe", false, true},
        {"altered after signing", "altered-1.2.0.5.exe", false, true},
        {"refused by the format checks", "other-1.2.exe", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool started = signedRun() ? c.startedSigned : c.startedUnsigned;
        service.serve({installer("1.2", c.file, -1), installer("1.3", c.file, -1)});  // as signed, whole
        test::PageWindow page(0);
        test::BoxWatcher watcher(IDYES);
        page.ui.updateInfo.available = true;
        page.ui.updateInfo.version = L"1.2";
        // Handled inside the question's own message loop: a check that now reports 1.3.
        auto later = std::make_unique<UpdateInfo>(UpdateInfo{true, true, L"1.3", L""});
        ASSERT_TRUE(postOwned(page.ui.window, WM_APP + 10, std::move(later)));
        page.command(UpdateButton);
        ASSERT_TRUE(test::pumpUntil([&] { return !IsWindow(page.ui.window) || watcher.boxes().size() >= 2; }, Wait));
        EXPECT_EQ(page.ui.updateInfo.version, L"1.3") << "the check result was not handled during the question";
        expectRequests(1, "GET", "/download/calmlane/1.2", "");
        EXPECT_EQ(!IsWindow(page.ui.window), started);
        if (started) {
            EXPECT_EQ(watcher.boxes().size(), 1u);  // the question only
            EXPECT_NE(startedCommandLine(updateFolder() + L"\\Calmlane-Setup-1.2.exe"), L"");
        } else {
            ASSERT_EQ(watcher.boxes().size(), 2u);
            EXPECT_NE(watcher.boxes().back().text.find(L"verification failed"), std::wstring::npos);
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page.ui.window, UpdateButton)));
            EXPECT_TRUE(stagingEmpty());
        }
    }
}

// Run alone in a child by the next test: main returns while a verified installer is held. The handler
// registered first runs after every static destructor, and must find the file still held.
wchar_t heldAtExit[MAX_PATH];
TEST_F(MakerServices, DISABLED_HeldInstallerStaysHeldThroughStaticDestruction) {
    std::atexit([] { _exit(heldAtExit[0] == 0 ? 2 : DeleteFileW(heldAtExit) ? 1 : 0); });
    service.serve({installer("1.2", "1.2.0.5.exe", MiB)});
    auto result = download(L"1.2");
    ASSERT_TRUE(result && result->ok);
    wcsncpy(heldAtExit, result->path.c_str(), MAX_PATH - 1);
    result.release();  // its hold stays to the end
}

// The registry of held installers outlives static destruction, since a detached worker may still use
// it while the process exits.
TEST_F(MakerServices, HeldInstallersOutliveStaticDestruction) {
    EXPECT_EQ(test::runToExit(modulePath(), L"--gtest_also_run_disabled_tests --gtest_filter=MakerServices."
                                            L"DISABLED_HeldInstallerStaysHeldThroughStaticDestruction", Wait), 0u)
        << "1: released by a static destructor, 2: nothing was held";
}

// A download result still queued when the window goes releases its installer as it is freed.
TEST_F(MakerServices, AResultQueuedForAGoneWindowReleasesItsInstaller) {
    service.serve({installer("1.2", "1.2.0.5.exe", MiB)});
    std::wstring staged;
    {
        test::PageWindow page(0);
        beginUpdateDownload(page.ui.window, WM_APP + 13, L"1.2");
        MSG queued{};
        ASSERT_TRUE(waitUntil(
            [&] { return PeekMessageW(&queued, page.ui.window, WM_APP + 13, WM_APP + 13, PM_NOREMOVE); }, Wait, 50));
        staged = reinterpret_cast<UpdateDownloadResult*>(queued.lParam)->path;
        ASSERT_FALSE(staged.empty());
        EXPECT_FALSE(DeleteFileW(staged.c_str())) << "held while its result waits";
    }
    EXPECT_TRUE(DeleteFileW(staged.c_str())) << "still held after the window and its queued result went";
}

// The main window's check and support buttons, each reporting its outcome once.
TEST_F(MakerServices, WindowButtonsReachTheServicesAndReportEachOutcome) {
    test::PageWindow page(0);
    test::BoxWatcher watcher(IDYES);
    const struct {
        int button;
        test::Route route;
        const wchar_t* box;  // what tells the outcome in the message shown
    } presses[] = {
        {CheckUpdatesButton, get(Manifest, manifest("2.0"), 500), L"Unable to check"},
        {CheckUpdatesButton, get(Manifest, manifest("1.1.3")), L"already using the latest"},
        {CheckUpdatesButton, get(Manifest, manifest("1.2")), L"1.2"},
        {SupportButton, vote(R"({"added":true,"likes":3})"), L"Thank you"},
    };
    for (std::size_t i = 0; i < std::size(presses); ++i) {
        SCOPED_TRACE(i);
        service.serve({presses[i].route});
        page.command(presses[i].button);
        ASSERT_TRUE(test::pumpUntil([&] { return watcher.boxes().size() > i; }, Wait));
        EXPECT_NE(watcher.boxes().back().text.find(presses[i].box), std::wstring::npos);
        EXPECT_FALSE(page.ui.checking);
    }
    EXPECT_NE(windowText(GetDlgItem(page.ui.window, SupportButton)).find(L"Thank you"), std::wstring::npos);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page.ui.window, SupportButton)));
    page.command(SupportButton);  // already liked: no second vote, no second box
    EXPECT_FALSE(test::pumpUntil(
        [&] { return service.requests().size() > 1 || watcher.boxes().size() > std::size(presses); }, 3000));
}

// Under the organisation's DisableUpdateCheck no request leaves, neither from the tray's forced check nor
// from the window's silent one, and nothing cached is offered (no update button, blink or balloon).
TEST_F(MakerServices, TheUpdatePolicyKeepsEveryCheckAtHome) {
    service.serve({get(Manifest, manifest("2.0"))});
    writeString(HKEY_CURRENT_USER, UserRegistry, L"AvailableVersion", L"2.0");
    writeDword(HKEY_LOCAL_MACHINE, PolicyKey, L"DisableUpdateCheck", 1);
    EXPECT_FALSE(check(true, 1500));
    EXPECT_FALSE(check(false, 1500));
    EXPECT_FALSE(cachedUpdateInfo().available);
    EXPECT_TRUE(service.requests().empty());
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, PolicyKey, L"DisableUpdateCheck");
    EXPECT_TRUE(check(true));  // the same check, allowed, reaches the host
    EXPECT_EQ(service.requests().size(), 1u);
}

TEST_F(MakerServices, ManyChecksAndDownloadsLeaveNoHandleOrThreadBehind) {
    service.serve({get(Manifest, manifest("1.2.0")), installer("1.2", "1.2.0.5.exe", MiB),
                   installer("1.3", "1.2.0.5.exe", MiB)});
    // The first requests load WinHTTP and its TLS machinery for good, the first start of an installer the
    // shell's: the counts start after them (alone, this test otherwise counted the shell's handles).
    ASSERT_TRUE(check(true));
    const auto first = download(L"1.2");
    ASSERT_TRUE(first && first->ok);
    launchAndRecord(first->path);
    // The last worker may still be closing its handles after it posted: wait until the counts settle.
    test::ProcessResources before = test::processResources();
    int steady = 0;
    waitUntil([&] {
        const test::ProcessResources now = test::processResources();
        steady = now.handles == before.handles && now.threads == before.threads ? steady + 1 : 0;
        before = now;
        return steady >= 3;
    }, 10000, 100);
    {
        const UniqueHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_EQ(test::processResources().handles, before.handles + 1) << "the count must see one more handle";
    }
    int answered = 0;
    // 200 checks, 4 at a time: more at once can outlast the check's 3-second receive limit on a busy machine.
    for (int batch = 0; batch < 50; ++batch) {
        for (int i = 0; i < 4; ++i) beginUpdateCheck(test::resultWindow(), CheckDone, true);
        for (int i = 0; i < 4; ++i) answered += test::awaitPosted<UpdateInfo>(CheckDone, Wait)->answered;
    }
    EXPECT_EQ(answered, 200);
    int verified = 0;
    std::unique_ptr<UpdateDownloadResult> held;
    for (int i = 0; i < 50; ++i) {  // alternately verified (held until the next gives way) and refused
        auto result = download(i % 2 ? L"1.3" : L"1.2");
        ASSERT_TRUE(result);
        verified += result->ok;
        if (result->ok) held = std::move(result);  // the older result goes, never releasing this one's hold
    }
    EXPECT_EQ(verified, 25);
    launchAndRecord(held->path);
    // A leak of the product's would show once per operation: hundreds. Wine starts a few objects of its own
    // on paths that only some runs take (seen: an event, and a pool thread with its mutex), kept for good.
    constexpr std::size_t WineOwn = 3;
    test::ProcessResources after;
    waitUntil([&] {  // workers may still be on their way out after posting
        after = test::processResources();
        return after.handles <= before.handles && after.threads <= before.threads;
    }, 5000, 100);
    std::printf("200 checks and 50 downloads: handles %zu -> %zu, threads %zu -> %zu\n", before.handles, after.handles,
                before.threads, after.threads);
    EXPECT_LE(after.handles, before.handles + WineOwn);
    EXPECT_LE(after.threads, before.threads + 1);
}

}  // namespace
}  // namespace calmlane
