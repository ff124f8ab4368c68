// The live view's page: the board of a program running on the simulated kit,
// drawn from the kit's event stream (Server-Sent Events from /events), with
// the inputs a person could give its modules (POST /input). Plain DOM and
// SVG, no libraries: the kit serves this file itself, offline.
'use strict';

// ---------------------------------------------------------------- helpers

const $ = (sel, root = document) => root.querySelector(sel);
const SVGNS = 'http://www.w3.org/2000/svg';

function el(tag, attrs = {}, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v;
    else if (k === 'text') e.textContent = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const k of kids) if (k != null) e.append(k);
  return e;
}

function svg(tag, attrs = {}, ...kids) {
  const e = document.createElementNS(SVGNS, tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.setAttribute('class', v);
    else e.setAttribute(k, v);
  }
  for (const k of kids) if (k != null) e.append(k);
  return e;
}

function hex(n, digits) { return '0x' + Number(n).toString(16).toUpperCase().padStart(digits, '0'); }

function formatTime(ns) {
  const s = Math.floor(ns / 1e9);
  const frac = String(ns % 1e9).padStart(9, '0');
  return `${s}.${frac.slice(0, 3)} ${frac.slice(3, 6)} ${frac.slice(6)} s`;
}

function shortTime(ns) { return (ns / 1e9).toFixed(6) + ' s'; }

// "200ms", "1.5s", "80us" -> milliseconds
function durationMs(text) {
  const m = /([0-9.]+)\s*(ns|us|µs|ms|s|min)/.exec(text || '');
  if (!m) return 0;
  const f = { ns: 1e-6, us: 1e-3, 'µs': 1e-3, ms: 1, s: 1000, min: 60000 }[m[2]];
  return parseFloat(m[1]) * f;
}

let toastTimer = null;
function toast(text, kind = 'error') {
  const t = $('#toast');
  t.textContent = text;
  t.className = 'show ' + kind;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { t.className = ''; }, kind === 'error' ? 5000 : 2200);
}

// ---------------------------------------------------------------- state

const state = {
  start: null, end: null, t: 0, running: true, lost: false,
  devices: new Map(),      // name -> {name, type, settings, shown}
  pins: [],
  scenario: { order: [], devices: {}, stimuli: [], description: '' },
  scenarioText: null,      // the played scenario, kept for saving after the run
};
// For people and tests alike: what the page has seen and done.
const record = { inputs: [], latency: [], shows: 0 };
window.pikit = { state, record };

// ---------------------------------------------------------------- inputs

async function send(device, action, args = {}, quiet = false) {
  const clicked = performance.now();
  let reply, body;
  try {
    reply = await fetch('/input', {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ device, action, args }),
    });
    body = await reply.json();
  } catch (e) {
    toast('the view does not answer: ' + (state.end ? 'the program has ended' : e.message));
    return null;
  }
  if (!reply.ok) {
    if (!quiet) toast(body.error || `refused (${reply.status})`);
    return null;
  }
  record.inputs.push({ device, action, args, at_ns: body.at_ns, clicked, pending: true });
  refreshScenario();
  return body;
}

// When what an input did shows: the wall time it took, less the virtual time
// the program itself spent getting there (its delays), is the view's own lag.
function noteShown(ev) {
  const now = performance.now();
  for (const i of record.inputs) {
    if (!i.pending || i.device === undefined) continue;
    if (ev.t_ns < i.at_ns) continue;
    if (i.watch && !i.watch(ev)) continue;
    i.pending = false;
    const wall = now - i.clicked;
    const virtual = (ev.t_ns - i.at_ns) / 1e6;
    record.latency.push({ device: ev.device, key: ev.key, wall_ms: wall, program_ms: virtual, lag_ms: wall - virtual });
  }
}

async function refreshScenario() {
  try {
    const r = await fetch('/scenario');
    if (r.ok) state.scenarioText = await r.text();
  } catch (e) { /* the run is over: keep what we have */ }
}

function saveScenario() {
  const go = (text) => {
    const program = state.start ? state.start.program : 'pikit';
    const a = el('a', { href: URL.createObjectURL(new Blob([text], { type: 'application/yaml' })), download: `${program}-played.yaml` });
    document.body.append(a);
    a.click();
    a.remove();
    toast(`saved: ${record.inputs.length} input(s) as stimuli; replay with PIKIT_SIM_SCENARIO=${program}-played.yaml`, 'info');
  };
  fetch('/scenario').then(r => r.text()).then(t => { state.scenarioText = t; go(t); })
    .catch(() => state.scenarioText ? go(state.scenarioText) : toast('the program has ended and nothing was played'));
}

