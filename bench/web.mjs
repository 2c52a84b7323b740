// The page against what the browser itself allows, in one run:
//   node web.mjs NODE_MODULES PAGE BIG.moz SAMPLE.moz MOZ_GRIDCHECK RUNS
// Listing BIG.moz in the page against the same browser merely reading the
// same File from start to end in a worker (File.stream(), and FileReaderSync
// in 16, 32 and 64 MiB blocks), each in a fresh page, in turn; medians, the
// ratio to the fastest plain read, and moz-gridcheck's time beside them. Then
// the sample opened to its picture shown, and BIG.moz's overview with the
// peak JavaScript heap of the page and its workers.
import { spawnSync } from "node:child_process";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

const [modules, pagePath, big, sample, gridcheck, runsText] = process.argv.slice(2);
const runs = Number(runsText ?? 5);
const { default: puppeteer } = await import(pathToFileURL(join(modules, "puppeteer-core/lib/esm/puppeteer/puppeteer-core.js")).href);
const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  headless: true,
  pipe: true,
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// A plain read of the chosen File in a worker, in milliseconds.
const reader = `onmessage = async ({ data: { file, block } }) => {
  const started = performance.now();
  let bytes = 0;
  if (block === 0) {
    const reader = file.stream().getReader();
    for (;;) { const { done, value } = await reader.read(); if (done) break; bytes += value.length; }
  } else {
    const sync = new FileReaderSync();
    for (let at = 0; at < file.size; at += block) bytes += sync.readAsArrayBuffer(file.slice(at, at + block)).byteLength;
  }
  postMessage({ ms: performance.now() - started, bytes });
};`;

async function fresh(path) {
  const page = await browser.newPage();
  await page.goto(pathToFileURL(pagePath).href);
  await page.waitForFunction(() => window.tiletools?.ready);
  return page;
}

const walks = []; // the walk alone, in its worker, for each listing

async function listing(path) {
  const page = await fresh(path);
  await (await page.$("#open")).uploadFile(path);
  await page.waitForFunction(() => window.tiletools.listed, { timeout: 600000 });
  const [ms, walk] = await page.evaluate(() => [window.tiletools.listMs, window.tiletools.walkMs]);
  walks.push(walk); // the first, a warming round's, is dropped below
  await page.close();
  return ms;
}

async function plainRead(path, block) {
  const page = await fresh(path);
  await page.evaluate(() => document.body.append(Object.assign(document.createElement("input"), { type: "file", id: "bench" })));
  await (await page.$("#bench")).uploadFile(path);
  const { ms, bytes } = await page.evaluate(
    (code, block) =>
      new Promise((done) => {
        const worker = new Worker(URL.createObjectURL(new Blob([code])));
        worker.onmessage = ({ data }) => done(data);
        worker.postMessage({ file: document.getElementById("bench").files[0], block });
      }),
    reader,
    block,
  );
  await page.close();
  if (bytes === 0) throw new Error("read nothing");
  return ms;
}

function tool() {
  const started = process.hrtime.bigint();
  const result = spawnSync(gridcheck, [big], { stdio: ["ignore", "ignore", "inherit"] });
  if (result.status !== 0) throw new Error(`moz-gridcheck: status ${result.status}`);
  return Number(process.hrtime.bigint() - started) / 1e6;
}

const MiB = 1 << 20;
const contenders = {
  "the page's listing": () => listing(big),
  "File.stream()": () => plainRead(big, 0),
  "FileReaderSync, 16 MiB blocks": () => plainRead(big, 16 * MiB),
  "FileReaderSync, 32 MiB blocks": () => plainRead(big, 32 * MiB),
  "FileReaderSync, 64 MiB blocks": () => plainRead(big, 64 * MiB),
  "moz-gridcheck (native)": async () => tool(),
};
const times = Object.fromEntries(Object.keys(contenders).map((name) => [name, []]));
const names = Object.keys(contenders);
for (let run = 0; run <= runs; ++run) {
  // In turn, starting each round one further on, so no contender always goes first.
  for (let i = 0; i < names.length; ++i) {
    const name = names[(i + run) % names.length];
    const ms = await contenders[name]();
    if (run > 0) times[name].push(ms); // the first round warms the caches
  }
}
console.log(`listing ${big}: medians of ${runs} runs, each in a fresh page`);
for (const name of names) console.log(`  ${name.padEnd(32)} ${(median(times[name]) / 1000).toFixed(3)} s`);
const fastest = Math.min(...names.filter((n) => n !== "the page's listing" && !n.startsWith("moz-")).map((n) => median(times[n])));
const page = median(times["the page's listing"]);
console.log(`  (of the page's listing, the walk in its worker: ${(median(walks.slice(1)) / 1000).toFixed(3)} s)`);
console.log(`  the page / the fastest plain read: ${(page / fastest).toFixed(2)}`);
console.log(`  the page / moz-gridcheck: ${(page / median(times["moz-gridcheck (native)"])).toFixed(1)}`);

// The sample, from opening the page to its picture shown.
const shown = [];
for (let run = 0; run < runs; ++run) {
  const started = Date.now();
  const page = await fresh(sample);
  await (await page.$("#open")).uploadFile(sample);
  await page.waitForFunction(() => window.tiletools.pictured && window.tiletools.viewer.world.getItemAt(0)?.getFullyLoaded());
  shown.push(Date.now() - started);
  await page.close();
}
console.log(`the sample, page loaded to its picture shown: ${(median(shown) / 1000).toFixed(2)} s`);

// The big file's overview and the heap of the page and its workers.
{
  const page = await fresh(big);
  let peak = 0;
  const measure = async () => {
    let used = (await page.metrics()).JSHeapUsedSize ?? 0;
    for (const worker of page.workers()) used += (await worker.client.send("Runtime.getHeapUsage")).usedSize;
    peak = Math.max(peak, used);
  };
  const sampling = setInterval(() => measure().catch(() => {}), 200);
  const started = Date.now();
  await (await page.$("#open")).uploadFile(big);
  await page.waitForFunction(() => window.tiletools.pictured, { timeout: 1800000, polling: 500 });
  clearInterval(sampling);
  console.log(`${big}: listed and its overview made in ${((Date.now() - started) / 1000).toFixed(1)} s, ` +
    `peak JavaScript heap ${(peak / MiB).toFixed(1)} MiB (page and workers)`);
  await page.close();
}
await browser.close();
