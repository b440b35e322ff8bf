// quillon-sim: a simulated RS-232 instrument interface on a pseudo-terminal.

#include "simline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

char g_link[4096];

void removeLinkAndExit(int)
{
    if (g_link[0])
        ::unlink(g_link);
    ::_exit(0);
}

// The termios speed of `baud`, or B0 when a serial line has no such rate.
speed_t lineSpeedOf(int baud)
{
    switch (baud) {
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 9600:
        return B9600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

speed_t speedFor(int baud)
{
    const speed_t speed = lineSpeedOf(baud);
    return speed == B0 ? B9600 : speed;
}

int intOption(const QCommandLineParser &parser, const QString &name, int low, int high)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < low || value > high) {
        std::fprintf(stderr, "quillon-sim: --%s takes a whole number from %d to %d\n",
                qPrintable(name), low, high);
        std::exit(2);
    }
    return value;
}

// "3,7,12": the instruments on the bus, the first the one plain messages go to.
QList<int> addressesOption(const QCommandLineParser &parser)
{
    QList<int> addresses;
    for (const QString &field : parser.value(QStringLiteral("address")).split(u',')) {
        bool ok = false;
        const int address = field.trimmed().toInt(&ok);
        if (!ok || address < 0 || address > 15 || addresses.contains(address)) {
            std::fprintf(stderr,
                    "quillon-sim: --address takes addresses from 0 to 15, each once, separated "
                    "by commas\n");
            std::exit(2);
        }
        addresses << address;
    }
    return addresses;
}

