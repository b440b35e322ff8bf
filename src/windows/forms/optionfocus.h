#pragma once

#include <QObject>

class QButtonGroup;

// Tabbing into a group of option buttons lands on the selected one, not on whichever member
// comes first in the focus chain; arrow keys still move within the group.
class OptionFocus : public QObject
{
    Q_OBJECT

public:
    static void install(QButtonGroup *group);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit OptionFocus(QButtonGroup *group);
    QButtonGroup *m_group;
};
