#include "platform/window.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace tarvo::platform {
namespace {

using namespace std::chrono_literals;

TEST(Happening, TheWaitEndsWhenToldFromAnyThreadAndTheLoopRunsMeanwhile)
{
    {
        SCOPED_TRACE("told before the wait");
        Happening h;
        h.Notify();
        h.Notify();
        EXPECT_TRUE(h.Wait(QDeadlineTimer(10s)));
    }
    {
        SCOPED_TRACE("told from a worker while waiting");
        const auto h = std::make_shared<Happening>();
        bool served = false;
        QTimer::singleShot(0, [&served] { served = true; });
        std::thread teller([h] {
            std::this_thread::sleep_for(50ms);
            h->Notify();
        });
        EXPECT_TRUE(h->Wait(QDeadlineTimer(10s)));
        teller.join();
        EXPECT_TRUE(served) << "the event loop ran during the wait";
    }
    {
        SCOPED_TRACE("never told");
        Happening h;
        EXPECT_FALSE(h.Wait(QDeadlineTimer(30ms)));
        EXPECT_FALSE(h.Wait(QDeadlineTimer(0ms)));
    }
}

// The upload that was waited for may end long after the wait gave up.
TEST(Happening, ATellerAfterTheWaitGaveUpIsHarmless)
{
    std::thread teller;
    {
        const auto h = std::make_shared<Happening>();
        EXPECT_FALSE(h->Wait(QDeadlineTimer(10ms)));
        teller = std::thread([h] {
            std::this_thread::sleep_for(20ms);
            h->Notify();
        });
    }
    teller.join();
    QCoreApplication::processEvents();
}

} // namespace
} // namespace tarvo::platform