// A control held down by the mouse, a finger or the keyboard: `down` when it
// goes down, `up` when it is let go (wherever the pointer is by then).
function holdable(elem, down, up) {
  let held = false;
  const press = (e) => { if (held) return; held = true; elem.classList.add('down'); down(e); };
  const release = () => { if (!held) return; held = false; elem.classList.remove('down'); if (up) up(); };
  elem.addEventListener('pointerdown', (e) => { e.preventDefault(); elem.setPointerCapture(e.pointerId); press(e); });
  elem.addEventListener('pointerup', release);
  elem.addEventListener('pointercancel', release);
  elem.addEventListener('keydown', (e) => { if ((e.key === ' ' || e.key === 'Enter') && !e.repeat) { e.preventDefault(); press(e); } });
  elem.addEventListener('keyup', (e) => { if (e.key === ' ' || e.key === 'Enter') release(); });
}

// A key or button held as long as the person holds it: the model's `down`
// when it goes down and `up` when it is let go. A model without them (the
// kit refuses `down`, applying nothing) gets `fallback()` instead, once, as
// it goes down; the page remembers that for the device's type.
const withoutHold = new Set();
function holdInput(elem, dev, argsOf, fallback, released) {
  let held = null;  // a promise: whether `down` was taken
  let args = {};
  holdable(elem, () => {
    args = typeof argsOf === 'function' ? argsOf() : argsOf;
    if (withoutHold.has(dev.type)) { held = Promise.resolve(false); fallback(); return; }
    held = send(dev.name, 'down', args, true).then(r => {
      if (r) return true;
      withoutHold.add(dev.type);
      fallback();
      return false;
    });
  }, () => {
    const h = held;
    held = null;
    if (h) h.then(down => { if (down) send(dev.name, 'up', args); });
    if (released) released();
  });
}

// Held on a model with `down` and `up`; else a press of the given length.
function pressable(elem, dev, args, hold) {
  holdInput(elem, dev, args, () => send(dev.name, 'press', { ...args, hold }));
}

// ---------------------------------------------------------------- drawings

// Each drawing builds its part of a card once and updates it from the
// device's shown values. `inputs` is the card's input area.
const drawings = {};

// Four-digit seven-segment display with decimal points, and the keypad.
const SEGMENTS = { a: 'M8 4 L32 4 L28 9 L12 9 Z', b: 'M33 5 L33 33 L29 30 L29 10 Z', c: 'M33 37 L33 65 L29 60 L29 40 Z',
  d: 'M8 66 L32 66 L28 61 L12 61 Z', e: 'M7 37 L7 65 L11 60 L11 40 Z', f: 'M7 5 L7 33 L11 30 L11 10 Z',
  g: 'M9 35 L13 31 L27 31 L31 35 L27 39 L13 39 Z' };
const GLYPHS = { 0: 'abcdef', 1: 'bc', 2: 'abdeg', 3: 'abcdg', 4: 'bcfg', 5: 'acdfg', 6: 'acdefg', 7: 'abc', 8: 'abcdefg',
  9: 'abcdfg', A: 'abcefg', b: 'cdefg', C: 'adef', d: 'bcdeg', E: 'adefg', F: 'aefg', '-': 'g', ' ': '' };

// "  7.0" -> [{segs:'', dp:false}, ..., {segs:'abc', dp:true}, {segs:'abcdef'}]
function parseDisplay(text) {
  const out = [];
  for (let i = 0; i < (text || '').length;) {
    let segs = '';
    if (text[i] === '[') {
      const close = text.indexOf(']', i);
      segs = text.slice(i + 1, close).replace(/dp/g, '').replace(/\s/g, '');
      i = close + 1;
    } else {
      segs = GLYPHS[text[i]] ?? '';
      i += 1;
    }
    let dp = false;
    if (text[i] === '.') { dp = true; i += 1; }
    out.push({ segs, dp });
  }
  return out;
}

function sevenSegment(digits) {
  const box = svg('svg', { viewBox: `0 0 ${digits * 48} 72`, width: digits * 48 * 1.15, height: 72 * 1.15 });
  const parts = [];
  for (let p = 0; p < digits; p++) {
    const g = svg('g', { transform: `translate(${p * 48 + 2},1)`, class: 'digit' });
    const segs = {};
    for (const [name, d] of Object.entries(SEGMENTS)) { segs[name] = svg('path', { d, class: 'seg' }); g.append(segs[name]); }
    segs.dp = svg('circle', { cx: 39, cy: 64, r: 3.4, class: 'seg' });
    g.append(segs.dp);
    box.append(g);
    parts.push({ g, segs });
  }
  return { box, parts };
}

drawings.bc7278 = {
  build(dev, body, inputs) {
    const disp = sevenSegment(4);
    body.append(el('div', { class: 'sevenseg' }, disp.box));
    const pad = el('div', { class: 'keypad' });
    for (let k = 1; k <= 31; k++) {
      const key = el('button', { class: 'key', 'data-key': k, title: `key ${k}`, text: String(k) });
      pressable(key, dev, { key: k }, '150ms');
      pad.append(key);
    }
    body.append(pad);
    return {
      update(d) {
        const cells = parseDisplay(d.shown.display);
        const blink = d.shown.blinking || '';
        const phase = durationMs(blink.split(';')[1]);
        disp.parts.forEach((part, p) => {
          const c = cells[p] || { segs: '', dp: false };
          for (const name of Object.keys(SEGMENTS)) part.segs[name].classList.toggle('on', c.segs.includes(name));
          part.segs.dp.classList.toggle('on', c.dp);
          const blinking = new RegExp(`position ${p}(?! segments)`).test(blink);
          part.g.classList.toggle('blink', blinking && phase > 0);
          if (phase > 0) part.g.style.setProperty('--blink', `${2 * phase}ms`);
        });
        disp.box.setAttribute('aria-label', `display: ${d.shown.display ?? ''}`);
        disp.box.dataset.display = d.shown.display ?? '';
      },
    };
  },
};

