// The live view: one section per camera, each fed by a WebSocket of raw
// frames and false-coloured here, so palette and range changes need no
// round trip to the server.
'use strict';

// ------------------------------------------------------------- palettes

// The colour maps come from the server (GET /api/colormaps): the tool's own
// tables, so the page and the tool's PNG files colour alike.
// Name -> {rgb: 256 [r, g, b], packed: 256 colours for a Uint32Array view of
// ImageData (bytes r, g, b, a in memory order)}; the default first.
const PALETTES = {};
const littleEndian = new Uint8Array(new Uint32Array([1]).buffer)[0] === 1;

async function loadColormaps() {
  for (const map of await api('GET', '/api/colormaps')) {
    const table = [];
    for (let i = 0; i < 256; i++) table.push(map.rgb.slice(3 * i, 3 * i + 3));
    PALETTES[map.name] = {
      description: map.description,
      rgb: table,
      packed: Uint32Array.from(table, ([r, g, b]) =>
        littleEndian ? ((255 << 24) | (b << 16) | (g << 8) | r) >>> 0 : ((r << 24) | (g << 16) | (b << 8) | 255) >>> 0),
    };
  }
}

// ------------------------------------------------------------- frames

// The binary message: a 32-byte little-endian header, then the image plane
// (uint16) and, when flag bit 0 is set, the temperature plane (int16, tenths).
// Flag bit 1: taken during a shutter (flat-field) correction; bit 2: just
// after one, while the picture settles.
const MAGIC = 'VZLV';
function parseFrame(buffer) {
  const view = new DataView(buffer);
  if (buffer.byteLength < 32 || String.fromCharCode(...new Uint8Array(buffer, 0, 4)) !== MAGIC) return null;
  const headerSize = view.getUint16(6, true);
  const width = view.getUint16(8, true);
  const height = view.getUint16(10, true);
  const flags = view.getUint32(12, true);
  const count = width * height;
  const withTemp = (flags & 1) !== 0;
  if (buffer.byteLength < headerSize + count * 2 * (withTemp ? 2 : 1)) return null;
  return {
    width, height, withTemp,
    shutter: (flags & 2) !== 0,
    settling: (flags & 4) !== 0,
    sequence: Number(view.getBigUint64(16, true)),
    timestamp: view.getFloat64(24, true),
    image: new Uint16Array(buffer, headerSize, count),
    temp: withTemp ? new Int16Array(buffer, headerSize + count * 2, count) : null,
  };
}

// Degrees from tenths, with one decimal, exactly.
function degrees(tenths) {
  return (tenths / 10).toFixed(1);
}

// ------------------------------------------------------------- API

async function api(method, path, body) {
  const response = await fetch(path, {
    method,
    body,
    headers: body === undefined ? {} : { 'Content-Type': 'text/plain' },
    cache: 'no-store',
  });
  let data = null;
  try { data = await response.json(); } catch (e) { /* not JSON */ }
  if (!response.ok) {
    const message = data && data.error ? data.error : `${response.status} ${response.statusText}`;
    const error = new Error(message);
    error.code = data ? data.code : response.status;
    throw error;
  }
  return data;
}

let settingList = null;  // [{name, description, group, readOnly, integer, min, max}]

// ------------------------------------------------------------- one camera

class CameraView {
  constructor(info) {
    this.index = info.index;
    const node = document.getElementById('camera-template').content.firstElementChild.cloneNode(true);
    node.id = `camera-${info.index}`;
    node.dataset.index = info.index;
    this.node = node;
    this.q = (selector) => node.querySelector(selector);
    this.image = this.q('.image');
    this.overlay = this.q('.overlay');
    this.frame = null;         // newest frame
    this.cursor = null;        // {x, y} in pixels
    this.rect = null;          // {x0, y0, x1, y1} in pixels, inclusive
    this.dragStart = null;
    this.arrivals = [];        // arrival times of the last frames, for the rate
    this.frames = 0;
    this.drawn = 0;            // frames drawn (a frame replaced before its turn is not)
    this.drawnFrame = null;
    this.live = false;
    this.wasGone = false;      // the camera was live and then went
    this.drawPending = false;
    this.chooser = new StreamChooser();  // raw or compact (compact.js)
    this.decoder = new CompactDecoder((frame) => this.takeFrame(frame));
    this.setInfo(info);
    this.bindControls();
    document.getElementById('cameras').appendChild(node);
    this.connect();
    this.loadSettings();
  }

