// Part of tarn monitor's page (monitor_page.html), put in at the line that
// names this file when the program is built: the table of every stream and
// the servers' clients. Uses the page's esc, cell, count, duration and bytes.

// Every stream, sortable and searchable; only the rows in view are in the
// document, so that thousands of streams cost what twenty do.
const rowHeight = 24, rowsDrawn = 30;
const streams = {all: [], shown: [], key: "feed", desc: true, search: "", silentAfter: 600};

function latency(s, key) {
  const v = key === "data" ? s.data_latency_seconds : s.feed_latency_seconds;
  return v === null || v === undefined ? (key === "feed" ? s.data_latency_seconds : null) : v;
}

// Green under a tenth of --silent-after, orange up to it, red past it.
function latencyClass(v) {
  if (v === null) return "";
  return v > streams.silentAfter ? "lat-bad" : v > streams.silentAfter / 10 ? "lat-late" : "lat-ok";
}

function sortStreams() {
  const k = streams.key, sign = streams.desc ? -1 : 1;
  const value = s => k === "name" || k === "server" ? s[k] : k === "packets" ? s.packets : latency(s, k);
  const q = streams.search.toLowerCase();
  streams.shown = q ? streams.all.filter(s => s.name.toLowerCase().includes(q) || s.server.toLowerCase().includes(q))
                    : streams.all.slice();
  streams.shown.sort((a, b) => {
    const x = value(a), y = value(b);
    return (x < y ? -1 : x > y ? 1 : 0) * sign || (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);
  });
  for (const th of document.querySelectorAll("#streams-head th")) {
    th.className = th.dataset.key === k ? "sorted" + (streams.desc ? "" : " up") : "";
  }
}

function drawStreamRows() {
  const box = document.getElementById("streams-box");
  const first = Math.max(0, Math.floor(box.scrollTop / rowHeight) - 5);
  const rows = streams.shown.slice(first, first + rowsDrawn + 10);
  document.getElementById("streams-space").style.height = Math.max(rowHeight, streams.shown.length * rowHeight) + "px";
  const table = document.getElementById("streams-rows");
  table.style.top = first * rowHeight + "px";
  let html = "";
  for (const s of rows) {
    const data = latency(s, "data"), feed = s.feed_latency_seconds;
    html += "<tr" + (s.silent ? ' class="attention"' : "") + ' title="' + esc(s.name) + '">' +
            cell(esc(s.name)) + cell(esc(s.server)) + cell(count(s.packets), "num") +
            cell(duration(data), "num " + latencyClass(data)) +
            cell(feed === null || feed === undefined ? "-" : duration(feed), "num " + latencyClass(feed)) + "</tr>";
  }
  table.tBodies[0].innerHTML = html;
}

function renderStreams(status) {
  streams.all = status.streams || [];
  streams.silentAfter = status.silent_after_seconds || 600;
  const silent = streams.all.filter(s => s.silent).length;
  document.getElementById("streams-summary").textContent =
      count(streams.all.length) + (streams.all.length === 1 ? " stream" : " streams") + (silent ? ", " + count(silent) + " silent" : "");
  document.getElementById("streams-legend").textContent =
      "latency green under " + duration(streams.silentAfter / 10) + ", orange up to " + duration(streams.silentAfter) +
      ", red past it (silent)";
  sortStreams();
  drawStreamRows();
}

function renderClients(status) {
  let html = "";
  for (const s of status.servers) {
    if (!s.up) continue;
    html += "<h3>" + esc(s.tarn) + "</h3>";
    if (s.connections === null || s.connections === undefined) {
      html += '<p class="muted">this server does not list its clients</p>';
      continue;
    }
    html += "<table><tr><th>address</th><th>protocol</th><th>identity</th><th>reads or writes</th><th>since</th>" +
            "<th>bytes in</th><th>bytes out</th><th>packets in</th><th>packets out</th></tr>";
    for (const c of s.connections) {
      html += "<tr>" + cell(esc(c.peer), "nw") + cell(esc(c.protocol), "nw") + cell(esc(c.identity || "-")) +
              cell(esc(c.activity)) + cell(duration(status.time - c.since) + " ago", "nw") +
              cell(bytes(c.bytes_in), "num") + cell(bytes(c.bytes_out), "num") +
              cell(count(c.packets_in), "num") + cell(count(c.packets_out), "num") + "</tr>";
    }
    html += "</table>";
  }
  return html;
}
