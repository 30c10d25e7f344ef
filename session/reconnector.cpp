#include "reconnector.h"

#include <QRandomGenerator>

#include <algorithm>

CReconnector::CReconnector(const CReconnectTiming& timing, QObject* parent)
    : QObject(parent), m_timing(timing)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        ++m_nAttempts;
        emit Attempt();
    });
}

void CReconnector::Start()
{
    if (m_bActive)
        return;
    m_bActive = true;
    m_nAttempts = 0;
    m_base = m_timing.first;
    Schedule();
}

void CReconnector::Failed()
{
    if (!m_bActive)
        return;
    m_base = std::min(m_base * 2, m_timing.longest);
    Schedule();
}

void CReconnector::Stop()
{
    m_bActive = false;
    m_timer.stop();
}

std::chrono::milliseconds CReconnector::Remaining() const
{
    if (!m_timer.isActive())
        return std::chrono::milliseconds{0};
    return std::max(std::chrono::milliseconds{0}, m_timer.remainingTimeAsDuration());
}

void CReconnector::Schedule()
{
    const double factor = 1.0 + m_timing.spread * (2.0 * QRandomGenerator::global()->generateDouble() - 1.0);
    const auto delay =
        std::chrono::milliseconds(std::max<long long>(0, static_cast<long long>(m_base.count() * factor)));
    m_timer.start(delay);
    emit Scheduled(delay);
}
