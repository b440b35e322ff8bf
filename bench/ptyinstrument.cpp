#include "ptyinstrument.h"

#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

const char kInstrumentReply[] = "VELK,QSIM-488,SN0000012345,FW1.0,BENCH40\r\n>";

PtyInstrument::PtyInstrument()
{
    char name[256] = {};
    ::openpty(&m_master, &m_slave, name, nullptr, nullptr);
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    m_path = name;
    // A flood must never block the thread: it would not see the stop request.
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_thread = std::thread([this] { run(); });
}

PtyInstrument::~PtyInstrument()
{
    m_stop = true;
    m_thread.join();
    ::close(m_master);
    ::close(m_slave);
}

void PtyInstrument::setReply(std::string reply)
{
    const std::lock_guard<std::mutex> hold(m_replyLock);
    m_reply = reply.empty() ? nullptr : std::make_shared<const std::string>(std::move(reply));
}

void PtyInstrument::writeAll(const char *data, size_t size)
{
    while (size > 0 && !m_stop) {
        const ssize_t sent = ::write(m_master, data, size);
        if (sent > 0) {
            data += sent;
            size -= size_t(sent);
            continue;
        }
        pollfd writable{m_master, POLLOUT, 0};
        ::poll(&writable, 1, 20);
    }
    lastByteNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
                         .count();
}

void PtyInstrument::run()
{
    std::string line;
    char buffer[4096];
    std::string filler;
    for (int i = 0; i < 1024; ++i)
        filler += "MEAS 0012.3456 V  0.0001 A  STREAMING WITHOUT BEING ASKED 0000\r\n";
    while (!m_stop) {
        pollfd watched{m_master, short(POLLIN | (flood ? POLLOUT : 0)), 0};
        if (::poll(&watched, 1, 20) <= 0)
            continue;
        if (watched.revents & POLLOUT) {
            const ssize_t sent = ::write(m_master, filler.data(), filler.size());
            if (sent > 0)
                floodBytes += sent;
        }
        if (!(watched.revents & POLLIN))
            continue;
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                line += buffer[i];
                continue;
            }
            if (line == "*IDN?") {
                ++idnReceived;
                std::shared_ptr<const std::string> reply;
                {
                    const std::lock_guard<std::mutex> hold(m_replyLock);
                    reply = m_reply;
                }
                if (reply) {
                    writeAll(reply->data(), reply->size());
                } else {
                    const size_t length = sizeof kInstrumentReply - 1 - (withPrompt ? 0 : 1);
                    writeAll(kInstrumentReply, length);
                }
            }
            line.clear();
        }
    }
}
