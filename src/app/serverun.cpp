#include "app/serverun.h"

#include "app/commandline.h"
#include "line/linemessages.h"
#include "line/port/portbinding.h"
#include "line/port/serialcontrol.h"
#include "line/scan/identitysearch.h"
#include "line/scan/instrumentscan.h"
#include "line/session/linesession.h"
#include "protocol/numericvalue.h"
#include "share/lineadapter.h"
#include "share/shareclients.h"
#include "share/shareserver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMap>
#include <QSocketNotifier>

#include <csignal>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_quitPipe[2] = {-1, -1};

void askToQuit(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_quitPipe[1], &byte, 1);
}

void print(std::FILE *to, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fflush(to);
}

struct ScanResult
{
    QList<ServedDevice> devices;
    std::optional<qint32> baudRate; // none where the line's rate is not ours to set
};

// What a scan of `binding` finds: the interface plain, each address in the framing that
// answered (as packets where both did: their checksum catches what the line garbles), at the
// rate the line answered at.
std::optional<ScanResult> scanLine(const QString &binding, std::FILE *err)
{
    print(err,
            QStringLiteral("quillon: scanning %1 for instruments\n")
                    .arg(EscapeOutsideText(binding)));
    InstrumentScan scan;
    QObject::connect(&scan, &InstrumentScan::skipped, [err](const QString &, const QString &why) {
        print(err, QStringLiteral("quillon: %1\n").arg(why));
    });
    QObject::connect(&scan, &InstrumentScan::finished, qApp, &QCoreApplication::quit);
    scan.start({ScanTarget{binding, {}, 1}});
    if (scan.running())
        QCoreApplication::exec();

    ScanResult result;
    QMap<int, ServedDevice> byAddress;
    for (const FoundInstrument &found : scan.found()) {
        result.baudRate = found.baudRate;
        Framing framing;
        framing.protocol = found.protocol;
        if (found.address >= 0)
            framing.address = AddressCharacters(found.address);
        // The line end the scan found the line to want, as the window's Use sets it.
        if (!found.terminator.isEmpty()) {
            framing.addCR = found.terminator.contains(Wire::CR);
            framing.addLF = found.terminator.contains(Wire::LF);
        }
        ServedDevice device;
        device.framing.framing = framing;
        device.name = ServedDevice::nameFor(framing);
        const int key = found.address; // -1 for the interface itself
        if (!byAddress.contains(key) || found.protocol == Framing::Protocol::Packet)
            byAddress.insert(key, device);
    }
    if (byAddress.isEmpty())
        return std::nullopt;
    result.devices = byAddress.values();
    return result;
}

// The interface's '>' after a message, which a scan does not report, looked for once: without
// it, every exchange would wait its second for a prompt that never comes.
bool interfacePrompts(LineSession &session, const ServedDevice &device)
{
    ExchangeSettings settings;
    settings.framing = device.framing.framing;
    settings.addressSet = true;
    settings.settleSeconds = 0;
    LineSession::Turn turn(session);
    const SendOutcome outcome
            = session.send(settings, QStringLiteral("*IDN?"), ExchangeOrigin::Scan);
    return !outcome.reply || !outcome.reply->wait.promptMissing;
}

// Opens the session's line, waiting as a command does while a network line or a binding by
// identity is reached; true when it is open.
bool openLine(LineSession &session)
{
    if (!session.open() && session.port().state() == SerialControl::State::Opening) {
        QEventLoop opening;
        QObject::connect(&session.port(), &SerialControl::stateChanged, &opening, [&] {
            if (session.port().state() != SerialControl::State::Opening)
                opening.quit();
        });
        opening.exec();
    }
    return session.port().PortOpen();
}

} // namespace

