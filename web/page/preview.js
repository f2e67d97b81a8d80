// The preview: the installer's dry run of the digit the person chose, against a twin of the
// device, and its plan as the server kept it; then Install this plan, whose menu the server
// answers with the same digit while the device still answers as it did. Loaded before app.js,
// which calls it.
'use strict';

const VT = {
  zh: {
    preview: '预览', previewing: '预览中：不向设备写入任何东西。', installPlan: '安装此计划', wipePlan: '清除并安装此计划',
    planOf: (key) => `选择“${key}”的安装计划`, loader: '引导程序：', unchanged: '不变',
    stages: (n, r) => `${n} 个阶段，${r} 次重启`, tables: '分区表：', rewritten: '重写 ', notRewritten: '不重写',
    layout: '布局 ', storage: '存储 ', switched: '存储切换，新的板号：', marker: '系统标记：', noMarker: '不写',
    wipe: '用户数据：', wiped: '清除', kept: '保留', reboot: '结束时重启：', yes: '是', no: '否',
    total: (size, s, rate) => `合计：${size}，按 ${rate} MB/s 约 ${s} 秒`, checked: '设备校验', unchecked: '设备不校验',
    file: '文件', partition: '分区', size: '大小', check: '校验',
    standin: '本版本只带替身引导程序：真实安装会在引导程序阶段之前停止，不写入任何东西。',
    nothing: (serial) => `未向 ${serial} 写入任何东西`, block: '启动配置块',
    chose: (key) => `已选择“${key}”，与预览相同`,
    changed: (why) => `设备的回答已与预览时不同（${why}）：菜单留给您选择。`,
  },
  en: {
    preview: 'Preview', previewing: 'Preview: nothing is written to the device.', installPlan: 'Install this plan',
    wipePlan: 'Wipe and install this plan', planOf: (key) => `The plan of choice ${key}`, loader: 'Loader: ',
    unchanged: 'unchanged', stages: (n, r) => `${n} stages, ${r} restarts`, tables: 'Partition tables: ',
    rewritten: 'rewritten ', notRewritten: 'not rewritten', layout: 'layout ', storage: 'storage ',
    switched: 'Storage-variant switch, new board id: ', marker: 'System marker: ', noMarker: 'none',
    wipe: 'User data: ', wiped: 'WIPED', kept: 'kept', reboot: 'Closing reboot: ', yes: 'yes', no: 'no',
    total: (size, s, rate) => `Total: ${size}, about ${s} s at ${rate} MB/s`, checked: 'checked by the device',
    unchecked: 'not checked by the device', file: 'File', partition: 'Partition', size: 'Size', check: 'Check',
    standin: 'This build carries stand-in loaders only: the real install would stop before the loader stage, and nothing would be written.',
    nothing: (serial) => `Nothing was written to ${serial}`, block: 'boot configuration block',
    chose: (key) => `Chose ${key}, as in the preview`,
    changed: (why) => `The device no longer answers as it did for the preview (${why}): the menu is left to you.`,
  },
};
const vt = (k, ...a) => { const v = VT[lang][k]; return typeof v === 'function' ? v(...a) : v; };

const previews = {};  // place -> the server's previews of the device: { key, plans: { KEY: plan } }

// The plan of `key` on the device at `place`, when one was previewed.
function previewPlan(place, key) {
  const p = previews[place];
  return p && p.plans && p.plans[key] ? p.plans[key] : null;
}

// A plan as the page shows it; every text of it is the device's or the installer's, set as text.
function planBlock(plan, key) {
  const l = plan.loader || {}, tb = plan.tables || {};
  const stages = l.stages || [];
  const box = el('div', { class: 'plan', 'data-key': key }, el('h4', {}, vt('planOf', key)));
  if (plan.standin_stop) box.append(el('p', { class: 'confirm' }, vt('standin')));
  box.append(el('p', {}, vt('loader') + (l.from || '-') +
    (stages.length ? ` → ${l.to} (${vt('stages', stages.length, l.restarts || 0)})` : ', ' + vt('unchanged'))));
  if (stages.length) {
    box.append(el('ol', { class: 'plan-stages' }, ...stages.map((s) =>
      el('li', {}, `${s.image} → ${s.partition}` + (s.version ? `, ${s.version}` : '')))));
  }
  const rewritten = tb.rewritten || [];
  box.append(el('p', {}, vt('tables') + (rewritten.length
    ? vt('rewritten') + rewritten.join(', ') + (tb.layout ? ', ' + vt('layout') + tb.layout : '') +
      (tb.variant ? ', ' + vt('storage') + tb.variant : '')
    : vt('notRewritten'))));
  if (plan.switched_serial) box.append(el('p', {}, vt('switched') + plan.switched_serial));
  const rows = (plan.writes || []).map((w) => el('tr', {},
    el('td', {}, w.kind === 'block' ? vt('block') : w.name || '?'), el('td', {}, w.partition || ''),
    el('td', { class: 'num' }, mib(w.bytes || 0)), el('td', {}, vt(w.checked ? 'checked' : 'unchecked'))));
  box.append(el('table', { class: 'plan-writes' }, el('thead', {}, el('tr', {}, el('th', {}, vt('file')),
    el('th', {}, vt('partition')), el('th', {}, vt('size')), el('th', {}, vt('check')))), el('tbody', {}, ...rows)));
  box.append(el('p', {}, vt('marker') + (plan.marker || vt('noMarker'))),
    el('p', { class: plan.wipe ? 'confirm' : '' }, vt('wipe') + vt(plan.wipe ? 'wiped' : 'kept')),
    el('p', {}, vt('reboot') + vt(plan.closing_reboot ? 'yes' : 'no')),
    el('p', {}, vt('total', mib(plan.bytes || 0), Number(plan.seconds || 0).toFixed(1), Number(plan.rate_mb_s || 0).toFixed(1))),
    el('p', { class: 'nothing' }, vt('nothing', plan.serial || '')));
  return box;
}

// What a card shows of its preview or of an install of the plan: the note while the dry run
// runs, the plan and Install this plan at its end, or what the server did with the menu.
function previewBlock(place, r, enabled) {
  if (r.preview && r.running) return el('p', { class: 'previewing' }, vt('previewing'));
  if (r.preview && r.state === 'done' && previews[place]) {
    const key = previews[place].key, plan = previewPlan(place, key);
    if (!plan) return null;
    const go = el('button', { class: 'install-plan ' + (plan.wipe ? 'danger' : 'primary'), onclick: () => installPlan(place) },
      vt(plan.wipe ? 'wipePlan' : 'installPlan'));
    go.disabled = !enabled;
    return el('div', {}, planBlock(plan, key), go);
  }
  if (!r.planned) return null;
  if (r.planned.same) return el('p', { class: 'planned' }, vt('chose', r.planned.key));
  return el('p', { class: 'confirm planned' }, vt('changed', (r.planned.why || {})[lang] || ''));
}

const preview = (place) => startRun(place, '/api/preview', {}, { preview: true });
const installPlan = (place) => startRun(place, '/api/install', { plan: true });
