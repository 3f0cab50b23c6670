#include "update/worker.h"

#include <map>
#include <mutex>
#include <vector>

namespace calmlane {

namespace {

struct Posting {
    HWND window;
    UINT message;
    void (*destroy)(void*);
};

class Postings {
public:
    void remember(HWND window, UINT message, void* record, void (*destroy)(void*)) {
        std::lock_guard lock(mutex_);
        records_[record] = {window, message, destroy};
    }
    bool claim(HWND window, UINT message, void* record) {
        std::lock_guard lock(mutex_);
        const auto found = records_.find(record);
        if (found == records_.end() || found->second.window != window || found->second.message != message) return false;
        records_.erase(found);
        return true;
    }
    // Those of `window`, no longer remembered; freed by the caller outside the lock.
    std::vector<std::pair<void*, Posting>> takeAll(HWND window) {
        std::lock_guard lock(mutex_);
        std::vector<std::pair<void*, Posting>> taken;
        for (auto it = records_.begin(); it != records_.end();) {
            if (it->second.window == window) {
                taken.emplace_back(*it);
                it = records_.erase(it);
            } else {
                ++it;
            }
        }
        return taken;
    }

private:
    std::mutex mutex_;
    std::map<void*, Posting> records_;
};

// Never destroyed: a detached worker may still post while the process exits and runs destructors.
Postings& postings() {
    static Postings* const all = new Postings;
    return *all;
}

}  // namespace

namespace posted {

void remember(HWND window, UINT message, void* record, void (*destroy)(void*)) {
    postings().remember(window, message, record, destroy);
}

bool claim(HWND window, UINT message, void* record) { return postings().claim(window, message, record); }

}  // namespace posted

void freePosted(HWND window) {
    for (const auto& [record, posting] : postings().takeAll(window)) posting.destroy(record);
}

}  // namespace calmlane
