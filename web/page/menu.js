// The installer's menu and the run's steps in the page's language. Each menu choice's text holds
// its Chinese words and, in brackets, its English ones; the headings, the prompt and the steps'
// lines have words of the page's own. Raw lines stay in the console view.
'use strict';

const MENU_T = {
  zh: {
    recommended: '（首次安装推荐）', choice: '选择：', wiped: '，清除用户数据', device: '设备机型：',
    firmware: '固件包机型：', current: '当前系统：', storage: '存储：', reset: '（重置）', writing: '写入 ',
    installingNative: '安装原生系统', installingSecond: '安装 Tessaro 系统', installingBoth: '安装双系统',
    chainRefused: (v) => `引导程序链无法从引导程序 ${v} 开始`, prompt: (range) => `请选择 (${range})：`, firstInstall: (key) => `第一次安装请选择“${key}”`,
  },
  en: {
    recommended: ' (recommended for a first install)', choice: 'Choice: ', wiped: ', wiped', device: 'Device model: ',
    firmware: 'Package model: ', current: 'Current system: ', storage: 'Storage: ', reset: ' (reset)', writing: 'Writing ',
    installingNative: 'Installing the native system', installingSecond: 'Installing the Tessaro system',
    installingBoth: 'Installing both systems', chainRefused: (v) => `The loader chain cannot start from loader ${v}`,
    prompt: (range) => `Choose (${range}):`,
    firstInstall: (key) => `For a first install, choose ${key}`,
  },
};
const mt = (k) => MENU_T[lang][k];

// "升级&重置(Upgrade&Wipe)": the words before the bracket are Chinese, those in it English
function choiceWords(text) {
  const m = /^(.*?)\(([^()]*)\)$/.exec(text || '');
  if (!m) return text || '';
  return lang === 'zh' ? m[1] : m[2];
}

const SYSTEMS = { '原生系统': ['原生系统', 'native system'], 'Tessaro系统': ['Tessaro系统', 'Tessaro system'],
                  '双系统': ['双系统', 'both systems'] };
const systemWords = (name) => (SYSTEMS[name] ? SYSTEMS[name][lang === 'zh' ? 0 : 1] : name);

const HEADINGS = {
  'Tessaro系统升级': 'Tessaro system upgrade', '原生系统升级': 'Native system upgrade', '系统升级': 'System upgrade',
  '升级过程约10分钟': 'The upgrade takes about 10 minutes',
};
const FIRST_INSTALL = /^第一次安装(?:Tessaro)?系统选择：“(\d)\./;

// A heading line of the installer (without its "###"), in the page's language.
function headingWords(line) {
  const h = line.replace(/[”“]$/, '');
  const current = /^Tessaro系统升级，当前系统：(.*)$/.exec(h);
  if (current) return (lang === 'zh' ? 'Tessaro系统升级，' : 'Tessaro system upgrade. ') + mt('current') + systemWords(current[1]);
  const first = FIRST_INSTALL.exec(h);
  if (first) return mt('firstInstall')(first[1]);
  return lang === 'zh' ? h : HEADINGS[h] || h;
}

// The choice the menu's first-install line recommends, if it has one.
function recommendedKey(menu) {
  for (const h of menu.header || []) {
    const m = FIRST_INSTALL.exec(h);
    if (m) return m[1];
  }
  return null;
}

function menuBlock(place, r) {
  const m = r.menu;
  const box = el('div', { class: 'menu' });
  for (const h of m.header || []) box.append(el('p', {}, headingWords(h)));
  const range = /\((\d-\d)\)/.exec(m.value || '');
  box.append(el('p', { class: 'prompt' }, range ? mt('prompt')(range[1]) : t('choose')), progressPlan(totalBytes()));
  if (r.confirm) {
    box.append(el('p', { class: 'confirm' }, t('wipeAsk') + ' (' + choiceWords(r.confirm.text) + ')'),
      el('button', { class: 'danger', 'data-confirm': r.confirm.key, onclick: () => choose(place, r.confirm.key) }, t('wipeYes')),
      el('button', { onclick: () => { r.confirm = null; render(); } }, t('cancel')));
    // the plan of this choice, when it was previewed
    const plan = previewPlan(place, r.confirm.key);
    if (plan) box.append(planBlock(plan, r.confirm.key));
    return box;
  }
  const recommended = recommendedKey(m);
  // red, and asked first, only for a choice that wipes this device's user data; a preview, which
  // writes nothing, takes it at once
  for (const c of m.choices) {
    const classes = (c.wipes ? 'danger' : '') + (c.key === recommended ? ' recommended' : '');
    box.append(el('button', { 'data-key': c.key, class: classes.trim(),
      onclick: () => { if (c.wipes && !r.preview) { r.confirm = c; render(); } else choose(place, c.key); } },
    c.key + '. ' + choiceWords(c.text) + (c.key === recommended ? mt('recommended') : '')));
  }
  return box;
}

// A step as the run's events give it; drawn in words when the card is drawn, so a change of
// language redraws the steps already shown.
function stepOf(r, e) {
  if (e.kind === 'choice') {
    const c = ((r.lastMenu && r.lastMenu.choices) || []).find((x) => x.key === e.value);
    return { kind: 'choice', key: e.value, text: c ? c.text : '', wipes: !!(c && c.wipes) };
  }
  return { kind: e.kind, text: e.text, value: e.value };
}

function stepWords(s) {
  if (typeof s === 'string') return s;
  switch (s.kind) {
    case 'choice': return mt('choice') + (s.text ? choiceWords(s.text) : s.key) + (s.wipes ? mt('wiped') : '');
    case 'loader': return t('loaderVer') + ' ' + s.value;
    case 'file': {
      const named = /^Downloading [^:]*:(.+)$/.exec(s.text);
      return mt('writing') + (named ? named[1] : s.value);
    }
    default: break;
  }
  const line = s.text.replace(/^#+/, '');
  let m;
  if ((m = /^verflag:(.*)$/.exec(line))) return mt('chainRefused')(m[1]);
  if ((m = /^当前机型\(Device\)：(.*)$/.exec(line))) return mt('device') + m[1];
  if ((m = /^当前固件\(Firmware\)：(.*)$/.exec(line))) return mt('firmware') + m[1];
  if ((m = /^(\S+) Version(\(Reset\))?\.$/.exec(line))) return mt('storage') + m[1] + (m[2] ? mt('reset') : '');
  if ((m = /^(原生系统|Tessaro系统|双系统)！Downloading!$/.exec(line))) {
    return mt({ '原生系统': 'installingNative', 'Tessaro系统': 'installingSecond', '双系统': 'installingBoth' }[m[1]]);
  }
  return headingWords(line);
}