const LED_COLOURS = { red: '#ff2d1f', green: '#35f04f', blue: '#3b82ff', yellow: '#ffe135', white: '#f4f6ff',
  orange: '#ff9626', amber: '#ffb01f', pink: '#ff5fb7', purple: '#b35cff' };
function ledColour(name) { return LED_COLOURS[(name || 'red').toLowerCase()] || name || LED_COLOURS.red; }
function glow(elem, colour, level) {
  const a = Math.max(0, Math.min(1, level));
  elem.style.background = a > 0 ? colour : '';
  elem.style.opacity = a > 0 ? String(0.35 + 0.65 * a) : '1';
  elem.style.boxShadow = a > 0 ? `0 0 ${4 + 16 * a}px ${colour}` : 'none';
}

drawings['led-row'] = {
  build(dev, body) {
    const n = Array.isArray(dev.settings.lines) ? dev.settings.lines.length : 8;
    const bar = /bar/i.test(dev.name) || /bar/i.test(state.scenario.description || '');
    const wrap = el('div', { class: bar ? 'ledbar' : 'row' });
    const leds = [];
    for (let i = 0; i < n; i++) {
      const led = el('div', { class: bar ? 'seg-led' : 'led', title: `LED ${i}` });
      leds.push(led);
      wrap.append(bar ? led : el('div', {}, led, el('div', { class: 'led-label', text: `Q${i}` })));
    }
    const readout = el('div', { class: 'readout dim' });
    body.append(wrap, readout);
    return {
      update(d) {
        const text = d.shown.leds || '';
        leds.forEach((led, i) => glow(led, bar ? '#ff3b1f' : LED_COLOURS.red, text[i] === '#' ? 1 : 0));
        wrap.dataset.leds = text;
        readout.textContent = d.shown.lit !== undefined ? `pattern ${hex(d.shown.lit, 2)}  ${text}` : '';
      },
    };
  },
};

drawings.led = {
  build(dev, body) {
    const colour = ledColour(dev.settings.colour);
    const led = el('div', { class: 'led big-led' });
    const readout = el('div', { class: 'readout' });
    body.append(led, readout);
    return {
      update(d) {
        const b = typeof d.shown.brightness === 'number' ? d.shown.brightness : (d.shown.on ? 1 : 0);
        glow(led, colour, b);
        led.dataset.on = d.shown.on ? '1' : '0';
        readout.textContent = `${d.shown.on ? 'on' : 'off'} · ${Math.round(b * 100)} %`;
      },
    };
  },
};

drawings['rgb-led'] = {
  build(dev, body) {
    const led = el('div', { class: 'led big-led' });
    const readout = el('div', { class: 'readout' });
    body.append(led, readout);
    return {
      update(d) {
        const c = d.shown.colour || {};
        const peak = Math.max(c.red || 0, c.green || 0, c.blue || 0);
        // What the eye sees: the hue, at the brightness of its strongest channel.
        const scale = peak > 0 ? 255 / peak : 0;
        const css = `rgb(${(c.red || 0) * scale},${(c.green || 0) * scale},${(c.blue || 0) * scale})`;
        glow(led, css, peak);
        led.dataset.hex = c.hex || '';
        readout.textContent = `${c.hex || '#000000'}  R ${Math.round((c.red || 0) * 100)} %  G ${Math.round((c.green || 0) * 100)} %  B ${Math.round((c.blue || 0) * 100)} %`;
      },
    };
  },
};

drawings.fan = {
  build(dev, body) {
    const blades = svg('g', {});
    for (let i = 0; i < 3; i++)
      blades.append(svg('path', { d: 'M0 -8 C 18 -40, 44 -30, 40 -6 C 30 -2, 14 -2, 0 -8 Z', fill: '#cfd8dc', transform: `rotate(${i * 120})`, stroke: '#90a4ae' }));
    blades.append(svg('circle', { r: 10, fill: '#455a64', stroke: '#263238' }));
    const box = svg('svg', { viewBox: '-55 -55 110 110', width: 130, height: 130 },
      svg('circle', { r: 52, fill: '#263238', stroke: '#546e7a', 'stroke-width': 3 }), blades);
    const readout = el('div', { class: 'readout' });
    body.append(el('div', { class: 'fan' }, box), readout);
    let angle = 0, speed = 0, last = performance.now();
    const turn = (now) => {
      angle = (angle + speed * 900 * (now - last) / 1000) % 360;  // 2.5 turns a second at full speed
      last = now;
      blades.setAttribute('transform', `rotate(${angle})`);
      requestAnimationFrame(turn);
    };
    requestAnimationFrame(turn);
    return {
      update(d) {
        speed = typeof d.shown.speed === 'number' ? d.shown.speed : 0;
        box.dataset.speed = String(speed);
        readout.textContent = `${d.shown.direction ?? 'off'} · drive ${Math.round((d.shown.drive || 0) * 100)} % · speed ${Math.round(speed * 100)} %`;
      },
    };
  },
};

