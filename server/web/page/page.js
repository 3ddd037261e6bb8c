'use strict';

// The server pushes the devices once, then only what changed: status and LED colours.
const svgNs = 'http://www.w3.org/2000/svg';
const token = new URLSearchParams(location.search).get('token') || '';
const typeNames = { 1: 'keyboard', 2: 'mouse', 3: 'headset', 4: 'LED controller' };
const offColour = '#282828';

const ledElements = new Map();   // LED id -> { rect, text }
const keysByName = new Map();    // lower-case key name -> vendor key
const keyElements = new Map();   // vendor key -> [group]
const held = new Set();          // vendor keys pressed from this page and not yet released
let updates = 0;
let rateTimer = null;
let lastCount = 0;
const stats = { updates: 0, perSecond: 0 };
window.veltariStats = stats;

function element(name, attributes, parent) {
  const e = name.startsWith('svg:')
    ? document.createElementNS(svgNs, name.slice(4))
    : document.createElement(name);
  for (const [k, v] of Object.entries(attributes || {})) e.setAttribute(k, v);
  if (parent) parent.appendChild(e);
  return e;
}

function setConnection(text) {
  document.getElementById('connection').textContent = text;
}

function textColour(hex) {
  const v = parseInt(hex, 16);
  const luminance = 0.2126 * (v >> 16) + 0.7152 * ((v >> 8) & 255) + 0.0722 * (v & 255);
  return luminance > 110 ? '#000' : '#e6e6e6';
}

function showDevices(data) {
  document.getElementById('server').textContent =
    `${data.server} · protocol ${data.protocol} · ${data.devices.length} devices`;
  const main = document.getElementById('devices');
  main.replaceChildren();
  ledElements.clear();
  keysByName.clear();
  keyElements.clear();
  for (const device of data.devices) {
    const type = typeNames[device.type] || `type ${device.type}`;
    const section = element('section', {
      class: `device ${type.replace(/ /g, '-')}`,
      'data-index': device.index,
      'data-led-count': device.leds.length,
    }, main);
    element('h2', {}, section).textContent = `[${device.index}] ${device.model}`;
    const facts = element('dl', {}, section);
    const fact = (name, value) => {
      const row = element('div', {}, facts);
      element('dt', {}, row).textContent = name;
      element('dd', {}, row).textContent = value;
    };
    fact('type', `${device.type} ${type}`);
    fact('LEDs', device.leds.length);
    fact('layouts', `${device.physicalLayout}, ${device.logicalLayout}`);
    fact('caps', device.capsMask);
    for (const p of device.properties) fact(p.name, String(p.value));
    device.channels.forEach((members, i) => {
      fact(`channel ${i + 1}`, members.map(m => `type ${m.type}: ${m.ledCount} LEDs`).join(', ') || 'empty');
    });
    drawDevice(device, section);
  }
}

function drawDevice(device, section) {
  if (device.leds.length === 0) return;
  let minX = Infinity, minY = Infinity, maxX = -Infinity, maxY = -Infinity;
  for (const led of device.leds) {
    minX = Math.min(minX, led.left);
    minY = Math.min(minY, led.top);
    maxX = Math.max(maxX, led.left + led.width);
    maxY = Math.max(maxY, led.top + led.height);
  }
  const pad = 2;
  const width = maxX - minX + 2 * pad, height = maxY - minY + 2 * pad;
  const svg = element('svg:svg', {
    viewBox: `${minX - pad} ${minY - pad} ${width} ${height}`,
    role: 'img',
    'aria-label': `${device.model}, LED layout in millimetres`,
  }, section);
  // Small devices are not blown up beyond about four pixels per millimetre.
  svg.style.maxWidth = `${Math.max(width * 4, 160)}px`;
  for (const led of device.leds) {
    const group = element('svg:g', { 'data-led': led.id }, svg);
    const inset = Math.min(led.width, led.height) > 6 ? 0.8 : 0.2;
    const rect = element('svg:rect', {
      id: `led-${led.id}`,
      x: led.left + inset / 2, y: led.top + inset / 2,
      width: Math.max(led.width - inset, 0.5), height: Math.max(led.height - inset, 0.5),
      rx: Math.min(led.width, led.height) * 0.15,
      fill: offColour,
    }, group);
    const title = led.key ? `${led.key} (LED ${led.id}, vendor key ${led.vendorKey})` : `LED ${led.id}`;
    element('svg:title', {}, group).textContent = title;
    let text = null;
    const label = led.label || led.key || '';
    if (label && Math.min(led.width, led.height) >= 8) {
      text = element('svg:text', { x: led.left + led.width / 2, y: led.top + led.height / 2, fill: '#e6e6e6' }, group);
      text.textContent = label;
      // Keys get 4.2 mm letters; larger LEDs larger ones; long labels shrink to fit their LED.
      const size = Math.min(Math.max(4.2, Math.min(led.width, led.height) * 0.22), 9);
      const fit = (led.width - 2) / (label.length * size * 0.6);
      text.style.fontSize = `${Math.max(size * Math.min(fit, 1), 2)}px`;
    }
    ledElements.set(led.id, { rect, text });
    if (led.key) {
      group.classList.add('key');
      group.dataset.key = led.key;
      keysByName.set(led.key.toLowerCase(), led.vendorKey);
      if (!keyElements.has(led.vendorKey)) keyElements.set(led.vendorKey, []);
      keyElements.get(led.vendorKey).push(group);
      group.addEventListener('pointerdown', e => {
        e.preventDefault();
        group.setPointerCapture(e.pointerId);
        press(led.vendorKey, true);
      });
      const release = () => press(led.vendorKey, false);
      group.addEventListener('pointerup', release);
      group.addEventListener('pointercancel', release);
    }
  }
}

