#include "windows/forms/optionfocus.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QFocusEvent>

OptionFocus::OptionFocus(QButtonGroup *group) : QObject(group), m_group(group) { }

void OptionFocus::install(QButtonGroup *group)
{
    auto *filter = new OptionFocus(group);
    for (QAbstractButton *button : group->buttons())
        button->installEventFilter(filter);
}

bool OptionFocus::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusIn) {
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        QAbstractButton *selected = m_group->checkedButton();
        if ((reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason) && selected
                && selected != watched && selected->isEnabled())
            selected->setFocus(reason);
    }
    return false;
}