drawings.button = {
  build(dev, body) {
    const cap = el('button', { class: 'key', title: 'press (hold)', text: '' });
    cap.style.width = '64px'; cap.style.height = '64px'; cap.style.borderRadius = '50%';
    cap.style.background = 'radial-gradient(circle at 40% 35%, #555, #1b1b1b)'; cap.style.boxShadow = '0 4px 0 #000';
    pressable(cap, dev, {}, '200ms');
    const readout = el('div', { class: 'readout' });
    body.append(cap, readout);
    return {
      update(d) {
        cap.classList.toggle('down', !!d.shown.pressed);
        cap.dataset.pressed = d.shown.pressed ? '1' : '0';
        readout.textContent = d.shown.pressed ? 'pressed' : 'released';
      },
    };
  },
};

// The buzzer's note, and its sound once the person lets the page play one.
const audio = { ctx: null, on: false, voices: new Map() };
function voice(name) {
  if (!audio.ctx) return null;
  if (!audio.voices.has(name)) {
    const osc = audio.ctx.createOscillator();
    const gain = audio.ctx.createGain();
    osc.type = 'square';
    gain.gain.value = 0;
    osc.connect(gain).connect(audio.ctx.destination);
    osc.start();
    audio.voices.set(name, { osc, gain });
  }
  return audio.voices.get(name);
}
function sound(name, freq) {
  const v = voice(name);
  if (!v) return;
  const now = audio.ctx.currentTime;
  if (freq > 0 && audio.on) {
    v.osc.frequency.setValueAtTime(freq, now);
    v.gain.gain.setTargetAtTime(0.05, now, 0.005);
  } else {
    v.gain.gain.setTargetAtTime(0, now, 0.005);
  }
}

drawings.buzzer = {
  build(dev, body) {
    const note = el('div', { class: 'readout big', text: '—' });
    const freq = el('div', { class: 'readout dim' });
    const cone = svg('svg', { viewBox: '0 0 60 40', width: 90, height: 60 },
      svg('circle', { cx: 20, cy: 20, r: 17, fill: '#111', stroke: '#444', 'stroke-width': 2 }),
      svg('circle', { cx: 20, cy: 20, r: 4, fill: '#333' }));
    const waves = svg('g', { stroke: '#ffd54f', fill: 'none', 'stroke-width': 2 },
      svg('path', { d: 'M42 12 Q48 20 42 28' }), svg('path', { d: 'M48 7 Q57 20 48 33' }));
    cone.append(waves);
    body.append(cone, note, freq);
    return {
      update(d) {
        const f = d.shown.frequency || 0;
        note.textContent = f > 0 ? d.shown.note : 'silence';
        freq.textContent = f > 0 ? `${f} Hz` : '';
        waves.style.opacity = f > 0 ? '1' : '0.1';
        sound(d.name, f);
      },
    };
  },
};

drawings.aht20 = {
  build(dev, body, inputs) {
    const rh = el('div', { class: 'readout big' });
    const temp = el('div', { class: 'readout big' });
    body.append(el('div', { class: 'row' }, el('div', {}, el('div', { class: 'dim', text: 'humidity' }), rh),
      el('div', {}, el('div', { class: 'dim', text: 'temperature' }), temp)));
    const slider = (label, key, min, max, step, unit) => {
      const out = el('span', { class: 'readout' });
      const s = el('input', { type: 'range', min, max, step, 'data-set': key });
      s.addEventListener('input', () => { out.textContent = `${s.value} ${unit}`; });
      s.addEventListener('change', () => send(dev.name, 'set', { [key]: Number(s.value) }));
      inputs.append(el('label', {}, el('span', { text: label }), s, out));
      return { s, out };
    };
    const h = slider('humidity', 'humidity', 0, 100, 0.5, '%RH');
    const t = slider('temperature', 'temperature', -40, 85, 0.5, '°C');
    return {
      update(d) {
        const hv = d.shown.humidity ?? Number(dev.settings.humidity);
        const tv = d.shown.temperature ?? Number(dev.settings.temperature);
        rh.textContent = Number.isFinite(hv) ? `${hv.toFixed(1)} %` : '—';
        temp.textContent = Number.isFinite(tv) ? `${tv.toFixed(1)} °C` : '—';
        if (Number.isFinite(hv) && document.activeElement !== h.s) { h.s.value = hv; h.out.textContent = `${hv} %RH`; }
        if (Number.isFinite(tv) && document.activeElement !== t.s) { t.s.value = tv; t.out.textContent = `${tv} °C`; }
      },
    };
  },
};

