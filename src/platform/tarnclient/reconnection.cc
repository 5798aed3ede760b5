#include "platform/tarnclient/reconnection.h"

#include <algorithm>

namespace tarnclient {

using namespace tarnwire;

bool ReconnectSchedule::lost(Clock::time_point now) {
  if (m_down.load(std::memory_order_relaxed)) return false;
  m_down.store(true, std::memory_order_relaxed);
  m_lostAt = now;
  m_backoff = 0.0;
  m_next = now;
  return true;
}

void ReconnectSchedule::failed(Clock::time_point now) {
  m_backoff = m_backoff == 0.0 ? kFirstBackoff : std::min(m_backoff * 2, kMaxBackoff);
  m_next =
      now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_backoff));
  m_failures.fetch_add(1, std::memory_order_relaxed);
}

double ReconnectSchedule::recovered(Clock::time_point now) {
  m_down.store(false, std::memory_order_relaxed);
  m_recoveries.fetch_add(1, std::memory_order_relaxed);
  m_backoff = 0.0;
  return std::chrono::duration<double>(now - m_lostAt).count();
}

void ReaderSession::welcomed(const Welcome &welcome) {
  m_welcome = welcome;
  if (m_everWelcomed) return;
  m_everWelcomed = true;
  instance = welcome.instance;
  cursor = welcome.nextId;
}

std::vector<RestoreStep> ReaderSession::restoreSteps() const {
  std::vector<RestoreStep> steps;
  if (!select.empty()) steps.push_back({encoded(Select{select}), kCount});
  if (!reject.empty()) steps.push_back({encoded(Reject{reject}), kCount});
  if (ringReplaced() && reading) steps.push_back({encoded(Position{kOldest, 0, 0.0}), kPositioned});
  return steps;
}

void ReaderSession::restored(int32_t oldestCursor) {
  if (!ringReplaced()) return;
  instance = m_welcome.instance;
  cursor = reading ? oldestCursor : m_welcome.nextId;
}

}  // namespace tarnclient
