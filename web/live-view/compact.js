// The compact stream (GET /api/cameras/{i}/stream?mode=compact), for a
// viewer on a slow link: each frame's picture as a grey JPEG with the values
// its greys stand for, coloured here with the same colour maps as the raw
// stream, and the temperature plane compressed without loss a few times a
// second, which the cursor and rectangle readings use. Also the choice
// between the raw and the compact stream. The message layout is described
// in tools/vivazuzoz/serve/compact_frames.h.
'use strict';

const COMPACT_MAGIC = 'VZLC';

function isCompactMessage(buffer) {
  return buffer.byteLength >= 56 && String.fromCharCode(...new Uint8Array(buffer, 0, 4)) === COMPACT_MAGIC;
}

// Turns the compact messages of one camera into frames that CameraView
// draws: {compact: true, width, height, withTemp, sequence, timestamp,
// grey, low, high, coldestAt, hottestAt, temp, image}. `temp` is the newest
// temperature plane (exact); on a stream without temperatures `image` holds
// the values the greys stand for. The decoding runs in a worker
// (compact_worker.js), so the page's own thread only colours and draws; a
// picture that arrives while two wait to be decoded replaces the older of
// them (a newer one would replace it on the page anyway).
class CompactDecoder {
  constructor(onFrame) {
    this.onFrame = onFrame;
    this.temps = null;        // {sequence, width, height, plane}
    this.newest = 0;          // sequence of the newest frame handed on
    this.worker = null;       // made at the first message
    this.decoding = 0;        // pictures posted to the worker and not back yet
    this.waiting = null;      // a picture held back while two are decoding
  }

  receive(buffer) {
    if (!this.worker) {
      this.worker = new Worker('/compact_worker.js');
      this.worker.onmessage = (event) => this.decoded(event.data);
      // A worker that cannot run decodes nothing: say so, and let the next
      // messages try a new one.
      this.worker.onerror = (event) => {
        console.error(`the compact stream's decoder failed: ${event.message}`);
        this.close();
      };
    }
    const temperatures = (new DataView(buffer).getUint32(12, true) & 1) !== 0;
    if (!temperatures && this.decoding >= 2) {
      this.waiting = buffer;
      return;
    }
    if (!temperatures) this.decoding++;
    this.worker.postMessage(buffer, [buffer]);
  }

  decoded({ header, grey, image, temp, failed }) {
    if (!header.isTemperatures) {
      this.decoding--;
      if (this.waiting) {
        const next = this.waiting;
        this.waiting = null;
        this.receive(next);
      }
    }
    if (failed) return;
    if (header.isTemperatures) {
      if (!this.temps || header.sequence > this.temps.sequence)
        this.temps = { sequence: header.sequence, width: header.width, height: header.height, plane: temp };
      return;
    }
    if (header.sequence <= this.newest) return;  // a later picture was decoded first
    let values = null;
    if (header.withTemp) {
      const t = this.temps;
      // The first picture comes just before its temperatures.
      if (!t || t.width !== header.width || t.height !== header.height) return;
      values = t.plane;
    }
    this.newest = header.sequence;
    this.onFrame({
      compact: true, width: header.width, height: header.height, withTemp: header.withTemp,
      sequence: header.sequence, timestamp: header.timestamp, grey, low: header.low, high: header.high,
      coldestAt: header.coldestAt, hottestAt: header.hottestAt, temp: values, image,
      temperatureSequence: this.temps ? this.temps.sequence : 0,
    });
  }

  close() {
    if (this.worker) this.worker.terminate();
    this.worker = null;
    this.decoding = 0;
    this.waiting = null;
  }
}

// Colours a compact frame's greys into `out` (packed colours): grey g
// stands for low + g * (high - low) / 255, which the range [rangeLow,
// rangeHigh] maps onto the colour map as the raw stream's values are.
function colourCompact(f, out, rangeLow, rangeHigh, packed) {
  const table = new Uint32Array(256);
  const span = rangeHigh - rangeLow, step = (f.high - f.low) / 255;
  for (let g = 0; g < 256; g++) {
    let k = span > 0 ? Math.round(((f.low + g * step - rangeLow) * 255) / span) : 0;
    k = k < 0 ? 0 : k > 255 ? 255 : k;
    table[g] = packed[k];
  }
  const grey = f.grey;
  for (let i = 0; i < grey.length; i++) out[i] = table[grey[i]];
}

