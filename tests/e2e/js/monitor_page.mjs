// Runs the monitor page's script in Node, with the elements it fills, on a
// status document (the JSON of /api/status) read from a file, and prints
// what the page then shows as JSON: the summary line and the HTML of the
// servers and the relays.
//   node monitor_page.mjs PAGE.html STATUS.json
import fs from "node:fs";
import path from "node:path";
import vm from "node:vm";

const [pagePath, statusPath] = process.argv.slice(2);
// The streams table's script goes in at its marker, as the build puts it.
const streamsScript = fs.readFileSync(path.join(path.dirname(pagePath), "monitor_page_streams.js"), "utf8");
const page = fs.readFileSync(pagePath, "utf8").replace("// @MONITOR_STREAMS_SCRIPT@\n", () => streamsScript);
const script = page
  .slice(page.indexOf("<script>") + "<script>".length, page.lastIndexOf("</script>"))
  .replace("__TARN_STATUS__", fs.readFileSync(statusPath, "utf8"))
  .replace("__TARN_TRACES__", "null");

const elements = {};
const element = id =>
  (elements[id] ??= { textContent: "", innerHTML: "", className: "", hidden: false, style: {}, dataset: {},
                     value: "", scrollTop: 0, clientHeight: 0, addEventListener() {}, querySelectorAll: () => [],
                     tBodies: [{ innerHTML: "" }] });
const document = {
  getElementById: element,
  documentElement: { scrollWidth: 0, dataset: {} },
  body: { scrollWidth: 0 },
  querySelectorAll: () => [],
  createElement: () => element("created"),
};
vm.runInNewContext(script, {
  document,
  window: { addEventListener() {} },
  setInterval() {},
  performance,
  requestAnimationFrame() {},
  fetch: async () => { throw new Error("no server"); },
});
console.log(JSON.stringify({
  summary: element("summary").textContent,
  servers: element("servers").innerHTML,
  relays: element("relays").innerHTML,
}));
