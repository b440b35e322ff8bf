#include "windows/forms/captionbutton.h"

#include <QKeyEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

CaptionButton::CaptionButton(QWidget *parent) : QPushButton(parent)
{
    // No button is ever a default: in a dialog, Qt would otherwise make the first one the
    // default and press it on Enter wherever the focus is.
    setAutoDefault(false);
    setDefault(false);
}

void CaptionButton::keyPressEvent(QKeyEvent *event)
{
    // Enter presses the button that has the focus, in either window, and no other.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            && (event->modifiers() & ~Qt::KeypadModifier) == 0) {
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

QRect CaptionButton::captionRect() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    // A little more margin than the style's: the caption breaks where the layout expects it
    // ("Return to" over "Main Form") and never touches the bevel.
    return style()
            ->subElementRect(QStyle::SE_PushButtonContents, &option, this)
            .adjusted(4, 0, -4, 0);
}

void CaptionButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    painter.setPen(palette().color(
            isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    QRect area = captionRect();
    if (isDown())
        area.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
    painter.drawText(area, captionFlags, caption);
}
