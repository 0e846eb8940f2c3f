// The ophost preview page: builds the controls of the chosen plug-in from the descriptors the
// server read, and asks the server for the frame the controls describe whenever one changes.
// One frame request is in flight at a time; a newer one aborts it (and the server drops requests
// of this view that a newer one overtook while they waited).
'use strict';

const $ = (id) => document.getElementById(id);

// Every request to the server carries this header: the server refuses requests without it, which
// is what keeps pages of other origins (which cannot add it) from driving it.
const api = (path, init = {}) => fetch(path, { ...init, headers: { ...init.headers, 'X-Ophost-Request': '1' } });
const view = Math.random().toString(36).slice(2, 10);
const FPS = 25;

const state = {
  catalogue: null,     // /api/plugins
  plugin: null,        // its entry for the chosen plug-in
  values: {},          // parameter name -> value in the command line's words
  position: 25,
  playing: false,
  inFlight: null,      // AbortController of the frame request under way
  shownUrl: null,      // object URL of the frame on screen
  playTimer: null,
  requested: 0,        // when the frame on its way was asked for
  sent: 0,             // frame requests sent, numbering them for the server
};

function setStatus(message, isError) {
  const status = $('status');
  status.textContent = message || '';
  status.classList.toggle('error', !!isError);
}

async function errorText(response) {
  const body = (await response.text()).trim();
  return `${response.status} ${response.statusText}: ${body || 'no reason given'}`;
}

function length() {
  const value = parseInt($('length').value, 10);
  const limit = state.catalogue ? state.catalogue.lengthLimit : 100000;
  return Number.isFinite(value) ? Math.min(Math.max(value, 1), limit) : 50;
}

// The request for what the page shows, in the order the server and the command line read it.
function query(withPosition) {
  const q = new URLSearchParams();
  q.set('plugin', state.plugin.name);
  q.set('input0', $('input0').value);
  if (state.plugin.inputs === 2) q.set('input1', $('input1').value);
  if (state.plugin.textures > 0 && $('texture').value) q.set('texture', $('texture').value);
  for (const param of state.plugin.params) q.append('set', `${param.name}=${state.values[param.name]}`);
  q.set('length', String(length()));
  if (withPosition) q.set('position', String(state.position));
  if ($('easing').value !== 'linear') q.set('easing', $('easing').value);
  if ($('size').value) q.set('size', $('size').value);
  return q;
}

// ---- frames ------------------------------------------------------------------------------------

async function requestFrame() {
  if (!state.plugin) return;
  if (state.inFlight) state.inFlight.abort();
  const controller = new AbortController();
  state.inFlight = controller;
  const q = query(true);
  const asked = q.toString();
  q.set('view', view);
  q.set('seq', String(++state.sent));  // the server may see requests out of order; this orders them
  document.body.dataset.state = 'rendering';
  state.requested = performance.now();
  try {
    const response = await api('/api/frame?' + q.toString(), { signal: controller.signal });
    if (response.status === 409) return;  // overtaken by a later request of ours
    if (!response.ok) {
      setStatus(await errorText(response), true);
      stopPlaying();
      return;
    }
    const blob = await response.blob();
    if (controller.signal.aborted) return;
    const url = URL.createObjectURL(blob);
    const image = $('preview');
    await new Promise((resolve, reject) => {
      image.onload = resolve;
      image.onerror = () => reject(new Error('the frame could not be shown'));
      image.src = url;
    });
    showAtDisplayAspect(image, response.headers.get('X-Pixel-Aspect'));
    if (state.shownUrl) URL.revokeObjectURL(state.shownUrl);
    state.shownUrl = url;
    image.dataset.query = asked;
    setStatus(`${state.plugin.name}, frame ${state.position} of ${length()}`);
    if (state.playing) schedulePlay();
  } catch (error) {
    if (error.name !== 'AbortError') setStatus(String(error.message || error), true);
  } finally {
    if (state.inFlight === controller) {
      state.inFlight = null;
      document.body.dataset.state = 'idle';
    }
  }
}

// A frame of non-square pixels (a PAL clip's 16:15, say) is stretched to the shape it is shown in,
// as a player shows it; square pixels keep the picture's own shape.
function showAtDisplayAspect(image, pixelAspect) {
  const match = /^(\d+):(\d+)$/.exec(pixelAspect || '');
  image.style.aspectRatio = match
    ? `${image.naturalWidth * Number(match[1])} / ${image.naturalHeight * Number(match[2])}`
    : '';
  image.dataset.pixelAspect = match ? pixelAspect : '1:1';
}

// ---- transport ---------------------------------------------------------------------------------

function setPosition(position) {
  state.position = Math.min(Math.max(position, 0), length());
  $('scrubber').max = String(length());
  $('scrubber').value = String(state.position);
  $('frame-label').textContent = `${state.position} / ${length()}`;
}