drawings.gx2431 = {
  build(dev, body, inputs) {
    const grid = el('pre', { class: 'readout memory' });
    grid.style.margin = '0'; grid.style.fontSize = '11.5px'; grid.style.lineHeight = '1.45'; grid.style.color = '#e8f5e9';
    const note = el('div', { class: 'dim' });
    body.append(grid, note);
    const row = el('div', { class: 'replays' });
    for (const a of ['leave', 'rejoin', 'stuck-low', 'release'])
      row.append(el('button', { text: a, title: `action ${a}`, onclick: () => send(dev.name, a) }));
    inputs.append(row);
    return {
      update(d) {
        const bytes = String(d.shown.memory || '').trim().split(/\s+/).filter(Boolean);
        const w = d.shown.last_write;
        grid.textContent = '';
        for (let r = 0; r * 8 < bytes.length; r++) {
          grid.append(el('span', { class: 'dim', text: hex(r * 8, 2).slice(2) + '  ' }));
          for (let i = r * 8; i < Math.min(bytes.length, r * 8 + 8); i++) {
            const b = el('span', { text: bytes[i] + ' ' });
            if (w && i >= w.address && i < w.address + w.length) { b.style.background = '#2e7d32'; b.style.color = '#fff'; }
            grid.append(b);
          }
          const ascii = bytes.slice(r * 8, r * 8 + 8).map(x => { const c = parseInt(x, 16); return c >= 32 && c < 127 ? String.fromCharCode(c) : '·'; }).join('');
          grid.append(el('span', { class: 'dim', text: ' ' + ascii + '\n' }));
        }
        if (!bytes.length) grid.textContent = '(memory not shown yet)';
        note.textContent = w ? `last write: ${w.length} byte(s) at ${hex(w.address, 4)}` : 'no write yet';
      },
    };
  },
};

drawings['ir-board'] = {
  build(dev, body, inputs) {
    const code = el('div', { class: 'readout big' });
    body.append(el('div', { class: 'dim', text: 'code register' }), code);
    const field = el('input', { type: 'text', value: '0xFF38', size: 8, title: 'a remote key code, 1 to 0xFFFF' });
    const go = el('button', { text: 'press' });
    holdable(go, () => send(dev.name, 'press', { code: field.value.trim() }));
    inputs.append(el('label', {}, el('span', { text: 'remote key' }), field, go));
    return { update(d) { code.textContent = hex(d.shown.code || 0, 4); code.dataset.code = String(d.shown.code || 0); } };
  },
};

// An NEC remote: the keys of a small 21-key remote, by their command codes.
const REMOTE_KEYS = [0x45, 0x46, 0x47, 0x44, 0x40, 0x43, 0x07, 0x15, 0x09, 0x16, 0x19, 0x0D,
  0x0C, 0x18, 0x5E, 0x08, 0x1C, 0x5A, 0x42, 0x52, 0x4A];
drawings['nec-remote'] = {
  build(dev, body, inputs) {
    const remote = el('div', { class: 'keypad' });
    remote.style.gridTemplateColumns = 'repeat(3, 46px)';
    remote.style.background = '#181818'; remote.style.padding = '12px'; remote.style.borderRadius = '16px 16px 22px 22px';
    const address = el('input', { type: 'text', value: '0x00', size: 5, title: 'the remote\'s address, 0 to 0xFFFF' });
    for (const cmd of REMOTE_KEYS) {
      const key = el('button', { class: 'key', 'data-command': cmd, text: hex(cmd, 2).slice(2), title: `command ${hex(cmd, 2)}` });
      let repeat = null;
      const args = () => ({ address: parseInt(address.value, 16) || 0, command: cmd });
      // Held: the remote's own `down` and `up`; a remote model without them
      // gets the key's frame, then a repeat code every 108 ms while it is
      // held, as a remote sends them.
      holdInput(key, dev, args, () => {
        send(dev.name, 'press', args());
        repeat = setInterval(() => send(dev.name, 'repeat'), 108);
      }, () => { clearInterval(repeat); repeat = null; });
      remote.append(key);
    }
    const last = el('div', { class: 'readout' });
    body.append(remote, last);
    inputs.append(el('label', {}, el('span', { text: 'address' }), address));
    return {
      update(d) {
        const k = d.shown.key;
        last.textContent = k ? `last key ${hex(k.address, 2)} ${hex(k.command, 2)}${d.shown.held ? ' (held)' : ''}` : 'no key yet';
      },
    };
  },
};

