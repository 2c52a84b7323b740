// The page's workers: the page starts two from this script, one that walks
// the container (the listing, Save tiles) and one that makes the picture (the
// overview's coarser levels, Save as PNG), so that neither waits on the other
// and the page itself only draws. Each request brings the chosen File and the
// compiled WebAssembly; each walk runs in an instance of its own.
import { WASI } from "@bjorn3/browser_wasi_shim";
import { makeZip } from "client-zip";

import { Folder, InputFile, Sink } from "./files.js";

// The tools' walks, as numbered by tt_run.
const LIST_TIZ = 0;
const SAVE_TIZ = 1;
const LIST_MOZ = 2;
const SAVE_MOZ = 3;

// Where the engine can suspend WebAssembly while a promise settles, the input
// is read by the browser's fastest reader, File.stream().
const canSuspend = typeof WebAssembly.Suspending === "function";

function instantiate(module, fds, tile = () => {}) {
  const shim = new WASI(["tiletools"], [], fds, { debug: false });
  const imports = { wasi_snapshot_preview1: { ...shim.wasiImport }, tiletools: { tile } };
  const read = shim.wasiImport.fd_read;
  if (canSuspend) {
    // The walk is suspended only when the input has nothing waiting: a
    // promise returned suspends it, a number does not.
    imports.wasi_snapshot_preview1.fd_read = new WebAssembly.Suspending((fd, ...rest) => {
      const file = shim.fds[fd];
      if (file instanceof InputFile && file.starved()) {
        return file.ready().then(() => read(fd, ...rest));
      }
      return read(fd, ...rest);
    });
  }
  const instance = new WebAssembly.Instance(module, imports);
  shim.initialize(instance);
  return instance.exports;
}

// Runs one tool's walk over `file`: its standard output to `onOutput`, the
// tile files it saves to `onFile`, a MOZ listing's payload places to `tile`.
// The exit status.
async function walk(module, file, tool, { onOutput, onFile, tile, sync }) {
  const input = new InputFile(file, { stream: canSuspend && !sync });
  // Lines go to the page in pieces of a megabyte (40,000 of them), so its
  // thread wakes a few times a second rather than for every block.
  const output = new Sink(onOutput, 1 << 20);
  const ignored = new Sink(() => {}, Infinity);
  const fds = [ignored, output, ignored, new Folder(input, onFile)];
  const exports = instantiate(module, fds, tile);
  const run = canSuspend ? WebAssembly.promising(exports.tt_run) : exports.tt_run;
  const status = await run(tool);
  output.flush();
  return status;
}

// Bytes gathered into blocks, each sealed as a Blob the browser may keep on
// disk, so that a large output never lies in the page's memory whole.
class Gather {
  constructor(blockBytes = 16 << 20) {
    this.block = new Uint8Array(blockBytes);
    this.used = 0;
    this.blobs = [];
  }

  // Where `bytes` went: the block and the offset in it.
  push(bytes) {
    if (this.used + bytes.length > this.block.length) this.seal();
    if (bytes.length > this.block.length) {
      this.blobs.push(new Blob([bytes]));
      return [this.blobs.length - 1, 0];
    }
    this.block.set(bytes, this.used);
    this.used += bytes.length;
    return [this.blobs.length, this.used - bytes.length];
  }

  seal() {
    if (this.used > 0) this.blobs.push(new Blob([this.block.subarray(0, this.used)]));
    this.used = 0;
  }

  blob(type) {
    this.seal();
    return new Blob(this.blobs, { type });
  }
}

async function listing(message) {
  const { module, file, tool } = message;
  let places = { offsets: new Float64Array(1024), lengths: new Int32Array(1024), count: 0 };
  const tile = (index, offset, length) => {
    if (index >= places.offsets.length) {
      const grown = { offsets: new Float64Array(places.offsets.length * 2), lengths: new Int32Array(places.offsets.length * 2), count: 0 };
      grown.offsets.set(places.offsets);
      grown.lengths.set(places.lengths);
      places = grown;
    }
    places.offsets[index] = offset;
    places.lengths[index] = length;
    places.count = index + 1;
  };
  const onOutput = (bytes) => postMessage({ type: "output", bytes }, [bytes.buffer]);
  const started = performance.now();
  const status = await walk(module, file, tool, { onOutput, tile, sync: message.sync });
  const walkMs = performance.now() - started;
  const offsets = places.offsets.slice(0, places.count);
  const lengths = places.lengths.slice(0, places.count);
  postMessage({ type: "listed", status, offsets, lengths, walkMs }, [offsets.buffer, lengths.buffer]);
}

