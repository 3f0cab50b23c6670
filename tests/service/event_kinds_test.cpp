// The service's event ids, which monitoring rules name: the code's kinds, the administration guide's table
// and the message table agree. Built natively only: it reads the source tree (CALMLANE_SOURCE_DIR).
#include "service/event_kinds.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>

namespace calmlane {
namespace {

// Each line of a source file that `pattern` finds, as its groups joined by spaces.
std::vector<std::string> matches(const char* file, const char* pattern) {
    std::ifstream in(std::string(CALMLANE_SOURCE_DIR) + "/" + file);
    std::vector<std::string> found;
    const std::regex expression(pattern);
    std::smatch match;
    for (std::string line; std::getline(in, line);) {
        if (!std::regex_search(line, match, expression)) continue;
        found.push_back(match[1]);
        for (std::size_t i = 2; i < match.size(); ++i) found.back() += " " + match[i].str();
    }
    return found;
}

TEST(EventKinds, TheGuideAndTheMessageTableHaveEveryKindOfTheCode) {
    const char* const levels[] = {"Information", "Warning", "Error"};
    std::vector<std::string> kinds, ids = {"1"};
    for (const EventKind& kind : eventKinds()) {
        std::string prefix(kind.prefix, kind.prefix + std::wstring_view(kind.prefix).size());  // ASCII
        while (prefix.ends_with(' ')) prefix.pop_back();  // a code span in the guide ends without a blank
        kinds.push_back(std::to_string(kind.id) + " " + levels[static_cast<int>(kind.level)] + " " + prefix);
        ids.push_back(std::to_string(kind.id));
    }
    EXPECT_EQ(matches("docs/administration.md", R"(^\| (\d+) \| (\w+) \| `([^`]+)` \|)"), kinds);
    EXPECT_EQ(matches("resources/messages.mc", R"(^MessageId=(\d+)$)"), ids);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size()) << "an id used twice";
}

// A line is of the first kind it begins with, and its repeat key is that kind: a saver started and killed
// in a loop, each time with another process id, is logged once a minute.
TEST(EventKinds, ALineRepeatsAsItsKind) {
    const struct {
        const wchar_t* line;
        unsigned id;
        const wchar_t* key;
    } rows[] = {
        {L"Accepted saver process: 4242", 100, L"Accepted saver process: "},
        {L"Restoring network: Saver sent STOP", 107, L"Restoring network: "},
        {L"Adapter restoration pending: PCI\\VEN_10EC", 200, L"Adapter restoration pending: "},
        {L"accepted saver process: 1", 1, L"accepted saver process: 1"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(eventKind(row.line).id, row.id);
        EXPECT_EQ(repeatKey(row.line), row.key);
    }
}

}  // namespace
}  // namespace calmlane