function showStatus(status) {
  document.getElementById('control').textContent =
    status.control === null ? 'control: none' : `control: client ${status.control}`;
  document.getElementById('listeners').textContent =
    `${status.keyListeners} key listener${status.keyListeners === 1 ? '' : 's'}`;
  const body = document.querySelector('#clients tbody');
  body.replaceChildren();
  for (const c of status.clients) {
    const row = element('tr', {}, body);
    const cells = [c.id, c.identity, c.priority, c.keys ? 'registered' : ''];
    if (c.id === status.control) cells[0] = `${c.id} (holds control)`;
    for (const v of cells) element('td', {}, row).textContent = v;
  }
}

function showColours(changes) {
  for (const [id, hex] of changes) {
    const led = ledElements.get(id);
    if (!led) continue;
    led.rect.setAttribute('fill', hex === '000000' ? offColour : `#${hex}`);
    if (led.text) led.text.setAttribute('fill', textColour(hex === '000000' ? '282828' : hex));
  }
  ++updates;
  ++stats.updates;
  if (rateTimer === null) { lastCount = updates - 1; rateTimer = setInterval(countRate, 1000); }
}

// Presses travel one after another, so that a release never overtakes its press.
let sending = Promise.resolve();
function press(vendorKey, pressed) {
  if (pressed === held.has(vendorKey)) return;
  if (pressed) held.add(vendorKey); else held.delete(vendorKey);
  for (const g of keyElements.get(vendorKey) || []) g.classList.toggle('pressed', pressed);
  sending = sending.then(() => fetch(`/api/key?vendorKey=${vendorKey}&pressed=${pressed}`, {
    method: 'POST',
    headers: { 'X-Veltari-Token': token },
    cache: 'no-store',
  })).then(r => {
    if (!r.ok) setConnection(r.status === 403
      ? 'Key presses refused: open the address the server printed (it carries the access token).'
      : `Key press refused (${r.status}).`);
  }).catch(() => setConnection('The server does not answer.'));
}

function releaseAll() {
  for (const k of [...held]) press(k, false);
}

// KeyboardEvent.code to the device file's key names, where they differ.
const codeNames = {
  Escape: 'Esc', Backquote: 'Grave', BracketLeft: 'LeftBracket', BracketRight: 'RightBracket',
  ShiftLeft: 'LeftShift', ShiftRight: 'RightShift', ControlLeft: 'LeftCtrl', ControlRight: 'RightCtrl',
  AltLeft: 'LeftAlt', AltRight: 'RightAlt', MetaLeft: 'LeftWin', MetaRight: 'RightWin', OSLeft: 'LeftWin',
  ContextMenu: 'Menu', ArrowUp: 'Up', ArrowDown: 'Down', ArrowLeft: 'Left', ArrowRight: 'Right',
  NumpadAdd: 'NumPlus', NumpadSubtract: 'NumMinus', NumpadMultiply: 'NumStar', NumpadDivide: 'NumSlash',
  NumpadDecimal: 'NumPeriod', NumpadEnter: 'NumEnter',
};

function vendorKeyOf(code) {
  let name = codeNames[code];
  if (!name) {
    name = code.replace(/^Key(?=[A-Z]$)/, '').replace(/^Digit(?=\d$)/, '').replace(/^Numpad(?=\d$)/, 'Num');
  }
  return keysByName.get(name.toLowerCase());
}

function onKey(e, pressed) {
  if (e.repeat) { e.preventDefault(); return; }
  const vendorKey = vendorKeyOf(e.code);
  if (vendorKey === undefined) return;
  if (!e.ctrlKey && !e.metaKey) e.preventDefault();
  press(vendorKey, pressed);
}

function connect() {
  if (!token) {
    setConnection('Open the address that veltari-server printed: it carries the access token.');
    return;
  }
  const events = new EventSource(`/api/events?token=${encodeURIComponent(token)}`);
  events.addEventListener('open', () => setConnection(''));
  events.addEventListener('error', () => setConnection(events.readyState === EventSource.CLOSED
    ? 'The server refused this page: a restarted server has a new token; open the address it printed.'
    : 'Connection to the server lost; retrying…'));
  events.addEventListener('devices', e => showDevices(JSON.parse(e.data)));
  events.addEventListener('status', e => showStatus(JSON.parse(e.data)));
  events.addEventListener('leds', e => showColours(JSON.parse(e.data)));
  events.addEventListener('replaced', () => {
    events.close();
    setConnection('Another page took over the live view (the server feeds a few at a time). Reload to get it back.');
  });
}

// The rate shown is counted here, from the updates that arrive; no timer runs while none do.
function countRate() {
  stats.perSecond = updates - lastCount;
  lastCount = updates;
  document.getElementById('rate').textContent = `${stats.perSecond} updates/s`;
  if (stats.perSecond === 0) { clearInterval(rateTimer); rateTimer = null; }
}

window.addEventListener('keydown', e => onKey(e, true));
window.addEventListener('keyup', e => onKey(e, false));
window.addEventListener('blur', releaseAll);
window.addEventListener('pagehide', releaseAll);
connect();
