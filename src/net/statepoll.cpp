#include "net/statepoll.h"

namespace quenlo {

MenuState pollLocalState()
{
    const HTTPReply reply = ask(endpoints::menuStatus);
    if (reply.status < 1)
        return {};
    if (reply.status == 200) {
        if (const auto object = reply.json())
            return readMenuStatus(*object);
    }
    MenuState state;
    fallbackState(state);
    return state;
}

void fallbackState(MenuState &state)
{
    if (ask(endpoints::version).status != 200)
        return;
    state.serviceUp = true;
    const auto object = ask(endpoints::syncStatus).json();
    if (!object)
        return;
    readSyncStatus(*object, state);
}

LocalPoll pollLocal()
{
    LocalPoll poll;
    poll.state = pollLocalState();
    poll.worker = readTranscriptionWorker(ask(endpoints::transcriptionGet));
    return poll;
}

} // namespace quenlo
