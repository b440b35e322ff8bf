#include "ptyinstrument.h"

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
    m_thread = std::thread([this] { run(); });
}

PtyInstrument::~PtyInstrument()
{
    m_stop = true;
    m_thread.join();
    ::close(m_master);
    ::close(m_slave);
}

void PtyInstrument::run()
{
    std::string line;
    char buffer[4096];
    while (!m_stop) {
        pollfd watched{m_master, POLLIN, 0};
        if (::poll(&watched, 1, 20) <= 0)
            continue;
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                line += buffer[i];
                continue;
            }
            if (line == "*IDN?") {
                ++idnReceived;
                const size_t length = sizeof kInstrumentReply - 1 - (withPrompt ? 0 : 1);
                [[maybe_unused]] ssize_t written = ::write(m_master, kInstrumentReply, length);
            }
            line.clear();
        }
    }
}
