#include "app/workqueue.h"

#include <pthread.h>

namespace quenlo {

WorkQueue::WorkQueue(QString label) : m_label(std::move(label)), m_state(std::make_shared<State>())
{
    std::thread thread(&WorkQueue::run, m_state, m_label);
    m_threadId = thread.get_id();
    // A job blocked on the network ends within its own bound; joining here would stall quitting.
    thread.detach();
}

WorkQueue::~WorkQueue()
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
        m_state->jobs.clear();
    }
    m_state->wake.notify_all();
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
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->jobs.empty(); });
            if (state->stopping)
                return;
            job = std::move(state->jobs.front());
            state->jobs.pop_front();
            state->running = 1;
        }
        job();
        std::lock_guard lock(state->mutex);
        state->running = 0;
    }
}

} // namespace quenlo
