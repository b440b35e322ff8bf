#include "line/linehold.h"

void LineHold::begin(const QString &holder)
{
    m_phase = Phase::Quiet;
    m_holder = holder;
    emit begun();
}

void LineHold::yield()
{
    if (m_phase != Phase::Quiet)
        return;
    m_phase = Phase::Yielding;
    emit batchDue();
    emit yielded();
}

void LineHold::end()
{
    const bool yielded = m_phase == Phase::Yielding;
    m_phase = Phase::Free;
    m_holder.clear();
    emit batchDue();
    emit ended(yielded);
}
