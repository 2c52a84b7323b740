// The web page in headless Chromium, with no network (in a network namespace
// of its own): on the samples and on containers made here, its lines equal
// the container tools' standard output byte for byte, its verdict their exit
// status, and the ZIP of Save tiles the files the extractors write; a MOZ's
// picture, zoomed in, and its saved PNG equal moz-stitch's; a MOZ of 262,144
// tiles lists and makes its overview in under 256 MiB of JavaScript heap; at
// 360 x 740 nothing scrolls sideways and every control is at least 44 px.
//   node web_test.mjs NODE_MODULES PAGE WORK SCREENSHOT TOOLS...
// TOOLS: tiz-tilelist tiz-tilesave moz-gridcheck moz-tilesave moz-stitch moz-pack.
// Exits 77 (skipped) without chromium.
import { spawnSync } from "node:child_process";
import { existsSync, mkdirSync, readFileSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";
import { deflateSync, inflateSync } from "node:zlib";
import assert from "node:assert/strict";

const [modules, pagePath, work, screenshotPath, ...toolPaths] = process.argv.slice(2);
const [tizTilelist, tizTilesave, mozGridcheck, mozTilesave, mozStitch, mozPack] = toolPaths;
const chromium = "/usr/bin/chromium";
if (!existsSync(chromium)) {
  console.log("chromium is not installed");
  process.exit(77);
}
// Offline for real: the test runs again in a namespace with no network at all.
if (process.env.TILETOOLS_OFFLINE !== "1") {
  const again = spawnSync("unshare", ["--map-root-user", "--net", process.execPath, ...process.argv.slice(1)], {
    stdio: "inherit",
    env: { ...process.env, TILETOOLS_OFFLINE: "1" },
  });
  process.exit(again.status ?? 1);
}
const { default: puppeteer } = await import(pathToFileURL(join(modules, "puppeteer-core/lib/esm/puppeteer/puppeteer-core.js")).href);

rmSync(work, { recursive: true, force: true });
mkdirSync(work, { recursive: true });

// Containers, made here.
const u16 = (n) => Buffer.from([(n >> 8) & 255, n & 255]);
const record = (kind, payload) => Buffer.concat([Buffer.from("TIL"), Buffer.from(kind), u16(payload.length), payload]);
const tiz = (count, records, reserved = [0, 0]) => Buffer.concat([Buffer.from("TIZ0"), u16(count), Buffer.from(reserved), ...records]);
const moz = (width, height, records) => Buffer.concat([Buffer.from("MOZ0"), u16(width & 0xffff), u16(height & 0xffff), ...records]);
const bytes = (n, seed = 1) => Buffer.from(Array.from({ length: n }, (_, i) => (i * 31 + seed * 7) & 255));
const method1 = (z, total) => Buffer.concat([u16(z), bytes(total - 2, 3)]);
const sample = (name) => readFileSync(join(process.argv[1], "../../examples", name));
const lostTag = (file, at) => Buffer.concat([file.subarray(0, at), Buffer.from("XIL"), file.subarray(at + 3)]);
const scene = sample("scene.moz");
const bigRecords = Array.from({ length: 600 }, (_, i) => record("J", bytes(60000, i)));

const containers = [
  ["scene.tiz", sample("scene.tiz")],
  ["scene.moz", scene],
  ["methods.tiz", tiz(9, [record("0", bytes(40)), record("1", method1(10, 50)), record("2", bytes(30)), record("A", bytes(5)),
    record("1", method1(48, 50)), record("1", method1(60, 50)), record("1", bytes(1)), record("0", Buffer.alloc(0)), record("2", Buffer.alloc(0))], [1, 0])],
  ["largest.tiz", tiz(3, [record("2", bytes(65535)), record("1", method1(100, 65535)), record("0", bytes(65535))])],
  ["no-tiles.tiz", tiz(0, [], [0, 7])],
  ["cut-payload.tiz", tiz(3, [record("2", bytes(100)), record("2", bytes(100))]).subarray(0, 150)],
  ["cut-header.tiz", tiz(3, [record("2", bytes(100))]).subarray(0, 8 + 106 + 4)],
  ["lost-tag.tiz", lostTag(tiz(3, [record("2", bytes(100)), record("2", bytes(100)), record("2", bytes(10))]), 8 + 106)],
  ["wrong-magic.tiz", Buffer.from("TIZ1\0\0\0\0")],
  ["short.moz", Buffer.from("MOZ0\0")],
  ["empty.tiz", Buffer.alloc(0)],
  ["sizes-0.moz", moz(0, 100, [])],
  ["sizes-negative.moz", moz(-64, 64, [])],
  ["sizes-65x1.moz", moz(65, 1, [record("J", bytes(20)), record("J", bytes(0))])],
  ["big.moz", moz(64 * 30, 64 * 20, bigRecords)], // 36 MB: past the reader's blocks
  ["cut.moz", scene.subarray(0, 2000)],
  ["lost-tag.moz", lostTag(scene, 8 + 6 + 382 + 6 + 506 + 6 + 821 + 6 + 310 + 6 + 963 + 6 + 900)],
  // Every tile empty: a ZIP of empty files only.
  ["empty-tiles.moz", moz(128, 128, Array.from({ length: 4 }, () => record("J", Buffer.alloc(0))))],
  ["empty-tiles.tiz", tiz(3, [record("2", Buffer.alloc(0)), record("1", u16(0)), record("2", Buffer.alloc(0))])],
];

// As the page tells them: by the magic, else by the name.
function formatOf(name, container) {
  const magic = container.toString("latin1", 0, 3);
  if (magic === "TIZ" || magic === "MOZ") return magic.toLowerCase();
  return /\.moz$/.test(name) ? "moz" : "tiz";
}

function run(tool, args, cwd = work) {
  const result = spawnSync(tool, args, { cwd, maxBuffer: 1 << 30 });
  assert.equal(result.error, undefined, `${tool}: ${result.error}`);
  return { stdout: result.stdout, status: result.status };
}

// What the tools say of `path`: the lister's lines (TIZ), or moz-tilesave's
// without its Saving lines (MOZ); the status; the files the extractor writes.
function native(path, format) {
  const folder = join(work, "native");
  rmSync(folder, { recursive: true, force: true });
  mkdirSync(folder);
  const saved = run(format === "tiz" ? tizTilesave : mozTilesave, [path], folder);
  const files = new Map(readdirSync(folder).map((name) => [name, readFileSync(join(folder, name))]));
  if (format === "tiz") return { ...run(tizTilelist, [path]), files };
  const lines = saved.stdout.toString("latin1").split(/(?<=\n)/).filter((line) => !line.startsWith("Saving "));
  const check = run(mozGridcheck, [path]);
  assert.equal(check.stdout.toString("latin1").split(/(?<=\n)/)[0], lines[0] ?? undefined, `${path}: gridcheck's first line`);
  assert.equal(check.status, saved.status, `${path}: gridcheck's status`);
  return { stdout: Buffer.from(lines.join(""), "latin1"), status: saved.status, files };
}

// A ZIP's stored files, by name: its central directory, then each local header.
function unzip(zip) {
  let end = zip.length - 22;
  while (zip.readUInt32LE(end) !== 0x06054b50) --end;
  let count = zip.readUInt16LE(end + 10);
  let at = zip.readUInt32LE(end + 16);
  if (count === 0xffff || at === 0xffffffff) {
    const locator = zip.readUInt32LE(end - 20) === 0x07064b50 ? Number(zip.readBigUInt64LE(end - 12)) : -1;
    count = Number(zip.readBigUInt64LE(locator + 32));
    at = Number(zip.readBigUInt64LE(locator + 48));
  }
  const files = new Map();
  for (let i = 0; i < count; ++i) {
    assert.equal(zip.readUInt32LE(at), 0x02014b50, "a central directory entry");
    assert.equal(zip.readUInt16LE(at + 10), 0, "stored, not compressed");
    const [nameLength, extraLength, commentLength] = [28, 30, 32].map((o) => zip.readUInt16LE(at + o));
    const name = zip.toString("utf8", at + 46, at + 46 + nameLength);
    let size = zip.readUInt32LE(at + 24);
    let local = zip.readUInt32LE(at + 42);
    for (let e = at + 46 + nameLength; e < at + 46 + nameLength + extraLength; e += 4 + zip.readUInt16LE(e + 2)) {
      if (zip.readUInt16LE(e) !== 1) continue;
      let field = e + 4;
      if (size === 0xffffffff) (size = Number(zip.readBigUInt64LE(field))), (field += 16);
      if (local === 0xffffffff) local = Number(zip.readBigUInt64LE(field));
    }
    const data = local + 30 + zip.readUInt16LE(local + 26) + zip.readUInt16LE(local + 28);
    files.set(name, zip.subarray(data, data + size));
    at += 46 + nameLength + extraLength + commentLength;
  }
  return files;
}

// An 8-bit RGB or RGBA PNG's pixels, as RGB.
function readPng(png) {
  let at = 8;
  let width, height, channels;
  const idat = [];
  while (at < png.length) {
    const size = png.readUInt32BE(at);
    const kind = png.toString("latin1", at + 4, at + 8);
    if (kind === "IHDR") {
      [width, height] = [png.readUInt32BE(at + 8), png.readUInt32BE(at + 12)];
      channels = png[at + 17] === 6 ? 4 : 3;
    } else if (kind === "IDAT") idat.push(png.subarray(at + 8, at + 8 + size));
    at += 12 + size;
  }
  const raw = inflateSync(Buffer.concat(idat));
  const stride = width * channels;
  const rgb = Buffer.alloc(width * height * 3);
  let previous = Buffer.alloc(stride);
  for (let y = 0; y < height; ++y) {
    const kind = raw[y * (stride + 1)];
    const row = Buffer.from(raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1)));
    for (let x = 0; x < stride; ++x) {
      const a = x >= channels ? row[x - channels] : 0;
      const b = previous[x];
      const c = x >= channels ? previous[x - channels] : 0;
      const p = a + b - c;
      const [pa, pb, pc] = [Math.abs(p - a), Math.abs(p - b), Math.abs(p - c)];
      const predicted = [0, a, b, (a + b) >> 1, pa <= pb && pa <= pc ? a : pb <= pc ? b : c][kind];
      row[x] = (row[x] + predicted) & 255;
    }
    for (let x = 0; x < width; ++x) row.copy(rgb, (y * width + x) * 3, x * channels, x * channels + 3);
    previous = row;
  }
  return { width, height, rgb };
}

