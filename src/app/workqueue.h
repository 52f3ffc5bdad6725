#pragma once

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
/// main thread: results go back with QMetaObject::invokeMethod(..., Qt::QueuedConnection).
/// The destructor lets the running job finish and drops the ones still waiting.
class WorkQueue final {
public:
    explicit WorkQueue(QString label);
    ~WorkQueue();
    WorkQueue(const WorkQueue &) = delete;
    WorkQueue &operator=(const WorkQueue &) = delete;

    void submit(std::function<void()> job);
    /// Jobs waiting plus the one running.
    int pending() const;
    const QString &label() const { return m_label; }
    /// True when called from the queue's own thread.
    bool isCurrentThread() const { return std::this_thread::get_id() == m_threadId; }

private:
    // Shared with the thread, which may outlive the queue object by one running job.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> jobs;
        int running = 0;
        bool stopping = false;
    };
    static void run(const std::shared_ptr<State> &state, const QString &label);

    QString m_label;
    std::shared_ptr<State> m_state;
    std::thread::id m_threadId;
};

} // namespace quenlo
