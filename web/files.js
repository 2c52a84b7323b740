// The files the WebAssembly walks see, under the WASI layer: "input", the
// chosen File, read front to back on demand and never held whole; standard
// output, gathered for the page; and the current folder, where save_tile's
// files are handed to whoever collects them.
import { Fd, PreopenDirectory, wasi } from "@bjorn3/browser_wasi_shim";

// To the C library these are plain files, so standard output is buffered in
// large blocks as it is when a tool's output goes to a file or a pipe.
function regularFile() {
  return { ret: wasi.ERRNO_SUCCESS, fdstat: new wasi.Fdstat(wasi.FILETYPE_REGULAR_FILE, 0) };
}

// A FileReaderSync block: large, as fewer reads of a File go faster.
const SYNC_BLOCK = 32 << 20;

// How much may wait, read ahead of the walk: enough that the browser keeps
// reading while the walk works (8 chunks were too few, the reading stalled),
// and little beside a file of any size.
const AHEAD_BYTES = 32 << 20;

// The chosen File as a stream of bytes. Where the engine can suspend
// WebAssembly while a promise settles (`stream`), File.stream() reads it, the
// browser's fastest reader, with reads always asked for ahead, so the browser
// fetches the next chunks while the walk works on this one. Otherwise
// FileReaderSync reads it block by block. A read that fails is the walk's
// read error.
export class InputFile extends Fd {
  constructor(file, { stream }) {
    super();
    this.file = file;
    this.reader = stream ? file.stream().getReader() : null;
    this.sync = stream ? null : new FileReaderSync();
    this.chunk = new Uint8Array(0);
    this.at = 0;
    this.position = 0; // of the chunk's first byte in the file
    this.ended = false;
    this.failed = false;
    this.queue = []; // chunks read ahead, then how the stream ended
    this.queued = 0; // their bytes
    this.asked = null; // the read under way
    if (stream) this.ask();
  }

  ask() {
    this.asked = this.reader.read().then(
      ({ done, value }) => {
        this.asked = null;
        this.queue.push(done ? { done } : { bytes: value });
        this.queued += done ? 0 : value.length;
        if (!done && this.queued < AHEAD_BYTES) this.ask();
      },
      () => {
        this.asked = null;
        this.queue.push({ failed: true });
      },
    );
  }

  waiting() {
    return this.chunk.length - this.at;
  }

  // In the streaming mode, whether a read must wait for the browser first.
  starved() {
    return this.reader !== null && this.waiting() === 0 && this.queue.length === 0 && !this.ended;
  }

  // Awaited when starved: until a chunk (or the end) is there.
  async ready() {
    while (this.queue.length === 0 && this.asked !== null) await this.asked;
  }

  // The next chunk read ahead, or the end.
  takeQueued() {
    const next = this.queue.shift();
    if (next.bytes) {
      this.queued -= next.bytes.length;
      this.take(next.bytes);
      // Reading stopped when the queue was full; go on, unless it has ended.
      const over = this.queue.some((n) => !n.bytes);
      if (this.asked === null && !over && this.queued < AHEAD_BYTES) this.ask();
    } else {
      this.ended = true;
      this.failed = Boolean(next.failed);
    }
  }

  take(bytes) {
    this.position += this.chunk.length;
    this.chunk = bytes;
    this.at = 0;
  }

  readBlock() {
    const from = this.position + this.chunk.length;
    if (from >= this.file.size) {
      this.ended = true;
      return;
    }
    try {
      this.take(new Uint8Array(this.sync.readAsArrayBuffer(this.file.slice(from, from + SYNC_BLOCK))));
    } catch {
      this.ended = this.failed = true;
    }
  }

  fd_read(size) {
    if (this.waiting() === 0 && this.sync && !this.ended) this.readBlock();
    while (this.waiting() === 0 && this.queue.length > 0 && !this.ended) this.takeQueued();
    if (this.waiting() === 0 && this.failed) return { ret: wasi.ERRNO_IO, data: new Uint8Array(0) };
    const count = Math.min(size, this.waiting());
    const data = this.chunk.subarray(this.at, this.at + count);
    this.at += count;
    return { ret: wasi.ERRNO_SUCCESS, data };
  }

  fd_fdstat_get() {
    return regularFile();
  }

  fd_close() {
    this.reader?.cancel().catch(() => {});
    return wasi.ERRNO_SUCCESS;
  }
}

// Bytes written to a descriptor, handed on in pieces of at least `piece` bytes.
export class Sink extends Fd {
  constructor(onBytes, piece = 1 << 16) {
    super();
    this.onBytes = onBytes;
    this.piece = piece;
    this.parts = [];
    this.size = 0;
  }

  fd_write(data) {
    this.parts.push(data);
    this.size += data.length;
    if (this.size >= this.piece) this.flush();
    return { ret: wasi.ERRNO_SUCCESS, nwritten: data.length };
  }

  flush() {
    if (this.size === 0) return;
    this.onBytes(joined(this.parts, this.size));
    this.parts = [];
    this.size = 0;
  }

  fd_fdstat_get() {
    return regularFile();
  }

  fd_close() {
    this.flush();
    return wasi.ERRNO_SUCCESS;
  }
}

export function joined(parts, size) {
  if (parts.length === 1) return parts[0];
  const all = new Uint8Array(size);
  let at = 0;
  for (const part of parts) {
    all.set(part, at);
    at += part.length;
  }
  return all;
}

// The walk's current folder: "input" opens the chosen file; a file created
// there (a tile file) becomes a Sink whose bytes go to `onFile(name, bytes)`
// when it is closed. Without `onFile` nothing can be created, as a listing
// creates nothing.
export class Folder extends PreopenDirectory {
  constructor(input, onFile) {
    super("/", []);
    this.input = input;
    this.onFile = onFile;
  }

  path_open(dirflags, path, oflags) {
    if (path === "input") return { ret: wasi.ERRNO_SUCCESS, fd_obj: this.input };
    if (this.onFile && (oflags & wasi.OFLAGS_CREAT) !== 0) {
      const file = new Sink(() => {}, Infinity);
      file.fd_close = () => {
        this.onFile(path, joined(file.parts, file.size));
        return wasi.ERRNO_SUCCESS;
      };
      return { ret: wasi.ERRNO_SUCCESS, fd_obj: file };
    }
    return { ret: wasi.ERRNO_ACCES, fd_obj: null };
  }
}