// A picture to pack: colour ramps, rings and a diagonal, 1000 x 700.
function makePng(path, width, height) {
  const raw = Buffer.alloc((width * 3 + 1) * height);
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const ring = Math.floor(((x - 600) ** 2 + (y - 300) ** 2) / 4000) % 2;
      raw.set([(x * 255) / width, (y * 255) / height, ring ? 220 : x > y ? 40 : 150], y * (width * 3 + 1) + 1 + x * 3);
    }
  }
  const chunk = (kind, data) => {
    const body = Buffer.concat([Buffer.from(kind), data]);
    const crc = Buffer.alloc(4);
    crc.writeUInt32BE(crc32(body));
    const size = Buffer.alloc(4);
    size.writeUInt32BE(data.length);
    return Buffer.concat([size, body, crc]);
  };
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width);
  header.writeUInt32BE(height, 4);
  header.set([8, 2, 0, 0, 0], 8);
  const signature = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  writeFileSync(path, Buffer.concat([signature, chunk("IHDR", header), chunk("IDAT", deflateSync(raw)), chunk("IEND", Buffer.alloc(0))]));
}

function crc32(data) {
  let crc = ~0;
  for (const byte of data) {
    crc ^= byte;
    for (let k = 0; k < 8; ++k) crc = (crc >>> 1) ^ (0xedb88320 & -(crc & 1));
  }
  return ~crc >>> 0;
}

