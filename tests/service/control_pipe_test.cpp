// The service end of the control pipe against real clients under Wine.
#include "service/control_pipe.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <fstream>

#include "app/constants.h"
#include "app/settings.h"
#include "doubles/double_store.h"
#include "protocol/service_clients.h"
#include "support/process.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

TEST(ConnectResult, FollowsTheDocumentedOverlappedSemantics) {
    const struct {
        bool succeeded;
        unsigned long error;
        ConnectResult result;
    } rows[] = {
        {false, ERROR_IO_PENDING, ConnectResult::Pending},   // listening
        {false, ERROR_PIPE_CONNECTED, ConnectResult::Client},  // came before the listen: no event
        {true, 0, ConnectResult::Client},                    // completed
        {false, ERROR_NO_DATA, ConnectResult::Stale},        // came and went
        {false, ERROR_BROKEN_PIPE, ConnectResult::Stale},
        {false, ERROR_OPERATION_ABORTED, ConnectResult::Stale},
        {false, ERROR_PIPE_LISTENING, ConnectResult::Failed},
        {false, ERROR_INVALID_HANDLE, ConnectResult::Failed},
    };
    for (const auto& row : rows) EXPECT_EQ(classifyConnect(row.succeeded, row.error), row.result) << row.error;
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
    // A folder link on the way (a process started below a user's folder that now points at ours).
    const std::wstring redirected = (folder / "redirected").wstring();
    ASSERT_TRUE(test::makeUnixLink(folder.wstring(), redirected));
    EXPECT_FALSE(isInstalledSaver(redirected + L"\\Calmlane.scr", installed));
    ASSERT_TRUE(test::removeUnixLink(redirected));
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
        DoublesTest::TearDown();
    }
    UniqueHandle open() {
        return UniqueHandle(
            CreateFileW(pipe.path().c_str(), pipe::ClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    // Waits up to 2 s for one of the pipe's pending operations; false when none is pending or none ends.
    bool waitForPipe() {
        const std::vector<HANDLE> events = pipe.events();
        return !events.empty() &&
               WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, 2000) < WAIT_TIMEOUT;
    }
    // The pipe listens, a client in this process connects, the listen completes.
    void connect() {
        EXPECT_FALSE(pipe.clientConnected());
        client = open();
        ASSERT_TRUE(client);
        ASSERT_TRUE(waitForPipe());
        ASSERT_TRUE(pipe.clientConnected());
    }
    void clientWrite(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(client.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    }
    PipeRead readSoon() {
        waitForPipe();
        return pipe.read();
    }

    ControlPipe pipe;
    UniqueHandle client;
};

// A fresh, unguessable name at each start, published once the pipe exists and withdrawn when it closes;
// a program that holds the old fixed name, or the new one, cannot take the pipe from the service.
TEST_F(PipeServer, TheNameIsFreshPublishedAndNobodyElsesToCreate) {
    EXPECT_TRUE(pipe::isName(pipe.path()));
    std::wstring published;
    ASSERT_TRUE(readString(HKEY_LOCAL_MACHINE, RegistryPath, ControlPipeValue, published));
    EXPECT_EQ(published, pipe.path());
    UniqueHandle squatter(CreateNamedPipeW(PipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 64, 64, 0, nullptr));
    ASSERT_TRUE(squatter);
    ControlPipe second;
    ASSERT_EQ(second.create(), 0u);
    EXPECT_NE(second.path(), pipe.path());
    EXPECT_FALSE(UniqueHandle(  // past the instance limit, even for an administrator
        CreateNamedPipeW(second.path().c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 64, 64, 0, nullptr)));
    // Below it, only SYSTEM and Administrators may add an instance (FILE_CREATE_PIPE_INSTANCE) or change
    // who may: the DACL as a client reads it back.
    const UniqueHandle reader(
        CreateFileW(second.path().c_str(), pipe::ClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(reader.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor), 0u);
    const UniqueLocal descriptorMemory(descriptor);
    ASSERT_NE(dacl, nullptr);  // a null DACL grants everyone everything
    GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        if (ace->Header.AceType == ACCESS_DENIED_ACE_TYPE) continue;
        ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << "entry " << i;
        PSID sid = &ace->SidStart;
        if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) continue;
        ACCESS_MASK granted = ace->Mask;
        MapGenericMask(&granted, &files);
        EXPECT_EQ(granted & (FILE_CREATE_PIPE_INSTANCE | WRITE_DAC | WRITE_OWNER), 0u) << "entry " << i;
    }
    second.close();
    EXPECT_FALSE(readString(HKEY_LOCAL_MACHINE, RegistryPath, ControlPipeValue, published));
}

// The documented corners of overlapped pipe I/O, on one instance reused throughout.
TEST_F(PipeServer, ListensReadsAndCancelsByTheDocumentedCorners) {
    // A client that came before the listen (535: the event is never set) is connected at once.
    client = open();
    ASSERT_TRUE(client);
    ASSERT_TRUE(pipe.clientConnected());
    // Messages are read one per call with their exact bytes; one longer than 31 bytes fails with 234,
    // whether it was waiting when the read started or arrived while the read was pending.
    clientWrite("start");
    clientWrite(std::string("START\0junk", 10));
    clientWrite(std::string(31, 'B'));
    clientWrite(std::string(32, 'A'));
    EXPECT_EQ(readSoon().text, "start");
    EXPECT_EQ(readSoon().text, std::string("START\0junk", 10));
    EXPECT_EQ(readSoon().text, std::string(31, 'B'));
    PipeRead tooLong = readSoon();
    EXPECT_EQ(tooLong.kind, PipeRead::Kind::Error);
    EXPECT_EQ(tooLong.error, static_cast<unsigned long>(ERROR_MORE_DATA));
    pipe.disconnect();
    connect();
    EXPECT_EQ(pipe.read().kind, PipeRead::Kind::Nothing);  // pending
    ASSERT_EQ(pipe.events().size(), 1u);
    clientWrite(std::string(40, 'C'));
    tooLong = readSoon();
    EXPECT_EQ(tooLong.error, static_cast<unsigned long>(ERROR_MORE_DATA));

    // A pending read is cancelled and waited for before the instance is disconnected and listens again.
    pipe.disconnect();
    connect();
    EXPECT_EQ(pipe.read().kind, PipeRead::Kind::Nothing);
    pipe.disconnect();
    EXPECT_EQ(pipe.events().size(), PipeInstances - 1);  // the others still listen
    connect();
    clientWrite("ALIVE");
    EXPECT_EQ(readSoon().text, "ALIVE");
    EXPECT_EQ(pipe.read().kind, PipeRead::Kind::Nothing);  // left pending: closing cancels it
    pipe.close();

    // A client that came and went before the first listen (232) is cleared and the pipe listens again.
    ASSERT_EQ(pipe.create(), 0u);
    open().reset();
    EXPECT_FALSE(pipe.clientConnected());
    connect();
}

// The test program is not the installed saver either: only the session line shows which check refused it.
TEST_F(PipeServer, AClientFromAnInactiveSessionIsRefused) {
    connect();
    DWORD own = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &own);
    for (const DWORD queryFails : {0u, 1u}) {  // a disconnected session, then a query that fails
        doubles::storeSetDword(L"SessionState", queryFails ? 0 : 4 /* WTSDisconnected */);
        doubles::storeSetDword(L"SessionQueryFails", queryFails);
        log.clear();
        std::atomic<std::uint32_t> session{0xFFFFFFFF};
        EXPECT_FALSE(pipe.admit(session, 0xFFFFFFFF));
        EXPECT_EQ(session.load(), 0xFFFFFFFFu) << queryFails;  // withdrawn with the refusal
        EXPECT_TRUE(log.waitFor("Rejected inactive client session: " + std::to_string(own), 2000)) << queryFails;
        EXPECT_FALSE(log.contains("Rejected client executable path.")) << queryFails;
    }
}

}  // namespace
}  // namespace calmlane