  // `info.unit_label`: what the camera's temperatures are in, as the user
  // declared it ("°C", "°F", "K"), or "unit N" when nobody did.
  setInfo(info) {
    this.info = info;
    this.q('.name').textContent = `${info.index}: ${info.name || 'camera'}`;
    this.q('.name').title = `${info.video_path || ''} ${info.serial_path || ''}`;
  }

  bindControls() {
    const redraw = () => this.scheduleDraw();
    for (const [name, map] of Object.entries(PALETTES)) {
      const option = document.createElement('option');
      option.value = option.textContent = name;
      option.title = map.description;
      this.q('.palette').appendChild(option);
    }
    this.q('.palette').addEventListener('change', redraw);
    this.q('.stream-mode').addEventListener('change', () => {
      const compact = this.chooser.compact;
      if (this.chooser.choose(this.q('.stream-mode').value) !== compact) this.reconnect();
    });
    this.q('.range-mode').addEventListener('change', () => {
      this.q('.fixed-range').hidden = this.q('.range-mode').value !== 'fixed';
      redraw();
    });
    this.q('.range-low').addEventListener('input', redraw);
    this.q('.zoom').addEventListener('change', () => { this.layout(); redraw(); });
    window.addEventListener('resize', () => { this.layout(); redraw(); });
    this.q('.range-high').addEventListener('input', redraw);
    this.q('.rect-emissivity').addEventListener('input', redraw);

    const toPixel = (event) => {
      if (!this.frame) return null;
      const box = this.overlay.getBoundingClientRect();
      const x = Math.floor(((event.clientX - box.left) / box.width) * this.frame.width);
      const y = Math.floor(((event.clientY - box.top) / box.height) * this.frame.height);
      return { x: Math.min(this.frame.width - 1, Math.max(0, x)), y: Math.min(this.frame.height - 1, Math.max(0, y)) };
    };
    this.overlay.addEventListener('mousemove', (event) => {
      this.cursor = toPixel(event);
      if (this.dragStart && this.cursor) this.rect = this.normalRect(this.dragStart, this.cursor);
      redraw();
    });
    this.overlay.addEventListener('mouseleave', () => { this.cursor = null; redraw(); });
    this.overlay.addEventListener('mousedown', (event) => {
      this.dragStart = toPixel(event);
      this.moved = false;
    });
    window.addEventListener('mouseup', (event) => {
      if (!this.dragStart) return;
      const end = toPixel(event);
      if (end && (end.x !== this.dragStart.x || end.y !== this.dragStart.y)) this.rect = this.normalRect(this.dragStart, end);
      else this.rect = null;  // a click clears the rectangle
      this.dragStart = null;
      redraw();
    });

    this.q('.snapshot').addEventListener('click', () => this.snapshot());
    this.q('.shutter').addEventListener('click', async () => {
      this.say('Shutter correction\u2026', '');
      try {
        await api('POST', `/api/cameras/${this.index}/shutter`);
        this.say('Shutter correction done.', 'good');
      } catch (e) {
        this.say(e.message, 'bad');
      }
    });
    this.q('.reload-settings').addEventListener('click', () => this.loadSettings());
  }

  // After a temperature: "°C", " K", " unit 3".
  unitText() {
    const label = this.info.unit_label || '\u00b0';
    return label.startsWith('\u00b0') ? label : ` ${label}`;
  }