// The next frame once this one has been on screen for a frame's time; frames that took longer to
// render than that are skipped, so playing keeps to real time.
function schedulePlay() {
  clearTimeout(state.playTimer);
  if (state.position >= length()) return stopPlaying();
  const interval = 1000 / FPS;
  const delay = Math.max(0, interval - (performance.now() - state.requested));
  state.playTimer = setTimeout(() => {
    if (!state.playing) return;
    const steps = Math.max(1, Math.round((performance.now() - state.requested) / interval));
    setPosition(state.position + steps);
    requestFrame();
  }, delay);
}

function startPlaying() {
  if (state.position >= length()) setPosition(0);
  state.playing = true;
  $('play').innerHTML = '&#10074;&#10074;';
  $('play').setAttribute('aria-label', 'Pause');
  requestFrame();
}

function stopPlaying() {
  state.playing = false;
  clearTimeout(state.playTimer);
  $('play').innerHTML = '&#9654;';
  $('play').setAttribute('aria-label', 'Play');
}

// ---- controls ----------------------------------------------------------------------------------

// Where each direction code sits in a 3 x 3 grid of arrows, clockwise from up.
const ARROW_CELLS = { 8: 0, 1: 1, 2: 2, 7: 3, 3: 5, 6: 6, 5: 7, 4: 8 };

function control(param) {
  const box = document.createElement('div');
  box.className = 'control';
  box.dataset.param = param.name;
  const id = 'param-' + param.name;
  const label = document.createElement(param.kind === 'choice' && param.style === 'directions' ? 'span' : 'label');
  label.className = 'control-label';
  label.textContent = param.label;
  if (label.tagName === 'LABEL') label.htmlFor = id;
  box.appendChild(label);
  const changed = (value) => {
    state.values[param.name] = value;
    requestFrame();
  };

  if (param.kind === 'slider') {
    const row = document.createElement('div');
    row.className = 'slider-row';
    const input = document.createElement('input');
    Object.assign(input, { type: 'range', id, min: param.min, max: param.max, value: param.default });
    const shown = document.createElement('output');
    shown.textContent = String(param.default);
    input.addEventListener('input', () => {
      shown.textContent = input.value;
      changed(input.value);
    });
    row.append(input, shown);
    box.appendChild(row);
    const unit = document.createElement('div');
    unit.className = 'unit';
    unit.textContent = `${param.min}..${param.max} ${param.unit}`;
    box.appendChild(unit);
    state.values[param.name] = String(param.default);
  } else if (param.kind === 'choice' && param.style === 'directions') {
    const grid = document.createElement('div');
    grid.className = 'arrows';
    grid.id = id;
    grid.setAttribute('role', 'radiogroup');
    grid.setAttribute('aria-label', param.label);
    const cells = Array.from({ length: 9 }, () => document.createElement('span'));
    for (const entry of param.entries) {
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = entry.arrow;
      button.title = entry.text;
      button.dataset.value = entry.name;
      button.setAttribute('role', 'radio');
      button.setAttribute('aria-pressed', String(entry.name === param.default));
      button.addEventListener('click', () => {
        for (const other of grid.querySelectorAll('button')) other.setAttribute('aria-pressed', String(other === button));
        changed(entry.name);
      });
      cells[ARROW_CELLS[entry.code] ?? 4] = button;
    }
    grid.append(...cells);
    box.appendChild(grid);
    state.values[param.name] = param.default;
  } else if (param.kind === 'choice') {
    const select = document.createElement('select');
    select.id = id;
    for (const entry of param.entries) select.add(new Option(entry.text, entry.name));
    select.value = param.default;
    select.addEventListener('change', () => changed(select.value));
    box.appendChild(select);
    state.values[param.name] = param.default;
  } else if (param.kind === 'colour') {
    const input = document.createElement('input');
    Object.assign(input, { type: 'color', id, value: param.rgb.toLowerCase() });
    // The default goes to the server as the packed word it is, so it stays exact.
    input.addEventListener('input', () => changed(input.value.toUpperCase()));
    box.appendChild(input);
    state.values[param.name] = param.default;
  }
  return box;
}

function choosePlugin(name) {
  const plugin = state.catalogue.plugins.find((p) => p.name === name);
  if (!plugin) return;
  if (plugin.error) {
    setStatus(`${plugin.name} cannot be loaded: ${plugin.error}`, true);
    return;
  }
  state.plugin = plugin;
  state.values = {};
  $('summary').textContent = plugin.summary;
  $('input1-field').hidden = plugin.inputs !== 2;
  $('texture-field').hidden = !(plugin.textures > 0);
  const controls = $('controls');
  controls.replaceChildren(...plugin.params.map(control));
  if (!plugin.params.length) controls.textContent = 'none';
  $('command').hidden = true;
  requestFrame();
}

// ---- inputs ------------------------------------------------------------------------------------

