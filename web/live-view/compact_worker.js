// The compact stream's messages decoded off the page's main thread: the
// picture's JPEG to one grey byte a pixel, and the temperature plane
// inflated and added up again. The page (compact.js) posts each message's
// bytes and gets back {header, grey, image} or {header, temp}, their arrays
// transferred, not copied. The message layout is described in
// tools/vivazuzoz/serve/compact_frames.h.
'use strict';

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
let canvas = null;
async function decodeGrey(header, body) {
  const bitmap = await createImageBitmap(new Blob([body], { type: 'image/jpeg' }),
    { colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
  if (!canvas || canvas.width !== header.width || canvas.height !== header.height)
    canvas = new OffscreenCanvas(header.width, header.height);
  const context = canvas.getContext('2d', { willReadFrequently: true });
  context.drawImage(bitmap, 0, 0);
  bitmap.close();
  const rgba = new Uint32Array(context.getImageData(0, 0, header.width, header.height).data.buffer);
  const grey = new Uint8Array(header.width * header.height);
  for (let i = 0; i < grey.length; i++) grey[i] = rgba[i] & 0xff;  // red, the first byte in memory
  return grey;
}

// On a stream without temperatures: the values the greys stand for.
function imageValues(header, grey) {
  const step = (header.high - header.low) / 255;
  const table = new Uint16Array(256);
  for (let g = 0; g < 256; g++) table[g] = Math.round(header.low + g * step);
  const image = new Uint16Array(grey.length);
  for (let i = 0; i < grey.length; i++) image[i] = table[grey[i]];
  return image;
}

self.onmessage = async (event) => {
  const buffer = event.data;
  const header = parseCompactHeader(buffer);
  const body = new Uint8Array(buffer, header.headerSize);
  try {
    if (header.isTemperatures) {
      const temp = await inflateTemperatures(header, body);
      if (temp) self.postMessage({ header, temp }, [temp.buffer]);
      else self.postMessage({ header, failed: true });
      return;
    }
    const grey = await decodeGrey(header, body);
    const image = header.withTemp ? null : imageValues(header, grey);
    self.postMessage({ header, grey, image }, image ? [grey.buffer, image.buffer] : [grey.buffer]);
  } catch (e) {
    // A message that does not decode is skipped; the next one replaces it.
    self.postMessage({ header, failed: true });
  }
};