drawings.hc595 = {
  build(dev, body) {
    const chip = svg('svg', { viewBox: '0 0 160 70', width: 190, height: 84 },
      svg('rect', { x: 20, y: 12, width: 120, height: 46, rx: 4, fill: '#1c1c1c', stroke: '#444' }),
      svg('circle', { cx: 30, cy: 35, r: 4, fill: '#333' }));
    for (let i = 0; i < 8; i++) {
      chip.append(svg('rect', { x: 28 + i * 14, y: 4, width: 6, height: 8, fill: '#bbb' }));
      chip.append(svg('rect', { x: 28 + i * 14, y: 58, width: 6, height: 8, fill: '#bbb' }));
    }
    const t = svg('text', { x: 80, y: 40, 'text-anchor': 'middle', fill: '#ddd', 'font-size': 12, 'font-family': 'monospace' });
    t.textContent = '74HC595';
    chip.append(t);
    body.append(chip, el('div', { class: 'dim', text: `data ${dev.settings.data ?? '?'} · clock ${dev.settings.clock ?? '?'} · latch ${dev.settings.latch ?? '?'}` }));
    return { update() {} };
  },
};

// Any other part: its shown values by type.
function genericDrawing(dev, body) {
  const list = el('dl', { class: 'kv' });
  body.append(list);
  return {
    update(d) {
      list.textContent = '';
      const keys = Object.keys(d.shown);
      if (!keys.length) list.append(el('dt', { text: '' }), el('dd', { class: 'dim', text: 'shows nothing by itself' }));
      for (const k of keys) {
        const v = d.shown[k];
        let shown;
        if (typeof v === 'boolean') {
          shown = el('span', {}, el('span', { class: 'led' }), ' ' + (v ? 'on' : 'off'));
          shown.firstChild.style.cssText = 'display:inline-block;width:12px;height:12px;vertical-align:-1px';
          glow(shown.firstChild, LED_COLOURS.green, v ? 1 : 0);
        } else if (typeof v === 'number') {
          shown = el('span', { text: String(v) });
          if (v >= 0 && v <= 1 && !Number.isInteger(v)) shown.append(el('meter', { min: 0, max: 1, value: v }));
        } else if (v && typeof v === 'object') {
          shown = el('span', { text: Object.entries(v).map(([f, x]) => `${f}=${x}`).join('  ') });
          if (typeof v.hex === 'string') { const sw = el('span', { class: 'led' }); sw.style.cssText = `display:inline-block;width:14px;height:14px;margin-left:6px;background:${v.hex}`; shown.append(sw); }
        } else {
          shown = el('span', { text: JSON.stringify(v) });
        }
        list.append(el('dt', { text: k }), el('dd', {}, shown));
      }
    },
  };
}

// The scenario's own inputs to this device, as buttons that give them again,
// and a free form for any action (checked by the kit as a stimulus is).
function scenarioInputs(dev, inputs) {
  const own = state.scenario.stimuli.filter(s => s.device === dev.name);
  const seen = new Set();
  const row = el('div', { class: 'replays' });
  for (const s of own) {
    const args = { ...s };
    delete args.at; delete args.device; delete args.action;
    const label = `${s.action} ${Object.entries(args).map(([k, v]) => `${k} ${v}`).join(' ')}`.trim();
    if (seen.has(label)) continue;
    seen.add(label);
    row.append(el('button', { text: label, title: `as the scenario does at ${s.at}`, onclick: () => send(dev.name, s.action, args) }));
  }
  if (row.childElementCount) inputs.append(el('div', { class: 'title', text: 'as in the scenario' }), row);
  const action = el('input', { type: 'text', placeholder: 'action', size: 8 });
  const args = el('input', { type: 'text', placeholder: '{"setting": value}', size: 18 });
  const go = el('button', { text: 'do', onclick: () => {
    let parsed = {};
    try { parsed = args.value.trim() ? JSON.parse(args.value) : {}; } catch (e) { toast('settings: not JSON: ' + e.message); return; }
    send(dev.name, action.value.trim(), parsed);
  } });
  inputs.append(el('details', {}, el('summary', { class: 'title', text: 'any action' }), el('div', { class: 'row' }, action, args, go)));
}

// ---------------------------------------------------------------- cards

const cards = new Map();  // device name -> {card, drawing}

function buildCards() {
  const host = $('#modules');
  host.textContent = '';
  cards.clear();
  if (!state.devices.size) host.append(el('div', { class: 'card' }, el('h3', { text: 'No module' }),
    el('div', { class: 'dim', text: 'This program runs without a module: its output is below.' })));
  for (const dev of state.devices.values()) {
    // The Pi's own parts the kit wires itself (its I2C controller) are no
    // module of the scenario's: drawn only if they show something.
    if (state.scenario.order.length && !state.scenario.devices[dev.name] && !Object.keys(dev.shown).length) continue;
    const body = el('div', { class: 'pcb' });
    const inputs = el('div', { class: 'inputs' });
    const card = el('section', { class: 'card', 'data-device': dev.name, 'data-type': dev.type },
      el('h3', {}, el('span', { text: dev.name }), el('span', { class: 'type', text: dev.type })), body, inputs);
    const d = drawings[dev.type];
    const drawing = d ? d.build(dev, body, inputs) : genericDrawing(dev, body);
    scenarioInputs(dev, inputs);
    if (!inputs.childElementCount) inputs.remove();
    cards.set(dev.name, { card, drawing });
    host.append(card);
    drawing.update(dev);
  }
}

