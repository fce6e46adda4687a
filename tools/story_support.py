"""What the emulator stories share: a real local SMTP server and its mails.

Imported by tools/mail-story, tools/flap-test and tools/registration-parity (they put tools/ on the path
by being run from it).
"""
import json
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOGIN = "10000@qq.com"
CODE = "story-code"


def windows_path(path):
    """The path as a program under Wine sees it (Wine's Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start_server(work, *extra):
    """Starts tests/servers/smtp_server.py; answers (process, port, certificate, store)."""
    certificate, key = os.path.join(work, "localhost.crt"), os.path.join(work, "localhost.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-keyout", key,
                    "-out", certificate], check=True, capture_output=True)
    store, port_file = os.path.join(work, "mails"), os.path.join(work, "port")
    os.makedirs(store)
    server = subprocess.Popen(
        ["/usr/bin/python3", os.path.join(ROOT, "tests", "servers", "smtp_server.py"),
         "--port-file", port_file, "--cert", certificate, "--key", key, "--user", LOGIN,
         "--password", CODE, "--store", store] + list(extra),
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "server.log"), "w"))
    for _ in range(200):
        if os.path.exists(port_file) and open(port_file).read().strip():
            return server, int(open(port_file).read()), certificate, store
        if server.poll() is not None:
            break
        time.sleep(0.05)
    server.kill()
    sys.exit("the SMTP server did not start:\n" + open(os.path.join(work, "server.log")).read())


def received_mails(store):
    names = sorted((n for n in os.listdir(store) if n.endswith(".json")), key=lambda n: int(n[:-5]))
    return [json.load(open(os.path.join(store, name), encoding="utf-8")) for name in names]


