#include "windows/views/sharewindow.h"

#include "line/linemessages.h"
#include "line/port/serialcontrol.h"
#include "line/session/linesession.h"
#include "protocol/framing.h"
#include "share/lineadapter.h"
#include "share/shareclients.h"
#include "share/shareserver.h"
#include "windows/artwork.h"
#include "windows/views/findinstruments.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QTableWidgetItem *shareCell(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

} // namespace

ShareWindow::ShareWindow(
        LineSession *session, std::function<const QTableWidget *()> foundRows, QWidget *parent)
    : QWidget(parent, Qt::Window),
      m_session(session),
      m_foundRows(std::move(foundRows)),
      m_devices(new QLineEdit(
              QString::fromLatin1(WordsFor(Framing::Protocol::Off).deviceWord), this)),
      m_prompt(new QCheckBox(QStringLiteral("The interface sends the \">\" &prompt"), this)),
      m_listen(new QLineEdit(QStringLiteral("127.0.0.1"), this)),
      m_allow(new QLineEdit(this)),
      m_take(new QPushButton(QStringLiteral("&Take Find Instruments' Rows"), this)),
      m_start(new QPushButton(QStringLiteral("&Start Serving"), this)),
      m_status(new QLabel(this)),
      m_resources(new QPlainTextEdit(this)),
      m_clients(new QTableWidget(0, 6, this)),
      m_notices(new QPlainTextEdit(this)),
      m_redraw(new QTimer(this))
{
    setWindowTitle(QStringLiteral("Quillon Share on the Network"));
    setWindowIcon(QuillonWindowIcon());
    setAccessibleName(QStringLiteral("Share on the Network"));
    setObjectName(QStringLiteral("shareWindow"));
    resize(720, 520);

    m_devices->setObjectName(QStringLiteral("devices"));
    m_devices->setAccessibleName(QStringLiteral("Devices to serve"));
    m_devices->setToolTip(QStringLiteral("plain (inst0), addr:N or packet:N (gpib0,N), N 0 to 15, "
                                         "separated by blanks or commas"));
    m_prompt->setChecked(true);
    m_listen->setAccessibleName(QStringLiteral("Listen on"));
    m_allow->setAccessibleName(QStringLiteral("Client networks allowed"));
    m_allow->setPlaceholderText(QStringLiteral("192.168.1.0/24 (needed for another address)"));
    m_start->setObjectName(QStringLiteral("start"));
    m_take->setObjectName(QStringLiteral("take"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_status->setAccessibleName(QStringLiteral("Status"));
    m_resources->setReadOnly(true);
    m_resources->setAccessibleName(QStringLiteral("Resource strings"));
    m_resources->setMaximumHeight(110);
    m_notices->setReadOnly(true);
    m_notices->setAccessibleName(QStringLiteral("Refusals"));
    m_notices->setMaximumBlockCount(200);
    m_notices->setMaximumHeight(80);
    m_clients->setObjectName(QStringLiteral("clients"));
    m_clients->setAccessibleName(QStringLiteral("Clients"));
    m_clients->setHorizontalHeaderLabels({QStringLiteral("Address"), QStringLiteral("Protocol"),
            QStringLiteral("Device"), QStringLiteral("Lock"), QStringLiteral("Queries"),
            QStringLiteral("Last command")});
    m_clients->horizontalHeader()->setStretchLastSection(true);
    m_clients->verticalHeader()->setVisible(false);
    m_clients->setSelectionBehavior(QAbstractItemView::SelectRows);

    auto *form = new QFormLayout;
    auto *devices = new QHBoxLayout;
    devices->addWidget(m_devices, 1);
    devices->addWidget(m_take);
    // A row of a layout gets a label without a buddy, which would show its '&' as it is.
    auto *devicesLabel = new QLabel(QStringLiteral("&Devices:"), this);
    devicesLabel->setBuddy(m_devices);
    form->addRow(devicesLabel, devices);
    form->addRow(QString(), m_prompt);
    form->addRow(QStringLiteral("&Listen on:"), m_listen);
    form->addRow(QStringLiteral("&Allow clients from:"), m_allow);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_start);
    buttons->addWidget(m_status, 1);
    layout->addLayout(buttons);
    layout->addWidget(new QLabel(QStringLiteral("Resource strings:"), this));
    layout->addWidget(m_resources);
    auto *clientsLabel = new QLabel(QStringLiteral("&Clients:"), this);
    clientsLabel->setBuddy(m_clients);
    layout->addWidget(clientsLabel);
    layout->addWidget(m_clients, 1);
    layout->addWidget(m_notices);

    m_redraw->setSingleShot(true);
    m_redraw->setInterval(200);
    connect(m_redraw, &QTimer::timeout, this, &ShareWindow::showClients);
    connect(m_start, &QPushButton::clicked, this, &ShareWindow::toggleServing);
    connect(m_take, &QPushButton::clicked, this, &ShareWindow::takeFoundRows);
    m_status->setText(QStringLiteral("Not serving."));
}

ShareWindow::~ShareWindow()
{
    stop();
}

bool ShareWindow::serving() const
{
    return m_server && m_server->serving();
}

void ShareWindow::toggleServing()
{
    if (serving())
        stop();
    else
        start();
}

void ShareWindow::start()
{
    QList<ServedDevice> devices;
    QString problem;
    for (const QString &word : m_devices->text().split(
                 QRegularExpression(QStringLiteral("[\\s,;]+")), Qt::SkipEmptyParts)) {
        std::optional<ServedDevice> device = ServedDevice::parse(word, &problem);
        if (!device) {
            m_status->setText(problem + u'.');
            return;
        }
        device->framing.prompt = m_prompt->isChecked();
        if (std::none_of(devices.cbegin(), devices.cend(),
                    [&](const ServedDevice &other) { return other.name == device->name; }))
            devices << *device;
    }
    if (devices.isEmpty()) {
        m_status->setText(QStringLiteral("Name a device to serve: plain, addr:N or packet:N."));
        return;
    }
    ShareSettings settings;
    settings.listen = QHostAddress(m_listen->text().trimmed());
    if (settings.listen.isNull()) {
        m_status->setText(QStringLiteral("'%1' is no address of this machine.")
                                  .arg(EscapeOutsideText(m_listen->text())));
        return;
    }
    for (const QString &word : m_allow->text().split(
                 QRegularExpression(QStringLiteral("[\\s,;]+")), Qt::SkipEmptyParts)) {
        const auto network = ShareSettings::parseNetwork(word, &problem);
        if (!network) {
            m_status->setText(problem + u'.');
            return;
        }
        settings.allowed << *network;
    }
    if (!settings.listen.isLoopback() && settings.allowed.isEmpty()) {
        m_status->setText(QStringLiteral("%1 reaches the network: name the clients' networks "
                                         "under Allow clients from.")
                                  .arg(settings.listen.toString()));
        return;
    }
    if (!m_session->port().PortOpen()) {
        m_status->setText(QStringLiteral("The port is not open: press Initialize first."));
        return;
    }
    m_adapter = new LineAdapter(*m_session, this);
    m_server = new ShareServer(*m_adapter, devices, settings, this);
    connect(m_server, &ShareServer::notice, this, &ShareWindow::notice);
    connect(&m_server->clients(), &ShareClients::changed, this, [this] {
        if (!m_redraw->isActive())
            m_redraw->start();
    });
    if (!m_server->start(&problem)) {
        stop();
        m_status->setText(problem);
        return;
    }
    m_resources->setPlainText(m_server->resourceStrings().join(u'\n'));
    m_status->setText(QStringLiteral("Serving %1 devices. ").arg(devices.size())
            + m_server->discoveryReport().join(u' '));
    m_start->setText(QStringLiteral("&Stop Serving"));
    for (QWidget *box : {static_cast<QWidget *>(m_devices), static_cast<QWidget *>(m_prompt),
                 static_cast<QWidget *>(m_listen), static_cast<QWidget *>(m_allow),
                 static_cast<QWidget *>(m_take)})
        box->setEnabled(false);
    showClients();
}

void ShareWindow::stop()
{
    // A client's exchange may be waiting on the line below this call: both go once it is back.
    if (m_server) {
        m_server->stop();
        // Nothing it says later reaches this window, which may be going.
        m_server->clients().disconnect(this);
        m_server->disconnect(this);
        m_server->deleteLater();
        m_server = nullptr;
    }
    if (m_adapter) {
        m_adapter->deleteLater();
        m_adapter = nullptr;
    }
    m_resources->clear();
    m_start->setText(QStringLiteral("&Start Serving"));
    m_status->setText(QStringLiteral("Not serving."));
    for (QWidget *box : {static_cast<QWidget *>(m_devices), static_cast<QWidget *>(m_prompt),
                 static_cast<QWidget *>(m_listen), static_cast<QWidget *>(m_allow),
                 static_cast<QWidget *>(m_take)})
        box->setEnabled(true);
    showClients();
}

void ShareWindow::takeFoundRows()
{
    const QTableWidget *found = m_foundRows ? m_foundRows() : nullptr;
    if (!found || found->rowCount() == 0) {
        m_status->setText(QStringLiteral("Find Instruments has found nothing yet."));
        return;
    }
    QMap<int, QString> byAddress; // -1: the interface itself
    for (int row = 0; row < found->rowCount(); ++row) {
        const QTableWidgetItem *framing = found->item(row, FindInstruments::FramingColumn);
        const QTableWidgetItem *addressCell = found->item(row, FindInstruments::AddressColumn);
        if (!framing)
            continue;
        const auto protocol
                = Framing::Protocol(framing->data(FindInstruments::ProtocolRole).toInt());
        bool numbered = false;
        const int address = addressCell ? addressCell->text().toInt(&numbered) : -1;
        const QString device = QString::fromLatin1(WordsFor(protocol).deviceWord);
        // A packet where both answered: its checksum catches what the line garbles.
        if (numbered && protocol != Framing::Protocol::Off
                && (protocol == Framing::Protocol::Packet || !byAddress.contains(address)))
            byAddress.insert(address, QStringLiteral("%1:%2").arg(device).arg(address));
        else if (!numbered)
            byAddress.insert(-1, device);
    }
    m_devices->setText(byAddress.values().join(u' '));
    m_status->setText(
            QStringLiteral("Taken from Find Instruments: %1 devices.").arg(byAddress.size()));
}

void ShareWindow::showClients()
{
    const QList<ShareClient> clients
            = m_server ? m_server->clients().clients() : QList<ShareClient>();
    m_clients->setRowCount(int(clients.size()));
    for (int row = 0; row < int(clients.size()); ++row) {
        const ShareClient &client = clients.at(row);
        m_clients->setItem(row, 0, shareCell(client.asker.address));
        m_clients->setItem(row, 1, shareCell(client.asker.protocol));
        m_clients->setItem(row, 2, shareCell(client.asker.device));
        m_clients->setItem(
                row, 3, shareCell(client.locked ? QStringLiteral("holds the line") : QString()));
        m_clients->setItem(row, 4, shareCell(QString::number(client.queries)));
        // Whatever a client sent is shown escaped: it cannot draw anything of its own here.
        m_clients->setItem(
                row, 5, shareCell(EscapeOutsideText(QString::fromLatin1(client.lastCommand))));
    }
}

void ShareWindow::notice(const QString &message)
{
    m_notices->appendPlainText(message);
}