// How busy the page's own thread is: the share of the time it spent on
// the streams' messages and drawing (CameraView reports it), or late, by a
// timer that should fire every 100 ms and comes as late as the thread was
// busy with anything else; whichever is larger.
const pageLoad = {
  work: 0,      // ms spent on messages and drawing, all cameras
  late: 0,      // ms the timer came late
  last: performance.now(),
  // Runs `task`, counting its time as the page's work.
  timed(task) {
    const start = performance.now();
    try { return task(); } finally { this.work += performance.now() - start; }
  },
};
setInterval(() => {
  const now = performance.now();
  pageLoad.late += Math.max(0, now - pageLoad.last - 100);
  pageLoad.last = now;
}, 100);

// Raw or compact: the page's switch, and in "auto" the measured delivery.
// The raw stream sends each client the newest frame whenever the link has
// taken the one before, so frames the link could not carry in time show as
// gaps in the frames' sequence numbers. A page too busy to read its
// messages makes gaps as well (the browser stops taking data it cannot
// hand on), and compact frames would not help it: they cost the page more
// to decode. So in auto, a stream that delivered less than 80% of the
// camera's frames over 3 s turns compact only when the page's thread was
// less than half busy meanwhile: a slow link. When it was busier, the
// stream stays and the status says the page, not the link, is short. Raw is
// tried again after a minute, then after two, four... minutes while it
// keeps failing.
class StreamChooser {
  constructor() {
    this.setting = 'auto';       // 'auto', 'raw' or 'compact'
    this.compact = false;        // what is streamed now
    this.retryAfter = 60000;
    this.compactSince = 0;
    this.seen = '';              // what the last window showed, for the status
    this.resetWindow();
  }

  resetWindow() {
    this.windowStart = performance.now();
    this.workAtStart = pageLoad.work;
    this.lateAtStart = pageLoad.late;
    this.firstSequence = 0;
    this.lastSequence = 0;
    this.received = 0;
    this.bytes = 0;
    this.rateBytes = 0;          // bytes a second over the last window
  }

  // Whether the stream should be compact after the user set `setting`.
  choose(setting) {
    this.setting = setting;
    if (setting !== 'auto') this.compact = setting === 'compact';
    this.seen = '';
    this.resetWindow();
    return this.compact;
  }

  // Called for each message; returns true when the stream should switch.
  measure(bytes, sequence) {
    const now = performance.now();
    this.bytes += bytes;
    if (sequence) {
      if (!this.firstSequence) this.firstSequence = sequence;
      if (sequence > this.lastSequence) {
        this.lastSequence = sequence;
        this.received++;
      }
    }
    const elapsed = now - this.windowStart;
    if (elapsed < 3000) return false;
    const expected = this.lastSequence - this.firstSequence + 1;
    const delivered = expected > 0 ? this.received / expected : 1;
    const busy = Math.min(1, Math.max(pageLoad.work - this.workAtStart, pageLoad.late - this.lateAtStart) / elapsed);
    const bytesPerSecond = (this.bytes * 1000) / elapsed;
    this.resetWindow();
    this.rateBytes = bytesPerSecond;
    const gaps = expected >= 10 && delivered < 0.8;
    const percent = (share) => `${Math.round(share * 100)}%`;
    if (!gaps) this.seen = '';
    else if (busy >= 0.5) this.seen = `page busy ${percent(busy)}, not a slow link: ${percent(delivered)} of frames shown`;
    else this.seen = `slow link: ${percent(delivered)} of frames arrived, page busy ${percent(busy)}`;
    if (this.setting !== 'auto') return false;
    if (!this.compact && gaps && busy < 0.5) {
      this.compact = true;
      this.compactSince = now;
      return true;
    }
    if (this.compact && now - this.compactSince > this.retryAfter && delivered >= 0.95) {
      this.compact = false;
      this.retryAfter = Math.min(this.retryAfter * 2, 16 * 60000);
      return true;
    }
    return false;
  }

  describe() {
    const mode = `${this.compact ? 'compact' : 'raw'}${this.setting === 'auto' ? ' (auto)' : ''}`;
    const seen = this.seen ? `; ${this.seen}` : '';
    if (!this.rateBytes) return mode + seen;
    const rate = this.rateBytes >= 1e6 ? `${(this.rateBytes / 1e6).toFixed(1)} MB/s` : `${Math.round(this.rateBytes / 1e3)} kB/s`;
    return `${mode}, ${rate}${seen}`;
  }
}
