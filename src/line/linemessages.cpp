#include "line/linemessages.h"

#include "protocol/escapedbytes.h"

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

QString EscapeOutsideText(const QString &text)
{
    QString doubled = text;
    doubled.replace(u'\\', QStringLiteral("\\\\"));
    return EscapeControlCharacters(doubled);
}

QString QuotedName(const QString &name)
{
    return QString::fromLatin1(EscapedBytes(name.toUtf8()));
}

QString TranscriptNotWrittenMessage(const QString &path, const QString &systemText)
{
    return QStringLiteral("The transcript %1 cannot be written (%2). The run goes on; where lines "
                          "are missing, the transcript says how many once it can be written again.")
            .arg(EscapeOutsideText(path), EscapeOutsideText(systemText));
}

QString PortNotOpenMessage(const QString &consequence, bool reopening)
{
    if (reopening)
        return QStringLiteral("COM port not open: %1. The port will be reopened when the device "
                              "is back.")
                .arg(consequence);
    return QStringLiteral("COM port not open: %1. Press \"Initialize COM Port\" first.")
            .arg(consequence);
}

QString PromptMissingMessage()
{
    return QStringLiteral("Prompt not found. Uncheck Next Msg Prompt box if communicating with a "
                          "non-Velk device");
}

QString InputOverflowMessage(qint64 dropped, qint64 kept)
{
    return QStringLiteral("Input overflowed while no exchange was waiting: the oldest %1 bytes "
                          "were dropped, the newest %2 kept.")
            .arg(dropped)
            .arg(kept);
}

QString PortLabel(int comPort, const QString &binding)
{
    return QStringLiteral("COM %1 (%2)").arg(comPort).arg(EscapeOutsideText(binding));
}

QString DescribeReopenedPort(int comPort, const QString &binding, const QString &settings)
{
    return QStringLiteral("%1 is back: reopened at %2")
            .arg(PortLabel(comPort, binding), EscapeOutsideText(settings));
}

LineFailure DiagnoseDeviceFailure(int comPort, const QString &device,
        QSerialPort::SerialPortError error, const QString &detail)
{
    LineFailure why;
    why.comPort = comPort;
    why.binding = device;
    why.detail = detail;
#ifdef Q_OS_UNIX
    const QByteArray path = device.toLocal8Bit();
    const bool accessDenied = ::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES;
    struct stat info
    {
    };
    // Looking the name up already failing is the reason, not the open.
    if (::stat(path.constData(), &info) != 0) {
        switch (errno) {
        case ENOENT:
            why.error = LineError::NoSuchDevice;
            break;
        case ENAMETOOLONG:
            why.error = LineError::NameTooLong;
            break;
        case ENOTDIR:
            why.error = LineError::PathThroughFile;
            break;
        case ELOOP:
            why.error = LineError::TooManyLinks;
            break;
        case EACCES:
            why.error = LineError::PathNotSearchable;
            break;
        default:
            why.error = LineError::LookupFailed;
            why.detail = QString::fromLocal8Bit(std::strerror(errno));
            break;
        }
        return why;
    }
    if (!S_ISCHR(info.st_mode)) {
        why.error = LineError::NotSerial;
        return why;
    }
    if (accessDenied) {
        why.error = LineError::PermissionDenied;
        if (const passwd *owner = ::getpwuid(info.st_uid))
            why.owner = QString::fromLocal8Bit(owner->pw_name);
        if (const group *owningGroup = ::getgrgid(info.st_gid))
            why.group = QString::fromLocal8Bit(owningGroup->gr_name);
        why.mode = info.st_mode & 07777;
        return why;
    }
#endif
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        why.error = LineError::NoSuchDevice;
        break;
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
        why.error = LineError::InUse;
        break;
    case QSerialPort::UnsupportedOperationError:
        why.error = LineError::NotSerial;
        break;
    default:
        why.error = LineError::Other;
        break;
    }
    return why;
}

