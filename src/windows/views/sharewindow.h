#pragma once

#include <QWidget>

#include <functional>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;
QT_END_NAMESPACE

class LineAdapter;
class LineSession;
class ShareServer;

// "Share on the Network…": the main window's line served to VISA programs, as `quillon --serve`
// serves it, through the window's own line session. The devices to serve are typed
// (plain, addr:N, packet:N) or taken from the rows Find Instruments found; Start serves them and
// shows every resource string; the clients are listed as they come and go, with their address,
// protocol, device, lock, queries and last command; refusals are said below.
class ShareWindow : public QWidget
{
    Q_OBJECT

public:
    // `foundRows` gives Find Instruments' table, or null while it has not been opened.
    ShareWindow(LineSession *session, std::function<const QTableWidget *()> foundRows,
            QWidget *parent = nullptr);
    ~ShareWindow() override;

    bool serving() const;
    QTableWidget *clientTable() const { return m_clients; }
    QPlainTextEdit *resourceBox() const { return m_resources; }
    QLineEdit *devicesBox() const { return m_devices; }
    // Starts serving what the boxes say, or stops; the status line says what came of it.
    void toggleServing();
    // The devices box takes the instruments of Find Instruments' rows: the interface plain,
    // each address as a packet where it answered so, else addressed.
    void takeFoundRows();

private:
    void start();
    void stop();
    void showClients();
    void notice(const QString &message);

    LineSession *m_session;
    std::function<const QTableWidget *()> m_foundRows;
    LineAdapter *m_adapter = nullptr;
    ShareServer *m_server = nullptr;
    QLineEdit *m_devices;
    QCheckBox *m_prompt;
    QLineEdit *m_listen;
    QLineEdit *m_allow;
    QPushButton *m_take;
    QPushButton *m_start;
    QLabel *m_status;
    QPlainTextEdit *m_resources;
    QTableWidget *m_clients;
    QPlainTextEdit *m_notices;
    // The list is drawn again at most this often, however fast the clients ask.
    QTimer *m_redraw;
};
