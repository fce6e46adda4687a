#!/usr/bin/python3
"""A real SMTP server for the mail sender's tests.

aiosmtpd with implicit TLS (the connection is encrypted from its first byte,
as on port 465) and AUTH LOGIN. It listens on 127.0.0.1, on a port the system
chooses unless one is given, and writes that port to --port-file once it
accepts connections. Every message it accepts is stored twice under --store:
N.eml as it arrived, and N.json as Python's own email package decoded it, so
the tests check our encoder against an independent decoder.

Modes make it misbehave:
  normal            accept everything from the one known user
  reject-sender     answer MAIL FROM with 550
  reject-recipient  answer every RCPT TO with 550
  close-in-data     answer DATA with 354, then drop the connection
  silent-in-data    answer DATA with 354, then never answer the message
  silent            complete the TLS handshake, then never say anything
  trickle           send every reply one byte at a time, --trickle-delay seconds apart
  endless-line      greet with a line that never ends
  no-handshake      accept TCP connections but never answer the TLS hello

With --faulty-connections N only the first N connections misbehave and the
later ones are served normally (not for no-handshake), so a test sees one
mail fail and the next one arrive.

Needs Debian's python3-aiosmtpd, which belongs to /usr/bin/python3.
"""

import argparse
import asyncio
import email
import email.policy
import email.utils
import json
import logging
import os
import socket
import ssl
import sys
import time

from aiosmtpd.smtp import SMTP, AuthResult

MODES = ('normal', 'reject-sender', 'reject-recipient', 'close-in-data', 'silent-in-data',
         'silent', 'trickle', 'endless-line', 'no-handshake')


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--port-file', required=True)
    parser.add_argument('--cert', required=True)
    parser.add_argument('--key', required=True)
    parser.add_argument('--user', required=True)
    parser.add_argument('--password', required=True)
    parser.add_argument('--store', required=True)
    parser.add_argument('--mode', choices=MODES, default='normal')
    parser.add_argument('--trickle-delay', type=float, default=0.2)
    parser.add_argument('--faulty-connections', type=int, default=0,
                        help='misbehave on this many connections only (0: on all)')
    return parser.parse_args()


def write_atomically(path, text):
    with open(path + '.tmp', 'w', encoding='utf-8') as out:
        out.write(text)
    os.replace(path + '.tmp', path)


def decode_message(raw):
    """What an independent decoder makes of a message: every field a test checks."""
    message = email.message_from_bytes(raw, policy=email.policy.default)
    sender = message['From'].addresses[0]
    defects = [repr(d) for d in message.defects]
    for name, value in message.items():
        defects += ['%s: %r' % (name, d) for d in getattr(value, 'defects', ())]
    try:
        date_valid = email.utils.parsedate_to_datetime(message['Date']).tzinfo is not None
    except (TypeError, ValueError):
        date_valid = False
    lines = raw.split(b'\r\n')
    return {
        'from_name': sender.display_name,
        'from_address': sender.addr_spec,
        'to': [[a.display_name, a.addr_spec] for a in message['To'].addresses],
        'subject': str(message['Subject']),
        'date_valid': date_valid,
        'message_id': str(message['Message-ID']),
        'mime_version': str(message['MIME-Version']),
        'content_type': message.get_content_type(),
        'charset': message.get_content_charset(),
        'transfer_encoding': str(message['Content-Transfer-Encoding']),
        'body': message.get_content(),
        'defects': defects,
        'longest_line': max(len(line) for line in lines),
        'stray_line_ends': sum(line.count(b'\r') + line.count(b'\n') for line in lines),
    }


class Handler:
    """Shared by every connection; each connection's mode is its server's."""

    def __init__(self, store):
        self.store = store
        self.count = 0

    async def handle_MAIL(self, server, session, envelope, address, options):
        if server.mode == 'reject-sender':
            return '550 5.7.1 Sender address rejected: not owned by user'
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return '250 2.1.0 OK'

    async def handle_RCPT(self, server, session, envelope, address, options):
        if server.mode == 'reject-recipient':
            return '550 5.1.1 Recipient address rejected: mailbox unavailable'
        envelope.rcpt_tos.append(address)
        return '250 2.1.5 OK'

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.store, str(self.count))
        with open(base + '.eml', 'wb') as out:
            out.write(envelope.original_content)
        summary = decode_message(envelope.original_content)
        summary['auth_login'] = session.auth_data.login.decode('utf-8')
        summary['mail_from'] = envelope.mail_from
        summary['rcpt_tos'] = envelope.rcpt_tos
        write_atomically(base + '.json', json.dumps(summary))
        return '250 2.0.0 Message accepted'


class Server(SMTP):
    """aiosmtpd's server with the misbehaving modes."""

    def __init__(self, handler, mode, trickle_delay, **kwargs):
        super().__init__(handler, **kwargs)
        self.mode = mode
        self.trickle_delay = trickle_delay

    async def push(self, status):
        if self.mode == 'silent':
            await asyncio.sleep(3600)
        if self.mode == 'endless-line':
            self._writer.write(b'220 ' + b'x' * 100000)
            await self._writer.drain()
            await asyncio.sleep(3600)
        if self.mode == 'trickle':
            data = (status.encode('ascii') if isinstance(status, str) else status) + b'\r\n'
            for byte in data:
                self._writer.write(bytes([byte]))
                await self._writer.drain()
                await asyncio.sleep(self.trickle_delay)
            return
        await super().push(status)

    async def smtp_DATA(self, arg):
        if self.mode not in ('close-in-data', 'silent-in-data'):
            return await super().smtp_DATA(arg)
        await self.push('354 End data with <CR><LF>.<CR><LF>')
        if self.mode == 'close-in-data':
            self.transport.close()
        else:
            await asyncio.sleep(3600)


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        accepted = (mechanism == 'LOGIN' and auth_data.login == user.encode('utf-8') and
                    auth_data.password == password.encode('utf-8'))
        return AuthResult(success=accepted, handled=False, auth_data=auth_data)
    return authenticate


def serve_without_handshake(arguments):
    """A listener that never accepts: the kernel completes TCP, nobody answers TLS."""
    listener = socket.socket()
    listener.bind(('127.0.0.1', arguments.port))
    listener.listen(8)
    write_atomically(arguments.port_file, str(listener.getsockname()[1]))
    while True:
        time.sleep(3600)


def main():
    arguments = parse_arguments()
    # aiosmtpd warns about its own deprecated attributes on every login.
    logging.getLogger('mail.log').setLevel(logging.ERROR)
    if arguments.mode == 'no-handshake':
        serve_without_handshake(arguments)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(arguments.cert, arguments.key)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Handler(arguments.store)
    authenticator = make_authenticator(arguments.user, arguments.password)
    connections = 0

    def factory():
        nonlocal connections
        connections += 1
        faulty = arguments.faulty_connections <= 0 or connections <= arguments.faulty_connections
        # Implicit TLS is invisible to aiosmtpd, so AUTH must not ask for STARTTLS.
        return Server(handler, arguments.mode if faulty else 'normal', arguments.trickle_delay,
                      hostname='localhost', authenticator=authenticator, auth_require_tls=False,
                      loop=loop)

    server = loop.run_until_complete(
        loop.create_server(factory, host='127.0.0.1', port=arguments.port, ssl=context))
    write_atomically(arguments.port_file, str(server.sockets[0].getsockname()[1]))
    loop.run_forever()


if __name__ == '__main__':
    sys.exit(main())
