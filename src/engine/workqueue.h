#pragma once

#include "model/settings.h"

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quenlo {

/// \brief One serial FIFO queue on its own thread, for every blocking call of the companion.
///
/// Jobs run one at a time in submission order. Nothing ever waits for the queue from the
/// main thread while the companion runs: results go back with a queued invocation.
/// The destructor drops the jobs still waiting and waits up to \a quitWait for the one that
/// runs; a job that takes longer is abandoned: the thread finishes it on its own and then
/// ends, so a job must own (or share) everything it touches.
class WorkQueue final {
public:
    explicit WorkQueue(QString label, Milliseconds quitWait = Milliseconds(2000));
    ~WorkQueue();
    WorkQueue(const WorkQueue &) = delete;
    WorkQueue &operator=(const WorkQueue &) = delete;

    void submit(std::function<void()> job);
    /// Jobs waiting plus the one running.
    int pending() const;
    const QString &label() const { return m_label; }
    /// True when called from the queue's own thread.
    bool isCurrentThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    // Shared with the thread, which outlives the queue object when its job is abandoned.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::deque<std::function<void()>> jobs;
        int running = 0;
        bool stopping = false;
    };
    static void run(const std::shared_ptr<State> &state, const QString &label);

    QString m_label;
    Milliseconds m_quitWait;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace quenlo