// The browser, its pages refused anything but the page's own file, blobs and data.
const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  pipe: true,
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
const refused = [];

async function openPage(path, { query = "", viewport = { width: 1000, height: 900 } } = {}) {
  const page = await browser.newPage();
  await page.setViewport(viewport);
  await page.setRequestInterception(true);
  page.on("request", (request) => {
    if (/^(file|blob|data):/.test(request.url())) return request.continue();
    refused.push(request.url());
    return request.abort();
  });
  page.on("pageerror", (error) => console.log(`page error: ${error.message}`));
  const loaded = Date.now();
  await page.goto(pathToFileURL(pagePath).href + query);
  await page.waitForFunction(() => window.tiletools?.ready);
  await (await page.$("#open")).uploadFile(path);
  await page.waitForFunction(() => window.tiletools.listed, { timeout: 120000 });
  page.loadMs = Date.now() - loaded;
  return page;
}

const pageBytes = async (page, expression) =>
  Buffer.from(
    await page.evaluate(async (expression) => {
      const blob = new Blob([await eval(expression)]);
      const url = await new Promise((done) => {
        const reader = new FileReader();
        reader.onload = () => done(reader.result);
        reader.readAsDataURL(blob);
      });
      return url.slice(url.indexOf(",") + 1);
    }, expression),
    "base64",
  );

async function download(page, button, count) {
  await page.click(button);
  await page.waitForFunction((count) => window.tiletools.downloads.length >= count, { timeout: 300000 }, count);
  const name = await page.evaluate((i) => window.tiletools.downloads[i].name, count - 1);
  return { name, bytes: await pageBytes(page, `window.tiletools.downloads[${count - 1}].blob`) };
}

