#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// A real ser2net on 127.0.0.1 in front of a serial device (the simulator's pseudo-terminal):
// one raw TCP accepter and one Telnet accepter with RFC 2217, on free ports.
class SerialServer
{
public:
    explicit SerialServer(const QString &device) : m_device(device)
    {
        m_rawPort = freePort();
        m_rfc2217Port = freePort();
        start();
    }
    ~SerialServer() { stop(); }
    SerialServer(const SerialServer &) = delete;
    SerialServer &operator=(const SerialServer &) = delete;

    bool ready() const { return m_ready; }
    QString rawUrl() const { return QStringLiteral("socket://127.0.0.1:%1").arg(m_rawPort); }
    QString rfc2217Url() const
    {
        return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_rfc2217Port);
    }
    quint16 rawPort() const { return m_rawPort; }
    quint16 rfc2217Port() const { return m_rfc2217Port; }

    // Starts the server again on the same ports; true once both accept connections.
    bool start()
    {
        const QString config = m_dir.filePath(QStringLiteral("ser2net.yaml"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        // "local": a pseudo-terminal has no modem lines to wait for.
        file.write(QStringLiteral("%YAML 1.1\n---\n"
                                  "connection: &raw\n"
                                  "  accepter: tcp,127.0.0.1,%1\n"
                                  "  connector: serialdev,%3,9600n81,local\n"
                                  "connection: &rfc2217\n"
                                  "  accepter: telnet(rfc2217),tcp,127.0.0.1,%2\n"
                                  "  connector: serialdev,%3,9600n81,local\n")
                           .arg(m_rawPort)
                           .arg(m_rfc2217Port)
                           .arg(m_device)
                           .toUtf8());
        file.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // -n: stay in the foreground, so the test can stop it; -u: no UUCP lock files.
        // Debian installs ser2net in /usr/sbin, which a normal user's PATH lacks.
        m_process.start(QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                qEnvironmentVariable("PATH").split(u':') << "/usr/sbin"),
                {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config,
                        QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid"))});
        m_ready = m_process.waitForStarted(5000) && listening(m_rawPort)
                && listening(m_rfc2217Port);
        return m_ready;
    }

    // Stops the server at once: every connection drops.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // A port on 127.0.0.1 with nothing listening: connections to it are refused.
    static quint16 freePort()
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        return server.serverPort();
    }

private:
    static bool listening(quint16 port)
    {
        // Probing through the real accepter would open the device; the kernel's table of
        // listening sockets says it without touching anything.
        QElapsedTimer clock;
        clock.start();
        const QByteArray wanted = QByteArray(":")
                + QByteArray::number(port, 16).toUpper().rightJustified(4, '0')
                + " 00000000:0000 0A";
        while (clock.elapsed() < 5000) {
            QFile table(QStringLiteral("/proc/net/tcp"));
            if (table.open(QIODevice::ReadOnly) && table.readAll().contains(wanted))
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    QString m_device;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_rawPort = 0;
    quint16 m_rfc2217Port = 0;
    bool m_ready = false;
};