namespace {

// After a hang-up the system's error text is often left over from setting up the line
// ("Inappropriate ioctl for device"), or says no more than the sentence itself.
QString lostDetail(const QString &systemText)
{
    static const QStringList kSaysNothingMore = {QString(), QStringLiteral("Success"),
            QStringLiteral("Unknown error"), QStringLiteral("Inappropriate ioctl for device"),
            QStringLiteral("Resource temporarily unavailable"),
            QStringLiteral("Input/output error"), QStringLiteral("No such device"),
            QStringLiteral("No such file or directory")};
    return kSaysNothingMore.contains(systemText)
            ? QString()
            : QStringLiteral(" (%1)").arg(EscapeOutsideText(systemText));
}

QString permissionRemedy(const LineFailure &failure)
{
    // Joining the device's group helps only when that group may read and write it, and joining
    // "root" is never the answer.
    constexpr unsigned kGroupReadWrite = 060;
    const QString group = EscapeOutsideText(failure.group);
    if (!group.isEmpty() && group != u"root" && (failure.mode & kGroupReadWrite) == kGroupReadWrite)
        return QStringLiteral("Permission denied. Add your user to the group \"%1\" (sudo usermod "
                              "-aG %1 $USER), then log in again.")
                .arg(group);
    const QString owner = failure.owner.isEmpty() ? QStringLiteral("its owner")
                                                  : EscapeOutsideText(failure.owner);
    return QStringLiteral("Permission denied: only %1 may read and write this device (group %2, "
                          "mode %3). An administrator has to grant access: a udev rule, or the "
                          "group the distribution uses for serial ports (\"dialout\" on Debian).")
            .arg(owner, group.isEmpty() ? QStringLiteral("unknown") : group)
            .arg(failure.mode, 4, 8, QLatin1Char('0'));
}

// Why the port did not open, after "Cannot open COM n (binding): ".
QString openFailureReason(const LineFailure &failure)
{
    const QString detail = EscapeOutsideText(failure.detail);
    const QString host = EscapeOutsideText(failure.host);
    switch (failure.error) {
    case LineError::NoSuchDevice:
        if (failure.comPort <= 0) // not reached as a COM port
            return QStringLiteral("No such device. Check the cable or adapter.");
        return QStringLiteral("No such device. Check the cable or adapter, or bind COM %1 with "
                              "QUILLON_COM%1.")
                .arg(failure.comPort);
    case LineError::NameTooLong:
        return QStringLiteral("The device name is too long: the system takes at most 255 bytes "
                              "for each part of a path and 4095 in all.");
    case LineError::PathThroughFile:
        return QStringLiteral("A part of the path before the last is not a directory.");
    case LineError::TooManyLinks:
        return QStringLiteral("The path runs through too many symbolic links.");
    case LineError::PathNotSearchable:
        return QStringLiteral("Permission denied on a directory of the path: the device cannot "
                              "even be looked up.");
    case LineError::LookupFailed:
        return detail + QLatin1Char('.');
    case LineError::NotSerial:
        return QStringLiteral("Not a serial device.");
    case LineError::PermissionDenied:
        return permissionRemedy(failure);
    case LineError::InUse:
        return QStringLiteral("The device is in use by another program.");
    case LineError::BadAddress:
        return QStringLiteral("Not a network address: write socket://HOST:PORT or "
                              "rfc2217://HOST:PORT.");
    case LineError::UnknownOption:
        return QStringLiteral("The option \"%1\" is not known: write socket://HOST:PORT or "
                              "rfc2217://HOST:PORT without options.")
                .arg(detail);
    case LineError::HostNotFound:
        return QStringLiteral("Host \"%1\" not found. Check the name, or use the server's "
                              "address.")
                .arg(host);
    case LineError::Refused:
        return QStringLiteral("Connection refused: nothing listens on %1 port %2. Is the serial "
                              "server running?")
                .arg(host)
                .arg(failure.port);
    case LineError::NoAnswer:
        return QStringLiteral("No answer from %1 port %2 within %3 s.")
                .arg(host)
                .arg(failure.port)
                .arg(failure.milliseconds / 1000);
    case LineError::Unreachable:
        return QStringLiteral("%1 cannot be reached from here (%2).")
                .arg(host, detail.isEmpty() ? QStringLiteral("no route") : detail);
    case LineError::ClosedByServer:
        // ser2net, for one, says why ("Port already in use") just before it closes.
        if (detail.isEmpty())
            return QStringLiteral("The server closed the connection at once.");
        return QStringLiteral("The server closed the connection, saying \"%1\".").arg(detail);
    case LineError::DroppedOnProbation:
        return QStringLiteral("The server closed the connection again within %1 s.")
                .arg(failure.milliseconds / 1000.0);
    case LineError::NoInstrumentMatches:
        return QStringLiteral("No instrument answers \"*IDN?\" with a text that matches. Check "
                              "that it is connected and switched on; quillon --scan shows who "
                              "answers where.");
    case LineError::SeveralInstrumentsMatch:
        return QStringLiteral("Several instruments answer \"*IDN?\" with a text that matches: "
                              "%1. Make the pattern narrower, or bind COM %2 to one of them.")
                .arg(detail)
                .arg(failure.comPort);
    case LineError::Lost:
    case LineError::Other:
        break;
    }
    return detail.isEmpty() ? QStringLiteral("Unknown error.") : detail;
}

} // namespace

QString DescribeLineFailure(const LineFailure &failure)
{
    const QString port = PortLabel(failure.comPort, failure.binding);
    if (failure.error == LineError::Lost && failure.reopens)
        return QStringLiteral("%1 was lost: the device went away or hung up%2. The port will be "
                              "reopened when the device is back.")
                .arg(port, lostDetail(failure.detail));
    if (failure.error == LineError::Lost)
        return QStringLiteral("%1 was lost: the device went away or hung up%2. The port is "
                              "closed (--no-reconnect); press \"Initialize COM Port\" when the "
                              "device is back.")
                .arg(port, lostDetail(failure.detail));
    return QStringLiteral("Cannot open %1: %2").arg(port, openFailureReason(failure));
}

QString DescribeOpenFailureReason(const LineFailure &failure)
{
    return openFailureReason(failure);
}
