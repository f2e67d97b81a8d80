#!/usr/bin/env python3
"""The page in headless Chromium against tessaro-devsim, clicked as a person would: a package
of both systems previewed on a VRX3 from loader 8.0 (the menu's hidden "both systems" choice),
its plan shown, then that plan installed with the same choice answered by itself; the menu and the steps in English and Chinese, a device of another model
that the package is refused for, one whose kernel check fails, one at loader 8.5, one running
the second system (whose plain upgrade does not wipe, and whose wiping choice, previewed, asks
first with its plan), a device unplugged in the middle of a
file, and the server stopped in the middle of a run. Then what the devices received and hold. One screenshot per state under
SHOTS. Usage: browser_test.py BUILD_DIR SHOTS_DIR"""
import json
import os
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import WebDriverWait

build, shots = sys.argv[1], sys.argv[2]
os.makedirs(shots, exist_ok=True)
work = tempfile.mkdtemp(prefix='tessaro-browser.')
CHAIN, OTHER, FAULTY = '067A0BROWSER1', 'P00118BROWSER2', '067A0BROWSER3'
OLD, SECOND = '067A0BROWSER4', '067A0BROWSER5'
UNPLUG = '067A0BROWSER6'
RATE = 3000000  # the link's bytes per second
failures = []


def check(ok, what):
    print(('ok    ' if ok else 'FAIL  ') + what, flush=True)
    if not ok:
        failures.append(what)


pkg = os.path.join(work, 'package')
subprocess.run([f'{build}/tools/make_sample_package', pkg, '--model', 'vrx3', '--native', '--second',
                '--size', '4M', '--seed', '3'], check=True, stdout=subprocess.DEVNULL)
vrx3 = ['--var', 'product=VRX3', '--var', 'bootmode=main', '--var', 'systype=sing']
devsim = subprocess.Popen(
    [f'{build}/devsim/tessaro-devsim', '--dir', f'{work}/sockets', '--transcript', f'{work}/transcript.jsonl',
     '--storage', f'{work}/storage', '--rate', str(RATE),
     # the chain's second restart takes longer than the installer waits: it waits for the device
     '--device', 'chain', '--serial', CHAIN, '--var', 'verflag=8.0', *vrx3, '--fault', 'reboot#2=away:5000',
     '--device', 'other', '--serial', OTHER, '--var', 'product=RQ3', '--var', 'verflag=Z05',
     '--device', 'faulty', '--serial', FAULTY, '--var', 'verflag=Z07', *vrx3, '--fault', 'check:*kernel*=fail:crc mismatch',
     '--device', 'old', '--serial', OLD, '--var', 'verflag=8.5', *vrx3,
     '--device', 'second', '--serial', SECOND, '--var', 'verflag=Z07', '--var', 'product=VRX3', '--var', 'bootmode=main',
     '--var', 'systype=tess',
     '--device', 'unplug', '--serial', UNPLUG, '--var', 'verflag=Z07', *vrx3, '--fault', 'download:00400000#2=vanish:data:1000000'],
    stdout=subprocess.PIPE, text=True)
assert devsim.stdout.readline().strip() == 'ready'


def serve(*args):
    server = subprocess.Popen([f'{build}/installer/tessaro-web', '--no-browser', *args, pkg], stdout=subprocess.PIPE,
                              text=True, env={**os.environ, 'TESSARO_DEVSIM_DIR': f'{work}/sockets',
                                              'XDG_STATE_HOME': f'{work}/state'})
    return server, server.stdout.readline().split(' ', 1)[1].strip()


web, url = serve()

options = webdriver.ChromeOptions()
for flag in ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             f'--user-data-dir={work}/chromium', '--window-size=1280,1000', '--lang=en-US']:
    options.add_argument(flag)
options.binary_location = '/usr/bin/chromium'
driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
# a card is drawn anew when its device's state changes: an element found a moment ago may be gone
STALE = [StaleElementReferenceException]
wait = WebDriverWait(driver, 60, ignored_exceptions=STALE)


def card(serial):
    return driver.find_element(By.CSS_SELECTOR, f'.card[data-serial="{serial}"]')


def settled(act):
    """Does what touches a card, again if the card was drawn anew in between."""
    for _ in range(50):
        try:
            return act()
        except StaleElementReferenceException:
            time.sleep(0.1)
    return act()