  // The rectangle's own emissivity, when one is typed and it can be
  // corrected: {emissivity, camera: {emissivity, reflectedTemp, unit}}; or
  // {why} when it cannot; or null for the camera's own.
  rectEmissivity() {
    const typed = this.q('.rect-emissivity').value;
    if (typed === '') return null;
    const e = parseFloat(typed);
    const values = this.settingValues || {};
    const camera = { emissivity: values.emissivity, reflectedTemp: values['reflected-temp'], unit: this.info.unit };
    if (!(e > 0 && e <= 1)) return { why: 'an emissivity is above 0 and at most 1' };
    if (!['degC', 'degF', 'K'].includes(camera.unit)) return { why: `${this.info.unit_label || 'the unit'} is not declared (VIVAZUZOZ_TEMP_UNITS)` };
    if (typeof camera.emissivity !== 'number' || !(camera.emissivity > 0) || typeof camera.reflectedTemp !== 'number') {
      return { why: 'the camera\'s emissivity and reflected temperature are not known' };
    }
    return { emissivity: e, camera };
  }

  normalRect(a, b) {
    return { x0: Math.min(a.x, b.x), y0: Math.min(a.y, b.y), x1: Math.max(a.x, b.x), y1: Math.max(a.y, b.y) };
  }

  say(text, kind) {
    const message = this.q('.action-message');
    message.textContent = text;
    message.className = `action-message ${kind}`;
  }

  snapshot() {
    const palette = this.q('.palette').value;
    const links = [[`/api/cameras/${this.index}/snapshot.png?colormap=${encodeURIComponent(palette)}`,
                    `camera${this.index}-${palette}.png`]];
    if (this.frame && this.frame.withTemp) links.push([`/api/cameras/${this.index}/temperature.csv`, `camera${this.index}.csv`]);
    for (const [href, name] of links) {
      const a = document.createElement('a');
      a.href = href;
      a.download = name;
      document.body.appendChild(a);
      a.click();
      a.remove();
    }
    this.say(links.length === 2 ? 'Downloading the PNG and the CSV.' : 'Downloading the PNG (no temperatures on this stream).', 'good');
  }

  // ----------------------------------------------------------- stream

  connect() {
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    const mode = this.chooser.compact ? '?mode=compact' : '';
    const socket = new WebSocket(`${scheme}://${location.host}/api/cameras/${this.index}/stream${mode}`);
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    socket.onmessage = (event) => pageLoad.timed(() => {
      if (typeof event.data === 'string') {
        const message = JSON.parse(event.data);
        if (message.type === 'state') this.setLive(message.live, undefined, message);
        return;
      }
      if (isCompactMessage(event.data)) {
        if (this.chooser.measure(event.data.byteLength, 0)) this.reconnect();
        this.decoder.receive(event.data);
        return;
      }
      const frame = parseFrame(event.data);
      if (!frame) return;
      this.takeFrame(frame);
    });
    socket.onclose = () => {
      if (this.socket !== socket) return;  // replaced by reconnect()
      this.setLive(false, 'no connection to the server; retrying');
      setTimeout(() => this.connect(), 2000);
    };
  }

  // The stream again, raw or compact as the chooser says.
  reconnect() {
    const old = this.socket;
    this.socket = null;
    old.close();
    this.connect();
  }

  takeFrame(frame) {
    // Raw frames count their bytes here, compact messages as they arrive.
    const bytes = frame.compact ? 0 : frame.image.byteLength * (frame.withTemp ? 2 : 1);
    if (this.chooser.measure(bytes, frame.sequence)) setTimeout(() => this.reconnect(), 0);
    this.frame = frame;
    this.frames++;
    const now = performance.now();
    this.arrivals.push(now);
    while (this.arrivals.length > 1 && now - this.arrivals[0] > 2000) this.arrivals.shift();
    this.scheduleDraw();
  }

