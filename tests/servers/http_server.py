#!/usr/bin/python3
"""A real HTTP server for the HTTP client's and the notice's tests.

It listens on 127.0.0.1, on a port the system chooses, and writes that port
to --port-file once it accepts connections. With --cert and --key it speaks
HTTPS instead (the tests make a self-signed certificate for another name, so
a client that verified certificates would refuse it).

Paths:
  /2.php            the notice: the bytes of --notice-file, read anew on every request
  /cookies          sets b=3, c=4 and a=deleted, then echoes
  /redirect?to=P    answers 302 with Location P (default /echo/redirected)
  /status/N         answers status N with the body "status N"
  /silent           reads the request and never answers
  anything else     echoes

An echo is the request as received, as JSON: the method, the path with its
query, the headers in order with their names' own letter case, the body
(each byte one code point, so any bytes survive) and the client's address.
Every method is echoed; HEAD gets the headers alone.
"""

import argparse
import http.server
import json
import os
import ssl
import sys
import time
import urllib.parse

COOKIES = ('b=3; path=/', 'c=4; Path=/',
           'a=deleted; expires=Thu, 01-Jan-1970 00:00:01 GMT; path=/')


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--port-file', required=True)
    parser.add_argument('--notice-file', required=True)
    parser.add_argument('--cert')
    parser.add_argument('--key')
    return parser.parse_args()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    notice_file = None

    def log_message(self, format, *args):
        sys.stderr.write('%s %s\n' % (self.client_address[0], format % args))

    def read_body(self):
        length = int(self.headers.get('Content-Length') or 0)
        return self.rfile.read(length) if length > 0 else b''

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(body)

    def echo(self, body, headers=()):
        request = {
            'method': self.command,
            'path': self.path,
            'headers': [[name, value] for name, value in self.headers.items()],
            'body': body.decode('latin-1'),
            'client': self.client_address[0],
        }
        self.answer(200, json.dumps(request).encode('ascii'),
                    (('Content-Type', 'application/json'),) + tuple(headers))

    def handle_any(self):
        body = self.read_body()
        url = urllib.parse.urlsplit(self.path)
        if url.path == '/2.php':
            with open(self.notice_file, 'rb') as notice:
                self.answer(200, notice.read(), (('Content-Type', 'text/html; charset=utf-8'),))
        elif url.path == '/cookies':
            self.echo(body, [('Set-Cookie', cookie) for cookie in COOKIES])
        elif url.path == '/redirect':
            target = urllib.parse.parse_qs(url.query).get('to', ['/echo/redirected'])[0]
            self.answer(302, b'moved', (('Location', target),))
        elif url.path.startswith('/status/'):
            status = int(url.path[len('/status/'):])
            self.answer(status, b'status %d' % status)
        elif url.path == '/silent':
            time.sleep(3600)
        else:
            self.echo(body)

    do_GET = do_POST = do_HEAD = do_PUT = do_OPTIONS = do_DELETE = do_TRACE = handle_any
    do_CONNECT = do_PATCH = handle_any


def main():
    arguments = parse_arguments()
    Handler.notice_file = arguments.notice_file
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    server.daemon_threads = True
    if arguments.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(arguments.cert, arguments.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(arguments.port_file + '.tmp', 'w') as out:
        out.write(str(server.server_address[1]))
    os.replace(arguments.port_file + '.tmp', arguments.port_file)
    server.serve_forever()


if __name__ == '__main__':
    sys.exit(main())
