#include "linemessages.h"

#include "serialcontrol.h"

#include <QStringList>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

QString EscapeControlCharacters(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        const bool breaksOrReorders = code < 0x20 || (code >= 0x7F && code <= 0x9F)
                || code == 0x2028 || code == 0x2029 || (code >= 0x202A && code <= 0x202E)
                || (code >= 0x2066 && code <= 0x2069) || code == 0x200E || code == 0x200F
                || code == 0xFEFF;
        if (!breaksOrReorders)
            out += c;
        else if (code == u'\n')
            out += QStringLiteral("\\n");
        else if (code == u'\r')
            out += QStringLiteral("\\r");
        else if (code == u'\t')
            out += QStringLiteral("\\t");
        else if (code <= 0xFF)
            out += QStringLiteral("\\x")
                    + QString::number(code, 16).rightJustified(2, u'0').toUpper();
        else
            out += QStringLiteral("\\u{") + QString::number(code, 16).toUpper() + u'}';
    }
    return out;
}

QString TranscriptNotWrittenMessage(const QString &path, const QString &systemText)
{
    return QStringLiteral("The transcript %1 cannot be written (%2). The run goes on; where lines "
                          "are missing, the transcript says how many once it can be written again.")
            .arg(EscapeControlCharacters(path), EscapeControlCharacters(systemText));
}

OpenFailure DiagnoseOpenFailure(int comPort, const QString &device,
        QSerialPort::SerialPortError error, const QString &detail)
{
    OpenFailure why;
    why.comPort = comPort;
    why.device = device;
    why.error = error;
    why.detail = detail;
#ifdef Q_OS_UNIX
    const QByteArray path = device.toLocal8Bit();
    why.accessDenied = ::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES;
    struct stat info
    {
    };
    if (::stat(path.constData(), &info) != 0) {
        why.systemError = errno;
    } else {
        why.characterDevice = S_ISCHR(info.st_mode);
        if (const passwd *owner = ::getpwuid(info.st_uid))
            why.owner = QString::fromLocal8Bit(owner->pw_name);
        if (const group *owningGroup = ::getgrgid(info.st_gid))
            why.group = QString::fromLocal8Bit(owningGroup->gr_name);
        why.mode = info.st_mode & 07777;
    }
#endif
    return why;
}

QString PortNotOpenMessage(const QString &consequence)
{
    return QStringLiteral("COM port not open: %1. Press \"Initialize COM Port\" first.")
            .arg(consequence);
}

QString PromptMissingMessage()
{
    return QStringLiteral("Prompt not found. Uncheck Next Msg Prompt box if communicating with a "
                          "non-Velk device");
}

QString InputOverflowMessage(qint64 dropped)
{
    return QStringLiteral("Input overflowed while no exchange was waiting: the oldest %1 bytes "
                          "were dropped, the newest %2 kept.")
            .arg(dropped)
            .arg(SerialControl::IdleInputLimit);
}

QString DescribeLostPort(const QString &portLabel, const QString &systemText)
{
    // After a hang-up the system's error text is often left over from setting up the line
    // ("Inappropriate ioctl for device"), or says no more than the sentence itself.
    static const QStringList kSaysNothingMore = {QString(), QStringLiteral("Success"),
            QStringLiteral("Unknown error"), QStringLiteral("Inappropriate ioctl for device"),
            QStringLiteral("Resource temporarily unavailable"),
            QStringLiteral("Input/output error"), QStringLiteral("No such device"),
            QStringLiteral("No such file or directory")};
    const QString detail = kSaysNothingMore.contains(systemText)
            ? QString()
            : QStringLiteral(" (%1)").arg(systemText);
    return QStringLiteral("%1 was lost: the device went away or hung up%2. The port is closed; "
                          "press \"Initialize COM Port\" when the device is back.")
            .arg(EscapeControlCharacters(portLabel), EscapeControlCharacters(detail));
}

QString DescribeOpenFailure(const OpenFailure &failure)
{
    const QString where = QStringLiteral("Cannot open COM %1 (%2): ")
                                  .arg(failure.comPort)
                                  .arg(EscapeControlCharacters(failure.device));
    const QString noSuchDevice = QStringLiteral("No such device. Check the cable or adapter, or "
                                                "bind COM %1 with QUILLON_COM%1.")
                                         .arg(failure.comPort);
#ifdef Q_OS_UNIX
    // Looking the name up already failed: that, not the open, is the reason.
    switch (failure.systemError) {
    case 0:
        break;
    case ENOENT:
        return where + noSuchDevice;
    case ENAMETOOLONG:
        return where
                + QStringLiteral("The device name is too long: the system takes at most 255 "
                                 "bytes for each part of a path and 4095 in all.");
    case ENOTDIR:
        return where + QStringLiteral("A part of the path before the last is not a directory.");
    case ELOOP:
        return where + QStringLiteral("The path runs through too many symbolic links.");
    case EACCES:
        return where
                + QStringLiteral("Permission denied on a directory of the path: the device "
                                 "cannot even be looked up.");
    default:
        return where
                + EscapeControlCharacters(
                        QString::fromLocal8Bit(std::strerror(failure.systemError)))
                + QLatin1Char('.');
    }
    if (!failure.characterDevice)
        return where + QStringLiteral("Not a serial device.");
#endif
    if (failure.accessDenied) {
        // Joining the device's group helps only when that group may read and write it, and
        // joining "root" is never the answer.
        constexpr unsigned kGroupReadWrite = 060;
        if (!failure.group.isEmpty() && failure.group != u"root"
                && (failure.mode & kGroupReadWrite) == kGroupReadWrite)
            return where
                    + QStringLiteral("Permission denied. Add your user to the group \"%1\" "
                                     "(sudo usermod -aG %1 $USER), then log in again.")
                              .arg(failure.group);
        const QString owner = failure.owner.isEmpty() ? QStringLiteral("its owner") : failure.owner;
        const QString group = failure.group.isEmpty() ? QStringLiteral("unknown") : failure.group;
        return where
                + QStringLiteral("Permission denied: only %1 may read and write this device "
                                 "(group %2, mode %3). An administrator has to grant access: a "
                                 "udev rule, or the group the distribution uses for serial ports "
                                 "(\"dialout\" on Debian).")
                          .arg(owner, group)
                          .arg(failure.mode, 4, 8, QLatin1Char('0'));
    }
    switch (failure.error) {
    case QSerialPort::DeviceNotFoundError:
        return where + noSuchDevice;
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
        return where + QStringLiteral("The device is in use by another program.");
    case QSerialPort::UnsupportedOperationError:
        return where + QStringLiteral("Not a serial device.");
    default:
        return where
                + (failure.detail.isEmpty() ? QStringLiteral("Unknown error.")
                                            : EscapeControlCharacters(failure.detail));
    }
}
