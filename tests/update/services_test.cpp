// The update check, the download and the vote under Wine's WinHTTP, against the local stand-in for the
// maker's services. The product uses its shipped host names: the test's mount namespace resolves them
// to 127.0.0.1 and trusts the stand-in's CA (tests/update/with-maker-service).
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

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
#include "ui/page_window.h"

namespace calmlane {
namespace {

namespace fs = std::filesystem;
using test::get;
using test::installer;

constexpr UINT CheckDone = WM_APP + 11;
constexpr UINT LikeDone = WM_APP + 12;
constexpr UINT DownloadDone = WM_APP + 13;
constexpr DWORD Wait = 30000;
constexpr long long MiB = 1048576;
const std::string Manifest = "/versionCalmLane.json";
const std::string VotePath = "/api/likes/calmlane/1.1.3";

std::string manifest(const std::string& version) { return R"({"name":"Calmlane","version":")" + version + R"("})"; }
std::string narrow(const std::wstring& text) { return fs::path(text).string(); }

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
    }
    void TearDown() override {
        installDirectoryOverride.clear();
        std::error_code ignored;
        fs::remove_all(updateFolder(), ignored);
    }
    void expectRequests(std::size_t count, const std::string& method, const std::string& path, const std::string& voter) {
        const auto requests = service.requests();
        EXPECT_EQ(requests.size(), count);
        for (const auto& request : requests) {
            EXPECT_EQ(request.method + " " + request.path, method + " " + path);
            EXPECT_EQ(request.userAgent, "Calmlane/1.1.3");
            EXPECT_EQ(request.voter, voter);
        }
    }
    // Starts a verified installer (the recording stand-in) and returns the command line it was given.
    std::wstring launchAndRecord(const std::wstring& path) {
        const std::wstring record = fs::temp_directory_path().wstring() + L"\\calmlane-installer-record.txt";
        DeleteFileW(record.c_str());
        SetEnvironmentVariableW(L"CALMLANE_INSTALLER_RECORD", record.c_str());
        installDirectoryOverride = L"C:\\Program Files\\Calmlane Test";
        EXPECT_TRUE(launchDownloadedUpdate(test::resultWindow(), path));
        std::string line;
        for (int i = 0; i < 200 && line.find('\n') == std::string::npos; ++i, Sleep(50)) line = test::readWholeFile(record);
        bool deleted = false;  // released once ShellExecuteExW returned: deletable when the installer is gone
        for (int i = 0; i < 200 && !(deleted = DeleteFileW(path.c_str())); ++i) Sleep(50);
        EXPECT_TRUE(deleted) << "the started installer stays locked";
        const std::wstring text(reinterpret_cast<const wchar_t*>(line.data()), line.size() / sizeof(wchar_t));
        return text.substr(0, text.find(L'\n'));
    }

    test::RegistryScratch registry;
    test::MakerService service;
};

