// The runs' reports: the card's Save link gives its run's one file for a bug report, and the
// "Past runs" list gives the last 20 the server keeps (in the user's state directory). Loaded
// before app.js; it uses app.js's helpers (el, api, lang) only when called.
'use strict';

const RT = {
  zh: { saveReport: '保存报告（用于错误报告）', pastRuns: '以往的安装', noPastRuns: '尚无记录。',
        outcomes: { success: '完成', 'error exit': '失败', 'refused package': '固件包不匹配',
                    'left without installing': '已退出', 'internal fault': '内部错误' },
        unfinished: '未结束或已停止', keptIn: '保存在' },
  en: { saveReport: 'Save the report (for a bug report)', pastRuns: 'Past runs', noPastRuns: 'None yet.',
        outcomes: { success: 'done', 'error exit': 'failed', 'refused package': 'package not for this model',
                    'left without installing': 'left', 'internal fault': 'internal fault' },
        unfinished: 'stopped or not ended', keptIn: 'Kept in' },
};
const rt = (k) => RT[lang][k];

// The card's link: the report of the device's last run here (the server gives its name).
function saveReportLink(place) {
  return el('a', { href: '/api/report?path=' + encodeURIComponent(place), download: '' }, rt('saveReport'));
}

let pastRuns = null;
let pastDrawn = '';

async function loadPastRuns() {
  try {
    const r = await api('/api/past-runs');
    if (r.ok) pastRuns = await r.json();
  } catch (err) {
    return;  // the server is gone: the list stays as it was
  }
  renderPastRuns();
}

// "device: model=vrx3 loader=8.0 ..." as the report's header has it: the model and serial
function deviceWords(device) {
  const f = Object.fromEntries((device || '').split(' ').map((w) => w.split('=')).filter((p) => p.length === 2));
  return [f.model, f.serial].filter((v) => v && v !== '?').join(' · ');
}

function renderPastRuns() {
  const box = document.getElementById('past-runs');
  if (!box || !pastRuns) return;
  const key = JSON.stringify([lang, pastRuns]);
  if (key === pastDrawn) return;
  pastDrawn = key;
  const items = pastRuns.runs.map((p) => el('li', { 'data-name': p.name },
    el('span', {}, (p.date || '?').replace('T', ' ').replace('Z', ' UTC')), ' · ',
    el('span', {}, deviceWords(p.device) || p.name), ' · ',
    el('span', { class: p.outcome === 'success' ? 'outcome ok' : 'outcome bad' },
      rt('outcomes')[p.outcome] || p.outcome || rt('unfinished')), ' · ',
    el('a', { href: '/api/report?name=' + encodeURIComponent(p.name), download: '' }, p.name)));
  document.getElementById('past-title').textContent = rt('pastRuns');
  box.replaceChildren(items.length ? el('ol', {}, ...items) : el('p', {}, rt('noPastRuns')),
    el('p', { class: 'facts' }, rt('keptIn') + ' ', el('code', {}, pastRuns.dir)));
}
