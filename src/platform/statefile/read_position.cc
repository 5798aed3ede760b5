#include "platform/statefile/read_position.h"

ReadPosition::~ReadPosition() {
  for (Block *b : m_blocks) delete b;
  delete m_spare;
}

void ReadPosition::restore(const ResumePoint &point) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_restored = point;
}

ReadPosition::Block *ReadPosition::newBlock() {
  std::lock_guard<std::mutex> lock(m_mutex);
  Block *b = m_spare ? m_spare : new Block;
  m_spare = nullptr;
  m_blocks.push_back(b);
  return b;
}

ReadRecord *ReadPosition::reaped(int32_t id, double time) {
  if (m_writeIndex == kBlockRecords) {
    m_writeBlock = newBlock();
    m_writeIndex = 0;
  }
  ReadRecord *r = &m_writeBlock->records[m_writeIndex++];
  r->m_id = id;
  r->m_time = time;
  r->m_holds.store(1, std::memory_order_relaxed);
  // Publishes the record's fields to resumePoint().
  m_published.store(m_published.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  return r;
}

ResumePoint ReadPosition::resumePoint() {
  std::lock_guard<std::mutex> lock(m_mutex);
  const uint64_t published = m_published.load(std::memory_order_acquire);
  while (m_done < published) {
    const ReadRecord &r = m_blocks.front()->records[m_done - m_blocksBase];
    if (r.m_holds.load(std::memory_order_acquire) != 0) break;
    m_lastDone = ResumePoint{r.m_id, r.m_time, false};
    m_doneInRun = true;
    if (++m_done - m_blocksBase == kBlockRecords) {
      // Every record of the first block is done: nobody touches it any
      // more, and the reader has moved on or will start a new block.
      delete m_spare;
      m_spare = m_blocks.front();
      m_blocks.pop_front();
      m_blocksBase += kBlockRecords;
    }
  }
  if (m_doneInRun) return m_lastDone;
  if (m_done < published) {
    const ReadRecord &r = m_blocks.front()->records[m_done - m_blocksBase];
    return ResumePoint{r.m_id, r.m_time, true};
  }
  return m_restored;
}