function addInputOption(value, text) {
  for (const select of [$('input0'), $('input1')]) select.add(new Option(text, value));
}

// Uploads are pictures or clips; a picture may also serve as a texture.
async function uploadFile(file, asTexture) {
  const status = $(asTexture ? 'texture-status' : 'upload-status');
  status.classList.remove('error');
  const limit = state.catalogue.uploadLimit;
  if (file.size > limit) {
    status.textContent = `${file.name}: ${file.size} bytes is more than the ${limit} bytes an upload may have`;
    status.classList.add('error');
    return;
  }
  status.textContent = `uploading ${file.name} ...`;
  try {
    const response = await api('/api/upload?name=' + encodeURIComponent(file.name), { method: 'POST', body: file });
    if (!response.ok) {
      status.textContent = await errorText(response);
      status.classList.add('error');
      return;
    }
    const upload = await response.json();
    const text = `${upload.name} (${upload.width}x${upload.height}, ${upload.still ? 'picture' : 'clip'})`;
    addInputOption(upload.id, text);
    if (upload.still) $('texture').add(new Option(text, upload.id));
    if (asTexture) {
      $('texture').value = upload.id;
      status.textContent = `${upload.name} is the texture now`;
    } else {
      $('input0').value = upload.id;
      status.textContent = `${upload.name} is input 0 now (choose it for input 1 below if you like)`;
    }
    requestFrame();
  } catch (error) {
    status.textContent = String(error.message || error);
    status.classList.add('error');
  } finally {
    $(asTexture ? 'texture-upload' : 'upload').value = '';
  }
}

// ---- export ------------------------------------------------------------------------------------

async function exportCommand() {
  if (!state.plugin) return;
  try {
    const response = await api('/api/command?' + query(true).toString());
    if (!response.ok) return setStatus(await errorText(response), true);
    const lines = await response.json();
    $('command-frame').textContent = lines.frame;
    $('command-video').textContent = lines.video;
    $('command').hidden = false;
  } catch (error) {
    setStatus(String(error.message || error), true);
  }
}

async function downloadVideo() {
  if (!state.plugin) return;
  const status = $('video-status');
  status.classList.remove('error');
  status.textContent = `rendering ${length() + 1} frames ...`;
  $('video').disabled = true;
  try {
    const response = await api('/api/video?' + query(false).toString());
    if (!response.ok) {
      status.textContent = await errorText(response);
      status.classList.add('error');
      return;
    }
    const url = URL.createObjectURL(await response.blob());
    const link = document.createElement('a');
    link.href = url;
    link.download = state.plugin.name.toLowerCase() + '.mp4';
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
    status.textContent = `${link.download} rendered`;
  } catch (error) {
    status.textContent = String(error.message || error);
    status.classList.add('error');
  } finally {
    $('video').disabled = false;
  }
}

// ---- start -------------------------------------------------------------------------------------

async function start() {
  const response = await api('/api/plugins');
  if (!response.ok) return setStatus(await errorText(response), true);
  state.catalogue = await response.json();
  for (const plugin of state.catalogue.plugins) {
    const option = new Option(plugin.error ? `${plugin.name} (cannot be loaded)` : plugin.name, plugin.name);
    option.disabled = !!plugin.error;
    $('plugin').add(option);
  }
  for (const card of state.catalogue.cards) addInputOption(card.name, `${card.name} - ${card.about}`);
  $('input0').value = 'card:bars';
  $('input1').value = 'card:rings';
  $('length').max = String(state.catalogue.lengthLimit);
  $('upload').previousElementSibling.textContent +=
      ` (at most ${Math.floor(state.catalogue.uploadLimit / (1 << 20))} MB)`;

  $('plugin').addEventListener('change', () => choosePlugin($('plugin').value));
  for (const id of ['input0', 'input1', 'texture', 'easing', 'size']) $(id).addEventListener('change', requestFrame);
  $('length').addEventListener('change', () => {
    $('length').value = String(length());
    setPosition(state.position);
    requestFrame();
  });
  $('scrubber').addEventListener('input', () => {
    stopPlaying();
    setPosition(parseInt($('scrubber').value, 10));
    requestFrame();
  });
  $('play').addEventListener('click', () => (state.playing ? stopPlaying() : startPlaying()));
  $('upload').addEventListener('change', () => $('upload').files[0] && uploadFile($('upload').files[0], false));
  $('texture-upload').addEventListener('change',
      () => $('texture-upload').files[0] && uploadFile($('texture-upload').files[0], true));
  $('export').addEventListener('click', exportCommand);
  $('video').addEventListener('click', downloadVideo);

  setPosition(Math.floor(length() / 2));
  const first = state.catalogue.plugins.find((p) => !p.error);
  if (!first) return setStatus('no plug-in can be loaded', true);
  $('plugin').value = first.name;
  choosePlugin(first.name);
}

start().catch((error) => setStatus(String(error.message || error), true));
