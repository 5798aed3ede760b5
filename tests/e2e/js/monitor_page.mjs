// Runs the monitor page's script in Node, with the elements it fills, on a
// status document (the JSON of /api/status) read from a file, and prints
// what the page then shows as JSON: the summary line and the HTML of the
// servers and the relays.
//   node monitor_page.mjs PAGE.html STATUS.json
import fs from "node:fs";
import vm from "node:vm";

const [pagePath, statusPath] = process.argv.slice(2);
const page = fs.readFileSync(pagePath, "utf8");
const script = page
  .slice(page.indexOf("<script>") + "<script>".length, page.lastIndexOf("</script>"))
  .replace("__TARN_STATUS__", fs.readFileSync(statusPath, "utf8"))
  .replace("__TARN_TRACES__", "null");

const elements = {};
const element = id =>
  (elements[id] ??= { textContent: "", innerHTML: "", className: "", hidden: false, style: {}, dataset: {} });
const document = {
  getElementById: element,
  documentElement: { scrollWidth: 0, dataset: {} },
  body: { scrollWidth: 0 },
};
vm.runInNewContext(script, {
  document,
  window: { addEventListener() {} },
  setInterval() {},
  fetch: async () => { throw new Error("no server"); },
});
console.log(JSON.stringify({
  summary: element("summary").textContent,
  servers: element("servers").innerHTML,
  relays: element("relays").innerHTML,
}));
