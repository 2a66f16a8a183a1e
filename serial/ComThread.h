#pragma once
// The event thread of an open port. It waits in epoll on the descriptor its back end gives
// (serial/PortBackend.h: a tty or a socket) and on an eventfd (the stop signal), with no
// time-out. The descriptor is watched edge-triggered, as the driver reports "a byte
// was received": each new batch wakes the thread once, and bytes a handler leaves unread do
// not wake it again (level-triggered readiness would spin on them). A batch becomes an
// evRxChar delivery, handed to the user-interface thread through a mailbox: the thread posts
// the delivery as a queued call on the port object and waits until it has run. ClosePort
// signals the stop and then waits for the thread's end in short blocking waits, running any
// posted delivery itself between them, so a delivery in flight completes with the port still
// open and neither side can wait for the other for ever.
//
// An exception escaping a delivery ends the thread silently (no more deliveries until the port
// is closed and opened again). A vanished device (hang-up, error, EIO/ENXIO/ENODEV from the
// driver) ends it too, after posting one OnDeviceLost notice.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/ComPort.h"
#include "base/UniqueFd.h"

class PortBackend;

class TComThread {
public:
    // Starts the thread on the open back end's descriptor; EComPort code 21 when the wait
    // cannot be set up. The back end outlives the thread.
    TComThread(TCustomComPort* owner, uint64_t session, const PortBackend& backend);
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    void StopThread();
    // Called on the user-interface thread: waits for the body's end, running deliveries
    // already handed over meanwhile, then joins.
    void WaitFor();
    // The delivery the thread waits for is itself on the caller's stack (ClosePort from inside
    // a handler): stop waiting for it.
    void Abandon();

    bool Running() const { return running_.load(); }
    uint64_t WakeUps() const { return wakeUps_.load(); }

private:
    struct Mailbox {
        std::mutex lock;
        std::condition_variable changed;
        std::function<void()> job;
        bool posted = false;
        bool done = false;
        bool abandoned = false;
        bool finished = false;
        std::exception_ptr error;
        // User-interface thread: runs the posted delivery, if any, and reports its end.
        void runPosted();
    };

    void execute();
    // Hands the events over as the port's SyncMethod says; the exception that escaped the
    // delivery, if any. Sets `abandoned` when the wait was given up.
    std::exception_ptr deliver(TComEvents events, bool& abandoned);
    void postDeviceLost(const EComPort& error);

    TCustomComPort* owner_;
    uint64_t session_;
    const PortBackend& backend_;
    int fd_;
    TComEvents events_;
    TSyncMethod sync_;
    UniqueFd stopFd_;
    UniqueFd epollFd_;
    std::shared_ptr<Mailbox> mailbox_;
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> wakeUps_{0};
    std::thread thread_;
};
