// The page: opens a TIZ or MOZ file chosen or dropped, shows what the
// container tools print about it and its verdict, saves its tiles as a ZIP,
// and shows a MOZ's picture and saves it as a PNG. The work happens in two
// workers (worker.js): this thread only draws. Nothing is sent anywhere.
import OpenSeadragon from "openseadragon";

import { Listing } from "./listing.js";

const WALKS = { tiz: { list: 0, save: 1 }, moz: { list: 2, save: 3 } };
const EDGE = 64; // a MOZ tile's edge
const GRAY = "#808080"; // where no tile's pixels land, as moz-stitch paints it
const $ = (id) => document.getElementById(id);
const sync = new URLSearchParams(location.search).get("read") === "sync";

// Set up once: the WebAssembly, compiled from the bytes build.mjs put in the
// page, and the workers' script.
const wasm = WebAssembly.compile(Uint8Array.from(atob(document.getElementById("wasm").textContent), (c) => c.charCodeAt(0)));
const workerUrl = URL.createObjectURL(new Blob([document.getElementById("worker").textContent], { type: "text/javascript" }));

// What the tests and the bench read: the state of the file last opened.
const state = (window.tiletools = { opened: 0, listed: false, status: null, pictured: false, downloads: [] });

let current = null; // the file open now: its workers and what is known of it

// Workers started before they are needed, so that opening a file does not
// wait for them: a walker and a painter.
let spare = null;
function startWorkers() {
  spare = { walker: new Worker(workerUrl), painter: new Worker(workerUrl) };
}
startWorkers();

function listen(worker, onMessage) {
  worker.onmessage = ({ data }) => {
    if (data.type === "error") show("status", `Failed: ${data.message}`);
    else onMessage(data);
  };
}

function show(id, text) {
  $(id).textContent = text;
}

function progress(done, total) {
  const bar = $("progress");
  bar.hidden = done >= total;
  bar.max = total;
  bar.value = done;
}