  // `state`: the server's state message, which says what the camera's
  // session last reported when it went (event, message, time).
  setLive(live, why, state) {
    // Settings are read again when the camera comes back, not when the
    // stream first says it is live (the constructor has read them).
    const returned = live && this.wasGone;
    this.wasGone = !live && (this.wasGone || this.live);
    this.live = live;
    this.node.classList.toggle('lost', !live);
    const gone = this.q('.gone');
    gone.hidden = live;
    if (why) gone.textContent = `The camera cannot be reached: ${why}.`;
    else if (state && state.message) gone.textContent = `The camera has gone at ${new Date(state.time).toLocaleTimeString()}: ${state.message}. It comes back here by itself.`;
    else gone.textContent = 'The camera has gone (unplugged or not answering). It comes back here by itself when it is plugged in again.';
    if (returned) this.loadSettings();
    this.updateStatus();
  }

  rate() {
    const a = this.arrivals;
    return a.length >= 2 ? ((a.length - 1) * 1000) / (a[a.length - 1] - a[0]) : 0;
  }

  updateStatus() {
    const f = this.frame;
    const size = f ? `${f.width}\u00d7${f.height}, ${f.withTemp ? 'temperatures' : 'image only'}, ` : '';
    this.q('.status').textContent = this.live ? `${size}${this.rate().toFixed(1)} fps, frame ${f ? f.sequence : '-'}, ${this.chooser.describe()}` : 'gone';
    this.q('.status').dataset.mode = this.chooser.compact ? 'compact' : 'raw';
    // The badge: the picture is the closed shutter's, or settling after it.
    const badge = this.q('.shutter-badge');
    badge.hidden = !(this.live && f && (f.shutter || f.settling));
    badge.textContent = f && f.shutter ? 'SHUTTER' : 'settling';
    badge.dataset.state = f && f.shutter ? 'shutter' : 'settling';
    this.q('.status').dataset.frames = this.frames;
    this.q('.status').dataset.drawn = this.drawn;
  }

  // ----------------------------------------------------------- drawing

  // At most one drawing per animation frame, of the newest frame then.
  scheduleDraw() {
    if (this.drawPending) return;
    this.drawPending = true;
    requestAnimationFrame(() => { this.drawPending = false; pageLoad.timed(() => this.draw()); });
  }

