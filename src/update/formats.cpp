#include "update/formats.h"

#include <limits>

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

}  // namespace calmlane
