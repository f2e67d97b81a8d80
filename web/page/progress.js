// What an install is doing and how long it takes, from the run's trace as the server follows it:
// the loader chain's stages and restarts (which print no line), the data phases inside a file,
// the rate and the time left; the standing "do not unplug" banner, what the ending means for the
// reader, and whether the server is still there. Loaded before app.js, which calls it.
'use strict';

const PT = {
  zh: {
    unplugNot: '请勿拔下阅读器', unplugOk: '现在可以拔下阅读器了。', leftInBootloader: '设备停在引导程序中，未重启。',
    loaderUpdate: '正在更新引导程序：', stageOf: (n, of, img) => `第 ${n} 步，共 ${of} 步 (${img})`,
    finalLoader: (img) => `最终引导程序 (${img})`, writing: '写入中', restarting: '正在重启', waiting: '正在等待设备',
    restarted: '已重启', done: '已完成', of: '/', rate: '速率', plan: (size, time) => `将写入最多 ${size}，约需 ${time}`,
    planLoader: '；若需更新引导程序，每次重启另需数秒。', serverGone: 'tessaro-web 已停止。它再次运行时，本页会重新连接。',
    serverOther: '此地址的 tessaro-web 已不是原来那个：请打开它新打印的地址。', dismiss: '关闭',
    gone: (file, done, size) => `写入 ${file} 时断开连接（${done} / ${size}）。请重新连接阅读器，然后再次点击“安装”：安装会从设备当前所在的引导程序阶段重新开始。`,
    goneChain: '引导程序更新期间断开连接。请重新连接阅读器，然后再次点击“安装”：安装会从设备当前所在的引导程序阶段重新开始。',
    notListed: '此设备已不在列表中。',
  },
  en: {
    unplugNot: 'Do not unplug the reader', unplugOk: 'You can unplug the reader now.',
    leftInBootloader: 'The device was left in its bootloader, not restarted.',
    loaderUpdate: 'Updating the loader: ', stageOf: (n, of, img) => `stage ${n} of ${of} (${img})`,
    finalLoader: (img) => `the final loader (${img})`, writing: 'writing', restarting: 'restarting',
    waiting: 'waiting for the device', restarted: 'restarted', done: 'done', of: 'of', rate: 'rate',
    plan: (size, time) => `This writes up to ${size}, in about ${time}`,
    planLoader: '; a loader update adds a few seconds per restart.',
    serverGone: 'tessaro-web has stopped. The page reconnects when it runs again.',
    serverOther: 'The tessaro-web at this address is another one: open the address it printed.',
    dismiss: 'Dismiss',
    gone: (file, done, size) => `Disconnected while writing ${file} (${done} of ${size}). Reconnect the reader, then Install again: the install starts again from the loader stage where the device stands.`,
    goneChain: 'Disconnected while the loader was updated. Reconnect the reader, then Install again: the install starts again from the loader stage where the device stands.',
    notListed: 'This device is no longer listed.',
  },
};
const pt = (k, ...a) => { const v = PT[lang][k]; return typeof v === 'function' ? v(...a) : v; };
const nowSeconds = () => performance.now() / 1000;
const kMiB = 1048576;
const mibOf = (n) => (n / kMiB).toFixed(1) + ' MiB';
// before any data phase was timed: a USB 2 reader's usual rate, and the last one measured here
const kAssumedRate = 4000000;
// a phase shorter than this says more of the link's latency than of its rate
const kTimedPhase = 256 * 1024;
// tessaro-web's installs end with 1 s before the device's reboot and a 1 s wait after it
const kClosing = 2;

let serverState = 'up';  // 'up', 'gone' (no answer), 'other' (another server at this address)

function prog(r) {
  return r.p || (r.p = { offset: Infinity, phase: null, dataBytes: 0, dataSeconds: 0, chain: null, stageStart: null,
    stageTimes: [], planBytes: undefined, planFiles: [], pkgDone: 0, inLoader: false, lost: false });
}

// The trace's clock against this page's: the smallest gap seen is the closest to the moment.
function traceNow(p) { return p.offset === Infinity ? 0 : nowSeconds() - p.offset; }

function linkRate(p) { return p.dataSeconds > 0 ? p.dataBytes / p.dataSeconds : 0; }

