#pragma once

#include <QObject>
#include <QThread>

#include <memory>
#include <utility>

// Runs work() on a thread of its own and then done(result) on the thread of context, through
// the event loop. The thread deletes itself after done; if context is gone by then, done is not
// called and the thread goes with context (which must wait for it first). work must not throw
// and must not touch widgets.
template <class Result, class Work, class Done>
QThread* RunOnWorker(QObject* context, Work work, Done done)
{
    auto result = std::make_shared<Result>();
    QThread* thread =
        QThread::create([result, work = std::move(work)]() mutable { *result = work(); });
    // Owned by context, so a thread whose result never got delivered goes with it.
    thread->setParent(context);
    QObject::connect(thread, &QThread::finished, context,
                     [thread, result, done = std::move(done)]() mutable {
                         thread->deleteLater();
                         done(std::move(*result));
                     });
    thread->start();
    return thread;
}
