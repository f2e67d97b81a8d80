// The page: the package, one card per device, and each install followed through the events the
// server reads from the installer's lines. No framework; the server serves only this.
'use strict';

const T = {
  zh: {
    title: 'Tessaro 固件安装', package: '固件包', devices: '设备', noDevices: '未发现设备。请将设备以引导模式连接。',
    model: '机型', sets: '系统', native: '原生系统', second: 'Tessaro系统', both: '双系统', noSet: '无完整系统',
    image: '文件', size: '大小', signature: '签名', matches: '一致', differs: '不一致', none: '无签名',
    noModel: '没有 config.bin：无法安装', install: '安装', installing: '安装中…', loader: '引导程序',
    system: '当前系统', variant: '存储', simulated: '模拟设备', choose: '请选择：', wipeAsk: '此选项会清除设备上的用户数据。确定继续吗？', wipeYes: '清除并安装',
    cancel: '取消', file: '当前文件', overall: '总进度', left: '剩余', steps: '步骤', done: '安装完成。设备正在重启。',
    failed: '安装失败。',
    leftRun: '已退出，未安装任何内容。', console: '控制台输出', saveLog: '保存输出', saveTrace: '保存跟踪文件 (trace)',
    refused: '无法打开此设备', fixLinux: '安装 udev 规则后重新插入设备：',
    fixWindows: '为此设备绑定 WinUSB 驱动（例如使用 Zadig），然后重新插入。', busy: '设备正被其他程序使用',
    again: '再次安装', started: '开始', loaderVer: '引导程序版本',
    stop: '停止', stopping: '正在停止：安装程序只在等待设备或菜单时停止，写入不会被中断。', stoppedRun: '已停止。',
    serverStopping: '服务器正在停止：不再接受新的安装。', noPlace: '无法确定此设备的位置，因此无法只安装到它上面。',
    noSerial: '(无序列号)', place: '位置',
  },
  en: {
    title: 'Tessaro firmware installer', package: 'Package', devices: 'Devices',
    noDevices: 'No device found. Connect the device in its bootloader mode.', model: 'Model', sets: 'Systems',
    native: 'native system', second: 'Tessaro system', both: 'both systems', noSet: 'no complete system',
    image: 'File', size: 'Size', signature: 'Signature', matches: 'matches', differs: 'differs',
    none: 'no signature', noModel: 'no config.bin: nothing can be installed', install: 'Install',
    installing: 'Installing…', loader: 'Loader', system: 'System', variant: 'Storage', simulated: 'simulated',
    choose: 'Choose:',
    wipeAsk: 'This choice wipes the user data on the device. Go on?', wipeYes: 'Wipe and install',
    cancel: 'Cancel', file: 'Current file', overall: 'Overall', left: 'left', steps: 'Steps',
    done: 'Install done. The device is restarting.', failed: 'The install failed.',
    leftRun: 'Left without installing anything.', console: 'Console output', saveLog: 'Save the output',
    saveTrace: 'Save the trace', refused: 'This device could not be opened',
    fixLinux: 'Install the udev rule, then plug the device in again:',
    fixWindows: 'Bind the WinUSB driver to this device (for example with Zadig), then plug it in again.',
    busy: 'The device is held by another program', again: 'Install again',
    started: 'started', loaderVer: 'Loader version', stop: 'Stop',
    stopping: 'Stopping: the installer stops only while it waits for the device or at a menu; a write is never broken off.',
    stoppedRun: 'Stopped.', serverStopping: 'The server is stopping: it takes no new install.',
    noPlace: 'The place of this device cannot be told, so it cannot be installed alone.', noSerial: '(no serial number)',
    place: 'Place',
  },
};
let lang = localStorage.getItem('lang') || (navigator.language.startsWith('zh') ? 'zh' : 'en');
const t = (k) => T[lang][k] || k;
const $ = (sel, root = document) => root.querySelector(sel);
const el = (tag, attrs = {}, ...kids) => {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v; else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of kids) if (c !== null && c !== undefined) e.append(c);
  return e;
};
const mib = (n) => n >= 1048576 ? (n / 1048576).toFixed(1) + ' MiB' : n >= 1024 ? (n / 1024).toFixed(1) + ' KiB' : n + ' B';
const clock = (s) => Math.floor(s / 60) + ':' + String(Math.floor(s % 60)).padStart(2, '0');

