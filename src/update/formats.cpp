#include "update/formats.h"

#include <limits>
#include <optional>

namespace calmlane {

namespace {

// The position just after the first ':' that follows the quoted key, or npos.
std::size_t afterKeyColon(std::string_view body, std::string_view quotedKey) {
    const std::size_t key = body.find(quotedKey);
    if (key == std::string_view::npos) return key;
    const std::size_t colon = body.find(':', key + quotedKey.size());
    return colon == std::string_view::npos ? colon : colon + 1;
}

std::size_t skip(std::string_view body, std::size_t at, std::string_view blanks) {
    while (at < body.size() && blanks.find(body[at]) != std::string_view::npos) ++at;
    return at;
}

std::uint32_t little32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::string manifestVersion(std::string_view body) {
    const std::size_t colon = afterKeyColon(body, "\"version\"");
    if (colon == std::string_view::npos) return {};
    const std::size_t open = body.find('"', colon);
    if (open == std::string_view::npos) return {};
    std::string value;
    for (std::size_t i = open + 1; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '"') return value;
        if (c == '\\') {
            if (++i == body.size()) return {};
            const char escaped = body[i];
            if (escaped != '"' && escaped != '\\' && escaped != '/') return {};
            value.push_back(escaped);
        } else {
            value.push_back(c);
        }
    }
    return {};  // no closing quote
}

VoteReply parseVoteReply(std::string_view body) {
    VoteReply reply;
    std::size_t at = afterKeyColon(body, "\"added\"");
    if (at != std::string_view::npos) {
        at = skip(body, at, " \t\r\n");
        reply.added = body.substr(at, 4) == "true";
    }
    at = afterKeyColon(body, "\"likes\"");
    if (at != std::string_view::npos) {
        constexpr std::uint64_t Max = std::numeric_limits<std::uint64_t>::max();
        for (at = skip(body, at, " \t"); at < body.size() && body[at] >= '0' && body[at] <= '9'; ++at) {
            const auto digit = static_cast<std::uint64_t>(body[at] - '0');
            // A count too large to hold stays at the largest value instead of wrapping to a small one.
            reply.likes = reply.likes > (Max - digit) / 10 ? Max : reply.likes * 10 + digit;
        }
    }
    return reply;
}

bool isX64Image(const ReadAt& read) {
    unsigned char dos[64];
    if (!read(0, dos, sizeof(dos)) || dos[0] != 'M' || dos[1] != 'Z') return false;
    const std::uint32_t newHeader = little32(dos + 60);
    if (newHeader == 0 || newHeader >= 1048576u) return false;
    unsigned char signature[4];
    if (!read(newHeader, signature, sizeof(signature)) || little32(signature) != 0x00004550u) return false;
    unsigned char fileHeader[20];
    if (!read(std::uint64_t{newHeader} + 4, fileHeader, sizeof(fileHeader))) return false;
    return (fileHeader[0] | fileHeader[1] << 8) == 0x8664;
}

std::vector<unsigned char> versionResource(const ReadAt& read) {
    constexpr std::uint32_t Subdirectory = 0x80000000u, Offset = ~Subdirectory;
    // The little-endian number of `width` (2 or 4) bytes at `at`; nothing when they cannot be read.
    const auto number = [&read](std::uint64_t at, std::size_t width) -> std::optional<std::uint32_t> {
        unsigned char bytes[4] = {};
        if (!read(at, bytes, width)) return std::nullopt;
        return little32(bytes);
    };
    const std::optional<std::uint32_t> header = number(60, 4);
    if (!header || number(*header, 4) != 0x00004550u) return {};
    // PE32+ and PE32 keep their data directories at different places; the resource table is the third.
    const std::uint64_t fileHeader = *header + 4ull;
    const std::optional<std::uint32_t> magic = number(fileHeader + 20, 2), optionalSize = number(fileHeader + 16, 2);
    if (!optionalSize || (magic != 0x20Bu && magic != 0x10Bu)) return {};
    const std::uint32_t directories = magic == 0x20Bu ? 112 : 96;
    const std::optional<std::uint32_t> resources = number(fileHeader + 36 + directories, 4);
    if (directories + 24 > *optionalSize || number(fileHeader + 16 + directories, 4) < 3u || !resources) return {};

    // Where `count` bytes at a virtual address are in the file: in the one section whose data holds them all.
    const std::optional<std::uint32_t> sections = number(fileHeader + 2, 2);
    const auto place = [&](std::uint32_t address, std::uint32_t count) -> std::optional<std::uint64_t> {
        for (std::uint32_t i = 0; sections && i < *sections; ++i) {
            const std::uint64_t section = fileHeader + 20 + *optionalSize + i * 40ull;
            const auto start = number(section + 12, 4), size = number(section + 16, 4), data = number(section + 20, 4);
            if (!start || !size || !data) return std::nullopt;
            if (address >= *start && count <= *size && address - *start <= *size - count) {
                return *data + std::uint64_t{address - *start};
            }
        }
        return std::nullopt;
    };
    const auto at = [&](std::uint32_t address, std::size_t width) -> std::optional<std::uint32_t> {
        const std::optional<std::uint64_t> found = place(address, static_cast<std::uint32_t>(width));
        return found ? number(*found, width) : std::nullopt;
    };
    // What the entry numbered `id` of a resource directory holds (the first entry's for 0): an offset
    // in the resource table whose top bit marks a directory.
    const auto entry = [&](std::uint32_t directory, std::uint32_t id) -> std::optional<std::uint32_t> {
        const std::uint32_t table = *resources + directory;
        const auto named = at(table + 12, 2), ids = at(table + 14, 2);
        for (std::uint32_t i = 0; named && ids && i < *named + *ids; ++i) {
            const std::optional<std::uint32_t> key = at(table + 16 + i * 8, 4);
            if (!key) return std::nullopt;
            if (id == 0 || *key == id) return at(table + 20 + i * 8, 4);
        }
        return std::nullopt;
    };
    // Type RT_VERSION (16) and name 1 are directories, the first language the data entry: the resource's
    // address and size.
    const auto type = entry(0, 16);
    if (!type || (*type & Subdirectory) == 0) return {};
    const auto name = entry(*type & Offset, 1);
    if (!name || (*name & Subdirectory) == 0) return {};
    const auto language = entry(*name & Offset, 0);
    if (!language || (*language & Subdirectory) != 0) return {};
    const std::optional<std::uint32_t> address = at(*resources + (*language & Offset), 4);
    const std::optional<std::uint32_t> size = at(*resources + (*language & Offset) + 4, 4);
    if (!address || !size || *size == 0 || *size > 1048576) return {};
    const std::optional<std::uint64_t> data = place(*address, *size);
    std::vector<unsigned char> block(*size);
    if (!data || !read(*data, block.data(), *size)) return {};
    return block;
}

}  // namespace calmlane
