// The update check, the download and the support vote, under Wine's real WinHTTP, against the local
// stand-in for the maker's services (run through tests/update/with-maker-service). The product uses its
// shipped host names; the test namespace resolves them to 127.0.0.1 and trusts the stand-in's CA.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "update/download.h"
#include "update/maker_service.h"
#include "update/staging.h"
#include "update/support.h"
#include "update/update_check.h"
#include "update/web_services.h"

namespace calmlane {
namespace {

namespace fs = std::filesystem;
using test::Route;

constexpr UINT CheckDone = WM_APP + 11;
constexpr UINT LikeDone = WM_APP + 12;
constexpr UINT DownloadDone = WM_APP + 13;
constexpr DWORD ResultWait = 30000;
constexpr const char* Agent = "Calmlane/1.1.3";

std::string manifest(const std::string& version) { return R"({"name":"Calmlane","version":")" + version + R"("})"; }

std::wstring stagedPath(const std::wstring& version) {
    return updateFolder() + L"\\Calmlane-Setup-" + version + L".exe";
}

std::vector<std::wstring> stagedFiles() {
    std::vector<std::wstring> names;
    std::error_code error;
    for (fs::directory_iterator it(updateFolder(), error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().wstring());
    }
    return names;
}

std::wstring storedAvailable() {
    std::wstring value = L"<missing>";
    readString(HKEY_CURRENT_USER, UserRegistry, L"AvailableVersion", value);
    return value;
}

class MakerServices : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        fs::remove_all(updateFolder());
    }
    void TearDown() override {
        installDirectoryOverride.clear();
        std::error_code error;
        fs::remove_all(updateFolder(), error);
    }

    std::unique_ptr<UpdateInfo> check(bool force) {
        beginUpdateCheck(window.handle(), CheckDone, force);
        return window.await<UpdateInfo>(CheckDone, ResultWait);
    }
    std::unique_ptr<UpdateDownloadResult> download(const std::wstring& version) {
        beginUpdateDownload(window.handle(), DownloadDone, version);
        return window.await<UpdateDownloadResult>(DownloadDone, ResultWait);
    }
    std::unique_ptr<LikeResult> like() {
        beginLike(window.handle(), LikeDone);
        return window.await<LikeResult>(LikeDone, ResultWait);
    }
    // Files the routes serve: the built installers and a 32-bit copy of one.
    void putInstallers() {
        const std::string image = test::readBuiltFile(L"update_installer_1_2_0_5.exe");
        service.put("calmlane-1.2.0.5.exe", image);
        service.put("calmlane-x86.exe", test::as32Bit(image));
        service.put("caps-1.3.exe", test::readBuiltFile(L"update_installer_caps_1_3.exe"));
        service.put("other-1.2.exe", test::readBuiltFile(L"update_installer_other_1_2.exe"));
    }
    // Starts a staged installer (the recording stand-in) and returns the command line it saw.
    std::wstring launchAndRecord(const std::wstring& path) {
        const std::wstring record = fs::temp_directory_path().wstring() + L"\\calmlane-installer-record.txt";
        DeleteFileW(record.c_str());
        SetEnvironmentVariableW(L"CALMLANE_INSTALLER_RECORD", record.c_str());
        installDirectoryOverride = L"C:\\Program Files\\Calmlane Test";
        EXPECT_TRUE(launchDownloadedUpdate(window.handle(), path));
        std::string line;
        for (int i = 0; i < 200 && line.find('\n') == std::string::npos; ++i) {
            Sleep(50);
            line = test::readWholeFile(record);
        }
        // The file is released once ShellExecuteExW has returned: deletable as soon as the installer exits.
        bool deleted = false;
        for (int i = 0; i < 200 && !(deleted = DeleteFileW(path.c_str()) != 0); ++i) Sleep(50);
        EXPECT_TRUE(deleted) << "the started installer stays locked";
        std::wstring text(reinterpret_cast<const wchar_t*>(line.data()), line.size() / sizeof(wchar_t));
        return text.substr(0, text.find(L'\n'));
    }

    test::RegistryScratch registry;
    test::MakerService service;
    test::ResultWindow window;
};

