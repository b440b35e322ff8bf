#pragma once

// A pseudo-terminal instrument on its own thread, for benchmarks: it answers every "*IDN?"
// line at once, as fast hardware would, without waiting for the application's event loop.

#include <atomic>
#include <memory>
#include <mutex>
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
    // Answers "*IDN?" with `reply` (as it stands, prompt included) instead of the identity;
    // an empty reply brings the identity back.
    void setReply(std::string reply);
    // steady_clock time, in nanoseconds since its epoch, at which the last byte of the last
    // reply went into the line.
    std::atomic<long long> lastByteNs{0};

private:
    void run();
    void writeAll(const char *data, size_t size);

    std::mutex m_replyLock;
    std::shared_ptr<const std::string> m_reply;

    int m_master = -1, m_slave = -1;
    std::string m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// The identity the instrument answers with: 40 characters, then CR LF and the prompt.
extern const char kInstrumentReply[];