let pkg = null;
let listing = { devices: [], problems: [], runs: {} };
// a device is known by its place (the listing's path): its serial number comes from the device,
// and may be missing or the same as another's
const runs = {};  // place -> what the card shows of its install
const drawn = {};  // place -> the card as drawn, and what it was drawn from
const order = [];  // places in the order their cards are shown
const kConsoleLines = 2000;  // the card shows the last lines; the saved output has them all

function newRun() {
  return { running: true, state: 'running', menu: null, confirm: null, file: null, percent: 0, filesDone: 0,
           bytesDone: 0, steps: [], errors: [], console: [], ending: null, rate: 0, left: null, mark: null,
           stopping: false, note: '' };
}

function imageSize(name) {
  if (!pkg) return 0;
  const base = name.split(':')[0];
  const img = pkg.images.find((i) => i.name === base + '.bin' || i.name === name);
  return img ? img.size : 0;
}
function totalBytes() { return pkg ? pkg.images.reduce((a, i) => a + i.size, 0) : 0; }

function fits(model) {
  if (!pkg || !pkg.model || !model) return false;
  if (pkg.model.startsWith(model)) return true;
  return pkg.model.startsWith('belto') && ['pagora7', 'vrx3', 'selkin'].includes(model);
}

// The token comes in the address's fragment, which no browser sends to a server; this tab keeps
// it (session storage is per tab and per port) and takes it out of the address. Every request
// carries it in a header that no browser adds by itself, and there is no cookie.
const token = (() => {
  const m = /(?:^#|&)token=([0-9a-f]+)/.exec(location.hash);
  if (m) {
    sessionStorage.setItem('token', m[1]);
    history.replaceState(null, '', location.pathname + location.search);
  }
  return sessionStorage.getItem('token') || '';
})();
function api(path, options = {}) {
  return fetch(path, { ...options, headers: { ...(options.headers || {}), 'X-Tessaro-Token': token } });
}

async function post(path, body) {
  let r;
  try {
    r = await api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
  } catch (err) {
    serverIs('gone');  // nothing was sent: the page says so instead of waiting for ever
    return false;
  }
  if (!r.ok) alert((await r.text()).trim());
  return r.ok;
}

// a download link of the API is fetched with the token and saved from memory
document.addEventListener('click', async (ev) => {
  const a = ev.target.closest && ev.target.closest('a[download][href^="/api/"]');
  if (!a) return;
  ev.preventDefault();
  const r = await api(a.getAttribute('href'));
  if (!r.ok) { alert((await r.text()).trim()); return; }
  const url = URL.createObjectURL(await r.blob());
  // saved under the name the server gives (made of the serial number, cleaned)
  const named = /filename="([^"]+)"/.exec(r.headers.get('Content-Disposition') || '');
  const save = el('a', { href: url, download: named ? named[1] : a.getAttribute('download') });
  document.body.append(save);
  save.click();
  save.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
});

