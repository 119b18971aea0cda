#!/usr/bin/env python3
"""Writes a session file (HAR 1.2 with Tarnwick's exact record bytes) of N entries for timing
"Open Session": python3 bench/make_session.py OUT.har [ENTRIES]. 100,000 entries make about 300 MB."""
import base64
import json
import sys

out, count = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
body = ('<p>' + 'Lorem ipsum dolor sit amet, consectetur adipiscing elit. ' * 14 + '</p>\n').encode()
with open(out, 'w') as f:
    f.write('{"log":{"version":"1.2","creator":{"name":"make_session","version":"1"},"entries":[\n')
    for i in range(count):
        name = f'261207{i // 3600 % 24:02}{i // 60 % 60:02}{i % 60:02}-{chr(65 + i % 26)}BCDE'
        url = f'http://site{i % 50}.test/page/{i}?q={i}'
        request = (f'GET {url} HTTP/1.1\r\nHost: site{i % 50}.test\r\nUser-Agent: bench/1.0\r\n'
                   'Accept: text/html,application/xhtml+xml\r\nAccept-Encoding: identity\r\n'
                   f'Cookie: session=abcdef{i}; theme=dark\r\n\r\n').encode()
        reply = (b'HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nServer: bench\r\n'
                 b'Content-Length: ' + str(len(body)).encode() + b'\r\n\r\n' + body)
        headers = [{'name': 'Host', 'value': f'site{i % 50}.test'}, {'name': 'User-Agent', 'value': 'bench/1.0'}]
        entry = {
            'startedDateTime': '2026-12-07T10:00:00.000+00:00', 'time': 0, 'cache': {},
            'timings': {'send': -1, 'wait': -1, 'receive': -1},
            'request': {'method': 'GET', 'url': url, 'httpVersion': 'HTTP/1.1', 'cookies': [], 'headers': headers,
                        'queryString': [{'name': 'q', 'value': str(i)}], 'headersSize': len(request), 'bodySize': 0},
            'response': {'status': 200, 'statusText': 'OK', 'httpVersion': 'HTTP/1.1', 'cookies': [],
                         'headers': [{'name': 'Content-Type', 'value': 'text/html; charset=utf-8'}],
                         'content': {'size': len(body), 'mimeType': 'text/html', 'text': body.decode()},
                         'redirectURL': '', 'headersSize': len(reply) - len(body), 'bodySize': len(body)},
            'serverIPAddress': '127.0.0.1',
            '_tarnwick': {'request': base64.b64encode(request).decode(), 'response': base64.b64encode(reply).decode(),
                          'cells': [f'site{i % 50}.test', '127.0.0.1', 'GET', url.split('?')[0], f'{len(request):,}',
                                    f'{len(reply):,}', 'DONE', name + '-Q.txt', name + '-A.txt', '200'],
                          'checked': i % 7 == 0, 'fullUrl': url}}
        f.write((',\n' if i else '') + json.dumps(entry, separators=(',', ':')))
    f.write('\n]}}\n')