function progressTrace(r, e) {
  const p = prog(r);
  p.offset = Math.min(p.offset, nowSeconds() - e.t);
  switch (e.ev) {
    case 'plan': p.planBytes = e.bytes; p.planFiles = e.files || []; break;
    case 'loader':
      if (e.phase === 'writing') {
        if (p.stageStart !== null) p.stageTimes.push(e.t - p.stageStart);
        p.stageStart = e.t;
      }
      // a loader's data phases are not the package's
      p.inLoader = e.phase === 'writing';
      p.chain = { ...e, state: e.phase };
      break;
    case 'reconnecting': if (p.chain) p.chain.state = 'waiting'; break;
    case 'wait': if (p.chain && p.chain.state === 'waiting') p.chain.state = 'restarted'; break;
    case 'command':
      if (e.text === 'reboot') break;
      // the package's bytes: every data phase from the plan on but the loaders' (the partition
      // tables' few hundred bytes count with them)
      p.phase = { bytes: e.bytes, t: e.t, counted: p.planBytes !== undefined && !p.inLoader };
      // the first data phase after the chain's last restart closes the chain
      if (p.chain && p.chain.final && p.chain.state !== 'writing' && p.stageStart !== null) {
        p.stageTimes.push(e.t - p.stageStart);
        p.stageStart = null;
        p.chain.state = 'done';
      }
      break;
    case 'data': {
      if (e.bytes >= kTimedPhase || p.dataBytes === 0) {
        if (p.dataBytes > 0 && p.dataBytes < kTimedPhase) { p.dataBytes = 0; p.dataSeconds = 0; }
        p.dataBytes += e.sent; p.dataSeconds += e.seconds;
        if (p.dataBytes >= kTimedPhase) localStorage.setItem('rate', String(linkRate(p)));
      }
      if (p.phase && p.phase.counted) {
        p.pkgDone += e.sent;
        // the files' own time: their data phases and the pauses between them
        if (e.bytes >= kTimedPhase) {
          if (p.filesFrom === undefined) p.filesFrom = p.phase.t;
          p.filesUntil = e.t;
          p.filesData = (p.filesData || 0) + e.seconds;
        }
      }
      if (e.sent < e.bytes) p.lost = true;
      p.phase = null;
      break;
    }
    case 'usb_error': p.lost = true; break;
    default: break;
  }
}

// The package's bytes written: the data phases done, and the one on its way as far as the
// link's rate has carried it. Without a trace, the installer's own bar (which moves as the file
// is read, pieces ahead of the link) after the files before it.
function bytesDone(r, total, bytesBefore) {
  const p = prog(r);
  if (p.planBytes === undefined) return Math.min(total, bytesBefore + imageSize(r.file || '') * (r.percent || 0) / 100);
  let done = p.pkgDone;
  if (p.phase && p.phase.counted && linkRate(p) > 0) {
    done += Math.min(p.phase.bytes, linkRate(p) * Math.max(0, traceNow(p) - p.phase.t));
  }
  return Math.min(total, done);
}

// The current file's share of it: the plan names the files in the order they go.
function fileDone(r, done) {
  const p = prog(r);
  const size = imageSize(r.file || '');
  const name = (r.file || '').split(':')[0];
  const at = p.planFiles.findIndex((f) => f === name + '.bin' || f === r.file);
  if (at < 0) return Math.min(size, imageSize(r.file || '') * (r.percent || 0) / 100);
  const before = p.planFiles.slice(0, at).reduce((a, f) => a + imageSize(f), 0);
  return Math.max(0, Math.min(size, done - before));
}

// The time left: the bytes still to go at the link's rate, slowed by the share of the files'
// time that was no data phase; the loader stages still to come at the time the last ones took;
// and the closing.
function timeLeft(r, bytesLeft) {
  const p = prog(r);
  const now = traceNow(p);
  const span = p.filesUntil - p.filesFrom;
  const share = p.filesData > 0 && span > 0 ? Math.min(1, p.filesData / span) : 1;
  const rate = (linkRate(p) || Number(localStorage.getItem('rate')) || kAssumedRate) * share;
  let chainLeft = 0;
  const c = p.chain;
  if (c && c.state !== 'done') {
    const each = p.stageTimes.length ? p.stageTimes.reduce((a, b) => a + b, 0) / p.stageTimes.length
      : c.restart_seconds + 2;
    const stagesLeft = c.final ? 0 : c.of - c.stage + 1;  // the final loader follows the chain
    chainLeft = stagesLeft * each + Math.max(0, each - (now - (p.stageStart ?? now)));
  }
  return Math.max(0, bytesLeft) / rate + chainLeft + kClosing;
}

function chainLine(p) {
  const c = p.chain;
  if (!c || c.state === 'done') return null;
  const what = c.final ? pt('finalLoader', c.image) : pt('stageOf', c.stage, c.of, c.image);
  // the final loader is one stage more than the chain's staged ones
  const share = Math.min(100, 100 * (c.final ? c.of + (c.state === 'writing' ? 0.5 : 0.9) : c.stage - (c.state === 'writing' ? 0.5 : 0.1)) / (c.of + 1));
  return el('div', { class: 'chain', 'data-stage': c.stage, 'data-of': c.of, 'data-state': c.state },
    el('div', { class: 'figures' }, pt('loaderUpdate') + what + ', ' + pt(c.state)),
    el('div', { class: 'bar chain' }, el('div', { style: `width:${share}%` })));
}

