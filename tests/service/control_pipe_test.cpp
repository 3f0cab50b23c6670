// The service end of the control pipe against real clients under Wine.
#include "service/control_pipe.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <fstream>

#include "app/constants.h"
#include "app/settings.h"
#include "doubles/double_store.h"
#include "support/process.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

TEST(ConnectPoll, FollowsTheDocumentedNonBlockingSemanticsAndMessagesStopAtTheirFirstZeroByte) {
    // After a disconnect Windows answers success once, meaning "listening again": nobody is there.
    EXPECT_EQ(classifyConnect(true, 0), ConnectPoll::Nobody);
    EXPECT_EQ(classifyConnect(false, ERROR_PIPE_LISTENING), ConnectPoll::Nobody);
    EXPECT_EQ(classifyConnect(false, ERROR_PIPE_CONNECTED), ConnectPoll::Client);
    EXPECT_EQ(classifyConnect(false, ERROR_NO_DATA), ConnectPoll::Stale);
    EXPECT_EQ(classifyConnect(false, ERROR_INVALID_HANDLE), ConnectPoll::Stale);
    EXPECT_EQ(messageText("START\0junk", 10), "START");
    EXPECT_EQ(messageText("ALIVE", 5), "ALIVE");
    EXPECT_EQ(messageText("\0START", 6), "");
}

TEST(Admission, OnlyDriveLetterPathsAreOpened) {
    const struct {
        const wchar_t* path;
        bool drive;
    } rows[] = {
        {L"C:\\Program Files\\Calmlane\\Calmlane.scr", true},
        {L"c:\\PROGRA~1\\Calmlane\\Calmlane.scr", true},
        {L"\\\\?\\C:\\Program Files\\Calmlane\\Calmlane.scr", true},
        {L"\\\\server\\share\\Calmlane.scr", false},
        {L"\\\\server@80\\dav\\Calmlane.scr", false},
        {L"\\\\?\\UNC\\server\\share\\Calmlane.scr", false},
        {L"\\\\.\\C:\\Calmlane.scr", false},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\Calmlane.scr", false},
        {L"C:Calmlane.scr", false},
        {L"C:/Calmlane/Calmlane.scr", false},
        {L"", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(driveLetterPath(row.path), row.drive) << std::filesystem::path(row.path).string();
    }
}

TEST(Admission, TheInstalledSaverIsKnownByItsIdentityUnderEverySpelling) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / "Calmlane Admission Folder";
    fs::remove_all(folder);
    fs::create_directories(folder / "elsewhere");
    const std::wstring installed = (folder / "Calmlane.scr").wstring();
    { std::ofstream(folder / "Calmlane.scr") << "saver"; }
    fs::copy_file(folder / "Calmlane.scr", folder / "elsewhere" / "Calmlane.scr");
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(installed.c_str(), shortPath, MAX_PATH), 0u);
    std::wstring upper = installed;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    const std::wstring link = (folder / "elsewhere" / "Linked.scr").wstring();

    const struct {
        std::wstring image;
        bool admitted;
    } rows[] = {
        {installed, true},
        {upper, true},
        {shortPath, true},
        {L"\\\\?\\" + installed, true},
        {(folder / "elsewhere" / "Calmlane.scr").wstring(), false},  // the same bytes, another file
        {(folder / "Missing.scr").wstring(), false},
        {folder.wstring(), false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isInstalledSaver(row.image, installed), row.admitted) << fs::path(row.image).string();
    }
    // A second name for the installed file stands for nobody, nor does the file itself any more.
    ASSERT_TRUE(CreateHardLinkW(link.c_str(), installed.c_str(), nullptr));
    EXPECT_FALSE(isInstalledSaver(link, installed));
    EXPECT_FALSE(isInstalledSaver(installed, installed));
    fs::remove_all(folder);
}

