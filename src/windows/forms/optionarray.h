#pragma once

#include <QButtonGroup>

namespace OptionArray {

// Runs `handler` with the member's index once whenever a member of the group becomes the
// selected one, however that happened: a click, Space, an arrow key, an accessibility toggle
// or setChecked() in code. Nothing runs for the member that is unselected.
template<typename Receiver>
void connectSelection(QButtonGroup *group, Receiver *receiver, void (Receiver::*handler)(int))
{
    QObject::connect(group, &QButtonGroup::idToggled, receiver,
            [receiver, handler](int index, bool selected) {
                if (selected)
                    (receiver->*handler)(index);
            });
}

} // namespace OptionArray