let failures = 0;
async function check(name, body) {
  try {
    await body();
    console.log(`ok: ${name}`);
  } catch (error) {
    ++failures;
    console.log(`FAILED: ${name}: ${error.stack}`);
  }
}

// Listing, verdict and Save tiles, container by container; two of them read
// as a browser without suspendable WebAssembly reads (FileReaderSync).
for (const [name, container] of containers) {
  for (const query of name === "big.moz" || name === "cut.moz" ? ["", "?read=sync"] : [""]) {
    await check(`${name}${query}`, async () => {
      const path = join(work, name);
      writeFileSync(path, container);
      const want = native(path, formatOf(name, container));
      const page = await openPage(path, { query });
      const got = await pageBytes(page, "window.tiletools.listingBytes()");
      assert.ok(got.equals(want.stdout), `lines differ:\n${got.toString("latin1")}\n-- the tool's --\n${want.stdout.toString("latin1")}`);
      assert.equal(await page.evaluate(() => window.tiletools.status), want.status, "status");
      assert.equal(await page.$eval("#verdict", (v) => v.className), want.status === 0 ? "ok" : "failed", "verdict");
      const zip = await download(page, "#save-tiles", 1);
      assert.equal(zip.name, `${name.replace(/\.[^.]*$/, "")}-tiles.zip`);
      const files = unzip(zip.bytes);
      assert.deepEqual([...files.keys()].sort(), [...want.files.keys()].sort(), "the ZIP's names");
      for (const [file, content] of want.files) assert.ok(files.get(file).equals(content), `${file} differs`);
      await page.close();
    });
  }
}

// The picture at one screen pixel per picture pixel, its top-left corner at
// (x0, y0) of the picture: every pixel shown equals moz-stitch's.
async function zoomedIn(page, x0, y0) {
  await page.waitForFunction(() => window.tiletools.pictured, { timeout: 120000 });
  const box = await (await page.$("#picture")).boundingBox();
  const [w, h] = [Math.floor(box.width / 2) * 2, Math.floor(box.height / 2) * 2];
  await page.evaluate(
    (x0, y0, w, h) => {
      const viewport = window.tiletools.viewer.viewport;
      viewport.zoomTo(viewport.imageToViewportZoom(1), null, true);
      viewport.panTo(viewport.imageToViewportCoordinates(x0 + w / 2, y0 + h / 2), true);
    },
    x0, y0, w, h,
  );
  await page.waitForFunction(() => window.tiletools.viewer.world.getItemAt(0).getFullyLoaded(), { timeout: 60000 });
  await new Promise((done) => setTimeout(done, 500));
  const shot = readPng(Buffer.from(await page.screenshot({ clip: { x: box.x, y: box.y, width: w, height: h } })));
  return shot;
}

function compareShown(shot, picture, x0, y0) {
  let compared = 0;
  let differ = 0;
  for (let y = 0; y < shot.height && y0 + y < picture.height; ++y) {
    for (let x = 0; x < shot.width && x0 + x < picture.width; ++x) {
      const s = (y * shot.width + x) * 3;
      const p = ((y0 + y) * picture.width + x0 + x) * 3;
      ++compared;
      if (shot.rgb[s] !== picture.rgb[p] || shot.rgb[s + 1] !== picture.rgb[p + 1] || shot.rgb[s + 2] !== picture.rgb[p + 2]) ++differ;
    }
  }
  assert.ok(compared > 1000, `only ${compared} pixels compared`);
  assert.equal(differ, 0, `${differ} of ${compared} pixels shown differ from moz-stitch's`);
  return compared;
}

// The picture halved as the page halves it for a smaller PNG.
function halved({ width, height, rgb }) {
  const [w, h] = [Math.ceil(width / 2), Math.ceil(height / 2)];
  const out = Buffer.alloc(w * h * 3);
  for (let y = 0; y < h; ++y) {
    for (let x = 0; x < w; ++x) {
      const xs = [2 * x, Math.min(2 * x + 1, width - 1)].filter((v, i, a) => a.indexOf(v) === i);
      const ys = [2 * y, Math.min(2 * y + 1, height - 1)].filter((v, i, a) => a.indexOf(v) === i);
      for (let c = 0; c < 3; ++c) {
        let sum = 0;
        for (const yy of ys) for (const xx of xs) sum += rgb[(yy * width + xx) * 3 + c];
        const count = xs.length * ys.length;
        out[(y * w + x) * 3 + c] = Math.floor((sum + count / 2) / count);
      }
    }
  }
  return { width: w, height: h, rgb: out };
}

