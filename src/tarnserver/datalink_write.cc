// DatalinkSession: WRITE, checked and stored one packet per record.
#include <vector>

#include "platform/datalink/datalink_streams.h"
#include "platform/datalink/datalink_wire.h"
#include "platform/mseed/mseed_record.h"
#include "tarnserver/datalink_session.h"

namespace tarnserver {

namespace {
constexpr uint64_t kBytesPerWork = 4096;    // bytes checked and stored per work unit
constexpr size_t kMaxWriteVerdicts = 4096;  // source names whose write verdict is kept

std::string codesOf(const mseed::Record &r) {
  return r.network + "." + r.station + "." + r.location + "." + r.channel;
}
}  // namespace

bool DatalinkSession::mayWrite(const std::string &src) {
  if (access_.write.any()) return true;
  auto it = writeVerdicts_.find(src);
  if (it == writeVerdicts_.end()) {
    if (writeVerdicts_.size() >= kMaxWriteVerdicts) writeVerdicts_.clear();
    ++work_;
    it = writeVerdicts_.emplace(src, access_.write.allows(src)).first;
  }
  return it->second;
}

// Every check comes before the first record is stored, so that a refused
// write leaves nothing behind.
bool DatalinkSession::onWrite(std::string_view header, std::string_view data) {
  work_ += data.size() / kBytesPerWork;
  datalink::WriteHeader w;
  std::string why = datalink::parseWriteHeader(header, w);
  if (!why.empty()) return writeRefused(why);
  std::string src;
  datalink::StreamCodes codes;
  why = datalink::sourceNameOf(w.streamId, src, codes);
  if (!why.empty()) return writeRefused(why);
  std::vector<mseed::Record> records;
  why = mseed::check(data.data(), data.size(), &records);
  if (!why.empty()) return writeRefused("records of " + w.streamId + " refused: " + why);
  const std::string named =
      codes.network + "." + codes.station + "." + codes.location + "." + codes.channel;
  if (codesOf(records.front()) != named) {
    return writeRefused("stream id " + w.streamId + " names " + named + ", its records are of " +
                        codesOf(records.front()));
  }
  if (!mayWrite(src)) {
    return writeRefused("writing " + w.streamId + " to " + access_.tarn + " is not allowed from " +
                        access_.host);
  }
  uint64_t seq = 0;
  size_t offset = 0;
  for (const mseed::Record &r : records) {
    seq = ring_.append(src, r.start, data.data() + offset, static_cast<uint32_t>(r.length));
    offset += static_cast<size_t>(r.length);
    ++putsStored_;
  }
  if (w.ack) {
    ok(tarnwire::idOfSeq(seq), std::to_string(records.size()) +
                                   (records.size() == 1 ? " record" : " records") + " stored as " +
                                   src);
  }
  return true;
}

}  // namespace tarnserver
