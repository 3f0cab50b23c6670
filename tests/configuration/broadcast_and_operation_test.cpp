// The coalescing broadcast queue and the background saver operation, with injected work.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "app/globals.h"
#include "configuration/saver_operation.h"
#include "configuration/settings_broadcast.h"
#include "support/process.h"

namespace calmlane {
namespace {

// A gate the injected work waits at until the test opens it.
class Latch {
public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

template <typename Predicate>
bool eventually(Predicate predicate) { return test::waitUntil(predicate, 15000, 5); }

// The command-line actions wait for the queue in a destructor: the wait must not be able to throw.
static_assert(noexcept(std::declval<SettingsNotificationQueue&>().waitIdle(0)));

TEST(SettingsBroadcast, RequestsDuringABroadcastCoalesceIntoOneMore) {
    Latch gate;
    std::atomic<int> sent{0}, inside{0}, mostInside{0};
    std::atomic<bool> first{true};
    SettingsNotificationQueue queue([&] {
        const int now = ++inside;
        if (now > mostInside) mostInside = now;
        if (first.exchange(false)) gate.wait();
        ++sent;
        --inside;
    });
    queue.request();
    ASSERT_TRUE(eventually([&] { return inside == 1; }));
    for (int i = 0; i < 10; ++i) queue.request();
    gate.open();
    ASSERT_TRUE(queue.waitIdle(5000));
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(mostInside, 1);

    // The drain has ended; a later request starts a new one.
    queue.request();
    ASSERT_TRUE(queue.waitIdle(5000));
    EXPECT_EQ(sent, 3);
}

TEST(SettingsBroadcast, AFailingBroadcastDoesNotStopTheQueue) {
    std::atomic<int> calls{0};
    SettingsNotificationQueue queue([&] {
        ++calls;
        throw std::runtime_error("receiver gone");
    });
    queue.request();
    ASSERT_TRUE(queue.waitIdle(5000));
    queue.request();
    ASSERT_TRUE(queue.waitIdle(5000));
    EXPECT_EQ(calls, 2);
    SettingsNotificationQueue empty(nullptr);
    empty.request();
    EXPECT_TRUE(empty.waitIdle(5000));
}

TEST(SettingsBroadcast, WaitingForIdlenessIsBounded) {
    Latch gate;
    SettingsNotificationQueue queue([&] { gate.wait(); });
    queue.request();
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(queue.waitIdle(300));
    EXPECT_GE(GetTickCount64() - start, 250u);
    gate.open();
    EXPECT_TRUE(queue.waitIdle(5000));
}

TEST(SaverOperationTest, ErrorIsEmptyUntilTheWorkerHasFinished) {
    Latch gate;
    auto operation = SaverOperation::start(SaverAction::Enable, [&] {
        gate.wait();
        throw std::runtime_error("Windows refused screen saver activation.");
    });
    EXPECT_EQ(operation->error(), "");
    EXPECT_FALSE(operation->finished);
    gate.open();
    ASSERT_TRUE(eventually([&] { return operation->finished.load(); }));
    EXPECT_EQ(operation->error(), "Windows refused screen saver activation.");
    EXPECT_EQ(operation->action, SaverAction::Enable);
}

TEST(SaverOperationTest, OutcomesOfTheWork) {
    auto fine = SaverOperation::start(SaverAction::Disable, [] {});
    ASSERT_TRUE(eventually([&] { return fine->finished.load(); }));
    EXPECT_EQ(fine->error(), "");
    auto odd = SaverOperation::start(SaverAction::Disable, [] { throw 7; });
    ASSERT_TRUE(eventually([&] { return odd->finished.load(); }));
    EXPECT_EQ(odd->error(), "The screen saver operation failed.");
}

}  // namespace
}  // namespace calmlane