class PipeServer : public test::DoublesTest {
protected:
    void SetUp() override {
        DoublesTest::SetUp();
        ASSERT_EQ(pipe.create(), 0u);
    }
    void TearDown() override {
        client.reset();
        pipe.close();
        installDirectoryOverride.clear();
        DoublesTest::TearDown();
    }
    // A client in this process, connected and switched to message mode.
    void connect() {
        client.reset(CreateFileW(PipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(client);
        DWORD mode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
        ASSERT_TRUE(SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr));
        ASSERT_EQ(pipe.poll(), ConnectPoll::Client);
    }
    void clientWrite(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(client.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    }

    ControlPipe pipe;
    UniqueHandle client;
};

TEST_F(PipeServer, OnlyOneInstanceMayExist) {
    ControlPipe second;
    EXPECT_NE(second.create(), 0u);
}

TEST_F(PipeServer, PollsFindNobodyThenAClientAndListenAgainAfterADisconnect) {
    EXPECT_EQ(pipe.poll(), ConnectPoll::Nobody);
    connect();
    pipe.disconnect();
    client.reset();
    EXPECT_EQ(pipe.poll(), ConnectPoll::Nobody);
    connect();  // a second session on the same instance
}

TEST_F(PipeServer, AClientThatCameAndWentLeavesTheInstanceListening) {
    UniqueHandle gone(CreateFileW(PipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(gone);
    gone.reset();
    const ConnectPoll first = pipe.poll();
    EXPECT_NE(first, ConnectPoll::Client);
    EXPECT_EQ(pipe.poll(), ConnectPoll::Nobody);
    connect();
}

TEST_F(PipeServer, ReadsOneMessagePerCallWithTheirExactText) {
    connect();
    EXPECT_EQ(pipe.read().kind, PipeRead::Kind::Error);  // nothing yet: no-data
    clientWrite("start");
    clientWrite(std::string("START\0junk", 10));
    clientWrite(std::string(31, 'B'));
    clientWrite(std::string(32, 'A'));
    EXPECT_EQ(pipe.read().text, "start");
    EXPECT_EQ(pipe.read().text, "START");
    EXPECT_EQ(pipe.read().text, std::string(31, 'B'));
    const PipeRead tooLong = pipe.read();
    EXPECT_EQ(tooLong.kind, PipeRead::Kind::Error);
    EXPECT_EQ(tooLong.error, static_cast<unsigned long>(ERROR_MORE_DATA));
}

TEST_F(PipeServer, AClientFromAnInactiveSessionIsRefused) {
    doubles::storeSetDword(L"SessionState", 4);  // WTSDisconnected
    connect();
    EXPECT_FALSE(pipe.admit());
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    EXPECT_TRUE(log.waitFor("Rejected inactive client session: " + std::to_string(session), 2000));
    doubles::storeSetDword(L"SessionState", 0);
    doubles::storeSetDword(L"SessionQueryFails", 1);
    EXPECT_FALSE(pipe.admit());
}

TEST_F(PipeServer, TheInstalledSaverIsAdmittedWhateverTheLetterCase) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / "CalmlaneAdmit";
    fs::create_directories(folder);
    fs::copy_file(test::binFolder() + L"\\pipe_client.exe", folder / "Calmlane.scr",
                  fs::copy_options::overwrite_existing);
    installDirectoryOverride = folder.wstring();
    for (wchar_t& c : installDirectoryOverride) c = static_cast<wchar_t>(towupper(c));

    test::PipeClientRun run = test::startPipeClient((folder / "Calmlane.scr").wstring(), L"open sleep:2000");
    ASSERT_TRUE(test::waitUntil([&] { return pipe.poll() == ConnectPoll::Client; }, 5000, 20));
    UniqueHandle process = pipe.admit();
    EXPECT_TRUE(process);
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(log.waitFor("Accepted saver process: " + std::to_string(GetProcessId(run.process)), 2000));
    test::finishPipeClient(run);
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    fs::remove_all(folder);
}

}  // namespace
}  // namespace calmlane
