#pragma once

#include "line/scan/instrumentscan.h"

#include <QWidget>

QT_BEGIN_NAMESPACE
class QComboBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTableWidget;
QT_END_NAMESPACE

// A window that finds who answers where: the lines to probe, each checkable; a scan of the
// checked ones, its progress and its findings filling the table as they come; and Use, which
// asks for the chosen instrument to be opened as a COM port. It opens nothing itself.
class FindInstruments : public QWidget
{
    Q_OBJECT

public:
    enum Column {
        PortColumn,
        BaudColumn,
        FramingColumn,
        AddressColumn,
        TerminatorColumn,
        IdentityColumn
    };
    // The framing column's cells hold their Framing::Protocol under this role.
    static constexpr int ProtocolRole = Qt::UserRole;

    explicit FindInstruments(QWidget *parent = nullptr);
    ~FindInstruments() override;

    QListWidget *targetList() const { return m_targets; }
    QTableWidget *table() const { return m_table; }
    bool running() const;
    // Lists the lines a scan would probe now, all checked, keeping the findings.
    void listTargets();
    // Probes the checked lines; the table starts empty.
    void find();
    void cancel();
    // Asks for the selected instrument to be opened as the chosen COM port.
    void useSelected();

signals:
    // The operator wants `instrument` opened as COM `comPort`, as found.
    void useRequested(int comPort, const FoundInstrument &instrument);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void addFound(const FoundInstrument &instrument);
    void finished(bool cancelled);
    void updateButtons();
    void suggestComPort();

    InstrumentScan *m_scan = nullptr;
    QList<FoundInstrument> m_found;
    QStringList m_skipped;
    QListWidget *m_targets;
    QProgressBar *m_progress;
    QLabel *m_status;
    QTableWidget *m_table;
    QComboBox *m_comPort;
    QPushButton *m_find;
    QPushButton *m_cancel;
    QPushButton *m_use;
};