  draw() {
    const f = this.frame;
    if (f && f !== this.drawnFrame) {
      this.drawnFrame = f;
      this.drawn++;  // frames drawn, against this.frames received
    }
    this.updateStatus();
    if (!f) return;
    const values = f.temp || f.image;
    const count = f.width * f.height;
    if (this.image.width !== f.width || this.image.height !== f.height) {
      this.image.width = f.width;
      this.image.height = f.height;
      this.imageData = null;
    }
    this.layout();
    // Hottest and coldest pixels (the first of each in row order).
    // (A compact frame's header has them, exact, for the picture's frame.)
    let min = values[0], max = values[0], minAt = 0, maxAt = 0;
    if (f.compact) { min = f.low; max = f.high; minAt = f.coldestAt; maxAt = f.hottestAt; }
    for (let i = f.compact ? count : 1; i < count; i++) {
      const v = values[i];
      if (v < min) { min = v; minAt = i; }
      if (v > max) { max = v; maxAt = i; }
    }
    let low = min, high = max;
    if (this.q('.range-mode').value === 'fixed') {
      const scale = f.temp ? 10 : 1;
      const a = parseFloat(this.q('.range-low').value), b = parseFloat(this.q('.range-high').value);
      if (Number.isFinite(a) && Number.isFinite(b) && a !== b) {
        low = Math.min(a, b) * scale;
        high = Math.max(a, b) * scale;
      }
    }
    const palette = PALETTES[this.q('.palette').value] || Object.values(PALETTES)[0];
    const context = this.image.getContext('2d');
    if (!this.imageData) this.imageData = context.createImageData(f.width, f.height);
    const out = new Uint32Array(this.imageData.data.buffer);
    const span = high - low;
    if (f.compact) colourCompact(f, out, low, high, palette.packed);
    for (let i = f.compact ? count : 0; i < count; i++) {
      let k = span > 0 ? Math.round(((values[i] - low) * 255) / span) : 0;
      k = k < 0 ? 0 : k > 255 ? 255 : k;
      out[i] = palette.packed[k];
    }
    context.putImageData(this.imageData, 0, 0);

    this.drawBar(palette, low, high, !!f.temp);
    const unit = this.unitText();
    const text = (v) => (f.temp ? `${degrees(v)}${unit}` : `raw ${v}`);
    const at = (i) => ({ x: i % f.width, y: Math.floor(i / f.width) });
    const hot = at(maxAt), cold = at(minAt);
    this.setReading('.hottest', `${text(max)} at x ${hot.x}, y ${hot.y}`, f.temp ? max / 10 : max);
    this.setReading('.coldest', `${text(min)} at x ${cold.x}, y ${cold.y}`, f.temp ? min / 10 : min);
    if (this.cursor) {
      const v = values[this.cursor.y * f.width + this.cursor.x];
      this.setReading('.cursor', `${text(v)} at x ${this.cursor.x}, y ${this.cursor.y}`, f.temp ? v / 10 : v);
    } else {
      this.setReading('.cursor', 'point at the picture', '');
    }
    if (this.rect) {
      const r = this.rect;
      // With an emissivity of its own, each pixel corrected as `stream
      // --roi ...,emissivity=E` does (emissivity.js), once per value.
      const own = f.temp ? this.rectEmissivity() : null;
      const corrected = new Map();
      const correct = own && own.camera ? (v) => {
        let c = corrected.get(v);
        if (c === undefined) corrected.set(v, (c = correctEmissivityTenths(v, own.emissivity, own.camera)));
        return c;
      } : (v) => v;
      let rmin = Infinity, rmax = -Infinity, sum = 0, n = 0;
      for (let y = r.y0; y <= r.y1 && y < f.height; y++) {
        for (let x = r.x0; x <= r.x1 && x < f.width; x++) {
          const v = correct(values[y * f.width + x]);
          if (v < rmin) rmin = v;
          if (v > rmax) rmax = v;
          sum += v;
          n++;
        }
      }
      const mean = n ? sum / n : 0;
      const note = own ? (own.why ? `; emissivity not applied: ${own.why}` : `, emissivity ${own.emissivity}`) : '';
      this.setReading('.rect', n ? `min ${text(rmin)}, max ${text(rmax)}, mean ${f.temp ? `${(mean / 10).toFixed(1)}${unit}` : mean.toFixed(1)} (${r.x1 - r.x0 + 1}\u00d7${r.y1 - r.y0 + 1} px)${note}` : '-', n && f.temp ? mean / 10 : '');
    } else {
      this.setReading('.rect', 'drag on the picture', '');
    }
    this.drawOverlay(f, hot, cold, text(max), text(min));
  }

  // The picture's size on the page for the zoom chosen. Pointing maps the
  // overlay's box onto the frame's pixels, so the readout is exact at any
  // size and scroll position.
  layout() {
    const f = this.frame;
    if (!f) return;
    const mode = this.q('.zoom').value;
    const room = Math.max(256, this.node.clientWidth - 34);
    let width;
    if (mode === '1:1') width = f.width;
    else if (mode === '2:1') width = 2 * f.width;
    else width = Math.min(room, ((window.innerHeight - 140) * f.width) / f.height, Math.max(512, f.width));
    width = Math.max(64, Math.round(width));
    const key = `${mode} ${f.width}x${f.height} ${width} ${room}`;
    if (key === this.layoutKey) return;
    this.layoutKey = key;
    const height = Math.round((width * f.height) / f.width);
    for (const canvas of [this.image, this.overlay]) {
      canvas.style.width = `${width}px`;
      canvas.style.height = `${height}px`;
    }
    this.q('.picture').style.width = `${Math.min(width, room)}px`;
  }

  setReading(selector, text, value) {
    const element = this.q(selector);
    element.textContent = text;
    element.dataset.value = value;
  }

