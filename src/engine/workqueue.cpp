#include "engine/workqueue.h"

#include <pthread.h>

namespace quenlo {

WorkQueue::WorkQueue(QString label, Milliseconds quitWait)
    : m_label(std::move(label)), m_quitWait(quitWait), m_state(std::make_shared<State>()),
      m_thread(&WorkQueue::run, m_state, m_label)
{
}

WorkQueue::~WorkQueue()
{
    std::unique_lock lock(m_state->mutex);
    m_state->stopping = true;
    m_state->jobs.clear();
    m_state->wake.notify_all();
    const bool finished = m_state->idle.wait_for(lock, m_quitWait, [this] { return m_state->running == 0; });
    lock.unlock();
    // A job blocked on the network ends within its own bound, but quitting must not wait for
    // that; the thread keeps the shared state alive until its job returns.
    if (finished)
        m_thread.join();
    else
        m_thread.detach();
}

void WorkQueue::submit(std::function<void()> job)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->stopping)
            return;
        m_state->jobs.push_back(std::move(job));
    }
    m_state->wake.notify_one();
}

int WorkQueue::pending() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->jobs.size()) + m_state->running;
}

void WorkQueue::run(const std::shared_ptr<State> &state, const QString &label)
{
#ifdef __APPLE__
    pthread_setname_np(label.left(63).toUtf8().constData());
#else
    // Linux keeps 15 bytes of a thread name; the end of the label tells it apart.
    pthread_setname_np(pthread_self(), label.right(15).toUtf8().constData());
#endif
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return state->stopping || !state->jobs.empty(); });
        if (state->stopping)
            return;
        std::function<void()> job = std::move(state->jobs.front());
        state->jobs.pop_front();
        state->running = 1;
        lock.unlock();
        job();
        job = nullptr; // what the job captured goes now, on this thread, not at the next wait
        lock.lock();
        state->running = 0;
        state->idle.notify_all();
    }
}

} // namespace quenlo