def shot(name, serial=None):
    if serial:
        driver.execute_script('const c = document.querySelector(arguments[0]);'
                              'if (c) c.scrollIntoView({block: "center"});',
                              f'.card[data-serial="{serial}"]')
        time.sleep(0.2)
    driver.save_screenshot(os.path.join(shots, name + '.png'))


def commands(dev):
    out = []
    with open(f'{work}/transcript.jsonl') as f:
        for line in f:
            e = json.loads(line)
            if e.get('dev') == dev and e.get('ev') == 'command':
                out.append(e['text'])
    return out


try:
    driver.get(url)
    wait.until(ec.text_to_be_present_in_element((By.ID, 'package-model'), 'vrx3'))
    check('token' not in driver.current_url, 'the token leaves the address for the tab')
    check(driver.get_cookies() == [], 'no cookie')
    check(len(driver.find_elements(By.CSS_SELECTOR, '#package-body td.matches')) == 7,
          'package: seven images whose signatures match')
    for serial in (CHAIN, OTHER, FAULTY, OLD, SECOND, UNPLUG):
        wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, f'.card[data-serial="{serial}"]')))
    shot('package')

    # the RQ3 device: the package is for another model, so its button is off and it says why
    check(not settled(lambda: card(OTHER).find_element(By.CSS_SELECTOR, 'button.install').is_enabled()),
          'another model: no install')
    other_text = settled(lambda: card(OTHER).text)
    check('This package is for vrx3, not for this device (pagora8)' in other_text,
          'another model: the page names both models')

    # the whole chain from loader 8.0, both systems: previewed first, then this plan installed
    settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, 'button.preview').click())
    wait.until(lambda d: card(CHAIN).find_elements(By.CSS_SELECTOR, '.menu button[data-key="5"]'))
    menu_text = settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, '.menu').text)
    check('4. Pagora' in menu_text and 'Choose (0-4):' in menu_text and '转换' not in menu_text
          and 'Current system: native system' in menu_text, "the English page: the menu's English words")

    def wiping(serial):
        return settled(lambda: {b.get_attribute('data-key'): 'danger' in b.get_attribute('class')
                                for b in card(serial).find_elements(By.CSS_SELECTOR, '.menu button[data-key]')})
    check(wiping(CHAIN) == {'1': True, '2': True, '3': True, '4': False, '5': True, '0': False},
          'a native device: upgrade, wipe, conversion and both systems are red')
    check('This writes up to 28.0 MiB, in about' in menu_text, 'the menu states the size and a time')
    shot('menu', CHAIN)
    driver.find_element(By.ID, 'lang').click()
    menu_text = settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, '.menu').text)
    check('4. 转换为原始系统' in menu_text and '请选择 (0-4)：' in menu_text and 'Pagora' not in menu_text,
          "the Chinese page: the menu's Chinese words")
    shot('menu-zh', CHAIN)
    driver.find_element(By.ID, 'lang').click()
    settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, '.menu button[data-key="5"]').click())
    wait.until(lambda d: card(CHAIN).find_elements(By.CSS_SELECTOR, '.plan[data-key="5"]'))
    plan = settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, '.plan').text)
    for text in ('The plan of choice 5', 'Loader: 8.0 → Z07 (5 stages, 6 restarts)', 'porter → xloader_belto, 9.0',
                 'Partition tables: rewritten xzmbr, xembr, layout def, storage 4GB', 'kernel.bin xzkernel 4.0 MiB checked by the device',
                 'System marker: dual', 'User data: WIPED', 'Closing reboot: yes', f'Nothing was written to {CHAIN}'):
        check(text in plan, f'the preview\'s plan: "{text}"')
    check(all(c.startswith('getvar:') for c in commands('chain')), 'the preview only asked the device')
    driver.execute_script('document.querySelector(arguments[0]).scrollIntoView({block: "start"})',
                          f'.card[data-serial="{CHAIN}"] .plan')
    shot('preview_plan')
    settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, 'button.install-plan').click())
    wait.until(lambda d: 'Chose 5, as in the preview' in card(CHAIN).text)
    # the card's figures as the page shows them, four times a second until the end: the chain's
    # stages, then the rate and the time left against the link's and the real remainder
    seen, samples, shots_taken = set(), [], set()
    sample = ('const c = document.querySelector(arguments[0]); if (!c) return null;'
              'const o = c.querySelector(".figures.overall"), ch = c.querySelector(".chain .figures");'
              'return [c.querySelector(".ending") !== null, ch ? ch.textContent : "", c.textContent,'
              ' o ? Number(o.dataset.rate) : 0, o ? Number(o.dataset.left) : -1, o ? Number(o.dataset.done) : 0];')
    deadline = time.time() + 120
    while time.time() < deadline:
        ended, chain_text, text, rate, left, done = driver.execute_script(sample, f'.card[data-serial="{CHAIN}"]')
        now = time.time()
        if ended:
            break
        seen.add(chain_text.split(': ', 1)[-1])
        if (chain_text or done) and 'Do not unplug the reader' not in text:
            seen.add('no banner')
        if chain_text and 'chain' not in shots_taken:
            shots_taken.add('chain')
            shot('chain', CHAIN)
        # after the first piece of the package (4 MiB)
        if done > 4 << 20:
            samples.append((now, rate, left))
            if 'progress' not in shots_taken:
                shots_taken.add('progress')
                shot('progress', CHAIN)
        time.sleep(0.25)
    # (a loader's write takes some 30 ms here: too short to be sampled)
    for text in ('stage 1 of 4 (porter), restarting', 'stage 2 of 4 (porter1), waiting for the device',
                 'stage 3 of 4 (porter2), restarting', 'the final loader (loader_belto), restarting'):
        check(text in seen, f'the chain is shown: "{text}"')
    check('no banner' not in seen, '"Do not unplug the reader" from the choice to the end')
    # the remainder is read to a quarter of a second: judged while it is 4 s or more
    judged = [(rate, left, now - at) for at, rate, left in samples if now - at >= 4]
    check(len(judged) >= 4, f'rate and time left sampled after the first piece ({len(judged)} times)')
    worst_rate = max((abs(rate - RATE) / RATE for rate, _, _ in judged), default=1)
    worst_left = max((abs(left - real) / real for _, left, real in judged), default=1)
    print(f'      rate off by up to {worst_rate:.1%}, time left by up to {worst_left:.1%}')
    if os.environ.get('TESSARO_BROWSER_VERBOSE'):
        print(judged)
    check(worst_rate <= 0.10, "the rate shown is within 10 % of the link's")
    check(worst_left <= 0.15, 'the time left is within 15 % of the real remainder')
    check('done' in settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, '.ending').get_attribute('class')),
          'the chain install ends done')
    check('You can unplug the reader now' in settled(lambda: card(CHAIN).text), 'done: the reader can be unplugged')
    shot('done', CHAIN)
    steps = settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, 'ol.steps').text)
    check('Choice: Both systems, wiped' in steps and 'Writing system' in steps and 'Choose:' not in steps
          and 'Downloading' not in steps, 'the steps in plain words')
    driver.find_element(By.ID, 'lang').click()
    steps = settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, 'ol.steps').text)
    check('选择：双系统，清除用户数据' in steps and '写入 system' in steps, 'the steps redrawn in Chinese')
    shot('done-zh', CHAIN)
    driver.find_element(By.ID, 'lang').click()

    def install_to_end(serial):
        """Install with choice 4, which wipes nothing, and wait for the card's ending."""
        settled(lambda: card(serial).find_element(By.CSS_SELECTOR, 'button.install').click())
        wait.until(lambda d: card(serial).find_elements(By.CSS_SELECTOR, '.menu button[data-key="4"]'))
        settled(lambda: card(serial).find_element(By.CSS_SELECTOR, '.menu button[data-key="4"]').click())
        WebDriverWait(driver, 120, ignored_exceptions=STALE).until(lambda d: card(serial).find_elements(By.CSS_SELECTOR, '.ending'))

    # a device that runs the second system: its plain upgrade keeps the user data, so it is not red
    # (previewed with its wiping choice 2 first: that choice's confirmation shows its plan)
    settled(lambda: card(SECOND).find_element(By.CSS_SELECTOR, 'button.preview').click())
    wait.until(lambda d: card(SECOND).find_elements(By.CSS_SELECTOR, '.menu button[data-key="2"]'))
    settled(lambda: card(SECOND).find_element(By.CSS_SELECTOR, '.menu button[data-key="2"]').click())
    wait.until(lambda d: card(SECOND).find_elements(By.CSS_SELECTOR, '.plan[data-key="2"]'))
    settled(lambda: card(SECOND).find_element(By.CSS_SELECTOR, 'button.install').click())
    wait.until(lambda d: card(SECOND).find_elements(By.CSS_SELECTOR, '.menu button[data-key="0"]'))
    check(wiping(SECOND) == {'1': False, '2': True, '3': True, '4': False, '5': True, '0': False},
          'a second-system device: only the choices that wipe it are red')
    shot('menu-second', SECOND)
    settled(lambda: card(SECOND).find_element(By.CSS_SELECTOR, '.menu button[data-key="2"]').click())
    wait.until(lambda d: card(SECOND).find_elements(By.CSS_SELECTOR, 'button[data-confirm="2"]'))
    confirm = settled(lambda: card(SECOND).find_element(By.CSS_SELECTOR, '.menu').text)
    check('wipes the user data' in confirm and 'The plan of choice 2' in confirm and 'User data: WIPED' in confirm,
          "a wiping choice asks first, with the choice's plan")
    shot('confirm-plan', SECOND)
    settled(lambda: card(SECOND).find_element(By.XPATH, './/div[@class="menu"]/button[text()="Cancel"]').click())
    wait.until(lambda d: card(SECOND).find_elements(By.CSS_SELECTOR, '.menu button[data-key="0"]'))
    settled(lambda: card(SECOND).find_element(By.CSS_SELECTOR, '.menu button[data-key="0"]').click())

    # loader 8.5, which the loader chain cannot start from: no retry offered as the way out
    install_to_end(OLD)
    old_text = settled(lambda: card(OLD).find_element(By.CSS_SELECTOR, '.ending').text)
    check('loader (version 8.5)' in old_text and 'cannot be installed on this loader' in old_text
          and 'Do not try again' in old_text and 'resumes' not in old_text, 'loader 8.5: the cause, and no retry')
    check('The loader chain cannot start from loader 8.5' in settled(lambda: card(OLD).text), 'loader 8.5: the step in words')
    shot('failed-loader', OLD)

    # the faulty device: its check fails; the ending says so, with the error lines and what next
    install_to_end(FAULTY)
    ending_class, ending_text = settled(lambda: (card(FAULTY).find_element(By.CSS_SELECTOR, '.ending').get_attribute('class'),
                                                 card(FAULTY).find_element(By.CSS_SELECTOR, '.ending').text))
    check('failed' in ending_class and 'error: kernel checksum kernel.bin' in ending_text
          and 'kernel.bin does not match its signature' in ending_text and 'Get the package again' in ending_text,
          'the refused check ends failed, with its error line, its cause and what to do next')
    check('left in its bootloader, not restarted' in settled(lambda: card(FAULTY).text), 'failed: where the device was left')
    shot('failed', FAULTY)
    driver.find_element(By.ID, 'lang').click()
    ending_text = settled(lambda: card(FAULTY).find_element(By.CSS_SELECTOR, '.ending').text)
    check('与其签名不符' in ending_text and '重新获取固件包' in ending_text, 'the refused check in Chinese')
    shot('failed-zh', FAULTY)
    driver.find_element(By.ID, 'lang').click()

    # unplugged in the middle of its second file, and gone from the listing: the card stays, says
    # what happened and what to do, and keeps its downloads until it is dismissed
    install_to_end(UNPLUG)
    os.remove(f'{work}/sockets/unplug')
    WebDriverWait(driver, 10, ignored_exceptions=STALE).until(lambda d: 'no longer listed' in card(UNPLUG).text)
    text = settled(lambda: card(UNPLUG).text)
    check('Disconnected while writing var.bin (' in text and ' (4.0 of 4.0 MiB)' not in text and
          'Reconnect the reader, then Install again: the install starts again from the loader stage' in text,
          'unplugged: the card says what happened and what next')
    check('connection to the device was lost' not in text, 'unplugged: said once, not again as the cause')
    # the output, the trace and the report
    check(len(settled(lambda: card(UNPLUG).find_elements(By.CSS_SELECTOR, 'a[download]'))) == 3,
          'unplugged and unlisted: the downloads stay')
    order = driver.execute_script('return [...document.querySelectorAll("#devices .card")].map((c) => c.dataset.path);')
    check(order == sorted(order), f'cards in the order of their places ({order})')
    shot('unplugged', UNPLUG)
    settled(lambda: card(UNPLUG).find_element(By.CSS_SELECTOR, 'button.dismiss').click())
    wait.until(lambda d: not d.find_elements(By.CSS_SELECTOR, f'.card[data-serial="{UNPLUG}"]'))

    # the console output and the trace are there to save (with the token the tab holds; without
    # it the server refuses them)
    def fetch(path, header=True):
        return driver.execute_async_script(
            'const done = arguments[arguments.length - 1];'
            f"fetch('{path}', {{headers: arguments[0] ? {{'X-Tessaro-Token': sessionStorage.getItem('token')}} : {{}}}})"
            '.then((r) => r.text()).then(done);', header)

    # the card's own links, which name the device by its place
    def link(kind):
        return settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, f'a[href^="/api/{kind}?path="]').get_attribute('href'))

    check('no valid token' in fetch(link('log'), header=False), 'no token, no log')

    log = fetch(link('log'))
    check('###完成！' in log, 'the console output can be saved')
    trace = fetch(link('trace'))
    check('"success"' in trace, 'the trace can be saved')
    report = fetch(link('report'))
    check(report.startswith('tessaro-installer report\n') and '###完成！' in report and '"at":"' in report,
          "the run's report can be saved: header, console output, trace with its times")
    # every run in the past runs, newest first (the chain's first), each with its report by name
    WebDriverWait(driver, 10, ignored_exceptions=STALE).until(
        lambda d: len(d.find_elements(By.CSS_SELECTOR, '#past-runs li')) >= 2)
    past = settled(lambda: [li.text for li in driver.find_elements(By.CSS_SELECTOR, '#past-runs li')])
    title = driver.find_element(By.ID, 'past-title').text
    check(title == 'Past runs' and len(past) == 5 and 'failed' in past[0] and 'done' in past[-1],
          f'past runs listed: {title}: {past}')
    driver.execute_script('document.getElementById("past").scrollIntoView()')
    shot('past-runs')

    # narrow and wide screens: nothing wider than the window
    for width in (360, 1920):
        driver.set_window_size(width, 900)
        time.sleep(0.3)
        overflow = driver.execute_script('return document.documentElement.scrollWidth - window.innerWidth')
        check(overflow <= 0, f'usable at {width} px (overflow {overflow})')

    # the server stopped in the middle of a run (at its menu, which a Stop ends at once): the page
    # says the server is gone, turns its buttons off and keeps the results
    port = url.split(':')[2].split('/')[0]
    settled(lambda: card(FAULTY).find_element(By.CSS_SELECTOR, 'button.install').click())
    wait.until(lambda d: card(FAULTY).find_elements(By.CSS_SELECTOR, '.menu button[data-key="4"]'))
    web.send_signal(2)
    web.wait(timeout=60)
    wait.until(lambda d: d.find_element(By.ID, 'server-gone').is_displayed())
    check('tessaro-web has stopped' in driver.find_element(By.ID, 'server-gone').text, 'server gone: the page says so')
    check(not any(b.is_enabled() for b in driver.find_elements(By.CSS_SELECTOR, '#devices button')),
          'server gone: every button is off')
    check('You can unplug the reader now' in settled(lambda: card(CHAIN).text), 'server gone: the results stay')
    shot('server-gone')
    # a server at the same address again: another one, whose token this tab does not hold
    web, url = serve('--port', port)
    wait.until(lambda d: 'is another one' in d.find_element(By.ID, 'server-gone').text)
    shot('server-other')
    driver.get(url)
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, f'.card[data-serial="{CHAIN}"]'))
    time.sleep(0.5)
    check(not driver.find_element(By.ID, 'server-gone').is_displayed() and
          settled(lambda: card(CHAIN).find_element(By.CSS_SELECTOR, 'button.install').is_enabled()),
          'at its new address the page takes up the new server')
except Exception:
    shot('error')  # the state the test stopped at
    raise
finally:
    driver.quit()
    web.send_signal(2)
    web.wait(timeout=30)
    devsim.terminate()
    devsim.wait()

# what the devices received and hold
chain = commands('chain')
check('setvar:systype dual' in chain and chain.count('reboot') >= 4, 'chain device: both systems, loader reboots')
check(all(c.startswith('getvar:') for c in commands('other')), 'other model: only the listing asked it')
check(not any(c.startswith('setvar:systype') for c in commands('faulty')), 'faulty device: no system marker')
parts = {}
for name in os.listdir(f'{work}/storage/chain'):
    with open(f'{work}/storage/chain/{name}', 'rb') as f:
        parts[name] = f.read()
for image in ('system.bin', 'kernel.bin', 'esystem.bin', 'vemkit.bin', 'edata.bin'):
    with open(os.path.join(pkg, image), 'rb') as f:
        data = f.read()
    check(any(p == data for p in parts.values()), f'chain device holds {image}')

subprocess.run(['rm', '-rf', work])
print(f'browser test: {len(failures)} failed; screenshots in {shots}')
sys.exit(1 if failures else 0)
