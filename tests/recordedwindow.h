#pragma once

#include "line/record/linerecorder.h"
#include "line/record/loopcsv.h"
#include "line/record/wirelog.h"
#include "windows/forms/frmmain.h"

#include <QFile>
#include <QTemporaryDir>

#include <memory>

// A main window whose line is recorded as `quillon --log FILE --csv FILE` records it, both files
// in a directory of the test's own.
class RecordedWindow
{
public:
    // Opens both files and makes the window; false when a file cannot be written.
    bool start()
    {
        if (!m_transcript.open(m_dir.filePath(QStringLiteral("wire.log")))
                || !m_csv.open(m_dir.filePath(QStringLiteral("replies.csv"))))
            return false;
        m_window = std::make_unique<frmMain>(&m_recorder);
        return true;
    }

    frmMain &window() { return *m_window; }
    LineRecorder &recorder() { return m_recorder; }
    WireLog &transcript() { return m_transcript; }
    QString transcriptPath() const { return m_dir.filePath(QStringLiteral("wire.log")); }
    // What each file holds so far.
    QByteArray transcriptText() const { return readAll(transcriptPath()); }
    QByteArray csvText() const { return readAll(m_dir.filePath(QStringLiteral("replies.csv"))); }

private:
    static QByteArray readAll(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_dir;
    LineRecorder m_recorder;
    WireLog m_transcript{&m_recorder};
    LoopCsv m_csv{&m_recorder};
    std::unique_ptr<frmMain> m_window; // goes first: its line is recorded to the end
};