// Save tiles: the extractor's own walk, its files gathered as it writes them,
// then a ZIP of them in the order written.
async function saveTiles(message) {
  const { module, file, tool } = message;
  const gather = new Gather();
  const names = [];
  const where = [];
  const sizes = [];
  const onFile = (name, bytes) => {
    names.push(name);
    where.push(gather.push(bytes));
    sizes.push(bytes.length);
  };
  const status = await walk(module, file, tool, { onOutput: () => {}, onFile, sync: message.sync });
  gather.seal();
  const lastModified = new Date();
  async function* files() {
    let block = -1;
    let bytes = null;
    for (let i = 0; i < names.length; ++i) {
      if (i % 4096 === 0) postMessage({ type: "progress", done: i, total: names.length });
      // An empty file took no room in any block: none may even have been sealed.
      if (sizes[i] === 0) {
        yield { name: names[i], input: new Uint8Array(0), lastModified, mode: 0o644 };
        continue;
      }
      const [at, offset] = where[i];
      if (at !== block) {
        block = at;
        bytes = new Uint8Array(await gather.blobs[at].arrayBuffer());
      }
      yield { name: names[i], input: bytes.subarray(offset, offset + sizes[i]), lastModified, mode: 0o644 };
    }
  }
  const zip = new Gather();
  const reader = makeZip(files(), { buffersAreUTF8: true }).getReader();
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    zip.push(value);
  }
  postMessage({ type: "saved", status, files: names.length, blob: zip.blob("application/zip") });
}

// The picture, a band (a row of tiles) at a time, as the browser decodes the
// tiles: gray where no tile's pixels land, each tile clipped to its cell.
class Bands {
  constructor(message) {
    const { file, width, height, offsets, lengths } = message;
    Object.assign(this, { file, width, height, offsets, lengths });
    this.columns = Math.ceil(width / 64);
    this.rows = Math.ceil(height / 64);
    this.canvas = new OffscreenCanvas(width, 64);
    this.context = this.canvas.getContext("2d", { willReadFrequently: true });
    this.gray = []; // tiles not shown: missing or not decodable
  }

  // A tile's JPEG from its band's bytes; null when it is missing or not a
  // JPEG at all (no decoder takes a payload without the start marker, and
  // asking the browser costs a round trip a tile).
  async decode(index, band, base) {
    if (index >= this.offsets.length) return null;
    const at = this.offsets[index] - base;
    const jpeg = band.subarray(at, at + this.lengths[index]);
    if (jpeg.length < 2 || jpeg[0] !== 0xff || jpeg[1] !== 0xd8) return null;
    try {
      return await createImageBitmap(new Blob([jpeg]), { colorSpaceConversion: "none", premultiplyAlpha: "none" });
    } catch {
      return null;
    }
  }

  // Band `row` as RGBA, width x height(row) pixels. Its records follow each
  // other in the file, so they are read at once.
  async paint(row) {
    const height = this.heightOf(row);
    const context = this.context;
    context.fillStyle = "#808080";
    context.fillRect(0, 0, this.width, 64);
    const first = row * this.columns;
    const last = Math.min(first + this.columns, this.offsets.length);
    const base = last > first ? this.offsets[first] : 0;
    const end = last > first ? this.offsets[last - 1] + this.lengths[last - 1] : 0;
    const band = new Uint8Array(await this.file.slice(base, end).arrayBuffer());
    const tiles = await Promise.all(Array.from({ length: this.columns }, (_, c) => this.decode(first + c, band, base)));
    tiles.forEach((bitmap, c) => {
      if (bitmap === null) {
        this.gray.push(first + c);
        return;
      }
      const w = Math.min(bitmap.width, 64, this.width - c * 64);
      const h = Math.min(bitmap.height, height);
      context.drawImage(bitmap, 0, 0, w, h, c * 64, 0, w, h);
      bitmap.close();
    });
    return context.getImageData(0, 0, this.width, height).data;
  }

  // Band `row` as RGB rows in WebAssembly memory at `at`, from the browser's RGBA.
  async rgb(row, work, at) {
    const pixels = await this.paint(row);
    work.bytes(at, pixels.length).set(pixels);
    work.exports.tt_rgba_to_rgb(at, pixels.length / 4);
  }

  heightOf(row) {
    return Math.min(64, this.height - row * 64);
  }
}

// A WebAssembly instance for the pixel work, with memory it hands out.
function pixelWork(module) {
  const none = new Sink(() => {}, Infinity);
  const exports = instantiate(module, [none, none, none, new Folder(null, null)]);
  return {
    exports,
    alloc: (bytes) => exports.tt_alloc(bytes),
    bytes: (at, count) => new Uint8Array(exports.memory.buffer, at, count),
  };
}

// The overview: each coarser level made from the one below, every pixel the
// rounded mean of the four it covers (the pyramid's halving, in WebAssembly),
// held as a band of 256 rows per level and encoded as JPEG tiles of 256
// pixels when the band fills. Memory is a band per level, whatever the size.
const OVERVIEW_TILE = 256;
let overviewTiles = new Map();
let tileWaiters = new Map();