  drawBar(palette, low, high, withTemp) {
    const bar = this.q('.bar');
    const context = bar.getContext('2d');
    const data = context.createImageData(256, 1);
    new Uint32Array(data.data.buffer).set(palette.packed);
    context.putImageData(data, 0, 0);
    const label = (v) => (withTemp ? `${degrees(Math.round(v))}${this.unitText()}` : `${Math.round(v)}`);
    this.q('.bar-low').textContent = label(low);
    this.q('.bar-high').textContent = label(high);
  }

  drawOverlay(f, hot, cold, hotText, coldText) {
    const o = this.overlay;
    const box = o.getBoundingClientRect();
    const w = Math.max(1, Math.round(box.width)), h = Math.max(1, Math.round(box.height));
    if (o.width !== w || o.height !== h) { o.width = w; o.height = h; }
    const sx = w / f.width, sy = h / f.height;
    const c = o.getContext('2d');
    c.clearRect(0, 0, w, h);
    c.font = '12px system-ui, sans-serif';
    c.lineWidth = 2;
    const marker = (p, colour, label) => {
      const x = (p.x + 0.5) * sx, y = (p.y + 0.5) * sy;
      c.strokeStyle = colour;
      c.beginPath();
      c.arc(x, y, 6, 0, 2 * Math.PI);
      c.moveTo(x - 10, y); c.lineTo(x - 4, y); c.moveTo(x + 4, y); c.lineTo(x + 10, y);
      c.stroke();
      // The label beside the marker, kept inside the picture.
      const width = c.measureText(label).width;
      const tx = x + 12 + width > w ? x - 12 - width : x + 12;
      const ty = Math.max(14, Math.min(h - 4, y - 8));
      c.fillStyle = '#000a';
      c.fillRect(tx - 2, ty - 12, width + 4, 15);
      c.fillStyle = colour;
      c.fillText(label, tx, ty);
    };
    marker(hot, '#ff5040', hotText);
    marker(cold, '#40c0ff', coldText);
    if (this.cursor) {
      const x = (this.cursor.x + 0.5) * sx, y = (this.cursor.y + 0.5) * sy;
      c.strokeStyle = '#ffffff';
      c.lineWidth = 1;
      c.beginPath();
      c.moveTo(x - 9, y); c.lineTo(x - 2, y); c.moveTo(x + 2, y); c.lineTo(x + 9, y);
      c.moveTo(x, y - 9); c.lineTo(x, y - 2); c.moveTo(x, y + 2); c.lineTo(x, y + 9);
      c.stroke();
      c.lineWidth = 2;
    }
    if (this.rect) {
      const r = this.rect;
      c.strokeStyle = '#ffffff';
      c.setLineDash([4, 3]);
      c.strokeRect(r.x0 * sx, r.y0 * sy, (r.x1 - r.x0 + 1) * sx, (r.y1 - r.y0 + 1) * sy);
      c.setLineDash([]);
    }
  }

  // ----------------------------------------------------------- settings

  async loadSettings() {
    const body = this.q('.settings tbody');
    try {
      if (!settingList) settingList = await api('GET', '/api/settings');
      const values = await api('GET', `/api/cameras/${this.index}/settings`);
      this.settingValues = values;  // the rectangle's emissivity corrects from them
      this.fillSettings(body, values);
    } catch (e) {
      body.replaceChildren();
      const row = body.insertRow();
      const cell = row.insertCell();
      cell.textContent = `Settings cannot be read: ${e.message}`;
      cell.className = 'setting-message bad';
    }
  }