function onRunEvent(e) {
  const r = runs[e.path] || (runs[e.path] = newRun());
  if (r.id === undefined && e.at !== undefined) { r.id = e.at; r.dismissed = dismissed().includes(e.path + '|' + e.at); }
  if (e.preview) r.preview = true;
  if (e.type === 'trace') { progressTrace(r, e); return; }
  if (e.type === 'planned') { r.planned = e; return; }
  if (e.type === 'end') {
    r.running = false; r.state = e.state; r.menu = null; r.confirm = null; r.note = e.note || '';
    r.cause = e.cause ? e : null;
    if (r.state === 'done') r.percent = 100;
    return;
  }
  if (e.type === 'stopping') { r.stopping = true; return; }
  if (e.kind !== 'percent') {
    r.console.push(e.text);
    if (r.console.length > kConsoleLines) r.console.splice(0, r.console.length - kConsoleLines);
  }
  switch (e.kind) {
    case 'menu': r.menu = e; r.lastMenu = e; r.confirm = null; break;
    case 'choice': r.menu = null; r.confirm = null; r.chosen = e.value !== '0'; r.steps.push(stepOf(r, e)); break;
    case 'loader': r.steps.push(stepOf(r, e)); break;
    // (a preview's plan follows its ending: the card shows it as a plan, not as steps)
    case 'stage': if (!(r.preview && r.ending)) r.steps.push(stepOf(r, e)); break;
    case 'file':
      if (r.file) { r.filesDone++; r.bytesDone += imageSize(r.file); }
      r.file = e.value; r.percent = 0; r.mark = { t: e.t, p: 0 };
      r.steps.push(stepOf(r, e));
      break;
    case 'percent': {
      r.percent = e.percent;
      const size = imageSize(r.file || '');
      if (r.mark && e.t > r.mark.t && size > 0) {
        r.rate = (size * (e.percent - r.mark.p) / 100) / (e.t - r.mark.t);
        const rest = totalBytes() - r.bytesDone - size * e.percent / 100;
        r.left = r.rate > 0 ? Math.max(0, rest) / r.rate : null;
      }
      break;
    }
    case 'error': r.errors.push(e.text); break;
    case 'done': r.ending = 'done'; break;
    case 'failed': r.ending = 'failed'; r.failedLine = e.text; break;
    case 'left': r.ending = 'left'; break;
    default: break;
  }
}

function renderPackage() {
  const body = $('#package-body');
  body.replaceChildren();
  if (!pkg) return;
  const sets = pkg.native && pkg.second ? t('both') : pkg.native ? t('native') : pkg.second ? t('second') : t('noSet');
  body.append(el('p', {}, el('code', {}, pkg.dir)), el('p', { id: 'package-model' },
    t('model') + ': ', el('strong', {}, pkg.model || t('noModel')), ' · ' + t('sets') + ': ' + sets));
  const rows = pkg.images.map((i) => el('tr', {}, el('td', {}, i.name), el('td', { class: 'num' }, mib(i.size)),
    el('td', { class: i.signature }, t(i.signature))));
  body.append(el('table', {}, el('thead', {}, el('tr', {}, el('th', {}, t('image')), el('th', {}, t('size')),
    el('th', {}, t('signature')))), el('tbody', {}, ...rows)));
}

async function choose(place, key) {
  const r = runs[place];
  r.confirm = null; r.menu = null; render();
  await post('/api/choice', { path: place, key });
}

// Starts a run on the card at `place`: an install, a preview, an install of the previewed plan. A
// refused one leaves the card as it was, with its earlier result.
async function startRun(place, what, body = {}, marks = {}) {
  const before = runs[place];
  runs[place] = { ...newRun(), ...marks };
  render();
  if (!await post(what, { path: place, ...body })) { if (before) runs[place] = before; else delete runs[place]; render(); }
}

const install = (place) => startRun(place, '/api/install');

// the runs whose cards were dismissed, by place and start, for this tab
const dismissed = () => JSON.parse(sessionStorage.getItem('dismissed') || '[]');
function dismiss(place) {
  const r = runs[place];
  r.dismissed = true;
  sessionStorage.setItem('dismissed', JSON.stringify([...dismissed(), place + '|' + r.id].slice(-100)));
  render();
}

