#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/psock/Psock.h"
#include "platform/win32/Windows.h"
#include "psock/PsockTestUtil.h"

using Psock::TThreadTimer;
using testutil::PumpFor;
using testutil::PumpUntil;

TEST(ThreadTimer, TicksOnlyWithIntervalEnabledAndHandler) {
    TThreadTimer timer(nullptr);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    int ticks = 0;

    timer.SetInterval(0);  // a socket time-out of 0 arms no window timer
    timer.SetOnTimer([&](vcl::TObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++ticks;
    });
    PumpFor(150);
    EXPECT_EQ(ticks, 0);

    timer.SetOnTimer(nullptr);
    timer.SetInterval(20);
    PumpFor(150);
    EXPECT_EQ(ticks, 0) << "no handler, no timer";

    // Setting the handler afterwards starts the timer at once; it repeats until disabled.
    timer.SetOnTimer([&](vcl::TObject*) { ++ticks; });
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }, 5000));
    timer.SetEnabled(false);
    const int seen = ticks;
    PumpFor(150);
    EXPECT_EQ(ticks, seen);
}

// Only a setter that changes its value restarts the countdown. Restarting every 20 ms a timer of 400 ms
// keeps it from ever ticking; re-enabling an enabled timer does not restart it.
TEST(ThreadTimer, OnlyAChangedValueRestartsTheCountdown) {
    TThreadTimer timer(nullptr);
    int ticks = 0;
    timer.SetInterval(400);
    timer.SetOnTimer([&](vcl::TObject*) { ++ticks; });
    for (int i = 0; i < 40; ++i) {  // 800 ms of restarts
        timer.SetInterval(i % 2 ? 400 : 401);
        PumpFor(20);
    }
    EXPECT_EQ(ticks, 0);

    for (int i = 0; i < 200 && ticks == 0; ++i) {  // at most 4 s
        timer.SetEnabled(true);
        PumpFor(20);
    }
    EXPECT_GE(ticks, 1);
}

TEST(ThreadTimer, TimersTickIndependently) {
    TThreadTimer fast(nullptr), slow(nullptr);
    int fastTicks = 0, slowTicks = 0;
    fast.SetInterval(10);
    slow.SetInterval(100000);
    fast.SetOnTimer([&](vcl::TObject*) { ++fastTicks; });
    slow.SetOnTimer([&](vcl::TObject*) { ++slowTicks; });
    EXPECT_TRUE(PumpUntil([&] { return fastTicks >= 3; }, 5000));
    EXPECT_EQ(slowTicks, 0);
}

TEST(ThreadTimer, HandlerExceptionGoesToTheApplicationAndTicksGoOn) {
    std::vector<std::string> shown;
    vcl::Application->OnException = [&](vcl::TObject*, const std::string& message) {
        shown.push_back(message);
    };
    {
        TThreadTimer timer(nullptr);
        int ticks = 0;
        timer.SetInterval(10);
        timer.SetOnTimer([&](vcl::TObject*) {
            ++ticks;
            throw vcl::Exception("boom");
        });
        EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }, 5000));
        EXPECT_TRUE(timer.Enabled());
    }
    vcl::Application->OnException = nullptr;
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[0], "boom");
}

TEST(ThreadTimer, DestroyedTimerNeverTicks) {
    int ticks = 0;
    {
        TThreadTimer timer(nullptr);
        timer.SetInterval(1);
        timer.SetOnTimer([&](vcl::TObject*) { ++ticks; });
        win32::Sleep(20);  // ticks are due, not yet delivered
    }
    PumpFor(50);
    EXPECT_EQ(ticks, 0);
}
