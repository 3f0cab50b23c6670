#pragma once
// The detached workers of the update features and how they hand their results back to a window.
#include <windows.h>

#include <memory>

#include "app/detached_thread.h"

namespace calmlane {

// Any process of the same user on the desktop can post any number to a window, so a message alone never
// says that its lParam is a record: each record posted here is remembered with its window and message
// until the window takes it, and a window takes only a record it was sent.
namespace posted {
void remember(HWND window, UINT message, void* record, void (*destroy)(void*));
// True when `record` was posted to `window` as `message` and not taken yet; it is the caller's now.
bool claim(HWND window, UINT message, void* record);
}  // namespace posted

// Posts `record` as the message's lParam; the receiver takes it with takePosted. When the post fails
// (the window is gone) the record is freed here. True when posted.
template <typename Record>
bool postOwned(HWND window, UINT message, std::unique_ptr<Record> record) {
    posted::remember(window, message, record.get(), [](void* owned) { delete static_cast<Record*>(owned); });
    Record* const raw = record.release();
    if (PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(raw))) return true;
    if (posted::claim(window, message, raw)) delete raw;
    return false;
}

// The record that lParam names, when a worker posted it to `window` as `message` (the receiver owns it
// from here on); null for anything else, which is then never touched.
template <typename Record>
std::unique_ptr<Record> takePosted(HWND window, UINT message, LPARAM lParam) {
    void* const record = reinterpret_cast<void*>(lParam);
    return std::unique_ptr<Record>(posted::claim(window, message, record) ? static_cast<Record*>(record) : nullptr);
}

// Frees every record posted to `window` and not taken: called when the window goes, since its queued
// messages go with it.
void freePosted(HWND window);

}  // namespace calmlane
