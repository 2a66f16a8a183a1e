#include "serial/ComThread.h"

#include <QMetaObject>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

#include "serial/PortBackend.h"

#if defined(__SANITIZE_THREAD__)
#define KADREL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KADREL_THREAD_SANITIZER 1
#endif
#endif
#ifdef KADREL_THREAD_SANITIZER
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace {

// Queues `call` on the owner's (user-interface) thread. Qt builds the slot object here and hands
// it over through its posted-event lock and the object's reference count, inside libQt6Core,
// which ThreadSanitizer cannot see: under it, this thread's accesses to that object (the
// lambda's captures, and its destruction when the receiver is done first) stay out of its view.
// Its locks and atomics are still followed.
template <class Call>
void postToOwner(QObject* owner, Call&& call)
{
#ifdef KADREL_THREAD_SANITIZER
    __tsan_ignore_thread_begin();
#endif
    QMetaObject::invokeMethod(owner, std::forward<Call>(call), Qt::QueuedConnection);
#ifdef KADREL_THREAD_SANITIZER
    __tsan_ignore_thread_end();
#endif
}

} // namespace

void TComThread::Mailbox::runPosted()
{
    std::function<void()> work;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!posted)
            return;
        posted = false;
        work = std::move(job);
    }
    std::exception_ptr escaped;
    try {
        work();
    } catch (...) {
        escaped = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        error = std::move(escaped);  // the event thread alone holds it from here
        done = true;
    }
    changed.notify_all();
}

TComThread::TComThread(TCustomComPort* owner, uint64_t session, const PortBackend& backend)
    : owner_(owner), session_(session), backend_(backend), fd_(backend.fd()), events_(owner->Events()),
      sync_(owner->SyncMethod()), mailbox_(std::make_shared<Mailbox>())
{
    stopFd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopFd_.valid())
        owner->RaisePortError(peWait, errno);
    epollFd_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epollFd_.valid())
        owner->RaisePortError(peWait, errno);
    // Edge-triggered: one wake-up per arrival of bytes, not one per pass while bytes wait.
    // Registering reports bytes already waiting once, so none that came before is missed.
    epoll_event ev{};
    // A server closing its end shows as a read hang-up.
    ev.events = EPOLLIN | EPOLLET | (backend.peerCanClose() ? static_cast<uint32_t>(EPOLLRDHUP) : 0u);
    ev.data.fd = fd_;
    if (epoll_ctl(epollFd_.get(), EPOLL_CTL_ADD, fd_, &ev) != 0)
        owner->RaisePortError(peWait, errno);
    ev.events = EPOLLIN;
    ev.data.fd = stopFd_.get();
    if (epoll_ctl(epollFd_.get(), EPOLL_CTL_ADD, stopFd_.get(), &ev) != 0)
        owner->RaisePortError(peWait, errno);
    thread_ = std::thread([this] { execute(); });
}

TComThread::~TComThread()
{
    StopThread();
    WaitFor();
}

void TComThread::StopThread()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopFd_.get(), &one, sizeof one);
}

void TComThread::Abandon()
{
    {
        std::lock_guard<std::mutex> guard(mailbox_->lock);
        mailbox_->abandoned = true;
    }
    mailbox_->changed.notify_all();
}

void TComThread::WaitFor()
{
    if (!thread_.joinable())
        return;
    const std::shared_ptr<Mailbox> box = mailbox_;
    for (;;) {
        box->runPosted();
        std::unique_lock<std::mutex> guard(box->lock);
        if (box->finished)
            break;
        // Woken by a new posting or by the end; the few milliseconds are only a backstop.
        box->changed.wait_for(guard, std::chrono::milliseconds(5), [&] { return box->posted || box->finished; });
        if (box->finished)
            break;
    }
    thread_.join();
}

void TComThread::execute()
{
    epoll_event ready[4];
    for (;;) {
        const int n = epoll_wait(epollFd_.get(), ready, 4, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;  // a failed wait ends the thread
        }
        ++wakeUps_;
        bool stop = false, hungUp = false, input = false, peerClosed = false;
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.fd == stopFd_.get()) {
                stop = true;
                continue;
            }
            if (ready[i].events & (EPOLLHUP | EPOLLERR))
                hungUp = true;
            if (ready[i].events & EPOLLIN)
                input = true;
            if (ready[i].events & EPOLLRDHUP)
                peerClosed = true;
        }
        if (stop)
            break;
        if (hungUp) {
            postDeviceLost(EComPort(peRead, backend_.hangUpError(EIO)));
            break;
        }
        if (!input && !peerClosed)
            continue;
        if (const int e = backend_.goneOnReadiness()) {
            postDeviceLost(EComPort(peLineStatus, e));
            break;
        }
        const TComEvents pending = TComEvents{evRxChar} & events_;
        if (pending.Empty() && !peerClosed)
            continue;
        if (pending.Empty()) {
            postDeviceLost(EComPort(peRead, ECONNRESET));
            break;
        }
        bool abandoned = false;
        const std::exception_ptr escaped = deliver(pending, abandoned);
        if (abandoned)
            break;
        if (escaped) {
            // Carried back here, it ends the thread; only a vanished device is told.
            try {
                std::rethrow_exception(escaped);
            } catch (const EComPort& error) {
                if (error.DeviceGone())
                    postDeviceLost(error);
            } catch (...) {
            }
            break;
        }
        if (peerClosed) {
            // What came before the close has been delivered; no further wake-up will come.
            postDeviceLost(EComPort(peRead, backend_.hangUpError(ECONNRESET)));
            break;
        }
    }
    running_ = false;
    {
        std::lock_guard<std::mutex> guard(mailbox_->lock);
        mailbox_->finished = true;
    }
    mailbox_->changed.notify_all();
}

std::exception_ptr TComThread::deliver(TComEvents events, bool& abandoned)
{
    TCustomComPort* const owner = owner_;
    switch (sync_) {
    case smNone:
        try {
            owner->FireEvents(events);
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    case smWindowSync: {
        // Posted without waiting; the user-interface thread delivers while the port is open,
        // and an escaping exception goes to the application's handler.
        const uint64_t session = session_;
        postToOwner(owner, [owner, session, events] { owner->runPostedDelivery(events, session); });
        return nullptr;
    }
    case smThreadSync:
    default:
        break;
    }
    const std::shared_ptr<Mailbox> box = mailbox_;
    {
        std::lock_guard<std::mutex> guard(box->lock);
        box->job = [owner, events] { owner->runDelivery(events); };
        box->posted = true;
        box->done = false;
        box->error = nullptr;
    }
    box->changed.notify_all();  // a ClosePort already waiting runs it
    postToOwner(owner, [box] { box->runPosted(); });
    std::unique_lock<std::mutex> guard(box->lock);
    box->changed.wait(guard, [&] { return box->done || box->abandoned; });
    if (!box->done) {
        abandoned = true;
        return nullptr;
    }
    return std::exchange(box->error, nullptr);
}

void TComThread::postDeviceLost(const EComPort& error)
{
    TCustomComPort* const owner = owner_;
    const uint64_t session = session_;
    postToOwner(owner, [owner, session, error] { owner->reportDeviceLost(error, session); });
}