TEST_F(MakerServices, UpdateCheckAnswersAndRemembersByTheManifest) {
    const struct {
        const char* what;
        test::Route route;
        bool answered, available;
        const wchar_t* version;
        const wchar_t* stored;  // AvailableVersion afterwards; "9.9" before
    } cases[] = {
        {"newer", get(Manifest, manifest("1.2.0")), true, true, L"1.2.0", L"1.2.0"},
        {"a leading letter", get(Manifest, manifest("v1.2")), true, false, L"v1.2", L""},
        {"a \\u escape", get(Manifest, R"({"version":"\u0031.2"})"), false, false, L"", L"9.9"},
        {"invalid UTF-8", get(Manifest, manifest("2.\xff")), false, false, L"", L"9.9"},
        {"16,384 bytes", [] { auto r = get(Manifest, manifest("2.0")); r.size = 16384; return r; }(), true, true, L"2.0", L"2.0"},
        {"16,385 bytes", [] { auto r = get(Manifest, manifest("2.0")); r.size = 16385; return r; }(), false, false, L"", L"9.9"},
        {"status 500", get(Manifest, manifest("2.0"), 500), false, false, L"", L"9.9"},
        {"no manifest (404)", get("/elsewhere.json", manifest("2.0")), false, false, L"", L"9.9"},
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
        EXPECT_EQ(cachedUpdateInfo().version, c.stored);
        EXPECT_EQ(readDword(HKEY_CURRENT_USER, UserRegistry, L"LastUpdateCheckDay", 0), c.answered ? localDay() : 0);
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
    EXPECT_EQ(forced->url, DownloadPage);
    expectRequests(2, "GET", Manifest, "");
    const UpdateInfo cached = cachedUpdateInfo();
    EXPECT_TRUE(cached.available && !cached.answered);
    EXPECT_EQ(cached.version, L"1.2.0");
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
        {"not an image", L"1.2", [] { auto r = get("/download/calmlane/1.2", "MZ"); r.size = MiB; return r; }(), true, false},
        {"connection lost mid-body", L"1.2", cut, true, false},
        {"status 404", L"1.2", installer("other", "1.2.0.5.exe", MiB), true, false},
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
        const UniqueHandle writer(CreateFileW(result->path.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(writer);
        EXPECT_TRUE(UniqueHandle(CreateFileW(result->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
        const std::wstring commandLine = launchAndRecord(result->path);
        EXPECT_NE(commandLine.find(fs::path(result->path).filename().wstring()), std::wstring::npos) << narrow(commandLine);
        EXPECT_TRUE(commandLine.ends_with(LR"( --install-silent "C:\Program Files\Calmlane Test")")) << narrow(commandLine);
        EXPECT_FALSE(launchDownloadedUpdate(test::resultWindow(), result->path)) << "one verification, one start";
    }
    // A file staged by anybody else is never started.
    fs::create_directories(updateFolder());
    fs::copy_file(test::binFolder() + L"\\update_installer_1_2_0_5.exe", updateFolder() + L"\\Calmlane-Setup-1.2.exe");
    EXPECT_FALSE(launchDownloadedUpdate(test::resultWindow(), updateFolder() + L"\\Calmlane-Setup-1.2.exe"));
}

TEST_F(MakerServices, ASecondDownloadOfTheSameVersionFailsWithoutDisturbingTheFirst) {
    auto slow = installer("1.2", "1.2.0.5.exe", MiB + 4096);
    slow.stallAfter = MiB / 2;  // the first download waits inside its body, its staged file open
    service.serve({slow});
    const std::wstring staged = updateFolder() + L"\\Calmlane-Setup-1.2.exe";
    beginUpdateDownload(test::resultWindow(), DownloadDone, L"1.2");
    for (int i = 0; i < 200 && !fs::exists(staged); ++i) Sleep(25);
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
        bool ok, added;
        std::uint64_t likes;
    } cases[] = {
        {"added", get(VotePath, R"({"added":true,"likes":42})"), true, true, 42},
        {"not added", get(VotePath, R"({"added": false, "likes": 7})"), true, false, 7},
        {"likes after a line break", get(VotePath, "{\"added\":true,\"likes\":\n5}"), true, true, 0},
        {"status 500", get(VotePath, R"({"added":true,"likes":1})", 500), false, false, 0},
        {"empty body", get(VotePath, ""), false, false, 0},
        {"16,385 bytes", [] { auto r = get(VotePath, R"({"added":true})"); r.size = 16385; return r; }(), false, false, 0},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.what);
        c.route.method = "POST";
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
    auto route = get(VotePath, R"({"added":true,"likes":1})");
    route.method = "POST";
    service.serve({route});
    ASSERT_TRUE(like());
    ASSERT_TRUE(like());
    std::wstring id;
    ASSERT_TRUE(readString(HKEY_CURRENT_USER, UserRegistry, L"AnonymousLikeId", id));
    ASSERT_EQ(id.size(), 38u);
    EXPECT_TRUE(id.starts_with(L'{') && id.ends_with(L'}'));
    expectRequests(2, "POST", VotePath, narrow(id));
}

// The main window's update, check and support buttons, each reporting its outcome once.
TEST_F(MakerServices, WindowButtonsReachTheServicesAndReportEachOutcome) {
    settings.language = 1;
    settings.save();
    test::PageWindow page(0);
    test::BoxWatcher watcher(IDYES);
    auto press = [&](int id, std::size_t boxes) {
        page.command(id);
        return test::pumpUntil([&] { return watcher.boxes().size() >= boxes; }, Wait);
    };
    auto caption = [&](int id) {
        wchar_t text[128] = {};
        GetWindowTextW(GetDlgItem(page.ui.window, id), text, 128);
        return std::wstring(text);
    };
    const struct {
        test::Route route;
        const wchar_t* box;
    } checks[] = {
        {get(Manifest, manifest("2.0"), 500), L"Unable to check for updates. Check your Internet connection and try again."},
        {get(Manifest, manifest("1.1.3")), L"You are already using the latest version of Calmlane."},
        {get(Manifest, manifest("1.2")), L"Calmlane 1.2 update — Download and install"},
    };
    std::size_t seen = 0;
    for (const auto& c : checks) {
        service.serve({c.route});
        ASSERT_TRUE(press(CheckUpdatesButton, ++seen));
        EXPECT_EQ(watcher.boxes().back().text, c.box);
        EXPECT_FALSE(page.ui.checking);
    }
    EXPECT_EQ(caption(UpdateButton), L"Calmlane 1.2 update — Download and install");

    auto vote = get(VotePath, R"({"added":true,"likes":3})");
    vote.method = "POST";
    service.serve({vote});
    ASSERT_TRUE(press(SupportButton, ++seen));
    EXPECT_EQ(watcher.boxes().back().text, L"Thank you! Your support has been recorded for this version.");
    EXPECT_EQ(caption(SupportButton), L"♥ Thank you for your support!");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page.ui.window, SupportButton)));
    page.command(SupportButton);  // already liked: no second vote
    EXPECT_EQ(service.requests().size(), 1u);

    // A refused download, then one that is verified and started (the window then closes).
    service.serve({installer("1.2", "other-1.2.exe", MiB)});
    ASSERT_TRUE(press(UpdateButton, seen += 2));
    EXPECT_EQ(watcher.boxes()[seen - 2].text,
              L"Download, verify and install this update? Windows will request administrator permission.");
    EXPECT_EQ(watcher.boxes().back().text, L"The installer download or verification failed. No program was started.");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page.ui.window, UpdateButton)));
    const std::wstring record = fs::temp_directory_path().wstring() + L"\\calmlane-installer-record.txt";
    DeleteFileW(record.c_str());
    SetEnvironmentVariableW(L"CALMLANE_INSTALLER_RECORD", record.c_str());
    service.serve({installer("1.2", "1.2.0.5.exe", MiB)});
    page.command(UpdateButton);
    ASSERT_TRUE(test::pumpUntil([&] { return !IsWindow(page.ui.window); }, Wait));
    EXPECT_EQ(watcher.boxes().size(), seen + 1);  // the question only
    std::string line;
    for (int i = 0; i < 200 && line.find('\n') == std::string::npos; ++i, Sleep(50)) line = test::readWholeFile(record);
    EXPECT_NE(line.find('\n'), std::string::npos) << "the verified installer was not started";
}