async function overview(message) {
  const { module, width, height } = message;
  overviewTiles = new Map();
  const bands = new Bands(message);
  const work = pixelWork(module);
  const top = Math.ceil(Math.log2(Math.max(width, height)));
  const levels = [];
  for (let level = top - 1; level >= 0; --level) {
    const scale = 2 ** (top - level);
    const w = Math.ceil(width / scale);
    levels[level] = { level, width: w, height: Math.ceil(height / scale), y: 0, filled: 0, rows: work.alloc(w * OVERVIEW_TILE * 3) };
  }
  const band = work.alloc(width * 64 * 4);
  const rgba = work.alloc(OVERVIEW_TILE * OVERVIEW_TILE * 4);

  // A level's band of rows as tiles, encoded all at once (the browser
  // encodes off this thread).
  const emit = async (at) => {
    const columns = Math.ceil(at.width / OVERVIEW_TILE);
    const row = at.y / OVERVIEW_TILE;
    const encoded = [];
    for (let c = 0; c < columns; ++c) {
      const w = Math.min(OVERVIEW_TILE, at.width - c * OVERVIEW_TILE);
      for (let y = 0; y < at.filled; ++y) {
        const from = at.rows + (y * at.width + c * OVERVIEW_TILE) * 3;
        work.exports.tt_rgb_to_rgba(from, rgba + y * w * 4, w);
      }
      const pixels = new ImageData(new Uint8ClampedArray(work.bytes(rgba, w * at.filled * 4)), w, at.filled);
      const canvas = new OffscreenCanvas(w, at.filled);
      canvas.getContext("2d").putImageData(pixels, 0, 0);
      encoded.push(canvas.convertToBlob({ type: "image/jpeg", quality: 0.9 }));
    }
    (await Promise.all(encoded)).forEach((blob, c) => {
      const key = `${at.level}/${c}_${row}`;
      overviewTiles.set(key, blob);
      tileWaiters.get(key)?.forEach((answer) => answer(blob));
      tileWaiters.delete(key);
    });
  };
  // Rows of the level above `level` (at `from`), halved into `level`.
  const push = async (level, from, w, h) => {
    if (level < 0) return;
    const at = levels[level];
    work.exports.tt_halve(from, w, h, w * 3, at.rows + at.filled * at.width * 3, at.width * 3);
    at.filled += Math.ceil(h / 2);
    if (at.filled === OVERVIEW_TILE || at.y + at.filled === at.height) {
      await emit(at);
      await push(level - 1, at.rows, at.width, at.filled);
      at.y += at.filled;
      at.filled = 0;
    }
  };
  for (let row = 0; row < bands.rows; ++row) {
    await bands.rgb(row, work, band);
    await push(top - 1, band, width, bands.heightOf(row));
    postMessage({ type: "progress", done: row + 1, total: bands.rows });
  }
  postMessage({ type: "overview", gray: bands.gray });
}

function overviewTile({ id, key }) {
  const answer = (blob) => postMessage({ type: "tile", id, blob });
  if (overviewTiles.has(key)) {
    answer(overviewTiles.get(key));
  } else {
    tileWaiters.set(key, [...(tileWaiters.get(key) ?? []), answer]);
  }
}

// Save as PNG: moz-stitch's PNG writer over the browser's pixels, a band at a
// time; at 1/2, 1/4 or 1/8 each band is halved as often first.
async function png(message) {
  const { module, width, height, scale } = message;
  const bands = new Bands(message);
  const work = pixelWork(module);
  const halvings = Math.log2(scale);
  const band = work.alloc(width * 64 * 4);
  // Two, used in turn, so that no halving reads the rows it writes.
  const halves = [work.alloc(width * 32 * 3 + 3), work.alloc(width * 16 * 3 + 3)];
  const out = new Gather();
  const copy = (at) => {
    if (at === 0) throw new Error("the PNG writer ran out of memory");
    out.push(work.bytes(at, work.exports.tt_piece_size()).slice());
  };
  const outWidth = Math.ceil(width / scale);
  copy(work.exports.tt_png_head(outWidth, Math.ceil(height / scale)));
  for (let row = 0; row < bands.rows; ++row) {
    await bands.rgb(row, work, band);
    let [w, h, at] = [width, bands.heightOf(row), band];
    for (let k = 0; k < halvings; ++k) {
      const to = halves[k % 2];
      work.exports.tt_halve(at, w, h, w * 3, to, Math.ceil(w / 2) * 3);
      [w, h, at] = [Math.ceil(w / 2), Math.ceil(h / 2), to];
    }
    copy(work.exports.tt_png_band(at, w, h, row === 0 ? 1 : 0, row === bands.rows - 1 ? 1 : 0));
    postMessage({ type: "progress", done: row + 1, total: bands.rows });
  }
  copy(work.exports.tt_png_tail());
  postMessage({ type: "png", blob: out.blob("image/png"), gray: bands.gray });
}

const requests = { list: listing, save: saveTiles, overview, tile: overviewTile, png };

onmessage = async ({ data }) => {
  try {
    await requests[data.type](data);
  } catch (error) {
    postMessage({ type: "error", request: data.type, message: String(error?.message ?? error) });
  }
};

