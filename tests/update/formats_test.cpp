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

// Reads from the bytes as from a file: a read past the end fails.
ReadAt readerOf(const std::string& bytes) {
    return [&bytes](std::uint64_t offset, unsigned char* into, std::size_t count) {
        if (offset > bytes.size() || bytes.size() - offset < count) return false;
        std::memcpy(into, bytes.data() + offset, count);
        return true;
    };
}

bool checkImage(const std::string& bytes) { return isX64Image(readerOf(bytes)); }

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

// Writes `value` little-endian over `width` bytes at `at` (in a vector: GCC cannot tell that a long string's
// bytes are not in its small inline buffer, and warns).
void put(std::vector<char>& bytes, std::size_t at, std::uint32_t value, int width = 4) {
    for (int i = 0; i < width; ++i) bytes.at(at + static_cast<std::size_t>(i)) = static_cast<char>(value >> 8 * i);
}

// A copy of `bytes` with `value` written over `width` bytes at `at`.
std::string patched(const std::string& bytes, std::size_t at, std::uint32_t value, int width = 4) {
    std::vector<char> copy(bytes.begin(), bytes.end());
    put(copy, at, value, width);
    return std::string(copy.begin(), copy.end());
}

// An image whose version resource is `size` bytes of 'v', laid out as a linker does: headers at 64, then a
// section table of three (the resource tree at 0x2000, some code, the resource alone at 0x3000). The
// fields next to those read are not zero, so that a read one byte off shows.
std::string versionImage(std::uint32_t size = 64, bool pe32 = false, std::uint32_t optionalSize = 0) {
    const std::uint32_t directories = pe32 ? 96 : 112;
    optionalSize = optionalSize ? optionalSize : directories + 128;
    // Written in place: a megabyte copied at each field makes this the slowest test of all.
    const std::string header = image(64, 0x8664, 0x600 + size);
    std::vector<char> bytes(header.begin(), header.end());
    // At (offset, width): section count, time stamp, optional header's size, characteristics, magic, linker
    // version, number of data directories, the resource table's address, the data entry's address and size.
    const std::uint32_t fields[][3] = {{70, 2, 3}, {72, 4, 0x5F5E1234}, {84, 2, optionalSize}, {86, 2, 0x22},
                                       {88, 2, pe32 ? 0x10Bu : 0x20Bu}, {90, 1, 2}, {84 + directories, 4, 16},
                                       {104 + directories, 4, 0x2000}, {0x460, 4, 0x3000}, {0x464, 4, size}};
    for (const auto& field : fields) put(bytes, field[0], field[2], static_cast<int>(field[1]));
    // Address, size and file offset of each section.
    const std::uint32_t sections[3][3] = {{0x2000, 0x68, 0x400}, {0x1000, 0x10, 0x200}, {0x3000, size, 0x600}};
    for (std::uint32_t i = 0; i < 9; ++i) {
        put(bytes, 100 + optionalSize + 40 * (i / 3) + 4 * (i % 3), sections[i / 3][i % 3]);
    }
    // Type 16, name 1 and language 0x409, each in a directory of one entry (and room for a second).
    const std::uint32_t tree[3][2] = {{16, 0x80000020}, {1, 0x80000040}, {0x409, 0x60}};
    for (std::uint32_t i = 0; i < 3; ++i) {
        put(bytes, 0x40A + 0x20 * i, 0x100, 2);
        put(bytes, 0x40E + 0x20 * i, 1, 2);
        put(bytes, 0x410 + 0x20 * i, tree[i][0]);
        put(bytes, 0x414 + 0x20 * i, tree[i][1]);
    }
    std::fill(bytes.begin() + 0x600, bytes.end(), 'v');
    return std::string(bytes.begin(), bytes.end());
}

// What GetFileVersionInfoW would copy, found only through the image's own tables.
TEST(VersionResource, FollowsTheResourceAndSectionTablesOnly) {
    const std::string whole = versionImage();
    // The type directory holding first another entry (a number, or a name) and then the version's.
    const auto second = [&](std::uint32_t ids, std::uint32_t named) {
        const std::string two = patched(patched(patched(whole, 0x418, 16), 0x41C, 0x80000020), 0x414, 0);
        return patched(patched(patched(two, 0x410, named ? 0x80000010 : 3), 0x40C, named, 2), 0x40E, ids, 2);
    };
    std::string moved = patched(patched(whole, 216, 0x01002000), 340, 0x01002000);  // all past 16 MiB
    moved = patched(patched(moved, 420, 0x01003000), 0x460, 0x01003000);
    const struct {
        const char* what;
        std::string bytes;
        std::size_t size;  // of the block found; 0: none
    } cases[] = {
        {"PE32+", whole, 64},
        {"PE32", versionImage(64, true), 64},
        {"optional header just long enough", versionImage(64, false, 136), 64},
        {"optional header one byte short", versionImage(64, false, 135), 0},
        {"optional header over 255 bytes", versionImage(64, false, 0x110), 64},
        {"1 MiB", versionImage(1048576), 1048576},
        {"1 MiB and a byte", versionImage(1048577), 0},
        {"three directories", patched(whole, 196, 3), 64},
        {"two directories", patched(whole, 196, 2), 0},
        {"directories counted past 16 Mi", patched(whole, 196, 0x01000002), 64},
        {"another optional-header magic, PE32's layout", patched(versionImage(64, true), 88, 0x10C, 2), 0},
        {"no PE signature", patched(whole, 67, 1, 1), 0},
        {"header offset past 16 MiB", patched(whole, 63, 1, 1), 0},
        {"two sections counted, the resource in the third", patched(whole, 70, 2, 2), 0},
        {"258 sections counted", patched(whole, 70, 0x102, 2), 64},
        {"addresses past 16 MiB", moved, 64},
        {"the resource table at 16 MiB, its section at 8 MiB", patched(moved, 340, 0x00802000), 0},
        {"a section's data past 16 MiB", patched(whole, 428, 0x01000600), 0},
        {"no version resource", patched(whole, 0x410, 15), 0},
        {"another name", patched(whole, 0x430, 2), 0},
        {"the type entry is no directory", patched(whole, 0x414, 0x20), 0},
        {"the name entry is no directory", patched(whole, 0x434, 0x40), 0},
        {"the language entry is a directory", patched(whole, 0x454, 0x80000060), 0},
        {"the version entry after another", second(2, 0), 64},
        {"the version entry past its directory's count", second(1, 0), 0},
        {"the version entry after 256 named entries", second(0, 0x100), 64},
        {"a directory of 256 entries", patched(whole, 0x40E, 0x100, 2), 64},
        {"an empty resource", patched(whole, 0x464, 0), 0},
        {"a resource running past its section", patched(whole, 0x464, 65), 0},
        {"a resource size past 16 MiB", patched(whole, 0x464, 0x01000010), 0},
        {"a section size past 16 MiB", patched(whole, 424, 0x01000010), 64},
        {"a resource table before its section", patched(whole, 216, 0x1FF8), 0},
        {"the file cut inside the resource", whole.substr(0, 0x600 + 63), 0},
        {"the file cut between the data entry's address and size", whole.substr(0, 0x464), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(versionResource(readerOf(c.bytes)), std::vector<unsigned char>(c.size, 'v')) << c.what;
    }
}

}  // namespace
}  // namespace calmlane
