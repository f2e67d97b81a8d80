#!/usr/bin/env python3
"""tessaro-web while another local program tries to hold it, on loopback only and bounded in
count and time: idle connections (2000), slow clients that send their request a byte a second
(200), and a live-event subscriber that never reads. Meanwhile an install on a simulated VRX3
must end done, and the page (a page file and the device list, each on a new connection) must
answer within 1 s all along. Prints what it held and what the server did with it; exits 1 when
the install failed, an answer took 1 s or more, or a slow client was held longer than the
server's head time allows.

--short (for CI, about 20 s): 400 idle connections and 50 slow clients against a server whose
descriptor limit is 256, the case where the accept loop once ended for good.

Usage: web_load.py BUILD_DIR [--short]"""
import atexit
import json
import os
import resource
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time

build = sys.argv[1]
short = '--short' in sys.argv[2:]
IDLE, SLOW = (400, 50) if short else (2000, 200)
LIMIT = 60 if short else 150  # seconds for the whole run
HEAD_TIME = 15  # the server's time for a request head
SERIAL = '067A0LOAD0001'

work = tempfile.mkdtemp(prefix='tessaro-load.')
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, IDLE + SLOW + 512), hard))

pkg = os.path.join(work, 'package')
subprocess.run([f'{build}/tools/make_sample_package', pkg, '--model', 'vrx3', '--native', '--second',
                '--size', '8192' if short else '4M'], check=True, stdout=subprocess.DEVNULL)
devsim = subprocess.Popen(
    [f'{build}/devsim/tessaro-devsim', '--dir', f'{work}/sockets', '--device', 'load', '--serial', SERIAL,
     '--var', 'product=VRX3', '--var', 'verflag=Z07', '--var', 'bootmode=main', '--var', 'systype=sing',
     # a device that says much at its first write: far more events than a reader that never
     # reads can be kept for
     '--fault', f'flash:*#1=flood:{10000 if short else 20000}'],
    stdout=subprocess.PIPE, text=True)
atexit.register(lambda: devsim.poll() is None and devsim.kill())
assert devsim.stdout.readline().strip() == 'ready'


def server_limit():
    # the short run gives the server few descriptors: more connections come than it may hold
    if short:
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))


web = subprocess.Popen([f'{build}/installer/tessaro-web', '--no-browser', pkg], stdout=subprocess.PIPE,
                       text=True, env={**os.environ, 'TESSARO_DEVSIM_DIR': f'{work}/sockets', 'TMPDIR': work,
                                       'XDG_STATE_HOME': f'{work}/state'},
                       stderr=open(f'{work}/web.err', 'w'), preexec_fn=server_limit)
atexit.register(lambda: web.poll() is None and web.kill())
address = web.stdout.readline().split(' ', 1)[1].strip()
threading.Thread(target=lambda: web.stdout.read(), daemon=True).start()
port = int(address.split(':')[2].split('/')[0])
token = address.split('#token=')[1]
host = f'127.0.0.1:{port}'
started = time.monotonic()
failures = []


def connect():
    s = socket.create_connection(('127.0.0.1', port), timeout=5)
    return s


def request(method, path, body=b'', headers=None, timeout=5.0):
    """One request on a new connection: (status, body, seconds)."""
    t = time.monotonic()
    s = socket.create_connection(('127.0.0.1', port), timeout=timeout)
    try:
        head = f'{method} {path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n'
        for k, v in (headers or {}).items():
            head += f'{k}: {v}\r\n'
        s.sendall((head + f'Content-Length: {len(body)}\r\n\r\n').encode() + body)
        got = b''
        while True:
            b = s.recv(65536)
            if not b:
                break
            got += b
    finally:
        s.close()
    status = int(got.split(b' ', 2)[1]) if got.startswith(b'HTTP/1.1 ') else 0
    return status, got.split(b'\r\n\r\n', 1)[-1], time.monotonic() - t


