#!/usr/bin/python3
"""Runs net_win32_test.exe under Wine against real servers.

  run-net-test.py RUN_UNDER_WINE PROGRAM

Starts the servers of tests/servers/ on free ports of 127.0.0.1 (the SMTP
server with implicit TLS and AUTH LOGIN, once for each behaviour the program
needs, and the HTTP server plain and with TLS), a tinyproxy, and makes the
certificates they use; then runs PROGRAM through RUN_UNDER_WINE with their
ports and the Windows paths (drive Z:) of the files, and ends them all.
Exits with the program's status.

Needs Debian's python3-aiosmtpd (for /usr/bin/python3), openssl and
tinyproxy.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SERVERS = os.path.join(ROOT, 'tests', 'servers')
PYTHON = '/usr/bin/python3'
USER = '10000@qq.com'
PASSWORD = 'story-code'
START_LIMIT_S = 30


def windows_path(path):
    """The path as a Windows program under Wine sees it."""
    return 'Z:' + path.replace('/', '\\')


def make_certificate(directory, name):
    """A self-signed certificate for DNS name `name`; answers (certificate, key)."""
    os.makedirs(directory, exist_ok=True)
    certificate, key = os.path.join(directory, name + '.crt'), os.path.join(directory, name + '.key')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt',
                    'ec_paramgen_curve:prime256v1', '-nodes', '-days', '2', '-subj', '/CN=' + name,
                    '-addext', 'subjectAltName=DNS:' + name, '-keyout', key, '-out', certificate],
                   check=True, capture_output=True)
    return certificate, key


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def accepts(port):
    try:
        with socket.create_connection(('127.0.0.1', port), timeout=1):
            return True
    except OSError:
        return False


class Servers:
    def __init__(self, work):
        self.work = work
        self.processes = []

    def start(self, name, argv):
        log = open(os.path.join(self.work, name + '.log'), 'w')
        process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL)
        self.processes.append((name, process))
        return process

    def await_port_file(self, name, process, port_file):
        give_up = time.monotonic() + START_LIMIT_S
        while time.monotonic() < give_up:
            if os.path.exists(port_file):
                text = open(port_file).read().strip()
                if text:
                    return int(text)
            if process.poll() is not None:
                break
            time.sleep(0.05)
        sys.exit('the %s server did not start:\n%s' %
                 (name, open(os.path.join(self.work, name + '.log')).read()))

    def smtp(self, name, certificate, key, mode='normal'):
        """Starts smtp_server.py; answers (port, store directory)."""
        store = os.path.join(self.work, name + '-store')
        os.makedirs(store)
        port_file = os.path.join(self.work, name + '.port')
        process = self.start(name, [
            PYTHON, os.path.join(SERVERS, 'smtp_server.py'), '--port-file', port_file, '--cert',
            certificate, '--key', key, '--user', USER, '--password', PASSWORD, '--store', store,
            '--mode', mode])
        return lambda: (self.await_port_file(name, process, port_file), store)

    def http(self, name, certificate=None, key=None):
        port_file = os.path.join(self.work, name + '.port')
        notice = os.path.join(self.work, name + '.notice')
        open(notice, 'w').close()
        argv = [PYTHON, os.path.join(SERVERS, 'http_server.py'), '--port-file', port_file,
                '--notice-file', notice]
        if certificate:
            argv += ['--cert', certificate, '--key', key]
        process = self.start(name, argv)
        return lambda: self.await_port_file(name, process, port_file)

    def tinyproxy(self):
        for _ in range(5):
            port = free_port()
            config = os.path.join(self.work, 'tinyproxy.conf')
            with open(config, 'w') as out:
                out.write('Port %d\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nLogLevel Info\n'
                          % port)
            process = self.start('tinyproxy', ['/usr/bin/tinyproxy', '-d', '-c', config])
            give_up = time.monotonic() + START_LIMIT_S
            while time.monotonic() < give_up and process.poll() is None:
                if accepts(port):
                    return port
                time.sleep(0.05)
            process.kill()
            process.wait()
        sys.exit('tinyproxy did not start:\n' + open(os.path.join(self.work, 'tinyproxy.log')).read())

    def stop(self):
        for _, process in self.processes:
            process.kill()
        for _, process in self.processes:
            process.wait()


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    run_under_wine, program = sys.argv[1:]
    work = tempfile.mkdtemp(prefix='lanfeng-net-')
    servers = Servers(work)
    try:
        localhost = make_certificate(work, 'localhost')
        otherhost = make_certificate(work, 'otherhost')
        stranger, _ = make_certificate(os.path.join(work, 'stranger'), 'localhost')
        elsewhere = make_certificate(work, 'elsewhere.invalid')
        # Every server starts at once; each is awaited afterwards.
        pending = {
            'smtp': servers.smtp('smtp', *localhost),
            'other-name': servers.smtp('other-name', *otherhost),
            'silent': servers.smtp('silent', *localhost, mode='silent'),
            'no-handshake': servers.smtp('no-handshake', *localhost, mode='no-handshake'),
            'endless-line': servers.smtp('endless-line', *localhost, mode='endless-line'),
            'http': servers.http('http'),
            'https': servers.http('https', *elsewhere),
        }
        proxy_port = servers.tinyproxy()
        ready = {name: wait() for name, wait in pending.items()}
        arguments = {
            'smtp-port': ready['smtp'][0],
            'smtp-store': windows_path(ready['smtp'][1]),
            'smtp-user': USER,
            'smtp-password': PASSWORD,
            'ca': windows_path(localhost[0]),
            'other-name-port': ready['other-name'][0],
            'other-name-ca': windows_path(otherhost[0]),
            'stranger-ca': windows_path(stranger),
            'missing-ca': windows_path(os.path.join(work, 'missing.pem')),
            'silent-port': ready['silent'][0],
            'no-handshake-port': ready['no-handshake'][0],
            'endless-line-port': ready['endless-line'][0],
            'refused-port': free_port(),
            'http-port': ready['http'],
            'https-port': ready['https'],
            'proxy-port': proxy_port,
        }
        argv = [run_under_wine, program]
        for name, value in arguments.items():
            argv += ['--' + name, str(value)]
        return subprocess.call(argv)
    finally:
        servers.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