TEST_F(MakerServices, UpdateCheckAnswersAndRemembersByTheManifest) {
    const std::string escaped = R"({"version":"\u0031.2"})";
    const struct {
        const char* what;
        Route route;
        bool answered;
        bool available;
        const wchar_t* version;
        const wchar_t* stored;  // AvailableVersion afterwards; it was "9.9" before
    } cases[] = {
        {"newer", Route("/versionCalmLane.json").body(manifest("1.2.0")), true, true, L"1.2.0", L"1.2.0"},
        {"the running version", Route("/versionCalmLane.json").body(manifest("1.1.3")), true, false, L"1.1.3", L""},
        {"a leading letter", Route("/versionCalmLane.json").body(manifest("v1.2")), true, false, L"v1.2", L""},
        {"a \\u escape", Route("/versionCalmLane.json").body(escaped), false, false, L"", L"9.9"},
        {"16,384 bytes", Route("/versionCalmLane.json").body(manifest("2.0")).size(16384), true, true, L"2.0", L"2.0"},
        {"16,385 bytes", Route("/versionCalmLane.json").body(manifest("2.0")).size(16385), false, false, L"", L"9.9"},
        {"status 500", Route("/versionCalmLane.json").status(500).body(manifest("2.0")), false, false, L"", L"9.9"},
        {"no manifest (404)", Route("/elsewhere.json").body(manifest("2.0")), false, false, L"", L"9.9"},
        {"invalid UTF-8", Route("/versionCalmLane.json").body(manifest("2.\xff")), false, false, L"", L"9.9"},
        {"no version member", Route("/versionCalmLane.json").body(R"({"name":"x"})"), false, false, L"", L"9.9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        service.serve({c.route});
        writeString(HKEY_CURRENT_USER, UserRegistry, L"AvailableVersion", L"9.9");
        RegDeleteKeyValueW(HKEY_CURRENT_USER, UserRegistry, L"LastUpdateCheckDay");
        const auto info = check(true);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->answered, c.answered);
        EXPECT_EQ(info->available, c.available);
        EXPECT_EQ(info->version, c.version);
        if (c.answered) {
            EXPECT_EQ(info->url, DownloadPage);
        }
        EXPECT_EQ(storedAvailable(), c.stored);
        EXPECT_EQ(readDword(HKEY_CURRENT_USER, UserRegistry, L"LastUpdateCheckDay", 0), c.answered ? localDay() : 0);
    }
}

TEST_F(MakerServices, SilentCheckRunsOncePerAnsweredDayAndForcedChecksAlways) {
    service.serve({Route("/versionCalmLane.json").status(503)});
    ASSERT_TRUE(check(false));
    ASSERT_TRUE(check(false)) << "an unanswered check leaves the day open";

    service.serve({Route("/versionCalmLane.json").body(manifest("1.2.0"))});
    auto info = check(false);
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->answered);
    beginUpdateCheck(window.handle(), CheckDone, false);
    EXPECT_FALSE(window.await<UpdateInfo>(CheckDone, 1500)) << "a second silent check on the same day posts nothing";
    info = check(true);
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->available);

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);  // the same-day silent check sent nothing
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.path, "/versionCalmLane.json");
        EXPECT_EQ(request.userAgent, Agent);
        EXPECT_EQ(request.voter, "");
    }
    const UpdateInfo cached = cachedUpdateInfo();
    EXPECT_TRUE(cached.available);
    EXPECT_FALSE(cached.answered);
    EXPECT_EQ(cached.version, L"1.2.0");
    EXPECT_EQ(cached.url, DownloadPage);
}

