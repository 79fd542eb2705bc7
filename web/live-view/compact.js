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

function parseCompactHeader(buffer) {
  const view = new DataView(buffer);
  const flags = view.getUint32(12, true);
  return {
    headerSize: view.getUint16(6, true),
    width: view.getUint16(8, true),
    height: view.getUint16(10, true),
    isTemperatures: (flags & 1) !== 0,
    withTemp: (flags & 2) !== 0,
    sequence: Number(view.getBigUint64(16, true)),
    timestamp: view.getFloat64(24, true),
    low: view.getFloat64(32, true),
    high: view.getFloat64(40, true),
    coldestAt: view.getUint32(48, true),
    hottestAt: view.getUint32(52, true),
  };
}

// The temperature plane: inflated, then the differences from the left
// neighbour (the row above for a row's first pixel) added up again.
async function inflateTemperatures(header, body) {
  const stream = new Blob([body]).stream().pipeThrough(new DecompressionStream('deflate'));
  const bytes = new Uint8Array(await new Response(stream).arrayBuffer());
  const w = header.width, count = w * header.height;
  if (bytes.length !== 2 * count) return null;
  const plane = new Int16Array(count);
  for (let i = 0; i < count; i++) {
    const d = bytes[i] | (bytes[count + i] << 8);
    const before = i % w ? plane[i - 1] : i >= w ? plane[i - w] : 0;
    plane[i] = before + d;  // wraps to int16 as the server's sum does
  }
  return plane;
}

// The picture's greys, one byte a pixel, from the JPEG.
let greyCanvas = null;
async function decodeGrey(header, body) {
  const bitmap = await createImageBitmap(new Blob([body], { type: 'image/jpeg' }),
    { colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
  if (!greyCanvas) greyCanvas = document.createElement('canvas');
  if (greyCanvas.width !== header.width || greyCanvas.height !== header.height) {
    greyCanvas.width = header.width;
    greyCanvas.height = header.height;
  }
  const context = greyCanvas.getContext('2d', { willReadFrequently: true });
  context.drawImage(bitmap, 0, 0);
  bitmap.close();
  const rgba = context.getImageData(0, 0, header.width, header.height).data;
  const grey = new Uint8Array(header.width * header.height);
  for (let i = 0, j = 0; i < grey.length; i++, j += 4) grey[i] = rgba[j];
  return grey;
}

// Turns the compact messages of one camera into frames that CameraView
// draws: {compact: true, width, height, withTemp, sequence, timestamp,
// grey, low, high, coldestAt, hottestAt, temp, image}. `temp` is the newest
// temperature plane (exact); on a stream without temperatures `image` holds
// the values the greys stand for.
class CompactDecoder {
  constructor(onFrame) {
    this.onFrame = onFrame;
    this.temps = null;        // {sequence, width, height, plane}
    this.newest = 0;          // sequence of the newest frame handed on
  }

  async receive(buffer) {
    const header = parseCompactHeader(buffer);
    const body = new Uint8Array(buffer, header.headerSize);
    try {
      if (header.isTemperatures) {
        const plane = await inflateTemperatures(header, body);
        if (plane && (!this.temps || header.sequence > this.temps.sequence))
          this.temps = { sequence: header.sequence, width: header.width, height: header.height, plane };
        return;
      }
      const grey = await decodeGrey(header, body);
      if (header.sequence <= this.newest) return;  // a later picture was decoded first
      let temp = null, image = null;
      if (header.withTemp) {
        const t = this.temps;
        // The first picture comes just before its temperatures.
        if (!t || t.width !== header.width || t.height !== header.height) return;
        temp = t.plane;
      } else {
        const step = (header.high - header.low) / 255;
        image = new Uint16Array(grey.length);
        for (let i = 0; i < grey.length; i++) image[i] = Math.round(header.low + grey[i] * step);
      }
      this.newest = header.sequence;
      this.onFrame({
        compact: true, width: header.width, height: header.height, withTemp: header.withTemp,
        sequence: header.sequence, timestamp: header.timestamp, grey, low: header.low, high: header.high,
        coldestAt: header.coldestAt, hottestAt: header.hottestAt, temp, image,
        temperatureSequence: this.temps ? this.temps.sequence : 0,
      });
    } catch (e) {
      // A message that does not decode is skipped; the next one replaces it.
    }
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

// Raw or compact: the page's switch, and in "auto" the measured delivery.
// The raw stream sends each client the newest frame whenever the link has
// taken the one before, so a link that cannot carry every frame shows as
// gaps in the frames' sequence numbers. In auto, a stream that delivered
// less than 80% of the camera's frames over 3 s turns compact; raw is tried
// again after a minute, then after two, four... minutes while it keeps
// failing.
class StreamChooser {
  constructor() {
    this.setting = 'auto';       // 'auto', 'raw' or 'compact'
    this.compact = false;        // what is streamed now
    this.retryAfter = 60000;
    this.compactSince = 0;
    this.resetWindow();
  }

  resetWindow() {
    this.windowStart = performance.now();
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
    const bytesPerSecond = (this.bytes * 1000) / elapsed;
    this.resetWindow();
    this.rateBytes = bytesPerSecond;
    if (this.setting !== 'auto') return false;
    if (!this.compact && expected >= 10 && delivered < 0.8) {
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
    if (!this.rateBytes) return `${this.compact ? 'compact' : 'raw'}${this.setting === 'auto' ? ' (auto)' : ''}`;
    const rate = this.rateBytes >= 1e6 ? `${(this.rateBytes / 1e6).toFixed(1)} MB/s` : `${Math.round(this.rateBytes / 1e3)} kB/s`;
    return `${this.compact ? 'compact' : 'raw'}${this.setting === 'auto' ? ' (auto)' : ''}, ${rate}`;
  }
}
