#pragma once

#include "line/port/portbinding.h"

#include <QProcess>
#include <QStringList>

// A quillon-sim process on its own pseudo-terminal, bound to a COM port for the test's app.
class SimProcess
{
public:
    explicit SimProcess(const QStringList &arguments = {}, int comPort = 1)
    {
        m_process.start(QStringLiteral(QUILLON_SIM_PATH), arguments);
        if (m_process.waitForStarted(5000) && m_process.waitForReadyRead(5000)) {
            m_path = QString::fromLocal8Bit(m_process.readLine().trimmed());
            qputenv(ComPortVariable(comPort).toLatin1().constData(), m_path.toLocal8Bit());
        }
    }
    ~SimProcess()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(2000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    bool ready() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QString m_path;
};
