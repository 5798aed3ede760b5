#include "platform/statefile/sequence_positions.h"

void SequencePositions::pass(Stream &stream) {
  while (!stream.pending.empty() && stream.pending.front().first->isDone()) {
    stream.point = stream.pending.front().second;
    stream.hasPoint = true;
    stream.pending.pop_front();
  }
}

void SequencePositions::restore(const std::string &stream, const Point &point) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Stream &s = m_streams[stream];
  s.point = point;
  s.hasPoint = true;
}

ReadRecord *SequencePositions::read(const std::string &stream, const Point &point) {
  auto record = std::make_unique<ReadRecord>();
  record->hold();
  ReadRecord *held = record.get();
  std::lock_guard<std::mutex> lock(m_mutex);
  Stream &s = m_streams[stream];
  pass(s);
  s.pending.emplace_back(std::move(record), point);
  return held;
}

std::map<std::string, SequencePositions::Point> SequencePositions::points() {
  std::map<std::string, Point> out;
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto &[name, s] : m_streams) {
    pass(s);
    if (s.hasPoint) {
      out[name] = s.point;
    } else if (!s.pending.empty()) {
      Point first = s.pending.front().second;
      first.at = true;
      out[name] = first;
    }
  }
  return out;
}

size_t SequencePositions::held() {
  size_t count = 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto &[name, s] : m_streams) {
    pass(s);
    count += s.pending.size();
  }
  return count;
}