def api(method, path, payload=None):
    body = json.dumps(payload).encode() if payload is not None else b''
    return request(method, path, body, {'X-Tessaro-Token': token, 'Origin': f'http://{host}',
                                        'Content-Type': 'application/json'})


# the page's live events, read as the page reads them
events, events_lock = [], threading.Condition()
event_bytes = 0
reconnects = 0


def follow():
    global event_bytes, reconnects
    while True:
        s = connect()
        s.settimeout(None)
        s.sendall(f'GET /api/events HTTP/1.1\r\nHost: {host}\r\nX-Tessaro-Token: {token}\r\n\r\n'.encode())
        pending = b''
        while True:
            try:
                b = s.recv(65536)
            except OSError:
                b = b''
            if not b:
                break
            pending += b
            while b'\n\n' in pending:
                block, pending = pending.split(b'\n\n', 1)
                if b'data: ' in block:
                    event_bytes += len(block) + 2
                    with events_lock:
                        events.append(json.loads(block.split(b'data: ', 1)[1]))
                        events_lock.notify_all()
        # dropped for falling behind, as a page may be: it comes back and is given the state so far
        s.close()
        reconnects += 1
        time.sleep(0.5)


threading.Thread(target=follow, daemon=True).start()


def wait_event(match, timeout):
    end = time.monotonic() + timeout
    with events_lock:
        while True:
            for e in events:
                if match(e):
                    return e
            left = end - time.monotonic()
            if left <= 0:
                return None
            events_lock.wait(left)


# the page all along: a page file and the device list, each on a new connection, four times a second
probes = []
probing = True


def probe():
    while probing:
        for path, h in (('/', {}), ('/api/devices', {'X-Tessaro-Token': token})):
            try:
                status, _, took = request('GET', path, headers=h, timeout=3)
            except OSError as e:
                status, took = f'{type(e).__name__}', 3.0
            probes.append((path, status, took))
        time.sleep(0.25)


# the hostile program: a subscriber that never reads, with as small a window as the host gives
stuck = socket.socket()
stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
stuck.connect(('127.0.0.1', port))
stuck.sendall(f'GET /api/events HTTP/1.1\r\nHost: {host}\r\nX-Tessaro-Token: {token}\r\n\r\n'.encode())

# idle connections that send nothing
idle = []
for _ in range(IDLE):
    try:
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(('127.0.0.1', port))
        idle.append(s)
    except OSError:
        break
# slow clients: a request head a byte a second, which would take a minute to end
slow_head = f'GET /api/devices HTTP/1.1\r\nHost: {host}\r\nX-Tessaro-Token: {token}\r\n\r\n'.encode()
slow = []
for _ in range(SLOW):
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex(('127.0.0.1', port))
    slow.append({'sock': s, 'sent': 0, 'opened': time.monotonic(), 'closed': None})
held_at = time.monotonic()
prober = threading.Thread(target=probe, daemon=True)
prober.start()


def readable(sock):
    p = select.poll()
    p.register(sock, select.POLLIN)
    return bool(p.poll(0))


def tick_slow():
    for c in slow:
        if c['closed'] is not None:
            continue
        try:
            c['sock'].send(slow_head[c['sent']:c['sent'] + 1])
            c['sent'] += 1
            # the server ends the connection: the read sees its end (or a reset)
            if readable(c['sock']) and c['sock'].recv(4096) == b'':
                raise ConnectionResetError()
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            c['closed'] = time.monotonic() - c['opened']


# the install, the way the page does it: by the device's place, its socket
PLACE = f'{work}/sockets/load'
status, body, _ = api('POST', '/api/install', {'path': PLACE})
install_start = time.monotonic()
if status != 200:
    failures.append(f'install refused: {status} {body!r}')
