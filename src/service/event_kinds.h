#pragma once
// The kinds of line the service writes, told apart by their fixed beginning: each kind has its own event
// id and level in the Application log (resources/messages.mc holds one entry per id, and
// docs/administration.md lists them for monitoring). No call site names a kind: the line says it.
#include <span>
#include <string>
#include <string_view>

namespace calmlane {

enum class EventLevel { Information, Warning, Error };

struct EventKind {
    const wchar_t* prefix;  // the line begins with it
    unsigned id;
    EventLevel level;
};

// Any line that no kind describes.
inline constexpr EventKind OtherLine = {L"", 1, EventLevel::Information};

std::span<const EventKind> eventKinds();

// The kind of a line: the first whose prefix begins it, else OtherLine.
const EventKind& eventKind(std::wstring_view line);

// What the event log's repeat filter compares: the kind's prefix, so that lines differing only in their
// numbers or names count as one; a line of no kind stands for itself.
std::wstring repeatKey(std::wstring_view line);

}  // namespace calmlane