makePng(join(work, "picture.png"), 1000, 700);
run(mozPack, ["--quiet", join(work, "picture.png"), join(work, "picture.moz")]);
for (const [name, x0, y0] of [["scene.moz", 0, 0], ["picture.moz", 300, 200]]) {
  await check(`picture of ${name}`, async () => {
    const path = name === "scene.moz" ? join(work, "scene.moz") : join(work, name);
    const stitched = join(work, `${name}.png`);
    assert.equal(run(mozStitch, ["--quiet", path, stitched]).status, 0);
    const picture = readPng(readFileSync(stitched));
    const page = await openPage(path);
    const compared = compareShown(await zoomedIn(page, x0, y0), picture, x0, y0);
    const png = await download(page, "#save-png", 1);
    assert.ok(png.bytes.equals(readFileSync(stitched)), "the saved PNG differs from moz-stitch's");
    await page.select("#png-scale", "2");
    const half = readPng((await download(page, "#save-png", 2)).bytes);
    const want = halved(picture);
    assert.deepEqual([half.width, half.height], [want.width, want.height], "the size at 1/2");
    assert.ok(half.rgb.equals(want.rgb), "the PNG at 1/2 is not the picture halved");
    console.log(`  ${compared} pixels shown equal moz-stitch's; the PNG equals it byte for byte`);
    await page.close();
  });
}

await check("missing tiles are named under the picture", async () => {
  const page = await openPage(join(work, "lost-tag.moz"));
  await page.waitForFunction(() => window.tiletools.pictured, { timeout: 60000 });
  assert.match(await page.$eval("#gray", (p) => p.textContent), /missing from the file: 6 to 11/);
  await page.close();
});

await check("262,144 tiles in under 256 MiB of JavaScript heap", async () => {
  const path = join(work, "grid.moz");
  writeFileSync(path, moz(32767, 32767, Array(262144).fill(record("J", Buffer.alloc(0)))));
  const page = await browser.newPage();
  let peak = 0;
  const sample = async () => {
    let used = (await page.metrics()).JSHeapUsedSize ?? 0;
    for (const worker of page.workers()) used += (await worker.client.send("Runtime.getHeapUsage")).usedSize;
    peak = Math.max(peak, used);
  };
  const sampling = setInterval(() => sample().catch(() => {}), 200);
  await page.goto(pathToFileURL(pagePath).href);
  await page.waitForFunction(() => window.tiletools?.ready);
  await (await page.$("#open")).uploadFile(path);
  await page.waitForFunction(() => window.tiletools.listed, { timeout: 120000 });
  const lines = await page.evaluate(() => window.tiletools.listingBytes().filter((b) => b === 10).length);
  assert.equal(lines, 262145);
  await page.waitForFunction(() => window.tiletools.pictured, { timeout: 600000, polling: 1000 });
  clearInterval(sampling);
  await sample();
  console.log(`  peak JavaScript heap, page and workers: ${(peak / 2 ** 20).toFixed(1)} MiB`);
  assert.ok(peak > 0 && peak < 256 * 2 ** 20, `${peak} bytes of heap`);
  await page.close();
});

await check("a phone's screen: 360 x 740", async () => {
  const page = await openPage(join(work, "scene.moz"), { viewport: { width: 360, height: 740, isMobile: true, hasTouch: true } });
  await page.waitForFunction(() => window.tiletools.pictured, { timeout: 60000 });
  await new Promise((done) => setTimeout(done, 500));
  assert.ok(page.loadMs < 5000, `${page.loadMs} ms to open the sample`);
  const { wide, small } = await page.evaluate(() => ({
    wide: document.documentElement.scrollWidth,
    small: [...document.querySelectorAll("button, .button, select")]
      .filter((e) => e.offsetParent !== null)
      .map((e) => [e.id || e.textContent, e.getBoundingClientRect()])
      .filter(([, r]) => r.width < 44 || r.height < 44)
      .map(([name]) => name),
  }));
  assert.ok(wide <= 360, `the page is ${wide} px wide`);
  assert.deepEqual(small, [], "controls under 44 px");
  await page.screenshot({ path: screenshotPath });
  await page.close();
});

await browser.close();
if (refused.length > 0) {
  console.log(`FAILED: the page asked for ${refused.join(", ")}`);
  ++failures;
}
console.log(failures === 0 ? "all checks of the page passed" : `${failures} checks failed`);
process.exit(failures === 0 ? 0 : 1);