TEST_F(MakerServices, DownloadKeepsOnlyAVerifiedInstallerOfTheRequestedVersion) {
    putInstallers();
    constexpr long long MiB = 1048576;
    const struct {
        const char* what;
        const wchar_t* version;
        Route route;
        bool ok;
    } cases[] = {
        {"1.2.0.5 for 1.2, exactly 1 MiB", L"1.2", Route("/download/calmlane/1.2").file("calmlane-1.2.0.5.exe").size(MiB), true},
        {"1.2.0.5 for 1.2.0", L"1.2.0", Route("/download/calmlane/1.2.0").file("calmlane-1.2.0.5.exe").size(2 * MiB), true},
        {"product name in capitals", L"1.3", Route("/download/calmlane/1.3").file("caps-1.3.exe").size(MiB), true},
        {"one byte under 1 MiB", L"1.2", Route("/download/calmlane/1.2").file("calmlane-1.2.0.5.exe").size(MiB - 1), false},
        {"over 64 MiB", L"1.2", Route("/download/calmlane/1.2").file("calmlane-1.2.0.5.exe").size(64 * MiB + 1), false},
        {"another minor version", L"1.3", Route("/download/calmlane/1.3").file("calmlane-1.2.0.5.exe").size(MiB), false},
        {"another patch version", L"1.2.1", Route("/download/calmlane/1.2.1").file("calmlane-1.2.0.5.exe").size(MiB), false},
        {"a 32-bit image", L"1.2", Route("/download/calmlane/1.2").file("calmlane-x86.exe").size(MiB), false},
        {"another product", L"1.2", Route("/download/calmlane/1.2").file("other-1.2.exe").size(MiB), false},
        {"not an image", L"1.2", Route("/download/calmlane/1.2").body("hello").size(MiB), false},
        {"connection lost mid-body", L"1.2", Route("/download/calmlane/1.2").file("calmlane-1.2.0.5.exe").size(2 * MiB).cut(MiB + 10), false},
        {"status 404", L"1.2", Route("/download/calmlane/other").file("calmlane-1.2.0.5.exe"), false},
        {"status 500", L"1.2", Route("/download/calmlane/1.2").status(500).file("calmlane-1.2.0.5.exe").size(MiB), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        service.serve({c.route});
        const auto result = download(c.version);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->ok, c.ok);
        EXPECT_EQ(result->version, c.version);
        const auto requests = service.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, "GET");
        EXPECT_EQ(requests[0].path, "/download/calmlane/" + fs::path(c.version).string());
        EXPECT_EQ(requests[0].userAgent, Agent);
        EXPECT_EQ(requests[0].voter, "");
        if (!c.ok) {
            EXPECT_EQ(result->path, L"");
            EXPECT_EQ(stagedFiles(), std::vector<std::wstring>{}) << "a refused download leaves no file";
            continue;
        }
        ASSERT_EQ(result->path, stagedPath(c.version));
        EXPECT_EQ(fs::file_size(result->path), static_cast<std::uintmax_t>(c.route.bodySize));
        // Until it is started, the verified file admits readers only.
        HANDLE writer = CreateFileW(result->path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        EXPECT_FALSE(DeleteFileW(result->path.c_str()));
        HANDLE reader = CreateFileW(result->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE);
        if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);

        const std::wstring commandLine = launchAndRecord(result->path);
        EXPECT_NE(commandLine.find(L"Calmlane-Setup-" + std::wstring(c.version) + L".exe"), std::wstring::npos) << commandLine;
        EXPECT_TRUE(commandLine.ends_with(LR"( --install-silent "C:\Program Files\Calmlane Test")")) << commandLine;
    }
}

TEST_F(MakerServices, VersionsOfOneOrFourComponentsFailAtOnce) {
    service.serve({Route("/download/calmlane/2"), Route("/download/calmlane/1.2.3.4")});
    for (const wchar_t* version : {L"2", L"1.2.3.4", L"", L"1.x"}) {
        const ULONGLONG start = GetTickCount64();
        const auto result = download(version);
        ASSERT_TRUE(result);
        EXPECT_FALSE(result->ok);
        EXPECT_EQ(result->version, version);
        EXPECT_LT(GetTickCount64() - start, 2000u);
    }
    EXPECT_TRUE(service.requests().empty());
    EXPECT_FALSE(fs::exists(updateFolder()));
}

TEST_F(MakerServices, LaunchStartsOnlyAnInstallerThisProcessVerifiedAndStillHolds) {
    fs::create_directories(updateFolder());
    const std::wstring planted = stagedPath(L"1.2");
    fs::copy_file(test::binFolder() + L"\\update_installer_1_2_0_5.exe", planted);
    EXPECT_FALSE(launchDownloadedUpdate(window.handle(), planted)) << "never verified";

    putInstallers();
    service.serve({Route("/download/calmlane/1.2").file("calmlane-1.2.0.5.exe").size(1048576)});
    const auto result = download(L"1.2");
    ASSERT_TRUE(result && result->ok);
    EXPECT_TRUE(launchAndRecord(result->path).ends_with(LR"(--install-silent "C:\Program Files\Calmlane Test")"));
    fs::copy_file(test::binFolder() + L"\\update_installer_1_2_0_5.exe", planted);
    EXPECT_FALSE(launchDownloadedUpdate(window.handle(), result->path)) << "the verification was used up";
}

TEST_F(MakerServices, ASecondDownloadOfTheSameVersionFailsWithoutDisturbingTheFirst) {
    putInstallers();
    service.serve({Route("/download/calmlane/1.2").file("calmlane-1.2.0.5.exe").size(1048576 + 4096).stall(524288, 3)});
    beginUpdateDownload(window.handle(), DownloadDone, L"1.2");
    // The first download is inside its body, with the staged file open.
    for (int i = 0; i < 200 && !fs::exists(stagedPath(L"1.2")); ++i) Sleep(25);
    ASSERT_TRUE(fs::exists(stagedPath(L"1.2")));
    const auto second = download(L"1.2");
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->ok);
    EXPECT_EQ(second->path, L"");
    const auto first = window.await<UpdateDownloadResult>(DownloadDone, ResultWait);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->ok);
    EXPECT_EQ(fs::file_size(stagedPath(L"1.2")), 1048576u + 4096u);
    EXPECT_EQ(service.requests().size(), 2u);
    launchAndRecord(first->path);
}

