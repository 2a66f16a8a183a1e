#pragma once
// Runs the event loop until a condition holds or the time is up. The loop blocks between events;
// a short timer wakes it to look at the condition.
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <functional>

inline bool runUntil(const std::function<bool()>& condition, int timeoutMs = 2000)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    check.start();
    if (!condition())
        loop.exec();
    return condition();
}

// Lets the event loop run for a while (deliveries that are due arrive).
inline void runFor(int ms)
{
    runUntil([] { return false; }, ms);
}
