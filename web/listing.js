// The listing: a tool's standard output kept as the bytes it wrote (a
// 262,144-tile MOZ prints 6 MB of them) with where each line ends, and shown
// as a list that puts only the lines in sight into the page.
const ROW = 20; // pixels a line, as page.css sets it

export class Listing {
  constructor(box, rows) {
    this.box = box;
    this.rows = rows;
    this.pieces = [];
    this.bases = []; // offset of each piece's first byte
    this.size = 0;
    this.ends = new Float64Array(1024); // offset of each line's newline
    this.count = 0; // lines, the last one perhaps without its newline
    this.newlines = 0;
    this.drawn = null;
    this.later = null;
    this.failed = false; // the last line is the failure line: it stands out
    box.scrollTop = 0;
    box.onscroll = () => this.schedule();
    rows.replaceChildren();
    rows.style.height = "0px";
  }

  add(bytes) {
    this.pieces.push(bytes);
    this.bases.push(this.size);
    for (let at = 0; at < bytes.length; ++at) {
      if (bytes[at] !== 10) continue;
      if (this.newlines === this.ends.length) {
        const grown = new Float64Array(this.ends.length * 2);
        grown.set(this.ends);
        this.ends = grown;
      }
      this.ends[this.newlines++] = this.size + at;
    }
    this.size += bytes.length;
    this.count = this.newlines + (this.size > this.lineStart(this.newlines) ? 1 : 0);
    // While a walk streams its lines, a few redraws a second are plenty; the
    // page's thread has the browser's reading to serve as well.
    this.later ??= setTimeout(() => {
      this.later = null;
      this.schedule();
    }, 250);
  }

  end() {
    this.schedule();
  }

  // Another file's listing takes the box: nothing of this one is drawn again.
  close() {
    clearTimeout(this.later);
    cancelAnimationFrame(this.drawn);
    this.draw = () => {};
  }

  lineStart(line) {
    return line === 0 ? 0 : this.ends[line - 1] + 1;
  }

  // Bytes `from` to `to` of the output.
  slice(from, to) {
    const out = new Uint8Array(to - from);
    let piece = 0;
    while (piece + 1 < this.pieces.length && this.bases[piece + 1] <= from) ++piece;
    for (let at = from; at < to; ++piece) {
      const base = this.bases[piece];
      const part = this.pieces[piece].subarray(at - base, Math.min(to, base + this.pieces[piece].length) - base);
      out.set(part, at - from);
      at += part.length;
    }
    return out;
  }

  line(i) {
    const end = i < this.newlines ? this.ends[i] : this.size;
    return new TextDecoder().decode(this.slice(this.lineStart(i), end));
  }

  last() {
    return this.count > 0 ? this.line(this.count - 1) : "";
  }

  bytes() {
    return this.slice(0, this.size);
  }

  text() {
    return new TextDecoder().decode(this.bytes());
  }

  schedule() {
    if (this.drawn === null) this.drawn = requestAnimationFrame(() => this.draw());
  }

  // Only the lines in sight, and a screenful either side.
  draw() {
    this.drawn = null;
    this.rows.style.height = `${this.count * ROW}px`;
    const sight = Math.ceil(this.box.clientHeight / ROW);
    const first = Math.max(0, Math.floor(this.box.scrollTop / ROW) - sight);
    const last = Math.min(this.count, first + 3 * sight + 1);
    const shown = [];
    for (let i = first; i < last; ++i) {
      const row = document.createElement("div");
      row.className = this.failed && i === this.count - 1 ? "line failed" : "line";
      row.style.top = `${i * ROW}px`;
      row.textContent = this.line(i);
      shown.push(row);
    }
    this.rows.replaceChildren(...shown);
  }
}