int RunServe(const CommandLine &commandLine, LineRecorder *recorder, std::FILE *out, std::FILE *err)
{
    const QString binding = DevicePathForComPort(1);
    QList<ServedDevice> devices;
    QString lineSettings = commandLine.serveSettings.isEmpty() ? QStringLiteral("9600,N,8,1")
                                                               : commandLine.serveSettings;
    const bool scanned = commandLine.servedDevices.isEmpty();
    if (scanned) {
        const auto found = scanLine(binding, err);
        if (!found) {
            print(err,
                    QStringLiteral("quillon: nothing answered *IDN? on %1; name the devices "
                                   "with --device to serve them anyway\n")
                            .arg(EscapeOutsideText(binding)));
            return 1;
        }
        devices = found->devices;
        if (found->baudRate)
            lineSettings = QStringLiteral("%1,N,8,1").arg(*found->baudRate);
    } else {
        for (const QString &named : commandLine.servedDevices) {
            ServedDevice device = *ServedDevice::parse(named, nullptr);
            device.framing.prompt = commandLine.servePrompt;
            if (std::none_of(devices.cbegin(), devices.cend(),
                        [&](const ServedDevice &other) { return other.name == device.name; }))
                devices << device;
        }
    }

    IdentitySearch identitySearch;
    LineSessionOptions options;
    options.comPort = 1;
    options.settings = lineSettings;
    options.reopen = commandLine.reopen;
    options.recorder = recorder;
    options.identityResolver = &identitySearch;
    LineSession session(options);
    SerialControl &line = session.port();
    QObject::connect(&line, &SerialControl::failure, [err](const QString &message) {
        print(err, QStringLiteral("quillon: %1\n").arg(message));
    });
    QObject::connect(&line, &SerialControl::notice, [err](const QString &message) {
        print(err, QStringLiteral("quillon: %1\n").arg(message));
    });
    if (!openLine(session))
        return 1;
    if (!line.openNotice().isEmpty())
        print(err, QStringLiteral("quillon: %1\n").arg(line.openNotice()));
    if (scanned && !interfacePrompts(session, devices.first()))
        for (ServedDevice &device : devices)
            device.framing.prompt = false;

    ShareSettings settings;
    if (!commandLine.listen.isEmpty())
        settings.listen = QHostAddress(commandLine.listen);
    for (const QString &network : commandLine.allowed)
        settings.allowed << *ShareSettings::parseNetwork(network, nullptr);
    if (commandLine.vxi11Port >= 0)
        settings.corePort = quint16(commandLine.vxi11Port);
    if (commandLine.rawPort >= 0)
        settings.firstRawPort = quint16(commandLine.rawPort);
    if (commandLine.maxClients > 0)
        settings.limits.maxClients = commandLine.maxClients;
    if (commandLine.idleSeconds > 0)
        settings.limits.idle = std::chrono::seconds(commandLine.idleSeconds);

    LineAdapter shared(session);
    ShareServer server(shared, devices, settings);
    QObject::connect(&server, &ShareServer::notice, [err](const QString &message) {
        print(err, QStringLiteral("quillon: %1\n").arg(message));
    });
    QString problem;
    if (!server.start(&problem)) {
        print(err, QStringLiteral("quillon: %1\n").arg(problem));
        return 2;
    }
    print(err,
            QStringLiteral("quillon: serving COM 1 (%1 at %2) to clients on %3\n")
                    .arg(EscapeOutsideText(binding), lineSettings, settings.listen.toString()));
    for (const QString &report : server.discoveryReport())
        print(err, QStringLiteral("quillon: %1\n").arg(report));
    // Alone on their lines, so a script takes them as they are.
    print(out, server.resourceStrings().join(u'\n') + u'\n');

    // SIGTERM, SIGINT and SIGHUP end the serving the way the event loop ends, so the
    // portmapper registration and the port's lock are given back.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_quitPipe) == 0) {
        auto *quit = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, &server);
        QObject::connect(quit, &QSocketNotifier::activated, qApp, &QCoreApplication::quit);
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            std::signal(signal, askToQuit);
    }
    QCoreApplication::exec();
    server.stop();
    session.close();
    return 0;
}
