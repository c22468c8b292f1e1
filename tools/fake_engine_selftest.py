#!/usr/bin/env python3
"""Checks fake_engine.py from the outside: each engine's request as our program sends it, over plain sockets,
must come back with a translation that the program's reply markers cut out exactly; the recording, the
connection rules, the reply modes, the https side and the process lifetime are checked too."""

import base64
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

FORM = "application/x-www-form-urlencoded"

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE = os.path.join(HERE, "fake_engine.py")
TIMEOUT = 5.0


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("condition not met in %.0f s" % timeout)


def read_ports(path):
    try:
        with open(path, encoding="ascii") as source:
            return json.load(source)
    except (OSError, ValueError):
        return None


def start_fake(port_file, *extra):
    process = subprocess.Popen([sys.executable, FAKE, "--port-file", port_file, *extra])
    try:
        return process, wait_for(lambda: read_ports(port_file))
    except AssertionError:
        process.kill()
        process.wait()
        raise


def process_gone(pid):
    try:
        with open("/proc/%d/stat" % pid, encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


# The program's text codecs and reply markers, as the C++ code implements them.


def encode_url_text(text):
    data = text.encode("utf-8")
    out = []
    i = 0
    while i < len(data):
        byte = data[i]
        hexdigits = b"0123456789ABCDEFabcdef"
        if byte == 0x25 and i + 2 < len(data) and data[i + 1] in hexdigits and data[i + 2] in hexdigits:
            out.append(data[i : i + 3].decode("ascii"))
            i += 3
            continue
        if byte < 0x21 or byte > 0x7E or not (chr(byte).isalnum() or chr(byte) in "-._~"):
            out.append("%%%02X" % byte)
        else:
            out.append(chr(byte))
        i += 1
    return "".join(out)


def text_between(start, source, end):
    at = source.find(start)
    if not start or not end or at < 0:
        return ""
    rest = source[at + len(start) :]
    stop = rest.find(end)
    return rest[:stop] if stop >= 0 else ""


def collect_between(start, end, source):
    a = source.find(start)
    c = source.find(end, a + len(start) + 1) if a >= 0 else -1
    if a < 0 or c < 0:
        return None
    items = []
    while a >= 0 and c >= 0:
        items.append(source[a + len(start) : c])
        a = source.find(start, c)
        c = source.find(end, a + len(start) + 1) if a >= 0 else -1
    return items


def unescape_text(text):
    text = text.replace("\\/", "/")
    out = []
    i = 0
    while i < len(text):
        if text.startswith("\\u", i):
            digits = text[i + 2 : i + 6]
            run = len(digits) - len(digits.lstrip("0123456789abcdefABCDEF"))
            out.append(chr(int(digits[:run] or "0", 16)))
            i += 6
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def extract(engine, reply):
    if engine == "google":
        piece = text_between('"trans":"', reply, '"')
    elif engine == "bing":
        piece = text_between('"', reply, '"')
    elif engine == "yandex":
        piece = text_between('"text":["', reply, '"]')
    elif engine == "babylon":
        piece = text_between('"translatedText":"', reply, '"')
    elif engine == "promt":
        tag = "\\u003c/span\\u003e"
        piece = text_between(tag + " ", reply, tag) if tag in reply else text_between('"result":"', reply, '"')
    else:
        piece = collect_between('value="1010/noun:common" id="token_1">', "</span>", reply)[1]
    return unescape_text(piece)


BABYLON_IDS = {"en": "0", "ru": "7", "de": "6"}
PROMT_COOKIE = ("BrowserTypeTouch=desktop; UserParams=prmtULang=ru; LoggedUserParams=loggedOn=false&userLogin=&"
                "sessionID=&userName=&encodedUserName=&userSurname=; prmtULang=ru; tooltip=1; "
                "selDirText=selectedDir=ru-en&selectedTpl=auto&detectedTpl=General")
ACCEPT_LANGUAGE = "ru-RU,ru;q=0.8,en-US;q=0.6,en;q=0.4"


def engine_request(engine, text, src, dst, host):
    """(method, target, headers, body) as the program builds them; POSTs go out as HTTP/1.0."""
    enc = encode_url_text(text)
    if engine == "google":
        return "GET", "/translate_a/t?client=dict-chrome-ex&q=%s&sl=%s&tl=%s&tbb=1&ie=UTF-8&oe=UTF-8" % (
            enc, src, dst), [], b""
    if engine == "bing":
        return "GET", "/v2/ajax.svc/Translate?&appId=5F19C0A7E2B84D3361A0C9F7E4D2B8A190C3E57B&from=%s&to=%s&text=%s" % (
            src, dst, enc), [], b""
    if engine == "yandex":
        return "GET", ("/api/v1/tr.json/translate?id=3c8d1f70.2e4a9b61.7d05c3aa-0-0&srv=tr-text&lang=%s-%s"
                       "&reason=auto&text=%s&options=4") % (src, dst, enc), [], b""
    if engine == "babylon":
        return "GET", ("/translate/babylon.php?v=1.0&q=%s&langpair=%s%%7C%s&callback=babylonTranslator.callback"
                       "&context=babylon.7.0._babylon_api_response") % (
                           enc, BABYLON_IDS.get(src, ""), BABYLON_IDS.get(dst, "")), [], b""
    if engine == "promt":
        head = "{ dirCode:'au-" + dst if src == "auto" else "{ dirCode:'" + src + "-" + dst
        body = head + "', template:'auto', text:'" + enc + \
            "', lang:'ru', limit:3000,useAutoDetect:true, key:'', ts:'MainSite',tid:'',IsMobile:false}"
        headers = ["Content-Type: application/json; charset=UTF-8", "X-Requested-With: XMLHttpRequest",
                   "DNT: 1", "Referer: http://%s/" % host, "Accept-Language: " + ACCEPT_LANGUAGE,
                   "Cookie: " + PROMT_COOKIE]
        return "POST", "/services/TranslationService.asmx/GetTranslateNew", headers, body.encode("utf-8")
    cookie = "txtPop=0; lphistory=" + ("en_" + dst if src == "auto" else src + "_" + dst) + ";"
    headers = ["Content-Type: application/x-www-form-urlencoded; charset=UTF-8", "DNT: 1",
               "Referer: http://%s/translate" % host, "Accept-Language: " + ACCEPT_LANGUAGE, "Cookie: " + cookie]
    body = b"<html><body>" + text.encode("utf-8") + b"</body></html>"
    return "POST", "/sai?gui=WebUI&lp=ru_en&sessionid=27418096530172645&service=systranettranslate", headers, body


def compose(method, target, host, headers=(), body=b"", version="HTTP/1.1"):
    lines = ["%s %s %s" % (method, target, version), "Host: " + host, "Accept: text/html, */*"] + list(headers)
    if body or method == "POST":
        lines.append("Content-Length: %d" % len(body))
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def dechunk(data):
    """(body, size lines, trailer lines) of a complete chunked body, None while incomplete."""
    body, sizes, pos = b"", [], 0
    while True:
        nl = data.find(b"\r\n", pos)
        if nl < 0:
            return None
        line = data[pos:nl].decode("latin-1")
        sizes.append(line)
        size = int(line.split(";")[0], 16)
        pos = nl + 2
        if size == 0:
            end = data.find(b"\r\n\r\n", pos - 2)
            if end < 0:
                return None
            trailers = data[pos : end + 2].decode("latin-1").split("\r\n")
            return body, sizes, [t for t in trailers if t]
        if len(data) < pos + size + 2:
            return None
        body += data[pos : pos + size]
        pos += size + 2


class Response:
    def __init__(self, status_line, header_lines, body, raw_body):
        self.status_line = status_line
        self.status = int(status_line.split(" ")[1])
        self.header_lines = header_lines
        self.body = body
        self.raw_body = raw_body

    def header(self, name):
        for line in self.header_lines:
            key, _, value = line.partition(":")
            if key.lower() == name.lower():
                return value.strip()
        return None


class Client:
    """One connection to the fake, reading answers by their own framing."""

    def __init__(self, port, tls_context=None, server_hostname=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        if tls_context:
            self.sock = tls_context.wrap_socket(self.sock, server_hostname=server_hostname)
        self.buf = b""

    def close(self):
        self.sock.close()

    def _more(self):
        data = self.sock.recv(65536)
        self.buf += data
        return bool(data)

    def at_eof(self):
        """True when the server closed the connection and sent nothing more."""
        try:
            return not self.buf and not self._more()
        except ssl.SSLError:
            return True

    def send(self, data):
        self.sock.sendall(data)

    def exchange(self, data):
        self.send(data)
        return self.response()

    def response(self):
        while b"\r\n\r\n" not in self.buf:
            if not self._more():
                raise EOFError(self.buf)
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        reply = Response(lines[0], lines[1:], b"", b"")
        length = reply.header("Content-Length")
        if length is not None:
            while len(self.buf) < int(length):
                if not self._more():
                    raise EOFError(self.buf)
            reply.body = reply.raw_body = self.buf[: int(length)]
            self.buf = self.buf[int(length) :]
        elif reply.header("Transfer-Encoding") == "chunked":
            while dechunk(self.buf) is None:
                if not self._more():
                    raise EOFError(self.buf)
            reply.raw_body, self.buf = self.buf, b""
            reply.body = dechunk(reply.raw_body)[0]
        else:
            while self._more():
                pass
            reply.body = reply.raw_body = self.buf
            self.buf = b""
        return reply


class FakeEngineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.certs = os.path.join(cls.dir.name, "certs")
        subprocess.run(["bash", os.path.join(HERE, "make_test_certs.sh"), cls.certs], check=True, timeout=30)
        cls.process, ports = start_fake(os.path.join(cls.dir.name, "ports.json"), "--cert",
                                        os.path.join(cls.certs, "server.pem"), "--key",
                                        os.path.join(cls.certs, "server.key"))
        cls.http, cls.https = ports["http"], ports["https"]
        cls.host = "127.0.0.1:%d" % cls.http

    @classmethod
    def tearDownClass(cls):
        cls.process.terminate()
        cls.process.wait(10)
        cls.dir.cleanup()

    def setUp(self):
        self.control("POST", "/_fake/reset")

    def control(self, method, path, obj=None):
        body = json.dumps(obj).encode() if obj is not None else b""
        client = Client(self.http)
        try:
            reply = client.exchange(compose(method, path, self.host, ["Connection: close"], body))
        finally:
            client.close()
        return reply.status, json.loads(reply.body)

    def mode(self, **fields):
        status, answer = self.control("POST", "/_fake/mode", fields)
        self.assertEqual((200, {"ok": True}), (status, answer))

    def records(self):
        return self.control("GET", "/_fake/requests")[1]

    def ask(self, engine, text="Hello world", src="en", dst="ru", client=None, port=None):
        method, target, headers, body = engine_request(engine, text, src, dst, self.host)
        version = "HTTP/1.0" if method == "POST" else "HTTP/1.1"
        own = client is None
        client = client or Client(port or self.http)
        try:
            return client.exchange(compose(method, target, self.host, headers, body, version))
        finally:
            if own:
                client.close()

    def test_each_engine_answers_a_translation_its_markers_cut_out(self):
        cases = [
            ("google", "Hello wörld & Ж", "en", "ru", "ru: HELLO WöRLD & Ж", "application/json"),
            ("bing", "it's 100% <b>", "en", "de", "de: IT'S 100% <B>", "application/json"),
            ("yandex", "tab\there\\", "", "de", "de: TAB\\tHERE\\\\", "application/json"),
            ("babylon", "Привет", "en", "ru", "7: Привет", "application/javascript"),
            ("promt", "it's 100%25 done", "auto", "en", "en: IT'S 100% DONE", "application/json"),
            ("promt", "Жук & co", "en", "ru", "ru: Жук & CO", "application/json"),
            ("systran", "Жx & <y>", "auto", "de", "de: ЖX & <Y>", "text/html"),
        ]
        for engine, text, src, dst, expected, content_type in cases:
            with self.subTest(engine=engine, text=text):
                reply = self.ask(engine, text, src, dst)
                self.assertEqual(200, reply.status, reply.body)
                self.assertEqual(content_type, reply.header("Content-Type"))
                self.assertNotIn(b"\\u0", reply.body)
                # SYSTRAN's text/html reaches the program one character per byte.
                charset = "latin-1" if engine == "systran" else "utf-8"
                expected = expected.encode("utf-8").decode(charset)
                self.assertEqual(expected, extract(engine, reply.body.decode(charset)))
        # Promt's quote came percent-encoded; the JSON escape of the quote ends the piece at its backslash.
        promt = self.ask("promt", 'a"b', "en", "ru")
        self.assertIn(b'"result":"ru: A\\"B"', promt.body)

    def test_records_requests_exactly_and_leaves_control_out(self):
        client = Client(self.http)
        self.ask("google", client=client)
        self.ask("bing", client=client)
        client.close()
        self.ask("promt", "x y")
        records = self.records()
        self.assertEqual(3, len(records))
        first, second, promt = records
        self.assertEqual(first["conn"], second["conn"])
        self.assertNotEqual(first["conn"], promt["conn"])
        self.assertEqual((self.http, False, None), (first["port"], first["tls"], first["sni"]))
        self.assertEqual("GET /translate_a/t?client=dict-chrome-ex&q=Hello%20world&sl=en&tl=ru&tbb=1&ie=UTF-8"
                         "&oe=UTF-8 HTTP/1.1", first["request_line"])
        self.assertEqual(["Host: " + self.host, "Accept: text/html, */*"], first["headers"])
        self.assertEqual("", first["body_b64"])
        self.assertEqual("POST /services/TranslationService.asmx/GetTranslateNew HTTP/1.0", promt["request_line"])
        body = base64.b64decode(promt["body_b64"]).decode()
        self.assertTrue(body.startswith("{ dirCode:'en-ru', template:'auto', text:'x%20y'"), body)
        self.assertIn("Content-Length: %d" % len(body), promt["headers"])
        self.control("POST", "/_fake/reset")
        self.assertEqual([], self.records())

    def test_keeps_connections_alive_as_http_says(self):
        target = engine_request("google", "a", "en", "ru", self.host)[1]
        # HTTP/1.1 stays open until the client says close.
        client = Client(self.http)
        self.assertIsNone(client.exchange(compose("GET", target, self.host)).header("Connection"))
        closing = client.exchange(compose("GET", target, self.host, ["Connection: close"]))
        self.assertEqual("close", closing.header("Connection"))
        self.assertTrue(client.at_eof())
        client.close()
        # HTTP/1.0 closes unless asked to keep the connection, which the answer confirms.
        client = Client(self.http)
        reply = client.exchange(compose("GET", target, self.host, ["Connection: Keep-Alive"], version="HTTP/1.0"))
        self.assertEqual("keep-alive", reply.header("Connection"))
        reply = client.exchange(compose("GET", target, self.host, version="HTTP/1.0"))
        self.assertEqual((200, "close"), (reply.status, reply.header("Connection")))
        self.assertTrue(client.at_eof())
        client.close()
        conns = [r["conn"] for r in self.records()]
        self.assertEqual([conns[0]] * 2 + [conns[2]] * 2, conns)
        self.assertNotEqual(conns[0], conns[2])

    def test_body_modes_carry_the_same_answer(self):
        normal = self.ask("yandex", "Жук")
        self.assertEqual(200, normal.status)
        decoders = {
            "gzip": lambda data: zlib.decompress(data, 31),
            "deflate": zlib.decompress,
            "deflate-raw": lambda data: zlib.decompress(data, -15),
        }
        for name, decode in decoders.items():
            with self.subTest(mode=name):
                self.mode(engine="yandex", mode=name, times=1)
                reply = self.ask("yandex", "Жук")
                self.assertEqual("deflate" if name.startswith("deflate") else "gzip",
                                 reply.header("Content-Encoding"))
                self.assertEqual(normal.body, decode(reply.body))
        self.mode(mode="chunked", chunk=10, times=1)
        reply = self.ask("yandex", "Жук")
        self.assertIsNone(reply.header("Content-Length"))
        body, sizes, trailers = dechunk(reply.raw_body)
        self.assertEqual(normal.body, body)
        self.assertEqual("a;ext=1", sizes[0])
        self.assertEqual(["a"] * (len(sizes) - 3), sizes[1:-2])
        self.assertLessEqual(int(sizes[-2], 16), 10)
        self.assertEqual("0", sizes[-1])
        self.assertEqual(["X-Fake-Trailer: end"], trailers)

        self.mode(mode="no-length", times=1)
        client = Client(self.http)
        reply = self.ask("yandex", "Жук", client=client)
        self.assertEqual((None, "close"), (reply.header("Content-Length"), reply.header("Connection")))
        self.assertEqual(normal.body, reply.body)
        client.close()

        self.mode(mode="charset", value="text/html; charset=windows-1251", times=1)
        reply = self.ask("yandex", "Жук")
        self.assertEqual("text/html; charset=windows-1251", reply.header("Content-Type"))
        self.assertEqual(normal.body.decode("utf-8"), reply.body.decode("cp1251"))

        self.mode(mode="escaped", times=1)
        reply = self.ask("yandex", "Жук \U0001F600")
        self.assertIn(b'"ru: \\u0416\\u0443\\u043a \\ud83d\\ude00"', reply.body)
        self.assertEqual(json.loads(reply.body), json.loads(self.ask("yandex", "Жук \U0001F600").body))

        # The first token damaged, wherever the engine's reply holds it and however it is written there.
        tokens = "Open [X1X] and [X2X]"
        damaged = {"drop": "ru: OPEN  AND [X2X]", "duplicate": "ru: OPEN [X1X][X1X] AND [X2X]",
                   "translate": "ru: OPEN [XONEX] AND [X2X]", "move": "ru: OPEN [X2X] AND [X1X]"}
        for how, expected in damaged.items():
            with self.subTest(how=how):
                self.mode(engine="yandex", mode="damage-tokens", how=how, times=1)
                self.assertEqual(expected, extract("yandex", self.ask("yandex", tokens).body.decode("utf-8")))
        self.mode(engine="bing", mode="damage-tokens", how="drop", times=1)
        reply = self.ask("bing", 'A <x id="1"/> b <x id="2"></x>')
        self.assertEqual('ru: A  B <X ID="2"></X>', json.loads(reply.body.decode("utf-8-sig")))
        self.assertEqual(400, self.control("POST", "/_fake/mode", {"mode": "damage-tokens", "how": "eat"})[0])

        self.mode(mode="set-cookie", cookies=["a=1; Path=/", "b=2"], headers=["X-Extra: yes"], times=1)
        reply = self.ask("yandex", "Жук")
        self.assertEqual(["X-Extra: yes", "Set-Cookie: a=1; Path=/", "Set-Cookie: b=2"], reply.header_lines[-3:])
        self.assertEqual(normal.body, reply.body)
        # Every mode above was used up by its one request.
        self.assertIsNone(self.ask("yandex", "Жук").header("Set-Cookie"))

    def test_redirect_chain_ends_at_the_answer_to_the_first_request(self):
        self.mode(engine="promt", mode="redirect", status=303, hops=2, location="absolute",
                  headers=["Set-Cookie: hop=1"])
        first = self.ask("promt", "x")
        self.assertEqual("HTTP/1.1 303 See Other", first.status_line)
        path = "/services/TranslationService.asmx/GetTranslateNew"
        self.assertEqual("http://%s%s?hop=1" % (self.host, path), first.header("Location"))
        self.assertEqual("hop=1", first.header("Set-Cookie"))
        second = self.ask_get(path + "?hop=1")
        self.assertEqual((303, "http://%s%s?hop=2" % (self.host, path)), (second.status, second.header("Location")))
        final = self.ask_get(path + "?hop=2")
        self.assertEqual((200, "ru: X"), (final.status, extract("promt", final.body.decode())))
        # The chain used the mode up only when it ended; the next request opens a new one.
        self.assertEqual(303, self.ask("promt", "x").status)

        self.mode(engine="google", mode="redirect", status=307, times=1)
        first = self.ask("google", "y")
        location = first.header("Location")
        self.assertEqual((307, "/translate_a/t?"), (first.status, location[:15]))
        self.assertTrue(location.endswith("&oe=UTF-8&hop=1"), location)
        final = self.ask_get(location)
        self.assertEqual("ru: Y", extract("google", final.body.decode()))
        self.assertEqual(200, self.ask("google", "y").status)

    def ask_get(self, target):
        client = Client(self.http)
        try:
            return client.exchange(compose("GET", target, self.host))
        finally:
            client.close()

    def test_status_mode_counts_its_times(self):
        self.mode(engine="bing", mode="status", code=429, headers=["Retry-After: 7"], times=2)
        self.mode(engine="google", mode="status", code=200, body="<html>no markers</html>")
        for _ in range(2):
            reply = self.ask("bing")
            self.assertEqual(("HTTP/1.1 429 Too Many Requests", "7"), (reply.status_line, reply.header("Retry-After")))
        self.assertEqual(200, self.ask("bing").status)
        self.assertEqual(b"<html>no markers</html>", self.ask("google").body)
        self.assertEqual("", extract("google", self.ask("google").body.decode()))

    def test_broken_answers(self):
        target = engine_request("bing", "hi", "en", "de", self.host)[1]
        request = compose("GET", target, self.host)

        self.mode(mode="close-before-status", times=1)
        client = Client(self.http)
        client.send(request)
        self.assertTrue(client.at_eof())
        client.close()

        self.mode(mode="close-mid-body", times=1)
        client = Client(self.http)
        with self.assertRaises(EOFError):
            client.exchange(request)
        client.close()

        self.mode(mode="garbage", bytes="HTTP/9 \xff\x00 nonsense", times=1)
        client = Client(self.http)
        client.send(request)
        while client._more():
            pass
        self.assertEqual(b"HTTP/9 \xff\x00 nonsense", client.buf)
        client.close()

        self.mode(mode="stall", seconds=0.3, times=1)
        started = time.monotonic()
        self.assertEqual(200, self.ask("bing").status)
        self.assertGreaterEqual(time.monotonic() - started, 0.3)

        self.mode(mode="stall-mid-body", seconds=0.3, times=1)
        self.assertEqual("de: HI", extract("bing", self.ask("bing", "hi", "en", "de").body.decode("utf-8")))

        # A stall without a limit ends when the client gives up; the server goes on serving.
        self.mode(mode="stall", times=1)
        client = Client(self.http)
        client.sock.settimeout(0.3)
        client.send(request)
        with self.assertRaises(socket.timeout):
            client.response()
        client.close()
        self.assertEqual(200, self.ask("bing").status)

    def test_hostile_answers_go_on_until_the_client_closes(self):
        target = engine_request("google", "a", "en", "ru", self.host)[1]
        request = compose("GET", target, self.host)

        self.mode(mode="gzip-bomb", times=2)
        first = self.ask("google")
        self.assertEqual(("gzip", 200), (first.header("Content-Encoding"), first.status))
        self.assertTrue(150000 < len(first.body) < 300000, len(first.body))
        unpacker = zlib.decompressobj(31)
        size = 0
        data = first.body
        while data:
            piece = unpacker.decompress(data, 1 << 24)
            self.assertEqual(piece.count(0), len(piece))
            size += len(piece)
            data = unpacker.unconsumed_tail
        self.assertEqual(200 << 20, size)
        self.assertTrue(unpacker.eof)
        # Made once: the second answer is the same member.
        self.assertEqual(first.body, self.ask("google").body)

        self.mode(mode="trickle", interval_ms=40, times=1)
        client = Client(self.http)
        client.send(request)
        started = time.monotonic()
        while len(client.buf) < 6:
            self.assertTrue(client._more())
        self.assertEqual(b"HTTP/1", client.buf[:6])
        self.assertGreaterEqual(time.monotonic() - started, 0.2)
        client.close()

        self.mode(mode="endless-continue", interval_ms=5, times=1)
        client = Client(self.http)
        client.send(request)
        interim = b"HTTP/1.1 100 Continue\r\n\r\n"
        while len(client.buf) < 3 * len(interim):
            self.assertTrue(client._more())
        self.assertEqual(interim * 3, client.buf[: 3 * len(interim)])
        client.close()

        self.mode(mode="endless-chunks", chunk=1000, times=1)
        client = Client(self.http)
        client.send(request)
        while b"\r\n\r\n" not in client.buf or len(client.buf) < 100000:
            self.assertTrue(client._more())
        head, _, body = client.buf.partition(b"\r\n\r\n")
        self.assertIn(b"\r\nTransfer-Encoding: chunked", head)
        self.assertTrue(body.startswith(b"3e8\r\n" + b"x" * 1000 + b"\r\n3e8\r\n"))
        client.close()

        # Every client above left; the server answers as before.
        self.assertEqual("ru: A", extract("google", self.ask("google", "a").body.decode()))
        for bad in ({"mode": "gzip-bomb", "megabytes": 0}, {"mode": "trickle", "interval_ms": -1},
                    {"mode": "endless-chunks", "chunk": 0}, {"mode": "endless-continue", "chunk": 1}):
            with self.subTest(bad=bad):
                self.assertEqual(400, self.control("POST", "/_fake/mode", bad)[0])

    def test_rejects_malformed_input_and_keeps_serving(self):
        target = engine_request("google", "a", "en", "ru", self.host)[1]
        bad = [
            b"NONSENSE\r\n\r\n",
            b"GET / HTTP/1.1 extra\r\nHost: x\r\n\r\n",
            ("GET %s HTTP/1.1\r\n\r\n" % target).encode(),  # no Host
            ("GET %s HTTP/1.1\r\nHost: x\r\nBroken line\r\n\r\n" % target).encode(),
            ("POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab" % target).encode(),
        ]
        for raw in bad:
            with self.subTest(request=raw):
                client = Client(self.http)
                reply = client.exchange(raw)
                self.assertEqual((400, "close"), (reply.status, reply.header("Connection")))
                self.assertTrue(client.at_eof())
                client.close()
        self.assertEqual(404, self.ask_get("/nowhere").status)
        self.assertEqual(405, self.ask_get("/sai").status)
        self.assertEqual(400, self.ask_get("/translate_a/t?q=a&sl=en").status)
        for bad in ({"mode": "bogus"}, {"mode": "gzip", "engine": "altavista"}, {"mode": "garbage"},
                     {"mode": "gzip", "times": 0}, {"mode": "status", "colour": 1}, [1]):
            with self.subTest(bad=bad):
                status, answer = self.control("POST", "/_fake/mode", bad)
                self.assertEqual(400, status)
                self.assertIn("error", answer)
        self.assertEqual(200, self.ask("google").status)

    def test_libretranslate_answers_json_and_refuses_what_is_not(self):
        def post(body):
            client = Client(self.http)
            try:
                return client.exchange(compose("POST", "/translate", self.host, ["Content-Type: application/json"],
                                               body))
            finally:
                client.close()

        good = json.dumps({"q": "Hello Ж", "source": "en", "target": "de", "format": "text"}).encode()
        reply = post(good)
        self.assertEqual((200, {"translatedText": "de: HELLO Ж"}), (reply.status, json.loads(reply.body)))
        self.assertEqual(good, base64.b64decode(self.records()[0]["body_b64"]))
        for bad in (b"q=Hello", b"[1]", json.dumps({"q": "a", "source": "en"}).encode()):
            with self.subTest(body=bad):
                reply = post(bad)
                self.assertEqual(400, reply.status)
                self.assertIn("error", json.loads(reply.body))
        self.mode(engine="libretranslate", mode="status", code=429, times=1, headers=["Retry-After: 120"])
        reply = post(good)
        self.assertEqual((429, "120"), (reply.status, reply.header("Retry-After")))

    def test_apertium_answers_a_get_a_form_post_and_its_pairs(self):
        def exchange(method, target, headers=(), body=b""):
            client = Client(self.http)
            try:
                return client.exchange(compose(method, target, self.host, ["Connection: close", *headers], body))
            finally:
                client.close()

        query = "q=Hello%20%C3%B1&langpair=en%7Ces&markUnknown=no"
        for reply in (exchange("GET", "/translate?" + query),
                      exchange("POST", "/translate", ["Content-Type: application/x-www-form-urlencoded"],
                               query.encode())):
            self.assertEqual(200, reply.status)
            self.assertEqual("application/json; charset=UTF-8", reply.header("Content-Type"))
            # Raw UTF-8, as the real service sends it.
            self.assertIn("es: HELLO ñ".encode(), reply.body)
            self.assertEqual("es: HELLO ñ", json.loads(reply.body)["responseData"]["translatedText"])
        refused = exchange("GET", "/translate?q=a&langpair=en")
        self.assertEqual((400, "That pair is invalid, use e.g. eng|spa"),
                         (refused.status, json.loads(refused.body)["explanation"]))
        pairs = exchange("GET", "/listPairs")
        self.assertEqual([{"sourceLanguage": "eng", "targetLanguage": "spa"}], json.loads(pairs.body)["responseData"])
        self.mode(engine="apertium", mode="garbage", bytes="x", times=1)
        self.assertRaises(EOFError, exchange, "GET", "/translate?" + query)

    def test_deepl_checks_each_request_as_documented_and_answers_in_its_shapes(self):
        key = "DeepL-Auth-Key 0d5e3f2a-93b7-4d1e-a2c6-7f0e9b3d8a21:fx"

        def post(body, headers=("Authorization: " + key, "Content-Type: application/json"), target="/v2/translate"):
            client = Client(self.http)
            try:
                data = body if isinstance(body, bytes) else json.dumps(body).encode()
                return client.exchange(compose("POST", target, self.host, ["Connection: close", *headers], data))
            finally:
                client.close()

        reply = post({"text": ["Hello Ж", "a"], "source_lang": "EN", "target_lang": "zh-hant"})
        self.assertEqual((200, "application/json"), (reply.status, reply.header("Content-Type")))
        self.assertEqual({"translations": [{"detected_source_language": "EN", "text": "zh-hant: HELLO Ж"},
                                           {"detected_source_language": "EN", "text": "zh-hant: A"}]},
                         json.loads(reply.body))
        self.assertIn("HELLO Ж".encode(), reply.body)
        form = post(b"text=a&text=b&target_lang=DE", ("Authorization: " + key, "Content-Type: " + FORM))
        self.assertEqual(["DE: A", "DE: B"], [t["text"] for t in json.loads(form.body)["translations"]])
        refused = [
            ({"text": ["a"], "target_lang": "DE"}, ("Content-Type: application/json",), 403),
            ({"text": ["a"], "target_lang": "DE"}, ("Authorization: Bearer x", "Content-Type: application/json"), 403),
            ({"text": ["a"], "target_lang": "DE", "auth_key": "k"}, None, 403),
            ({"text": ["a"], "target_lang": "DE"}, ("Authorization: " + key, "Content-Type: text/plain"), 415),
            ({"text": [], "target_lang": "DE"}, None, 400),
            ({"text": ["a"] * 51, "target_lang": "DE"}, None, 413),
            ({"text": ["x" * (128 * 1024)], "target_lang": "DE"}, None, 413),
            ({"text": ["a"], "target_lang": "EN"}, None, 400),
            ({"text": ["a"], "target_lang": "PT"}, None, 400),
            ({"text": ["a"], "source_lang": "EN-GB", "target_lang": "DE"}, None, 400),
            (b"{not json", None, 400),
        ]
        for body, headers, status in refused:
            with self.subTest(body=str(body)[:60], headers=headers):
                reply = post(body, headers) if headers else post(body)
                self.assertEqual(status, reply.status)
                self.assertTrue(json.loads(reply.body)["message"])
        self.assertEqual(403, post({"text": ["a"], "target_lang": "DE"}, target="/v2/translate?auth_key=k").status)
        self.assertEqual(200, post({"text": ["a"] * 50, "target_lang": "EN-US"}).status)
        # The vendor's error shapes, an empty body among them, and a mode for one text alone.
        self.mode(engine="deepl", mode="status", code=456, content_type="application/json",
                  body='{"message":"Quota exceeded"}', times=1)
        reply = post({"text": ["a"], "target_lang": "DE"})
        self.assertEqual((456, {"message": "Quota exceeded"}), (reply.status, json.loads(reply.body)))
        self.mode(engine="deepl", mode="status", code=429, match="poison", seconds=0.2)
        self.assertEqual(200, post({"text": ["a"], "target_lang": "DE"}).status)
        start = time.monotonic()
        reply = post({"text": ["a", "poison"], "target_lang": "DE"})
        self.assertEqual((429, b""), (reply.status, reply.body))
        self.assertGreaterEqual(time.monotonic() - start, 0.2)

    def post(self, target, body, headers):
        client = Client(self.http)
        try:
            data = body if isinstance(body, bytes) else json.dumps(body).encode()
            return client.exchange(compose("POST", target, self.host, ["Connection: close", *headers], data))
        finally:
            client.close()

    def test_microsoft_checks_each_request_as_documented_and_answers_in_its_shapes(self):
        auth = ("Ocp-Apim-Subscription-Key: 9b2d7c41", "Content-Type: application/json; charset=UTF-8")
        target = "/translate?api-version=3.0&from=en&to=zh-Hant"
        reply = self.post(target, [{"Text": "Hello Ж"}, {"Text": "a"}], auth)
        self.assertEqual(200, reply.status)
        self.assertTrue(reply.body.startswith(b"\xef\xbb\xbf"))
        self.assertEqual([[{"text": "zh-Hant: HELLO Ж", "to": "zh-Hant"}], [{"text": "zh-Hant: A", "to": "zh-Hant"}]],
                         [item["translations"] for item in json.loads(reply.body.decode("utf-8-sig"))])
        html = self.post(target + "&textType=html", [{"Text": 'a <span class="notranslate">%s</span> <b>b</b>'}], auth)
        self.assertEqual('zh-Hant: A <span class="notranslate">%s</span> <b>B</b>',
                         json.loads(html.body.decode("utf-8-sig"))[0]["translations"][0]["text"])
        # A span's piece holding no number is damaged in its letters.
        self.mode(engine="microsoft", mode="damage-tokens", how="translate", times=1)
        html = self.post(target + "&textType=html", [{"Text": 'a <span class="notranslate">%s</span>'}], auth)
        self.assertEqual('zh-Hant: A <SPAN CLASS="NOTRANSLATE">%S</SPAN>',
                         json.loads(html.body.decode("utf-8-sig"))[0]["translations"][0]["text"])
        # A POST to /translate without api-version is still LibreTranslate's.
        self.assertEqual(400, self.post("/translate", [{"Text": "a"}], auth[1:]).status)
        refused = [
            (target, [{"Text": "a"}], auth[1:], 401000),
            (target + "&Subscription-Key=9b2d7c41", [{"Text": "a"}], auth, 401000),
            ("/translate?api-version=2.0&to=de", [{"Text": "a"}], auth, 400021),
            ("/translate?api-version=3.0&to=zh-TW", [{"Text": "a"}], auth, 400036),
            (target, [{"text": "a"}], auth, 400074),
            (target, [{"Text": "a"}] * 1001, auth, 400072),
            (target, [{"Text": "x" * 25001}] * 2, auth, 400077),
            (target, [{"Text": "a"}], auth[:1] + ("Content-Type: text/plain",), 415000),
        ]
        for path, body, headers, code in refused:
            with self.subTest(path=path, code=code):
                reply = self.post(path, body, headers)
                self.assertEqual((code // 1000, code), (reply.status, json.loads(reply.body)["error"]["code"]))
        self.assertEqual(200, self.post(target, [{"Text": "x" * 25000}] * 2, auth).status)
        self.mode(engine="microsoft", mode="status", code=429, times=1)
        self.assertEqual((429, b""), (lambda r: (r.status, r.body))(self.post(target, [{"Text": "a"}], auth)))

    def test_google_cloud_checks_each_request_as_documented_and_answers_in_its_shapes(self):
        auth = ("x-goog-api-key: AIzaSyD-3f9c", "Content-Type: application/json; charset=utf-8")
        target = "/language/translate/v2"
        reply = self.post(target, {"q": ["it's Ж", "a"], "source": "en", "target": "zh-TW", "format": "text"}, auth)
        self.assertEqual(200, reply.status)
        self.assertEqual({"data": {"translations": [{"translatedText": "zh-TW: IT'S Ж"}, {"translatedText": "zh-TW: A"}]}},
                         json.loads(reply.body))
        html = self.post(target, {"q": ['it\'s <span translate="no">%s</span>'], "target": "de"}, auth)
        self.assertEqual({"translatedText": 'de: IT&#39;S <span translate="no">%s</span>', "detectedSourceLanguage": "en"},
                         json.loads(html.body)["data"]["translations"][0])
        form = self.post(target, b"q=a&q=b&target=de&format=text", auth[:1] + ("Content-Type: " + FORM,))
        self.assertEqual(["de: A", "de: B"], [t["translatedText"] for t in json.loads(form.body)["data"]["translations"]])
        refused = [
            (target, {"q": ["a"], "target": "de"}, auth[1:], 403),
            (target + "?key=AIzaSyD-3f9c", {"q": ["a"], "target": "de"}, auth, 400),
            (target, {"q": ["a"], "target": "de", "key": "k"}, auth, 400),
            (target, {"q": [], "target": "de"}, auth, 400),
            (target, {"q": ["a"] * 129, "target": "de"}, auth, 400),
            (target, {"q": ["a"], "target": "zh-Hant"}, auth, 400),
            (target, {"q": ["a"]}, auth, 400),
            (target, b"{not json", auth, 400),
        ]
        for path, body, headers, status in refused:
            with self.subTest(path=path, body=str(body)[:60]):
                reply = self.post(path, body, headers)
                self.assertEqual(status, reply.status)
                self.assertTrue(json.loads(reply.body)["error"]["message"])
        self.assertEqual(200, self.post(target, {"q": ["a"] * 128, "target": "de"}, auth).status)
        self.mode(engine="googlecloud", mode="status", code=403, content_type="application/json",
                  body='{"error":{"code":403,"message":"Daily Limit Exceeded"}}', times=1)
        self.assertEqual(403, self.post(target, {"q": ["a"], "target": "de"}, auth).status)

    def post_json(self, target, body, headers):
        client = Client(self.http)
        try:
            data = body if isinstance(body, bytes) else json.dumps(body).encode()
            return client.exchange(compose("POST", target, self.host,
                                           ["Connection: close", "Content-Type: application/json", *headers], data))
        finally:
            client.close()

    def test_yandexcloud_checks_each_request_as_documented_and_answers_in_its_shapes(self):
        key = ("Authorization: Api-Key AQVN0d5e3f2a",)

        def post(body, headers=key):
            return self.post_json("/translate/v2/translate", body, headers)

        reply = post({"sourceLanguageCode": "en", "targetLanguageCode": "ru", "format": "HTML",
                      "texts": ["Hello Ж", ""], "folderId": "b1g"})
        self.assertEqual((200, "application/json"), (reply.status, reply.header("Content-Type")))
        self.assertEqual({"translations": [{"text": "ru: HELLO Ж", "detectedLanguageCode": "en"},
                                           {"detectedLanguageCode": "en"}]}, json.loads(reply.body))
        self.assertEqual(200, post({"targetLanguageCode": "de", "texts": ["x" * 10000]}).status)
        refused = [
            ({"targetLanguageCode": "de", "texts": ["a"]}, (), 401),
            ({"targetLanguageCode": "de", "texts": ["a"]}, ("Authorization: Bearer t1",), 400),
            ({"targetLanguageCode": "de", "texts": ["a"], "sourceLanguage": "en"}, key, 400),
            ({"targetLanguageCode": "de", "texts": []}, key, 400),
            ({"targetLanguageCode": "de", "texts": ["x" * 5000, "y" * 5001]}, key, 400),
            ({"targetLanguageCode": "pt-BR", "texts": ["a"]}, key, 400),
            ({"targetLanguageCode": "de", "texts": ["a"], "format": "XML"}, key, 400),
            (b"{not json", key, 400),
        ]
        for body, headers, status in refused:
            with self.subTest(body=str(body)[:60], headers=headers):
                reply = post(body, headers)
                self.assertEqual(status, reply.status)
                self.assertTrue(json.loads(reply.body)["message"])

    def test_llm_checks_each_request_as_documented_and_streams_unless_told_not_to(self):
        system = {"role": "system", "content": "Translate from English (en) to Traditional Chinese (zh-TW)."}
        ask = {"model": "small", "messages": [system, {"role": "user", "content": "Hello Ж"}], "stream": False}

        def post(body, headers=("Authorization: Bearer sk-1",), target="/v1/chat/completions"):
            return self.post_json(target, body, headers)

        for target, headers in (("/v1/chat/completions", ()), ("/openai/v1/chat/completions", None)):
            reply = post(ask, headers) if headers is not None else post(ask, target=target)
            self.assertEqual((200, "application/json"), (reply.status, reply.header("Content-Type")))
            choice = json.loads(reply.body)["choices"][0]
            self.assertEqual(({"role": "assistant", "content": "zh-TW: HELLO Ж"}, "stop"),
                             (choice["message"], choice["finish_reason"]))
        thinking = json.loads(post({**ask, "model": "reasoner"}).body)["choices"][0]["message"]["content"]
        self.assertTrue(thinking.startswith("<think>") and thinking.endswith("</think>\n\nzh-TW: HELLO Ж"), thinking)
        streamed = post({name: value for name, value in ask.items() if name != "stream"})
        self.assertEqual((200, "text/event-stream"), (streamed.status, streamed.header("Content-Type")))
        self.assertTrue(streamed.body.endswith(b"data: [DONE]\n\n"), streamed.body)
        refused = [
            (ask, ("Authorization: Basic x",), 401),
            ({**ask, "temperature": 0}, None, 400),
            ({**ask, "max_tokens": 100}, None, 400),
            ({**ask, "model": ""}, None, 400),
            ({**ask, "stream": "no"}, None, 400),
            ({**ask, "messages": [{"role": "user", "content": "Hello"}]}, None, 400),
            ({**ask, "messages": [{"role": "system", "content": "Translate to ru."}, ask["messages"][1]]}, None, 400),
        ]
        for body, headers, status in refused:
            with self.subTest(body=str(body)[:80], headers=headers):
                reply = post(body, headers) if headers else post(body)
                self.assertEqual(status, reply.status)
                self.assertTrue(json.loads(reply.body)["error"]["message"])
        # The vendor's error shape through the status mode, an empty body among them.
        self.mode(engine="llm", mode="status", code=429, times=1)
        self.assertEqual((429, b""), (lambda r: (r.status, r.body))(post(ask)))

    def test_https_side_records_the_server_name(self):
        context = ssl.create_default_context(cafile=os.path.join(self.certs, "ca.pem"))
        client = Client(self.https, context, "localhost")
        reply = self.ask("yandex", "secure", "en", "de", client=client)
        client.close()
        self.assertEqual("de: SECURE", extract("yandex", reply.body.decode()))
        self.assertEqual([(self.https, True, "localhost")], [(r["port"], r["tls"], r["sni"]) for r in self.records()])


class LifetimeTest(unittest.TestCase):
    def test_ends_on_sigterm_and_when_its_parent_ends(self):
        with tempfile.TemporaryDirectory() as folder:
            process, _ = start_fake(os.path.join(folder, "a.json"))
            process.send_signal(signal.SIGTERM)
            self.assertEqual(0, process.wait(5))
            # A middle process starts the fake, waits until it listens and exits without stopping it.
            script = ("import subprocess, sys, os, time\n"
                      "p = subprocess.Popen([sys.executable, %r, '--port-file', %r])\n"
                      "while not os.path.exists(%r): time.sleep(0.02)\n"
                      "print(p.pid)\n") % (FAKE, os.path.join(folder, "b.json"), os.path.join(folder, "b.json"))
            orphan = int(subprocess.run([sys.executable, "-c", script], capture_output=True, check=True,
                                        timeout=10).stdout)
            try:
                wait_for(lambda: process_gone(orphan), 5)
            except AssertionError:
                os.kill(orphan, signal.SIGKILL)
                raise


if __name__ == "__main__":
    unittest.main()
