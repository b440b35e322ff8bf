#include "windows/views/findinstruments.h"

#include "line/linemessages.h"
#include "line/port/portbinding.h"
#include "line/scan/identitysearch.h"
#include "protocol/framing.h"
#include "windows/artwork.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QShowEvent>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

// Which line each entry stands for; its text is escaped and may be cut short.
constexpr int BindingRole = Qt::UserRole;
constexpr int ByIdRole = Qt::UserRole + 1;

QString framingName(Framing::Protocol protocol)
{
    return QString::fromLatin1(WordsFor(protocol).caption).trimmed();
}

QTableWidgetItem *cell(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

} // namespace

FindInstruments::FindInstruments(QWidget *parent)
    : QWidget(parent, Qt::Window),
      m_targets(new QListWidget(this)),
      m_progress(new QProgressBar(this)),
      m_status(new QLabel(this)),
      m_table(new QTableWidget(0, IdentityColumn + 1, this)),
      m_comPort(new QComboBox(this)),
      m_find(new QPushButton(QStringLiteral("&Find"), this)),
      m_cancel(new QPushButton(QStringLiteral("Cancel"), this)),
      m_use(new QPushButton(QStringLiteral("&Use"), this))
{
    setWindowTitle(QStringLiteral("Quillon Find Instruments"));
    setWindowIcon(QuillonWindowIcon());
    setAccessibleName(QStringLiteral("Find Instruments"));
    setObjectName(QStringLiteral("findInstruments"));
    resize(760, 480);

    m_find->setObjectName(QStringLiteral("find"));
    m_cancel->setObjectName(QStringLiteral("cancel"));
    m_use->setObjectName(QStringLiteral("use"));
    m_comPort->setObjectName(QStringLiteral("useAs"));
    auto *targetsLabel = new QLabel(QStringLiteral("&Ports to probe:"), this);
    targetsLabel->setBuddy(m_targets);
    m_targets->setAccessibleName(QStringLiteral("Ports to probe"));
    m_targets->setMaximumHeight(120);
    m_progress->setAccessibleName(QStringLiteral("Progress"));
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);

    m_table->setAccessibleName(QStringLiteral("Instruments found"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Port"), QStringLiteral("Baud"),
            QStringLiteral("Framing"), QStringLiteral("Address"), QStringLiteral("Terminator"),
            QStringLiteral("Identity")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setColumnWidth(PortColumn, 200);

    for (int n = 1; n <= Wire::ComPorts; ++n)
        m_comPort->addItem(QStringLiteral("COM %1").arg(n), n);
    m_comPort->setAccessibleName(QStringLiteral("Use as"));
    auto *useAs = new QLabel(QStringLiteral("&as"), this);
    useAs->setBuddy(m_comPort);
    m_use->setToolTip(QStringLiteral(
            "Bind the chosen COM port to this line for this run, open it at the rate found and "
            "set the main window's framing, address and line end"));
    m_cancel->setToolTip(QStringLiteral("Stop every probe and close every line"));

    auto *progress = new QHBoxLayout;
    progress->addWidget(m_find);
    progress->addWidget(m_progress, 1);
    progress->addWidget(m_cancel);
    auto *use = new QHBoxLayout;
    use->addWidget(m_status, 1);
    use->addWidget(m_use);
    use->addWidget(useAs);
    use->addWidget(m_comPort);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(targetsLabel);
    layout->addWidget(m_targets);
    layout->addLayout(progress);
    layout->addWidget(m_table, 1);
    layout->addLayout(use);

    connect(m_find, &QPushButton::clicked, this, &FindInstruments::find);
    connect(m_cancel, &QPushButton::clicked, this, &FindInstruments::cancel);
    connect(m_use, &QPushButton::clicked, this, &FindInstruments::useSelected);
    connect(m_table, &QTableWidget::itemSelectionChanged, this, [this] {
        suggestComPort();
        updateButtons();
    });
    connect(m_table, &QTableWidget::cellDoubleClicked, this, &FindInstruments::useSelected);
    connect(m_targets, &QListWidget::itemChanged, this, &FindInstruments::updateButtons);

    listTargets();
}

FindInstruments::~FindInstruments()
{
    cancel();
}

bool FindInstruments::running() const
{
    return m_scan != nullptr;
}

void FindInstruments::listTargets()
{
    QSignalBlocker quiet(m_targets);
    m_targets->clear();
    for (const ScanTarget &target : InstrumentScan::defaultTargets()) {
        auto *item = new QListWidgetItem(EscapeOutsideText(target.binding), m_targets);
        item->setData(BindingRole, target.binding);
        item->setData(ByIdRole, target.byId);
        if (!target.byId.isEmpty())
            item->setToolTip(EscapeOutsideText(target.byId));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    updateButtons();
}

void FindInstruments::find()
{
    cancel();
    QList<ScanTarget> targets;
    for (int row = 0; row < m_targets->count(); ++row) {
        const QListWidgetItem *item = m_targets->item(row);
        if (item->checkState() == Qt::Checked)
            targets << ScanTarget{
                    item->data(BindingRole).toString(), item->data(ByIdRole).toString()};
    }
    m_found.clear();
    m_skipped.clear();
    m_table->setRowCount(0);
    m_progress->setRange(0, qMax<int>(1, int(targets.size())));
    m_progress->setValue(0);
    m_status->setText(QStringLiteral("Probing…"));

    m_scan = new InstrumentScan(this);
    connect(m_scan, &InstrumentScan::instrumentFound, this, &FindInstruments::addFound);
    connect(m_scan, &InstrumentScan::skipped, this,
            [this](const QString &binding, const QString &reason) {
                m_skipped << QStringLiteral("%1: %2").arg(
                        EscapeOutsideText(binding), EscapeOutsideText(reason));
            });
    connect(m_scan, &InstrumentScan::progress, this, [this](int done, int total) {
        m_progress->setRange(0, qMax(1, total));
        m_progress->setValue(qMin(done, qMax(1, total)));
    });
    connect(m_scan, &InstrumentScan::finished, this, &FindInstruments::finished);
    updateButtons();
    m_scan->start(targets);
}

void FindInstruments::cancel()
{
    if (m_scan)
        m_scan->cancel(); // finished(true) follows at once
}

void FindInstruments::addFound(const FoundInstrument &instrument)
{
    m_found << instrument;
    const int row = m_table->rowCount();
    m_table->insertRow(row);
    m_table->setItem(row, PortColumn, cell(EscapeOutsideText(instrument.binding)));
    m_table->setItem(row, BaudColumn,
            cell(instrument.baudRate ? QString::number(*instrument.baudRate)
                                     : IdentitySearch::describeRate(std::nullopt)));
    m_table->setItem(row, FramingColumn, cell(framingName(instrument.protocol)));
    // Read back by the Share window, which takes the rows found for the devices it serves.
    m_table->item(row, FramingColumn)->setData(ProtocolRole, int(instrument.protocol));
    m_table->setItem(row, AddressColumn,
            cell(instrument.address < 0 ? QString() : QString::number(instrument.address)));
    m_table->setItem(row, TerminatorColumn, cell(instrument.terminatorName()));
    m_table->setItem(
            row, IdentityColumn, cell(EscapeOutsideText(QString::fromLatin1(instrument.idn))));
    if (!instrument.byId.isEmpty())
        m_table->item(row, PortColumn)->setToolTip(EscapeOutsideText(instrument.byId));
    if (m_table->currentRow() < 0)
        m_table->selectRow(row);
}

void FindInstruments::finished(bool cancelled)
{
    if (!m_scan)
        return;
    m_scan->disconnect(this);
    m_scan->deleteLater();
    m_scan = nullptr;
    // An instrument that answers in several framings is one instrument.
    QSet<QPair<QString, QByteArray>> instruments;
    for (const FoundInstrument &instrument : std::as_const(m_found))
        instruments.insert({instrument.binding, instrument.idn});
    QString status = cancelled ? QStringLiteral("Cancelled. ") : QString();
    status += QStringLiteral("%1 %2 found")
                      .arg(instruments.size())
                      .arg(instruments.size() == 1 ? QStringLiteral("instrument")
                                                   : QStringLiteral("instruments"));
    if (m_found.size() > instruments.size())
        status += QStringLiteral(", %1 answers").arg(m_found.size());
    status += u'.';
    // Each reason is a sentence of its own.
    if (!m_skipped.isEmpty())
        status += QStringLiteral(" Not probed: ") + m_skipped.join(u' ');
    m_status->setText(status);
    if (!cancelled)
        m_progress->setValue(m_progress->maximum());
    updateButtons();
}

void FindInstruments::useSelected()
{
    const int row = m_table->currentRow();
    if (running() || row < 0 || row >= m_found.size())
        return;
    emit useRequested(m_comPort->currentData().toInt(), m_found.at(row));
}

void FindInstruments::updateButtons()
{
    bool anyChecked = false;
    for (int row = 0; row < m_targets->count(); ++row)
        anyChecked = anyChecked || m_targets->item(row)->checkState() == Qt::Checked;
    m_find->setEnabled(!running() && anyChecked);
    m_cancel->setEnabled(running());
    m_targets->setEnabled(!running());
    // The lines the scan holds are closed only once it has ended.
    m_use->setEnabled(!running() && m_table->currentRow() >= 0);
    m_comPort->setEnabled(!running());
}

void FindInstruments::suggestComPort()
{
    // The COM port the chosen line is bound to already, if any.
    const int row = m_table->currentRow();
    if (row >= 0 && row < m_found.size())
        for (int n = 1; n <= Wire::ComPorts; ++n)
            if (DevicePathForComPort(n) == m_found.at(row).binding)
                m_comPort->setCurrentIndex(n - 1);
}

void FindInstruments::showEvent(QShowEvent *event)
{
    // Adapters come and go between showings.
    if (!running())
        listTargets();
    QWidget::showEvent(event);
}

void FindInstruments::closeEvent(QCloseEvent *event)
{
    cancel(); // nothing probes a line the operator no longer looks at
    QWidget::closeEvent(event);
}
