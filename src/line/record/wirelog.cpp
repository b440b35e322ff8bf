#include "line/record/wirelog.h"

#include "line/linemessages.h"
#include "protocol/escapedbytes.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a name that is not a plain file leads to; empty for a regular file.
QString refusedKind(const struct stat &info)
{
    if (S_ISREG(info.st_mode))
        return {};
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("it is a symbolic link; name the file itself");
    if (S_ISFIFO(info.st_mode))
        return QStringLiteral("it is a named pipe (FIFO), not a regular file");
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a directory, not a regular file");
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        return QStringLiteral("it is a device, not a regular file");
    if (S_ISSOCK(info.st_mode))
        return QStringLiteral("it is a socket, not a regular file");
    return QStringLiteral("it is not a regular file");
}

// A file planted by someone else in a shared directory would let them read the transcript.
QString refusedOwner(const struct stat &info)
{
    if (info.st_uid == ::geteuid())
        return {};
    const passwd *owner = ::getpwuid(info.st_uid);
    return QStringLiteral("it belongs to %1, not to you; remove it or choose another name")
            .arg(owner ? QString::fromLocal8Bit(owner->pw_name)
                       : QStringLiteral("user %1").arg(info.st_uid));
}

// ISO 8601 with the offset from UTC, "2026-12-07T14:02:11.315+01:00", so that a transcript
// read in another time zone, or across a change of summer time, still says when it began.
QByteArray startTime(const QDateTime &at)
{
    const int offset = at.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1()
            + (offset < 0 ? '-' : '+') + QByteArray::number(minutes / 60).rightJustified(2, '0')
            + ':' + QByteArray::number(minutes % 60).rightJustified(2, '0');
}

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

WireLog::WireLog(LineRecorder *recorder, QObject *parent)
    : QObject(parent), m_startedAt(recorder ? recorder->startedAt() : QDateTime::currentDateTime())
{
    if (!recorder)
        return;
    connect(recorder, &LineRecorder::recorded, this, &WireLog::record);
    connect(this, &WireLog::writingFailed, recorder, &LineRecorder::writingFailed);
}

WireLog::~WireLog()
{
    close();
}

void WireLog::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool WireLog::open(const QString &path)
{
    close();
    m_error.clear();
    m_path = path;
    m_end = 0;
    m_tailDirty = false;
    m_missing = 0;
    m_failureReported = false;
    const QByteArray name = QFile::encodeName(path);

    // Looked at before opening, so that a device or a pipe is never opened at all (opening a
    // tape rewinds it, opening a serial line moves its modem lines).
    struct stat before
    {
    };
    if (::lstat(name.constData(), &before) == 0) {
        m_error = refusedKind(before);
        if (m_error.isEmpty())
            m_error = refusedOwner(before);
        if (!m_error.isEmpty())
            return false;
    }
    // The name may have changed between the look and the open: O_NOFOLLOW refuses a link put
    // there meanwhile, O_NONBLOCK keeps a pipe with no reader from holding us, and the open
    // file itself is checked once more. Not O_TRUNC: nothing is emptied before that check.
    const int fd = ::open(name.constData(),
            O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP)
            m_error = QStringLiteral("it is a symbolic link; name the file itself");
        else if (error == ENXIO)
            m_error = QStringLiteral("it is a named pipe (FIFO), not a regular file");
        else
            m_error = systemText(error);
        return false;
    }
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0) {
        m_error = systemText(errno);
    } else {
        m_error = refusedKind(info);
        if (m_error.isEmpty())
            m_error = refusedOwner(info);
    }
    if (m_error.isEmpty() && ::ftruncate(fd, 0) != 0)
        m_error = systemText(errno);
    if (!m_error.isEmpty()) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Past a file size limit (ulimit -f) the system would end the program; a write that
    // fails instead is reported like a full disk, and the run goes on.
    std::signal(SIGXFSZ, SIG_IGN);
    m_fd = fd;

    const QByteArray header = Transcript::Header(startTime(m_startedAt)) + '\n';
    if (!writeWhole(header)) {
        m_error = systemText(errno);
        close();
        return false;
    }
    return true;
}

QByteArray WireLog::hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

QByteArray WireLog::escaped(const QByteArray &bytes)
{
    // The form a check script quotes a reply in, so a transcript line can be pasted into one.
    return EscapedBytes(bytes);
}

QByteArray WireLog::line(double ms, int comPort, const char *what, const QByteArray &rest)
{
    return QByteArray::number(ms, 'f', 3).rightJustified(12) + " COM" + QByteArray::number(comPort)
            + ' ' + what + ' ' + rest;
}

QByteArray WireLog::lossLine(qint64 count, double fromMs, double toMs, const QString &reason)
{
    return "# " + QByteArray::number(count) + (count == 1 ? " line" : " lines")
            + " missing here, from " + QByteArray::number(fromMs, 'f', 3) + " to "
            + QByteArray::number(toMs, 'f', 3) + " ms: the transcript could not be written ("
            + EscapeOutsideText(reason).toUtf8() + ')';
}

QByteArray WireLog::chunk(const QByteArray &bytes)
{
    return QByteArray::number(bytes.size()) + " bytes: " + hex(bytes) + "  " + escaped(bytes);
}

void WireLog::record(const WireEntry &entry)
{
    // Without a file nobody needs the hex; a long reply would pay for it on every chunk.
    if (m_fd < 0)
        return;
    write(entry.ms, entry.comPort, Transcript::Spelling(entry.word),
            entry.isChunk() ? chunk(entry.bytes) : entry.bytes);
}

bool WireLog::writeWhole(const QByteArray &bytes)
{
    // Part of a line left by a failed write is cut off first, so the next line starts on a
    // line of its own instead of running on from a fragment.
    if (m_tailDirty) {
        if (::ftruncate(m_fd, m_end) != 0)
            return false;
        m_tailDirty = false;
    }
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(
                m_fd, bytes.constData() + done, size_t(bytes.size() - done), off_t(m_end + done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const int error = n == 0 ? ENOSPC : errno;
        if (done > 0)
            m_tailDirty = ::ftruncate(m_fd, m_end) != 0;
        errno = error;
        return false;
    }
    m_end += done;
    return true;
}

void WireLog::write(double ms, int comPort, const char *what, const QByteArray &rest)
{
    QByteArray lines;
    if (m_missing > 0)
        lines = lossLine(m_missing, m_firstMissingMs, ms, m_missingReason) + '\n';
    lines += line(ms, comPort, what, rest) + '\n';
    if (writeWhole(lines)) {
        m_missing = 0;
        return;
    }
    const QString reason = systemText(errno);
    if (m_missing++ > 0)
        return;
    m_firstMissingMs = ms;
    m_missingReason = reason;
    // Said once a run: on a nearly full disk short lines fit and long ones do not, and the
    // operator needs one warning, not one per gap. The transcript marks every gap.
    if (!m_failureReported) {
        m_failureReported = true;
        emit writingFailed(TranscriptNotWrittenMessage(m_path, reason));
    }
}