function deviceCard(d) {
  const place = d.path || '';
  const r = place && runs[place] && !runs[place].dismissed ? runs[place] : null;
  const card = el('div', { class: 'card', 'data-serial': d.serial, 'data-path': place });
  card.append(el('h3', {}, (d.serial || t('noSerial')) + ' · ' + d.model + (d.simulated ? ' (' + t('simulated') + ')' : '')),
    el('div', { class: 'facts' }, `${t('loader')} ${d.loader} · ${t('system')} ${t(d.system === 'dual' ? 'both' : d.system)}` +
      (d.variant ? ` · ${t('variant')} ${d.variant}` : '') + (place ? ` · ${t('place')} ${place}` : '')));
  // without a place the installer could not be told this device from another: it is not offered
  if (!place) {
    card.append(el('p', { class: 'confirm' }, t('noPlace')));
    return card;
  }
  const ok = fits(d.model);
  const busy = r && r.running;
  const button = el('button', { class: 'primary install', onclick: () => install(place) },
    busy && !r.preview ? t('installing') : r && !r.preview ? t('again') : t('install'));
  const enabled = ok && !busy && !listing.stopping && !d.unlisted && serverState === 'up';
  if (!enabled) button.disabled = true;
  const look = el('button', { class: 'preview', onclick: () => preview(place) }, vt('preview'));
  if (!enabled) look.disabled = true;
  const stop = busy ? el('button', { class: 'stop', onclick: () => post('/api/stop', { path: place }) }, t('stop')) : null;
  const close = r && !r.running ? el('button', { class: 'dismiss', onclick: () => dismiss(place) }, pt('dismiss')) : null;
  card.append(el('div', {}, button, look, stop, close, ok || d.unlisted ? null : el('span', { class: 'confirm' }, otherModelText(pkg ? pkg.model : '', d.model)),
    d.unlisted && !busy ? el('span', { class: 'confirm' }, pt('notListed')) : null));
  if (!r) return card;
  // a preview writes nothing: no banner, and no progress but its plan
  if (!r.preview) card.append(unplugBanner(r) || '');
  if (r.running && r.stopping) card.append(el('p', { class: 'confirm' }, t('stopping')));
  card.append(previewBlock(place, r, enabled) || '');
  if (r.menu) card.append(menuBlock(place, r));
  if (!r.preview) card.append(progressBlock(r, totalBytes(), r.bytesDone));
  if (r.steps.length) {
    card.append(el('details', { open: '', 'data-name': 'steps' }, el('summary', {}, t('steps')),
      el('ol', { class: 'steps' }, ...r.steps.map((s, i) => el('li', { class: i === r.steps.length - 1 && r.running ? 'now' : '' }, stepWords(s))))));
  }
  if (!r.running) {
    if (r.state === 'done') { if (!r.preview) card.append(el('div', { class: 'ending done' }, t('done'))); }
    else if (r.state === 'left') card.append(el('div', { class: 'ending' }, t('leftRun')));
    // the installer's own note: what was written last, and that a new run resumes from there
    else if (r.state === 'stopped') card.append(el('div', { class: 'ending stopped' }, el('strong', {}, t('stoppedRun')),
      r.note ? el('pre', {}, r.note.trim()) : null));
    else card.append(el('div', { class: 'ending failed' }, el('strong', {}, t('failed')),
      el('pre', {}, [...r.errors, r.failedLine || ''].join('\n').trim()), causeAdvice(r)));
  }
  // the server names the files itself (download: the name it gives)
  const q = encodeURIComponent(place);
  card.append(el('details', { 'data-name': 'console' }, el('summary', {}, t('console')), el('pre', { class: 'console' }, r.console.join('\n')),
    el('a', { href: '/api/log?path=' + q, download: '' }, t('saveLog')), ' · ',
    el('a', { href: '/api/trace?path=' + q, download: '' }, t('saveTrace'))));
  if (!r.running && !r.preview) card.append(el('p', { class: 'report' }, saveReportLink(place)));
  return card;
}

function problemCard(p) {
  const windows = navigator.userAgent.includes('Windows');
  const card = el('div', { class: 'card refused' }, el('h3', {}, p.error === 'busy' ? t('busy') : t('refused')),
    el('div', { class: 'facts' }, el('code', {}, p.device)), el('p', {}, p.reason));
  if (p.error === 'refused' && !windows) {
    card.append(el('p', {}, t('fixLinux')), el('pre', { class: 'console' },
      'sudo cp udev/70-tessaro.rules /etc/udev/rules.d/\nsudo udevadm control --reload-rules'));
  } else if (p.error === 'no-driver' || (p.error === 'refused' && windows)) {
    card.append(el('p', {}, t('fixWindows')));
  }
  return card;
}

