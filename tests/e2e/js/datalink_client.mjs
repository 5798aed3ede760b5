// Writes miniSEED records to a DataLink server over WebSocket and reads
// them back, with seisplotjs's own DataLink client (its DataLinkConnection,
// with the `ws` package as the WebSocket).
//
//   node datalink_client.mjs --url ws://127.0.0.1:PORT [--write FILE]
//        [--read N] [--seconds T]
//
// --write sends every record of FILE (miniSEED records one after another)
// with writeAck, its stream id NET_STA_LOC_CHAN/MSEED taken from the
// record, and prints one JSON line per answer: {"ack": value, "type": ...}.
// --read positions at the earliest packet, streams, and prints one JSON
// line per packet (stream id, packet id, size, bytes in base64) until N
// came, then ends the stream. The client gives up after T seconds (default
// 60); an error is printed on standard error and ends it with status 1.
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

const opts = { url: '', write: '', read: 0, seconds: 60 };
const argv = process.argv.slice(2);
for (let i = 0; i < argv.length; i += 2) {
  const [key, value] = [argv[i], argv[i + 1]];
  if (value === undefined) throw new Error(`${key} needs a value`);
  if (key === '--url') opts.url = value;
  else if (key === '--write') opts.write = value;
  else if (key === '--read') opts.read = Number(value);
  else if (key === '--seconds') opts.seconds = Number(value);
  else throw new Error(`unknown option ${key}`);
}
if (!opts.url) throw new Error('--url is needed');

let done = () => {};
const finished = new Promise((resolve) => { done = resolve; });
let count = 0;
const packets = [];
const connection = new sp.datalink.DataLinkConnection(opts.url, (packet) => {
  const view = packet.data;
  packets.push(packet);
  console.log(JSON.stringify({
    stream: packet.streamId,
    pktid: Number(packet.pktid),
    size: packet.dataSize,
    data: Buffer.from(view.buffer, view.byteOffset, packet.dataSize).toString('base64'),
  }));
  if (++count >= opts.read) done();
}, (error) => {
  process.stderr.write(`datalink client: ${error.message || error}\n`);
  process.exit(1);
});
const timer = setTimeout(() => {
  process.stderr.write(`datalink client: ${count} packets after ${opts.seconds} s\n`);
  process.exit(1);
}, opts.seconds * 1000);

const serverId = await connection.connect();
if (!serverId.includes('DLPROTO:1.0')) throw new Error(`unexpected ID answer: ${serverId}`);

if (opts.write) {
  const bytes = readFileSync(opts.write);
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length);
  for (const record of sp.miniseed.parseDataRecords(buffer)) {
    const h = record.header;
    const id = `${h.netCode}_${h.staCode}_${h.locCode}_${h.chanCode}/MSEED`;
    const at = record.data.byteOffset - h.dataOffset;
    const raw = new Uint8Array(buffer.slice(at, at + h.recordSize));
    const answer = await connection.writeAck(id, h.startTime, h.endTime, raw);
    console.log(JSON.stringify({ ack: answer.value, type: answer.type, message: answer.message }));
  }
}

if (opts.read > 0) {
  const positioned = await connection.awaitDLCommand('POSITION SET EARLIEST 0');
  if (positioned.type !== 'OK') throw new Error(`POSITION: ${positioned.type} ${positioned.message}`);
  connection.stream();  // answered with packets only: not awaited
  await finished;
  connection.endStream();
}
clearTimeout(timer);
connection.close();
