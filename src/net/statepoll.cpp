#include "net/statepoll.h"

namespace quenlo {

MenuState pollLocalState(const ServiceAddress &server)
{
    const HTTPReply reply = ask(server, endpoints::menuStatus);
    if (reply.status < 1)
        return {};
    if (reply.status == 200) {
        if (const auto object = reply.json())
            return readMenuStatus(*object);
    }
    MenuState state;
    fallbackState(server, state);
    return state;
}

void fallbackState(const ServiceAddress &server, MenuState &state)
{
    if (ask(server, endpoints::version).status != 200)
        return;
    state.serviceUp = true;
    const auto object = ask(server, endpoints::syncStatus).json();
    if (!object)
        return;
    readSyncStatus(*object, state);
}

LocalPoll pollLocal(const ServiceAddress &server)
{
    LocalPoll poll;
    poll.state = pollLocalState(server);
    poll.worker = readTranscriptionWorker(ask(server, endpoints::transcriptionGet));
    return poll;
}

} // namespace quenlo
