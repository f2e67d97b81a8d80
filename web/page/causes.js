// Why a run failed and what to do next, by the cause the server found in the installer's lines
// (the end event's "cause", web/causes.cpp). A failure of no known cause gets no advice.
'use strict';

const LOADER_FILES = 'porter, porter1, porter2, porter3, loader_belto, loader_tiva, loader_quessel';
const CAUSES = {
  zh: {
    'loader-chain': (f) => `设备的引导程序（版本 ${f.detail}）不在引导程序链可以开始的范围内：此固件包无法安装到这个引导程序上。请不要重试，重试会以同样的方式失败。`,
    'package-damaged': (f) => `固件包文件 ${f.detail} 与其签名不符：文件已损坏。请重新获取固件包，然后再次安装。`,
    'device-lost': (f) => `与设备的连接已断开${f.detail ? `（正在写入 ${f.detail}）` : ''}。请重新连接设备，然后再次点击“安装”。`,
    'write-refused': (f) => `设备拒绝了写入${f.detail ? ` ${f.detail}` : ''}。请再试一次；如果仍然失败，请用下面保存的输出和跟踪文件报告此问题。`,
    'stand-in': () => `此安装程序只带有引导程序的替代文件（stand-in），只能写入模拟设备。README 说明：要写入真实设备，需用 -DTESSARO_LOADER_DIR=DIR 构建安装程序，DIR 中放入设备厂商的引导程序文件 ${LOADER_FILES}。`,
    'other-model': (f) => `此固件包适用于 ${f.package}，而此设备是 ${f.device}。请使用适用于 ${f.device} 的固件包。`,
    otherModel: (pkgModel, devModel) => `此固件包适用于 ${pkgModel}，不适用于此设备（${devModel}）`,
  },
  en: {
    'loader-chain': (f) => `The device's loader (version ${f.detail}) is not one the loader chain can start from: this package cannot be installed on this loader. Do not try again: it would fail the same way.`,
    'package-damaged': (f) => `The package file ${f.detail} does not match its signature: the file is damaged. Get the package again, then install again.`,
    'device-lost': (f) => `The connection to the device was lost${f.detail ? ` while writing ${f.detail}` : ''}. Reconnect the reader, then press Install again.`,
    'write-refused': (f) => `The device refused to write${f.detail ? ` ${f.detail}` : ''}. Try once more; if it fails again, report it with the output and the trace saved below.`,
    'stand-in': () => `This installer carries stand-ins for the loaders, which go to simulated devices only. As the README says, a build for real devices is configured with -DTESSARO_LOADER_DIR=DIR, where DIR holds the device maker's loader files ${LOADER_FILES}.`,
    'other-model': (f) => `This package is for ${f.package}, and this device is a ${f.device}. Use a package made for ${f.device}.`,
    otherModel: (pkgModel, devModel) => `This package is for ${pkgModel}, not for this device (${devModel})`,
  },
};

// The advice for a failed run's cause, or null when its cause is not known.
function causeAdvice(r) {
  // a device lost after the choice is told of once, by the card's banner, with how far it came
  if (r.cause && r.cause.cause === 'device-lost' && r.chosen && prog(r).lost) return null;
  const words = r.cause && CAUSES[lang][r.cause.cause];
  return words ? el('p', { class: 'cause', 'data-cause': r.cause.cause }, words(r.cause)) : null;
}

const otherModelText = (pkgModel, devModel) => CAUSES[lang].otherModel(pkgModel, devModel);
