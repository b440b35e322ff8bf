#pragma once

#include <QPushButton>

// A push button whose caption wraps onto further lines when it is wider than the button, as
// instrument panels have always drawn them ("Return to Main Form" on two lines). The caption
// text itself is kept exactly as given.
class CaptionButton : public QPushButton
{
    Q_OBJECT

public:
    explicit CaptionButton(QWidget *parent = nullptr);

    // Where the caption is drawn; shared with the layout check so both agree.
    QRect captionRect() const;
    static constexpr int captionFlags = Qt::AlignCenter | Qt::TextWordWrap;

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};
