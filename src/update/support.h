#pragma once
// The support counter: one "I like this app" vote per version, carrying a random per-user identifier.
#include <windows.h>

#include <cstdint>

namespace calmlane {

struct LikeResult {
    bool ok = false;          // the counter answered 200 with a body
    bool added = false;       // the body says the vote was added
    std::uint64_t likes = 0;  // the body's count, 0 when absent
};

// True when the vote for the running version was recorded ("LikedVersion-<version>" is non-zero).
bool likedCurrentVersion();

// Sends the vote on a detached thread and returns. The result is posted as
// PostMessageW(window, message, 0, LikeResult*); the receiver deletes it.
void beginLike(HWND window, UINT message);

}  // namespace calmlane
