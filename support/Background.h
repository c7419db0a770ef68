#pragma once
// Runs a piece of blocking work on a worker thread while the calling (window) thread keeps
// painting and answering events. The window thread waits in a nested event loop.
#include <QEventLoop>
#include <QThread>

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace Background {

template <class F>
auto RunWhileResponsive(F&& work) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if constexpr (std::is_void_v<R>) {
        RunWhileResponsive([&] { std::forward<F>(work)(); return true; });
    } else {
        std::optional<R> result;
        std::unique_ptr<QThread> thread(QThread::create([&] { result.emplace(std::forward<F>(work)()); }));
        QEventLoop loop;
        QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        thread->start();
        // The loop also ends when the application quits; the work is then awaited all the same,
        // since it refers to the caller's data. Cancelling it is the caller's business.
        while (!thread->isFinished()) {
            loop.exec();
            if (!thread->isFinished()) thread->wait(50);
        }
        thread->wait();
        return std::move(*result);
    }
}

}  // namespace Background
