// The parsers of the update features, case by case. No Windows calls: also built natively.
#include "update/formats.h"
#include "update/version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace calmlane {
namespace {

using Parts = std::vector<std::uint32_t>;

// The body in a heap block of exactly its size, so that AddressSanitizer sees a read past its end.
class Exact {
public:
    explicit Exact(const std::string& text) : bytes_(new char[text.size()]), size_(text.size()) {
        std::memcpy(bytes_.get(), text.data(), size_);
    }
    operator std::string_view() const { return {bytes_.get(), size_}; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

TEST(VersionParts, ParsesDottedDecimalsAndRejectsEverythingElse) {
    const struct {
        const wchar_t* text;
        Parts parts;
    } cases[] = {
        {L"1.1.3", {1, 1, 3}},         {L"1.2.", {1, 2}},      {L"", {}},         {L"1.2a", {}},
        {L".1", {}},                   {L"1..2", {}},          {L"v1.2", {}},     {L"1.2.3.4", {1, 2, 3, 4}},
        {L"65535.0", {65535, 0}},      {L"1.65536", {}},       {L"4294967297.1", {}},
        {L"007.10", {7, 10}},          {L" 1.2", {}},          {L"1,2", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(versionParts(c.text), c.parts) << testing::PrintToString(std::wstring(c.text));
}

TEST(IsNewerVersion, ComparesPaddedComponentsFromTheLeft) {
    const struct {
        const wchar_t* current;
        const wchar_t* candidate;
        bool newer;
    } cases[] = {
        {L"1.2", L"1.2.0", false}, {L"1.9.9", L"1.10.0", true}, {L"1.1.3", L"1.1.3", false},
        {L"1.1.3", L"1.1.4", true}, {L"1.1.3", L"1.2", true},    {L"1.1.3", L"1.1", false},
        {L"1.1.3", L"1.1.3.1", true}, {L"1.1.3", L"v1.2", false}, {L"1.1.3", L"", false},
        {L"", L"2.0", false},       {L"2.0", L"1.99", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNewerVersion(c.current, c.candidate), c.newer)
            << testing::PrintToString(std::wstring(c.current)) << " -> " << testing::PrintToString(std::wstring(c.candidate));
    }
}

TEST(ManifestVersion, FindsTheFirstKeyAndHonoursOnlyThreeEscapes) {
    const struct {
        std::string body;
        std::string version;
    } cases[] = {
        {R"({"version":"1.2.0"})", "1.2.0"},
        {R"({"name":"x", "version" :  "2.0", "version":"3.0"})", "2.0"},
        {R"({"a":"x:\"y\"","version":"5"})", "5"},  // colons and quotes before the key do not matter
        {R"({"version":{"version":"6"}})", "version"},  // a byte search: the first quote after the colon
        {R"({"version":"1\/2\\3\"4"})", "1/2\\3\"4"},
        {R"({"version":"\u0031.2"})", ""},
        {R"({"version":"1.2\n"})", ""},
        {"{\"version\":\"1.2\\", ""},  // a backslash as the last byte
        {R"({"version":"1.2)", ""},    // no closing quote
        {R"({"version" "1.2"})", ""},  // no colon
        {R"({"version": 1.2})", ""},   // no opening quote after the colon
        {R"({"Version":"1.2"})", ""},
        {R"({"version":""})", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(manifestVersion(Exact(c.body)), c.version) << c.body;
}

TEST(VoteReply, ReadsAddedAndLikesByTheirOwnBlankRules) {
    const struct {
        std::string body;
        bool added;
        std::uint64_t likes;
    } cases[] = {
        {R"({"added":true,"likes":42})", true, 42},
        {R"({"added": false, "likes": 7})", false, 7},
        {"{\"added\":\r\n\ttrue,\"likes\":\t 9}", true, 9},  // added skips line breaks, likes tabs
        {"{\"added\":true,\"likes\":\n5}", true, 0},          // likes does not skip a line break
        {R"({"added":"true","likes":"5"})", false, 0},
        {R"({"added":tru})", false, 0},
        {R"({"likes":18446744073709551615})", false, 18446744073709551615ull},
        {R"({"likes":99999999999999999999999})", false, 18446744073709551615ull},  // saturates, never wraps
        {R"({"likes":18446744073709551614})", false, 18446744073709551614ull},  // one below the saturation point
        {R"({"likes":18446744073709551620})", false, 18446744073709551615ull},  // its last digit would wrap
        {R"({"likes":12abc})", false, 12},
        {R"({"added" true, "likes" 3})", false, 0},  // no colons
        {"", false, 0},
    };
    for (const auto& c : cases) {
        const VoteReply reply = parseVoteReply(Exact(c.body));
        EXPECT_EQ(reply.added, c.added) << c.body;
        EXPECT_EQ(reply.likes, c.likes) << c.body;
    }
}

// A minimal image header: "MZ", the new-header offset at 60, "PE\0\0" and the machine field there.
std::string image(std::uint32_t newHeader, std::uint16_t machine, std::size_t size = 0) {
    std::string bytes(std::max<std::size_t>(size ? size : newHeader + 24, 64), '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    std::memcpy(&bytes[60], &newHeader, 4);
    if (newHeader + 6 <= bytes.size()) {
        std::memcpy(&bytes[newHeader], "PE\0\0", 4);
        std::memcpy(&bytes[newHeader + 4], &machine, 2);
    }
    return bytes;
}

bool checkImage(const std::string& bytes) {
    return isX64Image([&](std::uint64_t offset, unsigned char* into, std::size_t count) {
        if (offset > bytes.size() || bytes.size() - offset < count) return false;
        std::memcpy(into, bytes.data() + offset, count);
        return true;
    });
}

TEST(X64Image, AcceptsOnlyAnX64HeaderAtASaneOffset) {
    std::string wrongSignature = image(128, 0x8664);
    wrongSignature[129] = 'X';
    std::string notMz = image(128, 0x8664);
    notMz[0] = 'Z';
    std::string highOffset = image(64, 0x8664);  // offset 0x80000040: its top byte must not be lost
    highOffset[63] = static_cast<char>(0x80);
    const struct {
        const char* what;
        std::string bytes;
        bool accepted;
    } cases[] = {
        {"x86-64", image(128, 0x8664), true},
        {"x86", image(128, 0x014C), false},
        {"arm64", image(128, 0xAA64), false},
        {"header at 64, right after the DOS header", image(64, 0x8664), true},
        {"header offset 0", image(0, 0x8664, 128), false},
        {"header offset 1 MiB - 1", image(1048575, 0x8664), true},
        {"header offset 1 MiB", image(1048576, 0x8664), false},
        {"header beyond the file", image(4096, 0x8664, 128), false},
        {"file header one byte short", image(128, 0x8664).substr(0, 151), false},
        {"64 bytes, the header inside the DOS header", image(8, 0x8664, 64), true},
        {"63 bytes", image(128, 0x8664).substr(0, 63), false},
        {"no MZ", notMz, false},
        {"header offset with its top bit set", highOffset, false},
        {"no PE signature", wrongSignature, false},
    };
    for (const auto& c : cases) EXPECT_EQ(checkImage(c.bytes), c.accepted) << c.what;
}

}  // namespace
}  // namespace calmlane