TEST_F(MakerServices, VoteRemembersTheVersionOnAnyAnswerWithABody) {
    const std::string path = "/api/likes/calmlane/1.1.3";
    const struct {
        const char* what;
        Route route;
        bool ok;
        bool added;
        std::uint64_t likes;
    } cases[] = {
        {"added", Route(path, "POST").body(R"({"added":true,"likes":42})"), true, true, 42},
        {"not added", Route(path, "POST").body(R"({"added": false, "likes": 7})"), true, false, 7},
        {"likes after a line break", Route(path, "POST").body("{\"added\":true,\"likes\":\n5}"), true, true, 0},
        {"any body", Route(path, "POST").body("ok"), true, false, 0},
        {"status 500", Route(path, "POST").status(500).body(R"({"added":true,"likes":1})"), false, false, 0},
        {"empty body", Route(path, "POST").body(""), false, false, 0},
        {"16,385 bytes", Route(path, "POST").body(R"({"added":true})").size(16385), false, false, 0},
        {"a GET route only", Route(path).body(R"({"added":true})"), false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        service.serve({c.route});
        RegDeleteKeyValueW(HKEY_CURRENT_USER, UserRegistry, L"LikedVersion-1.1.3");
        const auto result = like();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->ok, c.ok);
        EXPECT_EQ(result->added, c.added);
        EXPECT_EQ(result->likes, c.likes);
        EXPECT_EQ(likedCurrentVersion(), c.ok);
    }
}

TEST_F(MakerServices, VoterIdIsCreatedBeforeTheFirstVoteAndReused) {
    service.serve({Route("/api/likes/calmlane/1.1.3", "POST").body(R"({"added":true,"likes":1})")});
    ASSERT_FALSE(likedCurrentVersion());
    ASSERT_TRUE(like());
    ASSERT_TRUE(like());
    std::wstring id;
    ASSERT_TRUE(readString(HKEY_CURRENT_USER, UserRegistry, L"AnonymousLikeId", id));
    ASSERT_EQ(id.size(), 38u);
    EXPECT_EQ(id.front(), L'{');
    EXPECT_EQ(id.back(), L'}');
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/api/likes/calmlane/1.1.3");
        EXPECT_EQ(request.userAgent, Agent);
        EXPECT_EQ(request.voter, fs::path(id).string());
    }
    EXPECT_TRUE(likedCurrentVersion());
}

TEST_F(MakerServices, ManyChecksAndDownloadsLeaveNoHandleBehind) {
    putInstallers();
    service.serve({Route("/versionCalmLane.json").body(manifest("1.2.0")),
                   Route("/download/calmlane/1.2").file("calmlane-1.2.0.5.exe").size(1048576),
                   Route("/download/calmlane/1.3").file("calmlane-1.2.0.5.exe").size(1048576)});
    // Warm up: the first requests load WinHTTP and its TLS machinery for good.
    ASSERT_TRUE(check(true));
    auto warm = download(L"1.3");
    ASSERT_TRUE(warm);
    const test::ProcessResources before = test::processResources();
    {
        const UniqueHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_EQ(test::processResources().handles, before.handles + 1) << "the handle count must see one more handle";
    }

    constexpr int Checks = 200;
    constexpr int Parallel = 8;
    int answered = 0;
    for (int started = 0; started < Checks; started += Parallel) {
        for (int i = 0; i < Parallel; ++i) beginUpdateCheck(window.handle(), CheckDone, true);
        for (int i = 0; i < Parallel; ++i) {
            const auto info = window.await<UpdateInfo>(CheckDone, ResultWait);
            answered += info && info->answered;
        }
    }
    EXPECT_EQ(answered, Checks);
    int verified = 0;
    std::wstring lastVerified;
    for (int i = 0; i < 50; ++i) {
        // Alternately verified (and held until the next one gives way) and refused after the whole body.
        const auto result = download(i % 2 ? L"1.3" : L"1.2");
        ASSERT_TRUE(result);
        verified += result->ok;
        if (result->ok) lastVerified = result->path;
    }
    EXPECT_EQ(verified, 25);
    launchAndRecord(lastVerified);  // releases the last held installer

    // Detached workers may still be on their way out after posting: give them a moment.
    test::ProcessResources after = test::processResources();
    for (int i = 0; i < 50 && (after.handles > before.handles || after.threads > before.threads); ++i) {
        Sleep(100);
        after = test::processResources();
    }
    std::printf("after %d checks and 50 downloads: handles %zu -> %zu, threads %zu -> %zu\n", Checks, before.handles,
                after.handles, before.threads, after.threads);
    EXPECT_LE(after.handles, before.handles);
    EXPECT_LE(after.threads, before.threads);
}

}  // namespace
}  // namespace calmlane
