#include "platform/mseed/mseed_record.h"

#include <libmseed.h>
#include <strings.h>

#include <cmath>
#include <cstring>
#include <memory>

namespace mseed {
namespace {

void discard(char *) {}

// libmseed writes its complaints through functions that default to the
// standard streams; the callers of this library say what is wrong instead.
void silenceLibrary() {
  static const bool silenced = [] {
    ms_loginit(discard, nullptr, discard, nullptr);
    return true;
  }();
  (void)silenced;
}

struct FreeRecord {
  void operator()(MSRecord *msr) const { msr_free(&msr); }
};
using RecordPtr = std::unique_ptr<MSRecord, FreeRecord>;

uint32_t word(const unsigned char *p, bool bigEndian) {
  return bigEndian ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                   : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

std::string at(size_t offset, const std::string &why) {
  return "record at byte " + std::to_string(offset) + ": " + why;
}

std::string timeProblem(const BTime &t) {
  if (t.year < 1900 || t.year > 2500 || t.day < 1 || t.day > 366 || t.hour > 23 || t.min > 59 ||
      t.sec > 60 || t.fract > 9999) {
    return "start time out of range (" + std::to_string(t.year) + "," + std::to_string(t.day) +
           "," + std::to_string(t.hour) + ":" + std::to_string(t.min) + ":" +
           std::to_string(t.sec) + "." + std::to_string(t.fract) + ")";
  }
  return "";
}

// A Steim frame starts the data with its control word, the forward
// integration constant (the first sample) and the reverse one (the last):
// a decoding that does not end there read a damaged frame.
std::string steimProblem(const MSRecord &msr, const char *record) {
  if (msr.encoding != DE_STEIM1 && msr.encoding != DE_STEIM2) return "";
  if (msr.numsamples == 0 || msr.sampletype != 'i') return "";
  size_t offset = msr.fsdh->data_offset;
  if (offset + 12 > static_cast<size_t>(msr.reclen)) return "data offset past the record's end";
  const auto *frame = reinterpret_cast<const unsigned char *>(record) + offset;
  bool bigEndian = msr.byteorder != 0;
  auto first = static_cast<int32_t>(word(frame + 4, bigEndian));
  auto last = static_cast<int32_t>(word(frame + 8, bigEndian));
  const auto *samples = static_cast<const int32_t *>(msr.datasamples);
  if (samples[0] != first || samples[msr.numsamples - 1] != last) {
    return "Steim frames do not decode: the samples end at " +
           std::to_string(samples[msr.numsamples - 1]) + ", the frames say " + std::to_string(last);
  }
  return "";
}

Record headerOf(MSRecord &msr) {
  Record r;
  r.network = msr.network;
  r.station = msr.station;
  r.location = msr.location;
  r.channel = msr.channel;
  r.quality = msr.dataquality;
  r.start = static_cast<double>(msr.starttime) / HPTMODULUS;
  r.end = static_cast<double>(msr_endtime(&msr)) / HPTMODULUS;
  r.sampleRate = msr_samprate(&msr);
  r.samples = msr.samplecnt;
  r.encoding = msr.encoding;
  r.length = msr.reclen;
  return r;
}

// Unpacks the record at `bytes` (`length` bytes) with its data, checking it
// whole; "" or why not.
std::string unpackRecord(const char *bytes, int length, bool data, RecordPtr &out) {
  // libmseed takes a record it may write to: it gets a copy.
  thread_local std::vector<char> copy;
  copy.assign(bytes, bytes + length);
  MSRecord *msr = nullptr;
  int rc = msr_unpack(copy.data(), length, &msr, data ? 1 : 0, 0);
  out.reset(msr);
  if (rc != MS_NOERROR) return ms_errorstr(rc);
  if (msr->reclen != length)
    return "record length " + std::to_string(msr->reclen) + " not as detected";
  std::string problem = timeProblem(msr->fsdh->start_time);
  if (!problem.empty()) return problem;
  if (!data) return "";
  if (msr->encoding != DE_ASCII && msr->numsamples != msr->samplecnt) {
    return "data decode to " + std::to_string(msr->numsamples) + " samples, the header announces " +
           std::to_string(msr->samplecnt);
  }
  return steimProblem(*msr, copy.data());
}

// Walks the records of a packet, calling `each` with every unpacked record.
template <typename Each>
std::string walk(const char *bytes, size_t n, bool data, Each each) {
  silenceLibrary();
  if (n == 0) return "no bytes";
  std::string stream;
  for (size_t offset = 0; offset < n;) {
    int length = recordLength(bytes + offset, n - offset);
    if (length <= 0)
      return at(offset, "no miniSEED record header with its length (blockette 1000)");
    if (offset + static_cast<size_t>(length) > n) {
      return at(offset, "truncated: " + std::to_string(n - offset) + " of " +
                            std::to_string(length) + " bytes");
    }
    RecordPtr msr;
    std::string problem = unpackRecord(bytes + offset, length, data, msr);
    if (!problem.empty()) {
      // A record cut short in the middle of a file: the next one's header
      // stands where its end should be.
      for (int inside = 48; inside + 48 <= length; ++inside) {
        if (recordLength(bytes + offset + inside, n - offset - inside) > 0) {
          problem = "cut short after " + std::to_string(inside) + " of " + std::to_string(length) +
                    " bytes: a record header follows";
          break;
        }
      }
      return at(offset, problem);
    }
    std::string id =
        std::string(msr->network) + "." + msr->station + "." + msr->location + "." + msr->channel;
    if (stream.empty()) stream = id;
    if (id != stream) return at(offset, "stream " + id + " after " + stream);
    each(*msr);
    offset += static_cast<size_t>(length);
  }
  return "";
}

}  // namespace

std::string encodingName(int encoding) {
  switch (encoding) {
    case DE_ASCII:
      return "ASCII";
    case DE_INT16:
      return "INT16";
    case DE_INT32:
      return "INT32";
    case DE_FLOAT32:
      return "FLOAT32";
    case DE_FLOAT64:
      return "FLOAT64";
    case DE_STEIM1:
      return "STEIM1";
    case DE_STEIM2:
      return "STEIM2";
    default:
      return "CODE " + std::to_string(encoding);
  }
}

int recordLength(const char *bytes, size_t n) {
  silenceLibrary();
  if (n < 48) return 0;
  int length = ms_detect(bytes, static_cast<int>(std::min<size_t>(n, 1 << 20)));
  return length > 0 ? length : 0;
}

std::string check(const char *bytes, size_t n, std::vector<Record> *records) {
  return walk(bytes, n, true, [&](MSRecord &msr) {
    if (records) records->push_back(headerOf(msr));
  });
}

std::string headers(const char *bytes, size_t n, std::vector<Record> *records) {
  return walk(bytes, n, false, [&](MSRecord &msr) {
    if (records) records->push_back(headerOf(msr));
  });
}

std::string decode(const char *bytes, size_t n, std::vector<double> &samples,
                   std::vector<Record> *records) {
  return walk(bytes, n, true, [&](MSRecord &msr) {
    if (records) records->push_back(headerOf(msr));
    for (int64_t i = 0; i < msr.numsamples; ++i) {
      switch (msr.sampletype) {
        case 'i':
          samples.push_back(static_cast<const int32_t *>(msr.datasamples)[i]);
          break;
        case 'f':
          samples.push_back(static_cast<const float *>(msr.datasamples)[i]);
          break;
        case 'd':
          samples.push_back(static_cast<const double *>(msr.datasamples)[i]);
          break;
        default:
          return;  // text
      }
    }
  });
}

std::string text(const char *bytes, size_t n, std::string &out) {
  return walk(bytes, n, true, [&](MSRecord &msr) {
    if (msr.sampletype == 'a' && msr.numsamples > 0)
      out.append(static_cast<const char *>(msr.datasamples), static_cast<size_t>(msr.numsamples));
  });
}

std::string sourceName(const Record &record) {
  std::string name = record.network + "_" + record.station + "_" + record.channel;
  if (!record.location.empty()) name += "_" + record.location;
  return name + "/" + kSuffix;
}

bool parseSourceName(const std::string &name, std::string &network, std::string &station,
                     std::string &location, std::string &channel) {
  size_t slash = name.find('/');
  if (slash == std::string::npos || strcasecmp(name.c_str() + slash + 1, kSuffix) != 0)
    return false;
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t us = name.find('_', start);
    if (us == std::string::npos || us > slash) {
      parts.push_back(name.substr(start, slash - start));
      break;
    }
    parts.push_back(name.substr(start, us - start));
    start = us + 1;
  }
  if (parts.size() < 3 || parts.size() > 4) return false;
  network = parts[0];
  station = parts[1];
  channel = parts[2];
  location = parts.size() == 4 ? parts[3] : "";
  return !station.empty() && !channel.empty() && (parts.size() == 3 || !location.empty());
}

bool isMseedSourceName(const char *srcname) {
  if (srcname == nullptr) return false;
  const char *slash = std::strchr(srcname, '/');
  return slash != nullptr && strcasecmp(slash + 1, kSuffix) == 0;
}

}  // namespace mseed