function render() {
  document.documentElement.lang = lang;
  for (const e of document.querySelectorAll('[data-t]')) e.textContent = t(e.dataset.t);
  $('#lang').textContent = lang === 'zh' ? 'English' : '中文';
  renderPackage();
  // a run's card stays, listed or not, until it is dismissed; cards keep their order by place,
  // and a device new to the page goes at the end
  const shown = [...listing.devices];
  for (const d of shown) if (d.path && runs[d.path]) runs[d.path].device = d;
  for (const p of Object.keys(runs)) {
    if (!shown.some((d) => d.path === p) && !runs[p].dismissed) {
      shown.push({ serial: '', model: '', loader: '', system: '', ...runs[p].device, path: p, unlisted: true });
    }
  }
  for (const p of shown.map((d) => d.path).filter((p) => p && !order.includes(p)).sort()) order.push(p);
  const at = (d) => (d.path ? order.indexOf(d.path) : order.length);
  shown.sort((a, b) => at(a) - at(b));
  // a card is drawn anew only when what it shows changed, so a button is not replaced under
  // a click while other devices move on; a device without a place has a card of its own
  const cards = shown.map((d, i) => {
    const id = d.path ? 'p:' + d.path : 'n:' + i;
    const key = JSON.stringify([lang, d, (d.path && runs[d.path]) || null, (d.path && previews[d.path]) || null,
      pkg && pkg.model, listing.stopping, serverState]);
    const old = drawn[id];
    if (old && old.key === key) return old.card;
    const card = deviceCard(d);
    // a section the person opened or closed stays so
    if (old) {
      old.card.querySelectorAll('details').forEach((o) => {
        const n = card.querySelector(`details[data-name="${o.dataset.name}"]`);
        if (n) n.open = o.open;
      });
    }
    drawn[id] = { key, card };
    return card;
  });
  const list = $('#devices');
  if (cards.length !== list.children.length || cards.some((c, i) => list.children[i] !== c)) list.replaceChildren(...cards);
  $('#problems').replaceChildren(...listing.problems.map(problemCard));
  $('#no-devices').hidden = shown.length + listing.problems.length > 0;
  $('#stopping').hidden = !listing.stopping;
  renderPastRuns();
  serverBanner();
}

$('#lang').addEventListener('click', () => { lang = lang === 'zh' ? 'en' : 'zh'; localStorage.setItem('lang', lang); render(); });

let pending = false;
function later() { if (!pending) { pending = true; requestAnimationFrame(() => { pending = false; render(); }); } }

function onEvent(e) {
  if (e.type === 'devices') {
    listing = e;
    for (const [s, st] of Object.entries(e.runs)) if (runs[s] && !st.running) runs[s].running = false;
  } else if (e.type === 'preview') {
    previews[e.path] = e;
  } else {
    onRunEvent(e);
    if (e.type === 'end') loadPastRuns();
  }
  later();
}

// The live events: a streamed fetch that carries the token, read as Server-Sent Events. A stream
// that ends (the server dropped a page that fell behind, or went away) is opened again, and the
// server gives the whole state first.
async function follow() {
  for (;;) {
    try {
      const r = await api('/api/events');
      // another server at this address (a new token) knows nothing of this tab
      serverIs(r.status === 403 ? 'other' : 'up');
      if (r.ok && r.body) {
        for (const k of Object.keys(runs)) delete runs[k];
        for (const k of Object.keys(previews)) delete previews[k];
        const reader = r.body.pipeThrough(new TextDecoderStream()).getReader();
        let pending = '';
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          pending += value;
          for (let end; (end = pending.indexOf('\n\n')) >= 0;) {
            const block = pending.slice(0, end);
            pending = pending.slice(end + 2);
            if (block.startsWith('data: ')) onEvent(JSON.parse(block.slice(6)));
          }
        }
      }
    } catch (err) {
      // no answer: the server is gone, until a stream opens again
      serverIs('gone');
    }
    await new Promise((ok) => setTimeout(ok, 1000));
  }
}

async function start() {
  pkg = await (await api('/api/package')).json();
  render();
  loadPastRuns();
  follow();
}
start();
