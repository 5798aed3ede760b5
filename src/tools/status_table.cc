#include "tools/status_table.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/tool_support.h"

namespace tarntool {
namespace {

const char kRed[] = "\033[1;31m";
const char kPlain[] = "\033[0m";

// Rows of cells in columns as wide as their widest cell; the cells of the
// columns named in `right` aligned to the right. The last column is not padded.
struct Table {
  std::vector<std::vector<std::string>> rows;
  std::vector<bool> marked;  // one per row: shown in red with color
  std::vector<size_t> right;

  void add(std::vector<std::string> row, bool mark = false) {
    rows.push_back(std::move(row));
    marked.push_back(mark);
  }

  std::string render(bool color) const {
    std::vector<size_t> width;
    for (const auto &row : rows) {
      width.resize(std::max(width.size(), row.size()), 0);
      for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    }
    std::string out;
    for (size_t r = 0; r < rows.size(); ++r) {
      std::string line;
      for (size_t i = 0; i < rows[r].size(); ++i) {
        const std::string &cell = rows[r][i];
        std::string pad(width[i] - cell.size(), ' ');
        bool last = i + 1 == rows[r].size();
        if (std::find(right.begin(), right.end(), i) != right.end())
          line += pad + cell;
        else
          line += last ? cell : cell + pad;
        if (!last) line += "  ";
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += color && marked[r] ? kRed + line + kPlain + "\n" : line + "\n";
    }
    return out;
  }
};

std::string fixed(double v, int digits) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::vector<std::string> serverRow(const ServerState &s, double now) {
  if (!s.up) return {"!", s.tarn, "DOWN", "", "", "", "", "", s.error};
  const tarnclient::RingFigures &f = s.figures;
  double used = f.ringBytes
                    ? 100.0 * static_cast<double>(f.usedBytes) / static_cast<double>(f.ringBytes)
                    : 0.0;
  return {"",
          s.tarn,
          "up",
          s.packetsPerSecond ? fixed(*s.packetsPerSecond, 1) : "-",
          std::to_string(f.packets),
          fixed(used, 1) + "% of " + bytesText(static_cast<double>(f.ringBytes)),
          std::to_string(f.clients),
          f.packets ? durationText(now - f.newestTime) + " ago" : "-",
          ""};
}

std::string relayNote(const RelayView &r) {
  std::string note;
  if (r.stopped) note = "stopped " + durationText(r.age) + " ago";
  if (r.stale) note = "STALE: last report " + durationText(r.age) + " ago";
  if (r.lost) note = "LOST: no report for " + durationText(r.age) + ", and no final one";
  if (!r.unreachable.empty()) note += (note.empty() ? "" : "; ") + r.unreachable;
  if (!r.state.problem.empty())
    note += (note.empty() ? "" : "; ") + ("newest report does not read: " + r.state.problem);
  return note;
}

void addRelayRows(Table &t, const RelayView &r) {
  std::string note = relayNote(r);
  const RelayReport *rep = r.state.report ? &*r.state.report : nullptr;
  if (!rep || rep->connections.empty()) {
    t.add({needsAttention(r) ? "!" : "", r.state.target, "-", "", "", "", "", "", "", "", "", "", "",
           note.empty() ? "no connections" : note},
          needsAttention(r));
    return;
  }
  std::vector<const ConnectionReport *> order;
  for (const ConnectionReport &c : rep->connections) order.push_back(&c);
  std::stable_partition(order.begin(), order.end(),
                        [&](const ConnectionReport *c) { return needsAttention(r, *c); });
  for (const ConnectionReport *cp : order) {
    const ConnectionReport &c = *cp;
    bool mark = needsAttention(r, c);
    std::string state = c.link == "lost" ? c.state + " (link lost)" : c.state;
    std::string why = note;
    if (!c.fault.empty())
      why = c.fault + " since " + timeText(c.faultSince) + (why.empty() ? "" : "; " + why);
    t.add({mark ? "!" : "", r.state.target, c.name, c.direction, c.tarn, c.queue, state,
           c.latency ? durationText(*c.latency) : "-",
           c.queueDepth >= 0 ? std::to_string(c.queueDepth) : "-",
           c.counts ? std::to_string(c.counts->packets) : "-",
           c.counts ? std::to_string(c.counts->droppedTotal) : "-",
           c.counts && c.counts->rejectsCounted ? std::to_string(c.counts->rejectedTotal) : "-",
           bytesText(1024.0 * static_cast<double>(c.rssKiB)), why},
          mark);
  }
}

// The silent streams, the longest silent first, at most kShownSilent.
constexpr size_t kShownSilent = 20;

std::string silentStreams(const NetworkView &view, bool color) {
  if (view.silentStreams == 0) return "";
  std::vector<const StreamView *> silent;
  for (const StreamView &st : view.streams) {
    if (st.silent) silent.push_back(&st);
  }
  auto age = [](const StreamView *st) { return st->feedLatency.value_or(st->dataLatency); };
  std::stable_sort(silent.begin(), silent.end(),
                   [&](const StreamView *a, const StreamView *b) { return age(a) > age(b); });
  Table t;
  t.add({"", "SILENT STREAM", "SERVER", "NEW PACKET", "NEWEST TIME"});
  for (size_t i = 0; i < silent.size() && i < kShownSilent; ++i) {
    const StreamView &st = *silent[i];
    t.add({"!", st.name, st.server, "none for " + durationText(age(&st)), timeText(st.newestTime)},
          true);
  }
  std::string out = t.render(color);
  if (silent.size() > kShownSilent)
    out += "... and " + std::to_string(silent.size() - kShownSilent) + " more silent streams\n";
  return out + "(silent: no new packet for over " + durationText(view.silentAfter) + ")\n\n";
}

// Relays needing attention first, then the working ones, the stopped last.
int rank(const RelayView &r) { return needsAttention(r) ? 0 : r.stopped ? 2 : 1; }

}  // namespace

std::string renderTable(const NetworkView &view, bool color) {
  Table servers;
  servers.right = {3, 4, 6};
  servers.add(
      {"", "SERVER", "STATE", "PACKETS/S", "PACKETS", "RING USE", "CLIENTS", "NEWEST PACKET", ""});
  std::vector<const ServerState *> order;
  for (const ServerState &s : view.servers) order.push_back(&s);
  std::stable_partition(order.begin(), order.end(), [](const ServerState *s) { return !s->up; });
  for (const ServerState *s : order) servers.add(serverRow(*s, view.now), !s->up);
  std::string out = servers.render(color) + "\n" + silentStreams(view, color);
  if (view.relays.empty()) return out + "No relay's status packets on these servers.\n";
  Table relays;
  relays.right = {7, 8, 9, 10, 11, 12};
  relays.add({"", "RELAY", "CONNECTION", "DIR", "TARN", "QUEUE", "STATE", "LAST PACKET", "QUEUED",
              "PACKETS", "DROPPED", "REJECTED", "RSS", ""});
  std::vector<const RelayView *> relayOrder;
  for (const RelayView &r : view.relays) relayOrder.push_back(&r);
  std::stable_sort(relayOrder.begin(), relayOrder.end(),
                   [](const RelayView *a, const RelayView *b) { return rank(*a) < rank(*b); });
  for (const RelayView *r : relayOrder) addRelayRows(relays, *r);
  return out + relays.render(color);
}

}  // namespace tarntool
