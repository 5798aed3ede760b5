// Reads miniSEED records with seisplotjs, the field's JavaScript library,
// and prints one JSON line per record: where it came from, its stream,
// start time (epoch seconds), sample rate, encoding, record length and
// decoded samples.
//
//   node read_mseed.mjs FILE...      the records of each file
//   node read_mseed.mjs -            JSON lines on standard input, as
//                                    `tarn tail --json --data` prints them:
//                                    the records of each line's "data"
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

function printRecords(source, bytes) {
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  for (const record of sp.miniseed.parseDataRecords(buffer)) {
    const h = record.header;
    const samples = Array.from(record.decompress());
    console.log(JSON.stringify({
      source,
      stream: `${h.netCode}.${h.staCode}.${h.locCode}.${h.chanCode}`,
      start: h.startTime.toMillis() / 1000,
      sampleRate: h.sampleRate,
      encoding: h.encoding,
      recordSize: h.recordSize,
      samples,
    }));
  }
}

if (process.argv[2] === '-') {
  const lines = readFileSync(0, 'utf8').split('\n').filter((line) => line.trim() !== '');
  for (const line of lines) {
    const packet = JSON.parse(line);
    if (packet.data) printRecords(packet.srcname, Buffer.from(packet.data, 'base64'));
  }
} else {
  for (const file of process.argv.slice(2)) printRecords(file, readFileSync(file));
}
