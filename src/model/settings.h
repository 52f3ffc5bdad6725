#pragma once

#include <QString>

#include <chrono>

namespace quenlo {

using Milliseconds = std::chrono::milliseconds;

inline constexpr qint64 defaultServicePort = 8765;

/// \brief Where the local library server listens: 127.0.0.1 and a port.
struct ServiceAddress {
    qint64 port = defaultServicePort;

    /// "http://127.0.0.1:" and the port, no trailing slash.
    QString base() const;
    /// Port 0 would make libcurl fall back to port 80; neither it nor a negative port can be ours.
    bool usable() const { return port >= 1 && port <= 65535; }
};

/// \brief How long the supervisor waits for the server to come and to go.
struct SupervisorTimes {
    Milliseconds stopWait{5000};
    Milliseconds startWait{10000};
    Milliseconds probeInterval{200};
};

/// \brief The NAS client's two limits: no byte at all for idle, the whole call for deadline.
struct NasTimes {
    Milliseconds idle{20000};
    Milliseconds deadline{25000};
};

/// \brief The polling rhythm: closed menu, open menu, and how long an open menu keeps it fast.
struct PollTimes {
    Milliseconds interval{10000};
    Milliseconds openMenuInterval{2000};
    /// Some tray hosts never say that the menu closed; fast polling ends by itself after this.
    Milliseconds openMenuLimit{60000};
};

/// \brief How long each kind of message owns the status line.
struct FlashTimes {
    Milliseconds brief{2000};       ///< most results
    Milliseconds added{6000};       ///< a link added, the transcription switch
    Milliseconds startFailure{8000}; ///< the first start of the server failed
    Milliseconds submitting{10000}; ///< while a sync request is on its way
    Milliseconds working{20000};    ///< while a link is sent or the server restarts or stops
};

/// \brief Every place and duration the companion runs with; the defaults are production's.
///
/// main builds one from the environment and hands it down; tests shrink the durations.
struct Settings {
    ServiceAddress service;
    PollTimes poll;
    FlashTimes flash;
    SupervisorTimes supervisor;
    NasTimes nas;
    /// How long to wait for a StatusNotifierWatcher before falling back to XEmbed.
    Milliseconds trayWait{30000};
    /// How long quitting waits for a job that is still running before abandoning it.
    Milliseconds quitWait{2000};
};

/// Parses a "LOCAL_LIBRARY_PORT" value: optional sign, ASCII digits, signed 64-bit; 8765 otherwise.
qint64 parseServicePort(const char *value);
/// The production settings, with the port from "LOCAL_LIBRARY_PORT".
Settings settingsFromEnvironment();

} // namespace quenlo