function updateDevice(name) {
  const c = cards.get(name);
  const dev = state.devices.get(name);
  if (c && dev) c.drawing.update(dev);
}

// ---------------------------------------------------------------- header pins

// Physical pin -> BCM GPIO (null: power or ground), and power pins.
const HEADER = [null, 'p3v3', 'p5v', 2, 'p5v', 3, 'gnd', 4, 14, 'gnd', 15, 17, 18, 27, 'gnd', 22, 23, 'p3v3', 24, 10, 'gnd',
  9, 25, 11, 8, 'gnd', 7, 0, 1, 5, 'gnd', 6, 12, 13, 'gnd', 19, 16, 26, 20, 'gnd', 21];
const PIN_SETTINGS = ['pin', 'sda', 'scl', 'clock', 'data_in', 'data_out', 'interrupt', 'data', 'latch', 'in1', 'in2', 'red', 'green', 'blue'];
const pinCells = new Map();  // physical pin -> {pin, label}

function pinUsers() {
  // wiringPi pin -> "device.setting" from the scenario's wiring.
  const users = new Map();
  const add = (wpi, what) => users.set(wpi, users.has(wpi) ? `${users.get(wpi)}, ${what}` : what);
  for (const dev of state.devices.values())
    for (const [k, v] of Object.entries(dev.settings || {}))
      if (PIN_SETTINGS.includes(k) && /^(0x[0-9a-f]+|\d+)$/i.test(String(v))) add(Number(v), `${dev.name}.${k}`);
  return users;
}

function buildHeader() {
  const grid = $('#gpio');
  grid.textContent = '';
  pinCells.clear();
  for (let row = 0; row < 20; row++) {
    for (const side of [0, 1]) {
      const phys = row * 2 + 1 + side;
      const kind = HEADER[phys];
      const pin = el('div', { class: 'pin ' + (typeof kind === 'string' ? kind : ''), text: String(phys), title: `header pin ${phys}` });
      const label = el('div', { class: 'label ' + (side ? '' : 'left'),
        text: typeof kind === 'string' ? { p3v3: '3.3 V', p5v: '5 V', gnd: 'ground' }[kind] : `BCM ${kind}` });
      pinCells.set(phys, { pin, label, bcm: kind });
      if (side === 0) grid.append(label, pin); else grid.append(pin, label);
    }
  }
}

function updateHeader() {
  const users = pinUsers();
  for (const [phys, c] of pinCells) {
    if (typeof c.bcm === 'string') continue;
    c.pin.className = 'pin';
    c.label.className = 'label' + (phys % 2 ? ' left' : '');
    c.label.textContent = `BCM ${c.bcm}`;
  }
  for (const p of state.pins) {
    const c = pinCells.get(p.header);
    if (!c) continue;
    const level = p.floating ? 'float' : p.level ? 'high' : 'low';
    c.pin.className = `pin used ${level}`;
    c.label.className = 'label used' + (p.header % 2 ? ' left' : '');
    const dir = p.output ? '▶' : '◀';
    let wave = '';
    if (p.wave && p.wave.kind === 'pwm') wave = ` pwm ${Math.round(100 * p.wave.value / p.wave.range)}%`;
    if (p.wave && p.wave.kind === 'tone') wave = ` tone ${p.wave.freq} Hz`;
    const who = users.get(p.pin) || `wpi ${p.pin}`;
    c.label.textContent = p.header % 2 ? `${who}${wave} ${dir}` : `${dir} ${who}${wave}`;
    c.pin.title = `header pin ${p.header} · wiringPi ${p.pin} · BCM ${p.bcm} · ${p.output ? 'output' : 'input'} · ${level.toUpperCase()}${p.module ? ' · the module drives it' : ''}`;
    c.pin.dataset.level = level;
    c.pin.dataset.output = p.output ? '1' : '0';
  }
}

// ---------------------------------------------------------------- console and reports

const MAX_REPORTS = 500;
let reportCount = 0, stdoutCount = 0;

function addReport(ev) {
  const list = $('#reports');
  const stick = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
  const kind = ev.event === 'contention_over' ? 'contention' : ev.kind;
  const text = ev.event === 'contention_over' ? `contention on ${ev.line} over after ${(ev.duration_ns / 1000).toFixed(1)} µs` : ev.text;
  list.append(el('li', { class: kind },
    el('span', { class: 't', text: shortTime(ev.t_ns) }), el('span', { class: `kind ${kind}`, text: kind }),
    el('span', {}, el('span', { class: 'src', text: (ev.source || 'board') + ': ' }), text)));
  while (list.childElementCount > MAX_REPORTS) list.firstChild.remove();
  reportCount += 1;
  $('#reports-count').textContent = `${reportCount}`;
  if (stick) list.scrollTop = list.scrollHeight;
}