// "11:180,12:40": the instruments that answer late, each with its latency in milliseconds.
QHash<int, int> lateOption(const QCommandLineParser &parser)
{
    QHash<int, int> late;
    if (!parser.isSet(QStringLiteral("late")))
        return late;
    for (const QString &field : parser.value(QStringLiteral("late")).split(u',')) {
        bool addressOk = false, msOk = false;
        const int address = field.section(u':', 0, 0).trimmed().toInt(&addressOk);
        const int ms = field.section(u':', 1).trimmed().toInt(&msOk);
        if (!addressOk || !msOk || address < 0 || address > 15 || ms < 0 || ms > 600000
                || late.contains(address)) {
            std::fprintf(stderr,
                    "quillon-sim: --late takes ADDRESS:MS pairs (address 0 to 15, each once; "
                    "0 to 600000 ms) separated by commas\n");
            std::exit(2);
        }
        late.insert(address, ms);
    }
    return late;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "A simulated RS-232 interface in front of an IEEE 488.2 instrument. It prints the "
            "device path to open, alone on its first line (bind it with QUILLON_COM1=PATH), and "
            "answers until stopped."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
            {"device", "Use this serial device instead of a new pseudo-terminal.", "PATH"},
            {"link", "Also make a symbolic link to the pseudo-terminal here.", "PATH"},
            {"address",
                    "Device address 0-15 (sent as the character 0x30 + N); a list such as "
                    "3,7,12 puts one instrument at each, with its own serial number. Plain "
                    "messages go to the first.",
                    "LIST", "4"},
            {"no-prompt", "Send no \">\" ready-for-next-message prompt."},
            {"addressed-only",
                    "Leave plain messages unanswered: only addressed ones reach an instrument."},
            {"cr-only",
                    "End a message at CR alone; a message sent with LF alone waits for its CR."},
            {"late",
                    "Let the instrument at an address answer this much later than the others, "
                    "as in 11:180 (several pairs separated by commas).",
                    "ADDRESS:MS"},
            {"baud", "Pace output at this rate (10 bits a byte); with --device, the line rate.",
                    "N", "0"},
            {"line-baud",
                    "Understand and answer only while the pseudo-terminal is set to this rate; "
                    "at any other, answer with framing garbage.",
                    "N", "0"},
            {"delay", "Answer latency in milliseconds.", "MS", "0"},
            {"silent", "Read everything, answer nothing."},
            {"bad-checksum", "Send ACK packets with a wrong checksum."},
            {"nak", "Refuse every packet with a NAK."},
            {"garbage", "Answer with random bytes."},
            {"flood", "Answer every message with this many bytes of filler.", "BYTES", "0"},
            {"hangup-after", "Close the line halfway through the answer to message N.", "N", "0"},
            {"seed", "Seed for --garbage.", "N", "1"},
            {"ramp", "Answer MEAS? with 1, 2, 3, ... in the form +1.000000E+00."},
            {"overload-every", "With --ramp, answer every N-th MEAS? with OVLD instead.", "N", "0"},
            {"checksum-ff",
                    "The instrument at this address ends its serial number with the byte that "
                    "makes its *IDN? packet's checksum 0xFF.",
                    "N", "-1"},
            {"trace", "Print every frame received and sent, in hex, with a timestamp."},
    });
    parser.process(app);

    Instrument::Options device;
    const QList<int> addresses = addressesOption(parser);
    device.address = addresses.first();
    device.bus = addresses.mid(1);
    device.prompt = !parser.isSet("no-prompt");
    device.addressedOnly = parser.isSet("addressed-only");
    device.crOnly = parser.isSet("cr-only");
    device.silent = parser.isSet("silent");
    device.badChecksum = parser.isSet("bad-checksum");
    device.alwaysNak = parser.isSet("nak");
    device.garbage = parser.isSet("garbage");
    device.floodBytes = intOption(parser, "flood", 0, 1 << 30);
    device.seed = std::uint32_t(intOption(parser, "seed", 0, INT_MAX));
    device.ramp = parser.isSet("ramp");
    device.overloadEvery = intOption(parser, "overload-every", 0, INT_MAX);
    device.checksumFF = intOption(parser, "checksum-ff", -1, 15);
    SimLine::Timing timing;
    timing.baud = intOption(parser, "baud", 0, 4000000);
    timing.delayMs = intOption(parser, "delay", 0, 600000);
    timing.lateMs = lateOption(parser);
    timing.hangupAfter = intOption(parser, "hangup-after", 0, INT_MAX);
    timing.trace = parser.isSet("trace");
    if (parser.isSet("line-baud")) {
        timing.lineSpeed = lineSpeedOf(intOption(parser, "line-baud", 0, 4000000));
        if (timing.lineSpeed == B0) {
            std::fprintf(stderr,
                    "quillon-sim: --line-baud takes 2400, 4800, 9600, 19200, 38400, 57600 or "
                    "115200\n");
            return 2;
        }
    }

    int lineFd = -1;
    int slaveFd = -1;
    QByteArray path;
    if (parser.isSet("device")) {
        path = parser.value("device").toLocal8Bit();
        lineFd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (lineFd < 0) {
            std::perror(path.constData());
            return 1;
        }
        termios tio{};
        ::tcgetattr(lineFd, &tio);
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, speedFor(timing.baud));
        ::tcsetattr(lineFd, TCSANOW, &tio);
    } else {
        char name[256] = {};
        if (::openpty(&lineFd, &slaveFd, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            return 1;
        }
        path = name;
        ::fcntl(lineFd, F_SETFL, ::fcntl(lineFd, F_GETFL) | O_NONBLOCK);
        // Raw until the application opens it, so nothing is echoed by the terminal layer.
        termios tio{};
        ::tcgetattr(slaveFd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slaveFd, TCSANOW, &tio);
        // The application sets the line's rate on its end, the terminal end.
        timing.settingsFd = slaveFd;
        // slaveFd stays open: the line must survive the application closing and reopening it.
    }

    if (parser.isSet("link")) {
        const QByteArray link = parser.value("link").toLocal8Bit();
        ::unlink(link.constData());
        if (::symlink(path.constData(), link.constData()) != 0) {
            std::perror(link.constData());
            return 1;
        }
        qstrncpy(g_link, link.constData(), sizeof g_link);
    }
    std::signal(SIGINT, removeLinkAndExit);
    std::signal(SIGTERM, removeLinkAndExit);
    std::signal(SIGHUP, removeLinkAndExit);

    std::printf("%s\n", path.constData());
    std::fflush(stdout);

    SimLine line(lineFd, device, timing);
    QObject::connect(&line, &SimLine::hungUp, &app,
            [] { QTimer::singleShot(100, qApp, &QCoreApplication::quit); });
    const int status = app.exec();
    if (slaveFd >= 0)
        ::close(slaveFd);
    removeLinkAndExit(status);
}
