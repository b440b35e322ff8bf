#pragma once

// A pseudo-terminal instrument on its own thread, for benchmarks: it answers every "*IDN?"
// line at once, as fast hardware would, without waiting for the application's event loop.

#include <atomic>
#include <string>
#include <thread>

class PtyInstrument
{
public:
    PtyInstrument();
    ~PtyInstrument();
    const std::string &path() const { return m_path; }
    std::atomic<bool> withPrompt{true};
    std::atomic<long> idnReceived{0};
    // Talk-only mode: stream filler lines as fast as the line takes them.
    std::atomic<bool> flood{false};
    std::atomic<long long> floodBytes{0};

private:
    void run();

    int m_master = -1, m_slave = -1;
    std::string m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// The identity the instrument answers with: 40 characters, then CR LF and the prompt.
extern const char kInstrumentReply[];