const MAX_CONSOLE = 200000;
function addOutput(text) {
  const c = $('#console');
  const stick = c.scrollTop + c.clientHeight >= c.scrollHeight - 4;
  c.textContent += text;
  if (c.textContent.length > MAX_CONSOLE) c.textContent = c.textContent.slice(-MAX_CONSOLE / 2);
  stdoutCount += 1;
  $('#stdout-count').textContent = '';
  if (stick) c.scrollTop = c.scrollHeight;
}

// ---------------------------------------------------------------- the stream

function setClock(t) {
  if (t > state.t) state.t = t;
  $('#clock').textContent = formatTime(state.t);
}

function showState() {
  const s = $('#state');
  let cls = 'running', text = 'running';
  if (state.end) { cls = 'ended'; text = `ended: ${state.end.reason}`; }
  else if (state.lost) { cls = 'lost'; text = 'connection lost'; }
  else if (state.paused) { cls = 'paused'; text = 'paused'; }
  s.className = `state ${cls}`;
  $('#state-text').textContent = text;
  s.dataset.state = cls;
}

function applyStart(start) {
  state.start = start;
  if (!start) return;
  $('#program').textContent = start.program;
  $('#scenario').textContent = start.scenario;
  document.title = `${start.program} · pikit`;
}

function applySnapshot(s) {
  applyStart(s.start);
  state.end = s.end;
  state.lost = false;
  const names = s.devices.map(d => `${d.name}:${d.type}`).join(',');
  const had = [...state.devices.values()].map(d => `${d.name}:${d.type}`).join(',');
  state.devices = new Map(s.devices.map(d => [d.name, { ...d, actions: (state.devices.get(d.name) || {}).actions }]));
  state.pins = s.pins;
  markSpeed(s.pace);
  if (names !== had || !cards.size) buildCards();
  else for (const name of state.devices.keys()) updateDevice(name);
  updateHeader();
  $('#reports').textContent = '';
  reportCount = s.reports_total - s.reports.length;
  for (const r of s.reports) addReport(r);
  $('#console').textContent = '';
  for (const o of s.stdout) addOutput(o.text);
  state.t = 0;
  setClock(s.t_ns);
  showState();
}

function applyEvent(ev) {
  setClock(ev.t_ns);
  switch (ev.event) {
    case 'show': {
      const dev = state.devices.get(ev.device);
      if (!dev) return;
      dev.shown[ev.key] = ev.value;
      record.shows += 1;
      noteShown(ev);
      updateDevice(ev.device);
      break;
    }
    case 'report':
    case 'contention_over':
      addReport(ev);
      break;
    case 'stdout':
      addOutput(ev.text);
      break;
    case 'start':
      applyStart(ev);
      break;
    case 'end':
      state.end = ev;
      showState();
      refreshScenario();
      break;
    default:
      break;  // events of later versions
  }
}

function connect() {
  const es = new EventSource('/events');
  es.addEventListener('snapshot', e => applySnapshot(JSON.parse(e.data)));
  es.addEventListener('pins', e => {
    const p = JSON.parse(e.data);
    state.pins = p.pins;
    if (p.pace !== state.pace) markSpeed(p.pace);
    setClock(p.t_ns);
    updateHeader();
  });
  es.onmessage = e => applyEvent(JSON.parse(e.data));
  es.onerror = () => {
    if (state.end) { es.close(); showState(); return; }
    state.lost = true;  // EventSource tries again by itself
    showState();
  };
}

// ---------------------------------------------------------------- controls

function markSpeed(speed) {
  state.pace = speed;
  for (const b of document.querySelectorAll('#pace button')) b.classList.toggle('on', b.dataset.speed === speed);
  state.paused = speed === 'pause';
  showState();
}

async function setSpeed(speed) {
  try {
    const r = await fetch('/pace', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ speed }) });
    const j = await r.json();
    if (!r.ok) { toast(j.error || `refused (${r.status})`); return; }
    markSpeed(speed);
  } catch (e) {
    toast('the view does not answer');
  }
}

function soundToggle() {
  const b = $('#sound');
  if (!audio.ctx) audio.ctx = new (window.AudioContext || window.webkitAudioContext)();
  audio.on = !audio.on;
  if (audio.on) audio.ctx.resume();
  b.textContent = audio.on ? '♪ sound on' : '♪ sound off';
  b.classList.toggle('on', audio.on);
  for (const dev of state.devices.values()) if (dev.type === 'buzzer') sound(dev.name, dev.shown.frequency || 0);
}

async function start() {
  buildHeader();
  $('#save').addEventListener('click', saveScenario);
  $('#sound').addEventListener('click', soundToggle);
  for (const b of document.querySelectorAll('#pace button')) b.addEventListener('click', () => setSpeed(b.dataset.speed));
  $('#show-info').addEventListener('change', e => $('#reports').classList.toggle('hide-info', !e.target.checked));
  try {
    const r = await fetch('/devices');
    if (r.ok) {
      const d = await r.json();
      state.scenario = { order: d.order || [], devices: d.devices || {}, stimuli: d.stimuli || [], description: d.description || '' };
    }
  } catch (e) { /* drawn from the stream alone */ }
  refreshScenario();
  connect();
}

start();