state = None
menu_answered = False
while time.monotonic() - started < LIMIT:
    tick_slow()
    if not menu_answered and wait_event(lambda e: e.get('kind') == 'menu', 0.01):
        menu_answered = api('POST', '/api/choice', {'path': PLACE, 'key': '5'})[0] == 200
    end = wait_event(lambda e: e.get('type') == 'end', 0.0)
    if end and state is None:
        state, install_took = end.get('state'), time.monotonic() - install_start
    slow_open = sum(c['closed'] is None for c in slow)
    # done once the install ended and the slow clients' time is past
    if state is not None and (slow_open == 0 or time.monotonic() - held_at > HEAD_TIME + 5):
        break
    time.sleep(1.0)
probing = False
prober.join()

# a page that comes (back) now is given the whole state so far: the run's end among it
back = connect()
back.sendall(f'GET /api/events HTTP/1.1\r\nHost: {host}\r\nX-Tessaro-Token: {token}\r\n\r\n'.encode())
replay, t = b'', time.monotonic()
while b'"type":"end"' not in replay and time.monotonic() - t < 5:
    try:
        replay += back.recv(1 << 20)
    except OSError:
        break
back.close()
if b'"type":"end"' not in replay:
    failures.append('a page that came back was not given the state so far')

# what the server did with the idle connections and the stuck subscriber
idle_closed = 0
for s in idle:
    try:
        if readable(s) and s.recv(1) == b'':
            idle_closed += 1
    except OSError:
        idle_closed += 1
# what the server still has for it comes now; a dropped one's stream then ends
stuck.settimeout(3)
stuck_bytes, stuck_dropped = 0, False
try:
    while True:
        b = stuck.recv(1 << 20)
        if not b:
            stuck_dropped = True
            break
        stuck_bytes += len(b)
except socket.timeout:
    pass
except OSError:
    stuck_dropped = True
rss = 0
with open(f'/proc/{web.pid}/status') as f:
    for line in f:
        if line.startswith('VmHWM:'):
            rss = int(line.split()[1]) // 1024

dropped_page = reconnects
web.send_signal(2)
try:
    web.wait(timeout=10)
except subprocess.TimeoutExpired:
    failures.append('the server did not stop at Ctrl+C')
with open(f'{work}/web.err') as f:
    said = f.read().strip()
if said:
    print('load: the server said: ' + said.replace('\n', ' / '))
devsim.terminate()
devsim.wait()
subprocess.run(['rm', '-rf', work])

slow_times = sorted(c['closed'] for c in slow if c['closed'] is not None)
worst = max(probes, key=lambda p: p[2]) if probes else ('-', 0, 0)
late = [p for p in probes if p[1] != 200 or p[2] >= 1.0]
print(f'load: held {len(idle)} idle connections ({idle_closed} closed by the server: to make room, or past the head time), '
      f'{len(slow)} slow clients, 1 subscriber that never reads')
print(f'load: slow clients closed by the server: {len(slow_times)} of {len(slow)}'
      + (f', after {slow_times[0]:.1f} to {slow_times[-1]:.1f} s' if slow_times else ''))
print(f'load: the page read {len(events)} events ({event_bytes} bytes; dropped and back {dropped_page} times); the stuck subscriber was '
      f'{"dropped" if stuck_dropped else "kept"} after {stuck_bytes} bytes reached it; '
      f'server peak resident memory {rss} MiB')
if state is None:
    failures.append('the install did not end in time')
else:
    print(f'load: install {state} in {install_took:.1f} s')
    if state != 'done':
        failures.append(f'the install ended {state}')
print(f'load: the page answered {len(probes) - len(late)} of {len(probes)} requests within 1 s; '
      f'slowest {worst[2] * 1000:.0f} ms ({worst[0]})')
if not stuck_dropped:
    failures.append('the subscriber that never reads was kept')
if late:
    kinds = sorted({str(p[1]) for p in late})
    failures.append(f'{len(late)} answers late or failed ({", ".join(kinds)}), first {late[0]}')
if len(slow_times) < len(slow) or (slow_times and slow_times[-1] > HEAD_TIME + 3):
    failures.append('slow clients were held past the head time')
for f in failures:
    print('FAIL  ' + f)
sys.exit(1 if failures else 0)