TEST_F(MakerServices, ManyChecksAndDownloadsLeaveNoHandleOrThreadBehind) {
    service.serve({get(Manifest, manifest("1.2.0")), installer("1.2", "1.2.0.5.exe", MiB), installer("1.3", "1.2.0.5.exe", MiB)});
    ASSERT_TRUE(check(true));  // the first requests load WinHTTP and its TLS machinery for good
    ASSERT_TRUE(download(L"1.3"));
    // The last worker may still be closing its handles after it posted: wait until the counts settle.
    test::ProcessResources before = test::processResources();
    for (int steady = 0, i = 0; steady < 3 && i < 100; ++i, Sleep(100)) {
        const test::ProcessResources now = test::processResources();
        steady = now.handles == before.handles && now.threads == before.threads ? steady + 1 : 0;
        before = now;
    }
    {
        const UniqueHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_EQ(test::processResources().handles, before.handles + 1) << "the count must see one more handle";
    }
    int answered = 0;
    for (int batch = 0; batch < 25; ++batch) {  // 200 checks, 8 at a time
        for (int i = 0; i < 8; ++i) beginUpdateCheck(test::resultWindow(), CheckDone, true);
        for (int i = 0; i < 8; ++i) answered += test::awaitPosted<UpdateInfo>(CheckDone, Wait)->answered;
    }
    EXPECT_EQ(answered, 200);
    int verified = 0;
    std::wstring held;
    for (int i = 0; i < 50; ++i) {  // alternately verified (held until the next gives way) and refused
        const auto result = download(i % 2 ? L"1.3" : L"1.2");
        ASSERT_TRUE(result);
        verified += result->ok;
        if (result->ok) held = result->path;
    }
    EXPECT_EQ(verified, 25);
    launchAndRecord(held);
    test::ProcessResources after = test::processResources();
    for (int i = 0; i < 50 && (after.handles > before.handles || after.threads > before.threads); ++i, Sleep(100)) {
        after = test::processResources();  // workers may still be on their way out after posting
    }
    std::printf("200 checks and 50 downloads: handles %zu -> %zu, threads %zu -> %zu\n", before.handles, after.handles,
                before.threads, after.threads);
    EXPECT_LE(after.handles, before.handles);
    EXPECT_LE(after.threads, before.threads);
}

}  // namespace
}  // namespace calmlane