function download(blob, name) {
  state.downloads.push({ name, blob });
  const link = document.createElement("a");
  link.href = URL.createObjectURL(blob);
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

// TIZ or MOZ, by the magic; a file that is neither goes to the tools its name
// suggests, which say what is wrong with it.
function formatOf(file, header) {
  const magic = new TextDecoder("latin1").decode(new Uint8Array(header.buffer, 0, Math.min(3, header.byteLength)));
  if (magic === "TIZ" || magic === "MOZ") return magic.toLowerCase();
  return /\.moz$/i.test(file.name) ? "moz" : "tiz";
}

async function open(file) {
  const started = performance.now();
  if (current) {
    for (const worker of [current.walker, current.painter]) worker.terminate();
    current.viewer?.destroy();
    current.listing.close();
  }
  const module = await wasm;
  const header = new DataView(await file.slice(0, 8).arrayBuffer());
  const format = formatOf(file, header);
  const open = (current = { file, module, format, listing: new Listing($("listing"), $("rows")), ...spare });
  startWorkers();
  Object.assign(state, { opened: state.opened + 1, listed: false, status: null, pictured: false, gray: null });
  $("result").hidden = false;
  $("picture-section").hidden = true;
  $("png-controls").hidden = true;
  show("name", file.name);
  show("verdict", "Reading…");
  $("verdict").className = "";
  show("status", "");
  show("gray", "");
  listen(open.walker, (data) => walked(open, data));
  listen(open.painter, (data) => painted(open, data));
  walk(open, "list", WALKS[format].list);
  open.started = started;
  if (format === "moz" && header.byteLength === 8 && header.getInt16(4) > 0 && header.getInt16(6) > 0) {
    open.width = header.getInt16(4);
    open.height = header.getInt16(6);
  }
}

// Asks the walking worker for a walk over the whole file (?read=sync reads it
// as a browser that cannot suspend WebAssembly does).
function walk(open, type, tool) {
  const { module, file } = open;
  open.walker.postMessage({ type, module, file, tool, sync });
}

function walked(open, data) {
  if (data.type === "output") {
    open.listing.add(data.bytes);
  } else if (data.type === "listed") {
    open.listing.end();
    const ok = data.status === 0;
    state.listMs = performance.now() - open.started;
    state.walkMs = data.walkMs;
    Object.assign(state, { listed: true, status: data.status });
    $("verdict").className = ok ? "ok" : "failed";
    open.listing.failed = !ok;
    open.listing.schedule();
    show("verdict", ok ? `Read to the end: ${open.listing.count} lines, status 0.` : `Stopped (status 1): ${open.listing.last()}`);
    open.places = { offsets: data.offsets, lengths: data.lengths };
    if (open.width) picture(open);
  } else if (data.type === "progress") {
    progress(data.done, data.total);
    show("status", `Saving tiles: ${data.done} of ${data.total}…`);
  } else if (data.type === "saved") {
    progress(1, 1);
    show("status", `Saved ${data.files} tile files.`);
    download(data.blob, `${open.file.name.replace(/\.[^.]*$/, "")}-tiles.zip`);
  }
}

function painted(open, data) {
  if (data.type === "progress") {
    progress(data.done, data.total);
  } else if (data.type === "tile") {
    open.waiting.get(data.id)?.(data.blob);
    open.waiting.delete(data.id);
  } else if (data.type === "overview") {
    state.pictured = true;
    reportGray(open, data.gray);
  } else if (data.type === "png") {
    progress(1, 1);
    show("status", "Saved the picture.");
    download(data.blob, open.pngName);
  }
}

// Tile numbers as short ranges: "3, 7 to 12".
function ranges(indices) {
  const sorted = [...new Set(indices)].sort((a, b) => a - b);
  const out = [];
  for (let i = 0; i < sorted.length; ) {
    let j = i;
    while (j + 1 < sorted.length && sorted[j + 1] === sorted[j] + 1) ++j;
    out.push(i === j ? `${sorted[i]}` : `${sorted[i]} to ${sorted[j]}`);
    i = j + 1;
  }
  return out.join(", ");
}

function reportGray(open, gray) {
  state.gray = gray;
  const read = open.places.offsets.length;
  const missing = gray.filter((i) => i >= read);
  const broken = gray.filter((i) => i < read);
  const parts = [];
  if (missing.length > 0) parts.push(`missing from the file: ${ranges(missing)}`);
  if (broken.length > 0) parts.push(`not decodable: ${ranges(broken)}`);
  show("gray", parts.length > 0 ? `Shown gray, tiles ${parts.join("; ")}.` : "");
}

// The picture: its finest level the file's own tiles, decoded here as they
// come into view; the coarser levels from the painting worker's overview.
function picture(open) {
  const { width, height, file, places } = open;
  const top = Math.ceil(Math.log2(Math.max(width, height)));
  const columns = Math.ceil(width / EDGE);
  open.waiting = new Map();
  let asked = 0;
  const source = new OpenSeadragon.TileSource({ width, height, tileSize: 256, tileOverlap: 0, minLevel: 0, maxLevel: top });
  source.getTileWidth = source.getTileHeight = (level) => (level === top ? EDGE : 256);
  source.getTileUrl = (level, x, y) => `${level}/${x}_${y}`;
  source.downloadTileAbort = () => {};
  source.downloadTileStart = async (job) => {
    const { level, x, y } = job.tile;
    if (level < top) {
      const id = ++asked;
      open.waiting.set(id, (blob) => job.finish(blob, null, "rasterBlob"));
      open.painter.postMessage({ type: "tile", id, key: `${level}/${x}_${y}` });
      return;
    }
    const canvas = document.createElement("canvas");
    canvas.width = Math.min(EDGE, width - x * EDGE);
    canvas.height = Math.min(EDGE, height - y * EDGE);
    const context = canvas.getContext("2d");
    context.fillStyle = GRAY;
    context.fillRect(0, 0, canvas.width, canvas.height);
    const index = y * columns + x;
    if (index < places.offsets.length) {
      const offset = places.offsets[index];
      try {
        const bitmap = await createImageBitmap(file.slice(offset, offset + places.lengths[index]), {
          colorSpaceConversion: "none",
          premultiplyAlpha: "none",
        });
        const w = Math.min(bitmap.width, canvas.width);
        const h = Math.min(bitmap.height, canvas.height);
        context.drawImage(bitmap, 0, 0, w, h, 0, 0, w, h);
        bitmap.close();
      } catch {
        // gray, and named under the picture once the overview has seen it
      }
    }
    job.finish(context, null, "context2d");
  };
  $("picture-section").hidden = false;
  $("png-controls").hidden = false;
  open.viewer = OpenSeadragon({
    element: $("picture"),
    tileSources: source,
    drawer: "canvas",
    showNavigationControl: false,
    timeout: 24 * 3600 * 1000,
    maxZoomPixelRatio: 8,
    visibilityRatio: 0.5,
  });
  // Each tile drawn at its own size, not a pixel larger to hide seams: there
  // are none between tiles that meet exactly, and the pixels stay the file's.
  open.viewer.drawer.minimumOverlapRequired = () => false;
  state.viewer = open.viewer;
  open.painter.postMessage({ type: "overview", module: open.module, file, width, height, ...places });
}

$("open").addEventListener("change", (event) => {
  if (event.target.files.length > 0) open(event.target.files[0]);
});
document.addEventListener("dragover", (event) => event.preventDefault());
document.addEventListener("drop", (event) => {
  event.preventDefault();
  if (event.dataTransfer.files.length > 0) open(event.dataTransfer.files[0]);
});

$("copy").addEventListener("click", async () => {
  const text = current.listing.text();
  try {
    await navigator.clipboard.writeText(text);
  } catch {
    const area = Object.assign(document.createElement("textarea"), { value: text });
    document.body.append(area);
    area.select();
    document.execCommand("copy");
    area.remove();
  }
  show("status", "Copied the listing.");
});

$("save-tiles").addEventListener("click", () => {
  show("status", "Saving tiles…");
  walk(current, "save", WALKS[current.format].save);
});

$("save-png").addEventListener("click", () => {
  const scale = Number($("png-scale").value);
  const { module, file, width, height, places } = current;
  current.pngName = `${file.name.replace(/\.[^.]*$/, "")}${scale === 1 ? "" : `-1-${scale}`}.png`;
  show("status", "Making the PNG…");
  current.painter.postMessage({ type: "png", module, file, width, height, scale, ...places });
});

for (const [id, zoom] of [["zoom-in", 2], ["zoom-out", 0.5]]) {
  $(id).addEventListener("click", () => current?.viewer?.viewport.zoomBy(zoom));
}
$("zoom-home").addEventListener("click", () => current?.viewer?.viewport.goHome());

state.listingBytes = () => current.listing.bytes();
state.ready = true;
