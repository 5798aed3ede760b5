// Reads a SeedLink server over WebSocket with seisplotjs's own clients (its
// SeedLink 3.1 or 4.0 connection, with the `ws` package as the WebSocket),
// and prints one JSON line per record received: the station, the stream,
// the packet's sequence number, the record's start (epoch seconds), its
// size and its bytes (base64).
//
//   node seedlink_client.mjs --url ws://127.0.0.1:PORT --proto 3|4
//        --station NET_STA[:LAST]...  [--select PATTERN]
//        [--records N] [--seconds T]
//
// Each station resumes after the packet numbered LAST (the last one it
// received), or starts at the oldest the server holds. The client stops after N records
// or T seconds (default 60), whichever comes first; an error of the
// connection is printed on standard error and ends it with status 1.
//
// TARN_NODE_DIR names the folder that `npm install` filled (make deps).
import { readFileSync } from 'node:fs';
import { homedir } from 'node:os';
import { pathToFileURL } from 'node:url';

// seisplotjs's Node entry touches a few names of the browser when it loads.
globalThis.HTMLElement = class {};
globalThis.HTMLDivElement = class {};
globalThis.customElements = { define() {}, get() { return undefined; } };

const nodeDir = process.env.TARN_NODE_DIR || `${homedir()}/.cache/tarn2tarn_pre/node`;
const packageDir = `${nodeDir}/node_modules/seisplotjs`;
const entry = JSON.parse(readFileSync(`${packageDir}/package.json`)).exports['.'].node;
const sp = await import(pathToFileURL(`${packageDir}/${entry}`).href);
const ws = await import(pathToFileURL(`${nodeDir}/node_modules/ws/wrapper.mjs`).href);
globalThis.WebSocket = ws.WebSocket;

const opts = { url: '', proto: '4', stations: [], select: '', records: Infinity, seconds: 60 };
const argv = process.argv.slice(2);
for (let i = 0; i < argv.length; i += 2) {
  const [key, value] = [argv[i], argv[i + 1]];
  if (value === undefined) throw new Error(`${key} needs a value`);
  if (key === '--url') opts.url = value;
  else if (key === '--proto') opts.proto = value;
  else if (key === '--station') opts.stations.push(value);
  else if (key === '--select') opts.select = value;
  else if (key === '--records') opts.records = Number(value);
  else if (key === '--seconds') opts.seconds = Number(value);
  else throw new Error(`unknown option ${key}`);
}
if (!opts.url || opts.stations.length === 0) throw new Error('--url and --station are needed');

// The commands that choose each station, its streams and where it starts.
// Protocol 3.1 names a station "STA NET" and its DATA the next packet
// wanted in hex, modulo 2^24 (the last received plus one, as 3.1 clients
// send it); 4.0 names it "NET_STA" and its DATA the next packet wanted, in
// decimal.
function stationCommands(station) {
  const [id, last] = station.split(':');
  const [net, sta] = id.split('_');
  const v3 = opts.proto === '3';
  const commands = [v3 ? `STATION ${sta} ${net}` : `STATION ${net}_${sta}`];
  if (opts.select) commands.push(`SELECT ${opts.select}`);
  // A bare DATA would wait for new packets: from the oldest the ring holds
  // is a start time before any (3.1) or packet number 0 (4.0, which starts
  // with the oldest held when 0 is gone).
  if (last === undefined) commands.push(v3 ? 'TIME 1970,01,01,00,00,00' : 'DATA 0');
  else commands.push(`DATA ${v3 ? ((Number(last) + 1) % 0x1000000).toString(16).toUpperCase().padStart(6, '0') : BigInt(last) + 1n}`);
  return commands;
}

let count = 0;
let connection = null;
let timer = null;
function finish(status) {
  clearTimeout(timer);
  if (connection) connection.close();
  connection = null;
  process.exitCode = status;
}

function print(station, sequence, record) {
  if (connection === null) return;  // past the count: not reported
  const h = record.header;
  const bytes = new Uint8Array(record.data.buffer, record.data.byteOffset - h.dataOffset,
                               h.recordSize);
  console.log(JSON.stringify({
    station,
    stream: `${h.netCode}.${h.staCode}.${h.locCode}.${h.chanCode}`,
    sequence,
    start: h.startTime.toMillis() / 1000,
    size: h.recordSize,
    data: Buffer.from(bytes).toString('base64'),
  }));
  if (++count >= opts.records) finish(0);
}

function failed(error) {
  if (connection === null) return;  // closing ourselves
  process.stderr.write(`seedlink client: ${error.message || error}\n`);
  finish(1);
}

const commands = opts.stations.flatMap(stationCommands);
if (opts.proto === '3') {
  // The last station's DATA is the command the client sends before END.
  const last = commands.pop();
  connection = new sp.seedlink.SeedlinkConnection(opts.url, commands, (packet) => {
    const h = packet.miniseed.header;
    print(`${h.netCode}_${h.staCode}`, packet.sequence, packet.miniseed);
  }, failed);
  connection.command = last;
} else {
  connection = new sp.seedlink4.SeedlinkConnection(opts.url, commands, (packet) => {
    if (!packet.isMiniseed()) return;
    print(packet.stationId, Number(packet.sequence), packet.asMiniseed());
  }, failed);
}
connection.setOnClose(() => {
  if (connection !== null) failed(new Error('the server closed the connection'));
});
timer = setTimeout(() => finish(0), opts.seconds * 1000);
connection.connect();