// The card's progress: the chain's stage, the file and the whole with MiB, rate and time left.
function progressBlock(r, packageBytes, bytesBefore) {
  const p = prog(r);
  // the bytes of the files this choice writes, which the trace names, or else the package's
  const total = p.planBytes ?? packageBytes;
  const box = el('div', { class: 'progress' });
  if (r.running) {
    const c = chainLine(p);
    if (c) box.append(c);
  }
  if (!r.file) return box;
  const size = imageSize(r.file);
  const done = r.state === 'done' ? total : bytesDone(r, total, bytesBefore);
  const inFile = r.state === 'done' ? size : fileDone(r, done);
  const filePct = size > 0 ? 100 * inFile / size : r.percent;
  const overall = total > 0 ? 100 * done / total : 0;
  const rate = linkRate(p);
  const left = r.running ? timeLeft(r, total - done) : 0;
  box.append(el('div', { class: 'figures' }, `${t('file')}: ${r.file} ${mibOf(inFile)} ${pt('of')} ${mibOf(size)}`),
    el('div', { class: 'bar file' }, el('div', { style: `width:${filePct}%` })),
    el('div', { class: 'figures overall', 'data-rate': rate.toFixed(0), 'data-left': left.toFixed(1),
      'data-done': done.toFixed(0) }, `${t('overall')}: ${mibOf(done)} ${pt('of')} ${mibOf(total)} (${overall.toFixed(0)}%)` +
      (r.running && rate > 0 ? ` · ${mib(rate)}/s · ${clock(left)} ${t('left')}` : '')),
    el('div', { class: 'bar overall' }, el('div', { style: `width:${overall}%` })));
  return box;
}

// The menu's line before anything is written: how much, and about how long.
function progressPlan(total) {
  const rate = Number(localStorage.getItem('rate')) || kAssumedRate;
  return el('p', { class: 'plan' }, pt('plan', mibOf(total), clock(total / rate + kClosing)) + pt('planLoader'));
}

// The standing banner from the choice to the end, and what the ending means for the reader.
function unplugBanner(r) {
  if (r.running) return r.chosen ? el('p', { class: 'unplug' }, pt('unplugNot')) : null;
  if (r.state === 'done') return el('p', { class: 'unplug ok' }, pt('unplugOk'));
  if (r.state !== 'failed' || !r.chosen) return null;
  const p = prog(r);
  if (p.lost) {
    const inChain = p.chain && p.chain.state !== 'done';
    if (inChain || !r.file) return el('p', { class: 'unplug lost' }, pt('goneChain'));
    // what the device took: the data phases it answered, never the one it was lost in
    const done = fileDone(r, p.pkgDone);
    // named as the package names it ("system.bin"), not by the installer's label
    const base = r.file.split(':')[0] + '.bin';
    const name = pkg && pkg.images.some((i) => i.name === base) ? base : r.file;
    return el('p', { class: 'unplug lost' }, pt('gone', name, (done / kMiB).toFixed(1), mibOf(imageSize(r.file))));
  }
  // the installer's error exit sends nothing more: no restart, no reboot
  return el('p', { class: 'unplug left' }, pt('leftInBootloader') + ' ' + pt('unplugOk'));
}

// The banner of a server gone; every button is off until it answers again.
function serverBanner() {
  const b = document.getElementById('server-gone');
  if (!b) return;
  b.hidden = serverState === 'up';
  b.textContent = serverState === 'other' ? pt('serverOther') : pt('serverGone');
  document.body.classList.toggle('offline', serverState !== 'up');
  for (const button of document.querySelectorAll('#devices button')) if (serverState !== 'up') button.disabled = true;
}
function serverIs(state) {
  if (serverState === state) return;
  serverState = state;
  later();
}

// Between the trace's lines the running cards' figures move on with the link's rate: only their
// progress block is drawn anew, so no button is replaced under a click.
setInterval(() => {
  for (const [place, r] of Object.entries(runs)) {
    const d = drawn['p:' + place];
    const old = d && r.running && d.card.querySelector('.progress');
    if (old) old.replaceWith(progressBlock(r, totalBytes(), r.bytesDone));
  }
}, 250);

// The address of a server started again, pasted into this tab: only the fragment changes, which
// loads nothing, so the page loads anew and takes the new token.
window.addEventListener('hashchange', () => { if (/token=/.test(location.hash)) location.reload(); });