  fillSettings(body, values) {
    body.replaceChildren();
    let group = null;
    for (const s of settingList) {
      if (s.group !== group) {
        group = s.group;
        const row = body.insertRow();
        row.className = 'group';
        row.insertCell().textContent = group.replace('-', ' ');
      }
      const row = body.insertRow();
      row.dataset.setting = s.name;
      // The label, unit and range from the tool's settings table; the name
      // is the one the API and `vivazuzoz set` take.
      const name = row.insertCell();
      name.className = 'setting-label';
      name.textContent = s.label || s.name;
      name.title = `${s.name}: ${s.description}` +
        (s.name === 'palette' ? ' (the page\'s own colours are the Colour map)' : '');
      const valueCell = row.insertCell();
      const unitCell = row.insertCell();
      unitCell.className = 'setting-unit';
      // A temperature setting is in the camera's unit as declared, whatever
      // the table's default says.
      const unit = s.temperature && this.info.unit_label ? this.info.unit_label : s.unit || '';
      unitCell.textContent = unit;
      const rangeCell = row.insertCell();
      rangeCell.className = 'setting-range';
      rangeCell.textContent = s.readOnly ? 'read only' : s.range;
      const messageCell = row.insertCell();
      messageCell.className = 'setting-message';
      const value = values[s.name];
      const failed = value !== null && typeof value === 'object' && 'error' in value;
      const shown = failed ? '' : typeof value === 'object' && value ? `${value.width}\u00d7${value.height}` : String(value);
      if (failed) {
        messageCell.textContent = value.error;
        messageCell.classList.add(value.code === 2 ? 'note' : 'bad');
      }
      if (s.readOnly) {
        valueCell.textContent = shown || '\u2013';
        valueCell.className = 'value';
        continue;
      }
      const input = document.createElement('input');
      input.type = 'number';
      input.step = s.integer ? '1' : 'any';
      input.min = s.min;
      input.max = s.max;
      input.value = shown;
      input.title = `${s.description} (${s.range})`;
      input.setAttribute('aria-label', `${s.label || s.name}${unit ? ` in ${unit}` : ''}, ${s.range}`);
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = 'Set';
      const apply = async () => {
        messageCell.textContent = '\u2026';
        messageCell.className = 'setting-message';
        try {
          const result = await api('PUT', `/api/cameras/${this.index}/settings/${s.name}`, input.value);
          input.value = String(result.value);
          if (this.settingValues) this.settingValues[s.name] = result.value;
          messageCell.textContent = `set to ${result.value}`;
          messageCell.classList.add('good');
        } catch (e) {
          // The field shows what the camera holds again, not the refused value.
          let back = '';
          try {
            const now = await api('GET', `/api/cameras/${this.index}/settings`);
            const held = now[s.name];
            if (held !== null && typeof held !== 'object') {
              input.value = String(held);
              back = `; still ${held}`;
            }
          } catch (ignored) { /* the message below says enough */ }
          messageCell.textContent = e.message + back;
          messageCell.classList.add('bad');
        }
      };
      button.addEventListener('click', apply);
      input.addEventListener('keydown', (event) => { if (event.key === 'Enter') apply(); });
      valueCell.append(input);
      unitCell.append(' ', button);
    }
  }
}

// ------------------------------------------------------------- the page

const views = new Map();

async function refreshCameras() {
  const banner = document.getElementById('banner');
  try {
    const cameras = await api('GET', '/api/cameras');
    banner.hidden = true;
    document.getElementById('no-cameras').hidden = cameras.length > 0;
    document.getElementById('no-cameras').textContent = 'No camera found yet; plug one in and it appears here.';
    for (const info of cameras) {
      if (views.has(info.index)) views.get(info.index).setInfo(info);
      else views.set(info.index, new CameraView(info));
    }
  } catch (e) {
    banner.textContent = `The server cannot be reached: ${e.message}`;
    banner.hidden = false;
  }
}

// The server answered ?token= with its cookie, which every later request
// carries: the token leaves the address bar and this page's history entry.
function dropTokenFromAddress() {
  const url = new URL(location.href);
  if (!url.searchParams.has('token')) return;
  url.searchParams.delete('token');
  history.replaceState(history.state, '', url.pathname + url.search + url.hash);
}

dropTokenFromAddress();
loadColormaps().then(() => {
  refreshCameras();
  setInterval(refreshCameras, 3000);
}, (e) => {
  const banner = document.getElementById('banner');
  banner.textContent = `The server cannot be reached: ${e.message}`;
  banner.hidden = false;
});
setInterval(() => { for (const view of views.values()) view.updateStatus(); }, 1000);
