#!/usr/bin/env python3
"""A local stand-in for the six online translation engines and the configured ones, for tests and demos.

Usage: fake_engine.py --port-file PATH [--bind 127.0.0.1] [--cert server.pem --key server.key]

Listens on an http port and, with --cert, an https port (both picked by the system) and writes
{"http": N, "https": M} (https null without --cert) to PATH once both listen. Ends on SIGTERM or SIGINT, and by
itself when the process that started it ends, so a crashed test leaves no orphan.

HTTP is parsed here over raw sockets, so every request can be recorded byte for byte and every answer can be
made to misbehave on purpose. One thread per connection; keep-alive as HTTP/1.1 says (HTTP/1.0 only with
"Connection: keep-alive"); request bodies by Content-Length only.

Every engine answers the same deterministic "translation": TRANS = target + ": " + the text with ASCII letters
upper-cased ("ru: HELLO WORLD"); Babylon names the target by its numeric id ("7: HELLO WORLD"). Non-ASCII text
goes out as raw UTF-8; JSON strings escape only the quote, the backslash and control characters. Reply shapes,
with the text taken from where each engine's request carries it:

  Google   GET  /translate_a/t                q, sl, tl from the query                    application/json
           {"sentences":[{"trans":TRANS,"orig":TEXT,"backend":1}],"src":SL}
  Bing     GET  /v2/ajax.svc/Translate        text, from, to from the query               application/json
           the UTF-8 byte-order mark (EF BB BF), then TRANS as one JSON string
  Yandex   GET  /api/v1/tr.json/translate     text, lang=IN-OUT (split at the first "-")  application/json
           {"code":200,"lang":LANG,"text":[TRANS]}
  Babylon  GET  /translate/babylon.php        q, langpair=ID|ID (the target id after "|") application/javascript
           CALLBACK("CONTEXT", {"translatedText":TRANS}, 200, null, null);
           (callback and context echoed from the query)
  Promt    POST /services/TranslationService.asmx/GetTranslateNew                       application/json
           body { dirCode:'IN-OUT', ..., text:'PERCENT-ENCODED', ... } (target after the first "-")
           {"d":{"__type":"TranslationResult","result":TRANS,"errCode":0,"errMessage":null}}
  SYSTRAN  POST /sai                                                                      text/html
           body <html><body>UTF-8 TEXT</body></html>, cookie lphistory=IN_OUT (target after the first "_")
           <html><body><span class="token" value="1010/noun:common" id="token_1">IN_OUT</span> <span
           class="token" value="1010/noun:common" id="token_1">TRANS</span></body></html>
           (one line; the first token holds the pair, never empty, so the translation is the second token)
  LibreTranslate  POST /translate                                                        application/json
           body a JSON object with the strings q, source, target (format and api_key are taken but not checked)
           {"translatedText":TRANS}; a body that is not such an object answers 400 {"error": reason}
  Apertium GET  /translate, or POST /translate with a form body              application/json; charset=UTF-8
           q, langpair=IN|OUT (the target after "|") from the query or the form body (markUnknown is taken but
           not checked); JSON strings raw UTF-8 like the real service
           {"responseData": {"translatedText": TRANS}, "responseDetails": null, "responseStatus": 200};
           a langpair without "|" answers 400 {"status": "error", "code": 400, "message": "Bad Request",
           "explanation": "That pair is invalid, use e.g. eng|spa"}
           GET /listPairs: {"responseData": [{"sourceLanguage": "eng", "targetLanguage": "spa"}], ...}
  A POST to /translate is Microsoft's when its query holds api-version, else LibreTranslate's unless its
  Content-Type is application/x-www-form-urlencoded.
  DeepL    POST /v2/translate                                                             application/json
           checked as DeepL's API v2 documents it: the key only in "Authorization: DeepL-Auth-Key KEY" (none in
           the query or the body), a JSON body (or a form one, text repeated) of at most 128 KiB (else 413),
           "text" a list of 1 to 50 strings (else 400, or 413 above 50), "target_lang" a target DeepL takes (EN-GB
           or EN-US, PT-BR or PT-PT, never EN or PT alone; any case), "source_lang" (optional) a base code
           {"translations": [{"detected_source_language": SOURCE or "EN", "text": TARGET + ": " + TEXT}, ...]}
           with TEXT's ASCII letters upper-cased as everywhere and the target as sent ("DE: HELLO"); JSON strings
           raw UTF-8. What it refuses gets 403 (the key) or 400, 413 or 415 with {"message": reason}, as DeepL
           answers; DeepL's other errors come from the status mode (456 {"message": "Quota exceeded"}, 429 with an
           empty body, 529, 403 {"message": "Wrong endpoint. Use https://api.deepl.com"}).
  Microsoft POST /translate?api-version=3.0&to=TO[&from=FROM][&textType=plain|html]     application/json
           checked as Translator v3 documents it: the key in Ocp-Apim-Subscription-Key (none in the query), a JSON
           array of 1 to 1000 {"Text": ...} of at most 50,000 characters together, "to" a code Microsoft takes
           (zh-Hans, zh-Hant, pt, pt-pt; never zh-CN, zh-TW or pt-BR); refusals {"error": {"code": 401000 |
           400021 | 400035 | 400036 | 400064 | 400072 | 400074 | 400077 | 415000, "message": ...}}
           the byte order mark, then [{"translations": [{"text": TO + ": " + TEXT, "to": TO}]}, ...]; with
           textType=html only the text between the markup is upper-cased (a notranslate span's content stays)
  GoogleCloud POST /language/translate/v2                                         application/json; charset=UTF-8
           checked as Translation v2 documents it: the key in x-goog-api-key (never key= in the query or body), a
           JSON body (or a form one, q repeated), "q" 1 to 128 strings, "target" (zh-CN or zh-TW, never zh-Hant),
           "source" optional, "format" text or html (the default)
           {"data": {"translations": [{"translatedText": TARGET + ": " + TEXT}, ...]}}; in html only the text
           between the markup is upper-cased (a translate="no" span's content stays) and an apostrophe there is
           written &#39;; refusals {"error": {"code", "message", "status"}} (403 PERMISSION_DENIED without a key)
  YandexCloud POST /translate/v2/translate                                               application/json
           checked as Yandex Cloud's Translate API v2 documents it: "Authorization: Api-Key KEY" (or "Bearer
           TOKEN", which needs "folderId"; no key in the query), a JSON object of its fields only (an unknown one
           is 400), "texts" a list of strings of at most 10,000 characters together, "targetLanguageCode" (and an
           optional "sourceLanguageCode") a lower-case code of 2 or 3 letters, "format" PLAIN_TEXT, HTML or
           FORMAT_UNSPECIFIED, "folderId" a string when given
           {"translations": [{"text": TARGET + ": " + TEXT, "detectedLanguageCode": SOURCE or "en"}, ...]}, the
           text left out when empty (as protocol buffers' JSON does); refusals {"code": N, "message": reason,
           "details": []} with 401 (the key) or 400
  LLM      POST .../chat/completions (under any base path)                              application/json
           checked as the OpenAI chat completions API documents it: "Authorization: Bearer KEY" when any
           Authorization is sent, a JSON object with "model", "messages" (role and content objects) whose system
           message names the target in words and by its code ("to Traditional Chinese (zh-TW)"), no
           "temperature" or "max_tokens" (refused as newer models refuse them), "stream" a boolean
           {"choices": [{"message": {"role": "assistant", "content": CODE + ": " + TEXT}, "finish_reason":
           "stop"}], ...} for the last user message; a model whose name holds "reason" puts a <think> block
           first. Without "stream": false the answer streams (text/event-stream chunks, then "data: [DONE]"), as
           the servers do. Refusals {"error": {"message", "type", "param", "code"}} with 401 or 400.

Query values are form-decoded as UTF-8 ("+" is a space, bad UTF-8 becomes U+FFFD); Promt's text is
percent-decoded. A request missing what its engine needs answers 400 with a plain-text reason (LibreTranslate: a JSON one); the wrong method
405; an unknown path 404.

Control, on the http port only, never recorded, answers JSON:
  GET  /_fake/requests  every other request so far, in arrival order: {"conn", "port", "tls", "sni",
                        "request_line", "headers" (raw lines without CR LF), "body_b64"}; bytes of the request
                        line and headers are given one character per byte (latin-1)
  POST /_fake/reset     forget the records and every mode
  POST /_fake/mode      {"engine": google|bing|yandex|babylon|promt|systran|libretranslate|apertium|deepl|
                        microsoft|googlecloud|yandexcloud|llm|all
                        (default all),
                        "mode": ...,
                        "times": n (default until reset), "headers": [extra raw reply header lines],
                        "match": text (only requests whose target or body holds it take the mode), params}
An engine request takes the mode set for its engine, else the one set for "all", else "normal"; setting a mode
replaces the earlier one of the same engine key. A mode with "match" passes over the requests that do not hold
that text (in the request target or the body, UTF-8): they are answered as without it, and do not count.
Modes and their parameters:
  normal                          the plain answer (overrides an "all" mode for one engine)
  gzip, deflate, deflate-raw      compressed body (deflate is zlib-wrapped, deflate-raw is not)
  chunked        chunk (10)       chunked body, lower-case hex sizes, ";ext=1" on the first size line, a trailer
  no-length                       no Content-Length, body until the connection closes
  redirect       status (302), hops (1), location ("relative" | "absolute" | explicit text)
                 hops redirects in a row, then the engine's answer to the request that opened the chain (so a
                 POST turned into a GET still gets its translation); generated locations repeat the request
                 target with "hop=k" appended; the chain lives in the mode, not in the URL, so the next
                 requests reaching the mode continue it (also after an explicit location to the other port);
                 the extra headers go on the redirects; one whole chain counts as one of the times
  set-cookie     cookies ([])     the plain answer with one Set-Cookie line per value
  status         code (500), reason (standard phrase), body (""), content_type ("text/html"), seconds (0)
                 the answer after that many seconds
  stall          seconds          wait before answering; without seconds, until the client closes
  stall-mid-body seconds (60)     headers and half the body, wait, then the rest unless the client has gone
  close-mid-body                  announce the full Content-Length, send half, close
  close-before-status             close without answering
  garbage        bytes            the bytes (text taken as latin-1) instead of an answer, then close
  charset        value            that Content-Type, the body encoded in its charset when Python knows it
  escaped                         the plain answer with every character above U+007F as a JSON escape (\\uXXXX, a
                                  surrogate pair beyond U+FFFF), as engines that answer in ASCII JSON send it; a
                                  leading byte-order mark stays (for JSON answers: the escapes stand in strings only)
  damage-tokens  how              the plain answer with the first protected-text token in it ([X1X], <x id="1"/>,
                                  <x id="1"></x>, <span class="notranslate">..</span>, <span translate="no">..</span>, found in
                                  any letter case, quotes JSON-escaped or not) damaged: "drop" takes it out,
                                  "duplicate" writes it twice, "translate" turns its number into a word (a span
                                  without one: its letters upper-cased), "move" trades places with the last token
                                  (a reordering, no damage)
Hostile answers, each ended by the client closing the connection (or the server stopping):
  gzip-bomb      megabytes (200)  Content-Encoding: gzip over that many MiB of zeros (200 MiB pack into about
                                  200 KB); made once per size and kept in memory
  trickle        interval_ms (1000)  the plain answer, status line and all, one byte every interval_ms
  endless-continue  interval_ms (10)  "HTTP/1.1 100 Continue" interim replies, one every interval_ms, never a
                                  final answer
  endless-chunks chunk (65536), interval_ms (0)  a chunked answer whose chunks of "x" never end
The extra headers follow the standard ones; close-before-status, garbage and endless-continue send none.

Malformed requests get 400 and the connection closes (431 for a head above 64 KiB, 413 for a body above 16 MiB,
501 for a Transfer-Encoding, 408 when a body stops arriving); HTTP/1.1 without exactly one Host is malformed.
The https side accepts every TLS version the client offers and records the SNI name (null when none was sent).
Every close sends TLS close_notify, then FIN, then drains the client's input briefly, so that unread input
cannot reset the connection before the client has read the answer. Waits are bounded (idle keep-alive 60 s, a
started request 20 s), except an unlimited stall, which ends when the client closes or the server stops.
"""

import argparse
import base64
import codecs
import email.utils
import http
import json
import os
import re
import signal
import socket
import ssl
import sys
import threading
import time
import traceback
import urllib.parse
import warnings
import zlib

MAX_HEAD = 64 * 1024
MAX_BODY = 16 * 1024 * 1024
IDLE_TIMEOUT = 60.0  # an idle keep-alive connection
REQUEST_TIMEOUT = 20.0  # the rest of a request once its first byte arrived
HANDSHAKE_TIMEOUT = 10.0
SEND_TIMEOUT = 10.0
POLL = 0.2  # how often blocked reads look at the stop flag
JOIN_TIMEOUT = 3.0
LINGER = 2.0  # draining a closing connection

ENGINES = {
    "/translate_a/t": ("google", "GET"),
    "/v2/ajax.svc/Translate": ("bing", "GET"),
    "/api/v1/tr.json/translate": ("yandex", "GET"),
    "/translate/babylon.php": ("babylon", "GET"),
    "/services/TranslationService.asmx/GetTranslateNew": ("promt", "POST"),
    "/sai": ("systran", "POST"),
    "/translate": ("libretranslate", "POST"),
    "/listPairs": ("apertium", "GET"),
    "/v2/translate": ("deepl", "POST"),
    "/language/translate/v2": ("googlecloud", "POST"),
    "/translate/v2/translate": ("yandexcloud", "POST"),
}
# Microsoft shares LibreTranslate's path; its api-version parameter tells them apart.
# A language model's server takes the chat route under any base path (/v1, /openai/v1, ...).
LLM_ROUTE = "/chat/completions"
ENGINE_NAMES = {name for name, _ in ENGINES.values()} | {"microsoft", "llm"}
FORM = "application/x-www-form-urlencoded"

SYSTRAN_TOKEN = '<span class="token" value="1010/noun:common" id="token_1">'
TCHAR = re.compile(rb"^[!#$%&'*+\-.^_`|~0-9A-Za-z]+$")
VERSION = re.compile(rb"^HTTP/1\.[01]$")
HOP = re.compile(r"[?&]hop=\d+$")
UPPER = {c: c - 32 for c in range(ord("a"), ord("z") + 1)}
TOKEN = re.compile(r'\[X\d+X\]|<x id=\\?"\d+\\?"\s*/?>(?:</x>)?'
                   r'|<span (?:class=\\?"notranslate\\?"|translate=\\?"no\\?")>.*?</span>', re.I | re.S)
DAMAGES = ("drop", "duplicate", "translate", "move")


class BadRequest(Exception):
    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


class Reply:
    """An answer before framing: the body is kept as text so that the charset mode can re-encode it."""

    def __init__(self, status, content_type, text, headers=()):
        self.status = status
        self.reason = phrase(status)
        self.content_type = content_type
        self.text = text
        self.headers = list(headers)

    def body(self):
        return self.text.encode("utf-8")


class Request:
    def __init__(self):
        self.request_line = ""
        self.header_lines = []
        self.body = b""
        self.method = ""
        self.target = ""
        self.version = ""
        self.headers = []  # (lower-case name, value)

    def header(self, name):
        for key, value in self.headers:
            if key == name:
                return value
        return None

    def all(self, name):
        return [value for key, value in self.headers if key == name]

    def path_and_query(self):
        target = self.target
        low = target.lower()
        if low.startswith("http://") or low.startswith("https://"):
            slash = target.find("/", target.find("://") + 3)
            target = target[slash:] if slash >= 0 else "/"
        path, _, query = target.partition("?")
        return path, query

    def keep_alive(self):
        tokens = {t.strip().lower() for value in self.all("connection") for t in value.split(",")}
        if self.version == "HTTP/1.1":
            return "close" not in tokens
        return "keep-alive" in tokens


def phrase(code):
    try:
        return http.HTTPStatus(code).phrase
    except ValueError:
        return "Unknown"


def jstr(text):
    return json.dumps(text, ensure_ascii=False)


def shout(text):
    return text.translate(UPPER)


def query_params(query):
    params = {}
    for name, value in urllib.parse.parse_qsl(query, keep_blank_values=True, encoding="utf-8", errors="replace"):
        params.setdefault(name, value)
    return params


def need(params, *names):
    missing = [n for n in names if n not in params]
    if missing:
        raise BadRequest(400, "missing " + ", ".join(missing) + "\n")
    return [params[n] for n in names]


# Engine answers. Each takes the request and its query and returns the 200 Reply or raises BadRequest.


def answer_google(req, query):
    text, sl, tl = need(query_params(query), "q", "sl", "tl")
    trans = tl + ": " + shout(text)
    body = '{"sentences":[{"trans":%s,"orig":%s,"backend":1}],"src":%s}' % (jstr(trans), jstr(text), jstr(sl))
    return Reply(200, "application/json", body)


def answer_bing(req, query):
    text, to = need(query_params(query), "text", "to")
    return Reply(200, "application/json", "\ufeff" + jstr(to + ": " + shout(text)))


def answer_yandex(req, query):
    text, lang = need(query_params(query), "text", "lang")
    if "-" not in lang:
        raise BadRequest(400, "lang without a dash\n")
    trans = lang.partition("-")[2] + ": " + shout(text)
    return Reply(200, "application/json", '{"code":200,"lang":%s,"text":[%s]}' % (jstr(lang), jstr(trans)))


def answer_babylon(req, query):
    params = query_params(query)
    text, pair = need(params, "q", "langpair")
    if "|" not in pair:
        raise BadRequest(400, "langpair without a bar\n")
    callback = params.get("callback", "")
    if not re.fullmatch(r"[A-Za-z_$][\w$.]*", callback):
        callback = "babylonTranslator.callback"
    trans = pair.partition("|")[2] + ": " + shout(text)
    body = '%s(%s, {"translatedText":%s}, 200, null, null);' % (callback, jstr(params.get("context", "")), jstr(trans))
    return Reply(200, "application/javascript", body)


def answer_promt(req, query):
    literal = req.body.decode("utf-8", "replace")
    members = {}
    for match in re.finditer(r"(\w+)\s*:\s*'([^']*)'", literal):
        members.setdefault(match.group(1), match.group(2))
    direction, encoded = need(members, "dirCode", "text")
    if "-" not in direction:
        raise BadRequest(400, "dirCode without a dash\n")
    text = urllib.parse.unquote(encoded, encoding="utf-8", errors="replace")
    trans = direction.partition("-")[2] + ": " + shout(text)
    body = '{"d":{"__type":"TranslationResult","result":%s,"errCode":0,"errMessage":null}}' % jstr(trans)
    return Reply(200, "application/json", body)


def answer_systran(req, query):
    cookies = {}
    for value in req.all("cookie"):
        for pair in value.split(";"):
            name, eq, val = pair.strip().partition("=")
            if eq:
                cookies.setdefault(name, val)
    (pair,) = need(cookies, "lphistory")
    if "_" not in pair:
        raise BadRequest(400, "lphistory without an underscore\n")
    start = req.body.find(b"<body>")
    end = req.body.rfind(b"</body>")
    if start < 0 or end < start:
        raise BadRequest(400, "no <body> element\n")
    text = req.body[start + 6 : end].decode("utf-8", "replace")
    trans = pair.partition("_")[2] + ": " + shout(text)
    body = "<html><body>%s%s</span> %s%s</span></body></html>" % (SYSTRAN_TOKEN, pair, SYSTRAN_TOKEN, trans)
    return Reply(200, "text/html", body)


def answer_libretranslate(req, query):
    def refuse(reason):
        return Reply(400, "application/json", json.dumps({"error": reason}))

    try:
        request = json.loads(req.body.decode("utf-8"))
    except (ValueError, UnicodeDecodeError):
        return refuse("the body is not JSON")
    if not isinstance(request, dict):
        return refuse("the body is not a JSON object")
    for name in ("q", "source", "target"):
        if not isinstance(request.get(name), str):
            return refuse("missing " + name)
    trans = request["target"] + ": " + shout(request["q"])
    return Reply(200, "application/json", '{"translatedText":%s}' % jstr(trans))


def answer_apertium(req, query):
    def body(obj, status=200):
        return Reply(status, "application/json; charset=UTF-8", json.dumps(obj, ensure_ascii=False))

    if req.path_and_query()[0] == "/listPairs":
        pairs = [{"sourceLanguage": "eng", "targetLanguage": "spa"}]
        return body({"responseData": pairs, "responseDetails": None, "responseStatus": 200})
    params = query_params(query if req.method == "GET" else req.body.decode("latin-1"))
    text, pair = need(params, "q", "langpair")
    if "|" not in pair:
        explanation = "That pair is invalid, use e.g. eng|spa"
        return body({"status": "error", "code": 400, "message": "Bad Request", "explanation": explanation}, 400)
    trans = pair.partition("|")[2] + ": " + shout(text)
    return body({"responseData": {"translatedText": trans}, "responseDetails": None, "responseStatus": 200})


DEEPL_SOURCES = {"AR", "BG", "CS", "DA", "DE", "EL", "EN", "ES", "ET", "FI", "FR", "HE", "HU", "ID", "IT", "JA",
                 "KO", "LT", "LV", "NB", "NL", "PL", "PT", "RO", "RU", "SK", "SL", "SV", "TH", "TR", "UK", "VI", "ZH"}
DEEPL_TARGETS = (DEEPL_SOURCES - {"EN", "PT"}) | {"EN-GB", "EN-US", "PT-BR", "PT-PT", "ZH-HANS", "ZH-HANT"}
DEEPL_MAX_BODY = 128 * 1024
DEEPL_MAX_TEXTS = 50


def answer_deepl(req, query):
    def refuse(status, message):
        return Reply(status, "application/json", json.dumps({"message": message}))

    scheme, _, key = (req.header("authorization") or "").partition(" ")
    if scheme != "DeepL-Auth-Key" or not key.strip():
        return refuse(403, "Authorization failure, check the DeepL-Auth-Key header")
    if "auth_key" in query_params(query) or b"auth_key" in req.body:
        return refuse(403, "Legacy authentication method is no longer supported, use the Authorization header")
    if len(req.body) > DEEPL_MAX_BODY:
        return refuse(413, "Request Entity Too Large")
    content_type = (req.header("content-type") or "").partition(";")[0].strip().lower()
    if content_type == "application/json":
        try:
            request = json.loads(req.body.decode("utf-8"))
        except (ValueError, UnicodeDecodeError):
            return refuse(400, "Invalid JSON body")
        if not isinstance(request, dict):
            return refuse(400, "Invalid JSON body")
    elif content_type == FORM:
        fields = urllib.parse.parse_qs(req.body.decode("latin-1"), keep_blank_values=True, encoding="utf-8")
        request = {name: values if name == "text" else values[0] for name, values in fields.items()}
    else:
        return refuse(415, "Unsupported Media Type")
    texts = request.get("text")
    if not isinstance(texts, list) or not texts or not all(isinstance(t, str) for t in texts):
        return refuse(400, "Parameter 'text' not specified.")
    if len(texts) > DEEPL_MAX_TEXTS:
        return refuse(413, "Too many texts in one request")
    target = request.get("target_lang")
    if not isinstance(target, str) or target.upper() not in DEEPL_TARGETS:
        return refuse(400, "Value for 'target_lang' not supported.")
    source = request.get("source_lang")
    if source is not None and (not isinstance(source, str) or source.upper() not in DEEPL_SOURCES):
        return refuse(400, "Value for 'source_lang' not supported.")
    tag_handling = request.get("tag_handling")
    if tag_handling is not None and tag_handling not in ("xml", "html"):
        return refuse(400, "Value for 'tag_handling' not supported.")
    ignore_tags = request.get("ignore_tags")
    if ignore_tags is not None and (tag_handling != "xml" or not isinstance(ignore_tags, list)
                                    or not all(isinstance(t, str) for t in ignore_tags)):
        return refuse(400, "Value for 'ignore_tags' not supported.")
    translations = [{"detected_source_language": (source or "EN").upper(), "text": target + ": " + shout(t)}
                    for t in texts]
    return Reply(200, "application/json", json.dumps({"translations": translations}, ensure_ascii=False))


# Markup an engine reads as HTML: elements that keep what they hold, other tags, entities, and the text between.
HTML_PARTS = re.compile(r'(<span (?:class="notranslate"|translate="no")>.*?</span>|<[^>]*>|&#?\w+;)', re.S)


def shout_html(text, apostrophe=None):
    """TRANS of HTML: only the text between the markup upper-cased, an apostrophe there written as given."""
    parts = HTML_PARTS.split(text)
    for i in range(0, len(parts), 2):
        parts[i] = shout(parts[i])
        if apostrophe:
            parts[i] = parts[i].replace("'", apostrophe)
    return "".join(parts)


MICROSOFT_MAX_ELEMENTS = 1000
MICROSOFT_MAX_CHARS = 50000
# Codes of other services that Microsoft does not take.
MICROSOFT_REFUSED = {"zh", "zh-cn", "zh-tw", "pt-br", "pt_pt"}


def answer_microsoft(req, query):
    def refuse(status, code, message):
        return Reply(status, "application/json; charset=utf-8",
                     json.dumps({"error": {"code": code, "message": message}}))

    params = query_params(query)
    key = (req.header("ocp-apim-subscription-key") or "").strip()
    if not key or "subscription-key" in params or "Subscription-Key" in params:
        return refuse(401, 401000, "The request is not authorized because credentials are missing or invalid.")
    if params.get("api-version") != "3.0":
        return refuse(400, 400021, "The API version parameter is missing or invalid.")
    to = params.get("to", "")
    if not to or to.lower() in MICROSOFT_REFUSED:
        return refuse(400, 400036, "The target language is not valid.")
    source = params.get("from")
    if source is not None and (not source or source.lower() in MICROSOFT_REFUSED):
        return refuse(400, 400035, "The source language is not valid.")
    text_type = params.get("textType", "plain")
    if text_type not in ("plain", "html"):
        return refuse(400, 400064, "The translation type is invalid.")
    content_type = (req.header("content-type") or "").partition(";")[0].strip().lower()
    if content_type != "application/json":
        return refuse(415, 415000, "The Content-Type header is missing or invalid.")
    try:
        elements = json.loads(req.body.decode("utf-8"))
    except (ValueError, UnicodeDecodeError):
        return refuse(400, 400074, "The body of the request is not valid JSON.")
    if (not isinstance(elements, list) or not elements
            or not all(isinstance(e, dict) and isinstance(e.get("Text"), str) for e in elements)):
        return refuse(400, 400074, "The body of the request is not valid JSON.")
    if len(elements) > MICROSOFT_MAX_ELEMENTS:
        return refuse(400, 400072, "The number of elements on the input array exceeds the maximum.")
    if sum(len(e["Text"]) for e in elements) > MICROSOFT_MAX_CHARS:
        return refuse(400, 400077, "The maximum request size has been exceeded.")
    made = shout_html if text_type == "html" else shout
    items = [{"translations": [{"text": to + ": " + made(e["Text"]), "to": to}]} for e in elements]
    if source is None:
        for item in items:
            item["detectedLanguage"] = {"language": "en", "score": 1.0}
    # Microsoft's replies lead with a byte order mark at times.
    return Reply(200, "application/json; charset=utf-8", "\ufeff" + json.dumps(items, ensure_ascii=False))


GOOGLE_MAX_SEGMENTS = 128
# Codes Google does not take (it wants zh-CN or zh-TW).
GOOGLE_REFUSED = {"zh-hans", "zh-hant", "zh_tw", "zh_cn"}


def answer_googlecloud(req, query):
    def refuse(status, message, state, reason=None):
        error = {"code": status, "message": message, "status": state}
        if reason:
            error["details"] = [{"@type": "type.googleapis.com/google.rpc.ErrorInfo", "reason": reason,
                                 "domain": "googleapis.com"}]
        return Reply(status, "application/json; charset=UTF-8", json.dumps({"error": error}))

    if "key" in query_params(query):
        return refuse(400, "The key belongs in the x-goog-api-key header, not the URL.", "INVALID_ARGUMENT")
    if not (req.header("x-goog-api-key") or "").strip():
        return refuse(403, "Method doesn't allow unregistered callers (callers without established identity). "
                      "Please use API Key or other form of API consumer identity to call this API.",
                      "PERMISSION_DENIED")
    content_type = (req.header("content-type") or "").partition(";")[0].strip().lower()
    if content_type == "application/json":
        try:
            request = json.loads(req.body.decode("utf-8"))
        except (ValueError, UnicodeDecodeError):
            return refuse(400, "Invalid JSON payload received.", "INVALID_ARGUMENT")
        if not isinstance(request, dict):
            return refuse(400, "Invalid JSON payload received.", "INVALID_ARGUMENT")
    elif content_type == FORM:
        fields = urllib.parse.parse_qs(req.body.decode("latin-1"), keep_blank_values=True, encoding="utf-8")
        request = {name: values if name == "q" else values[0] for name, values in fields.items()}
    else:
        return refuse(400, "Invalid JSON payload received.", "INVALID_ARGUMENT")
    if "key" in request:
        return refuse(400, "The key belongs in the x-goog-api-key header.", "INVALID_ARGUMENT")
    texts = request.get("q")
    texts = [texts] if isinstance(texts, str) else texts
    if not isinstance(texts, list) or not texts or not all(isinstance(t, str) for t in texts):
        return refuse(400, "Required Text", "INVALID_ARGUMENT")
    if len(texts) > GOOGLE_MAX_SEGMENTS:
        return refuse(400, "Too many text segments", "INVALID_ARGUMENT")
    target = request.get("target")
    source = request.get("source")
    for code in (target, source):
        if code is not None and (not isinstance(code, str) or not code or code.lower() in GOOGLE_REFUSED):
            return refuse(400, "Bad language pair: %s|%s" % (source, target), "INVALID_ARGUMENT")
    if target is None:
        return refuse(400, "Required Target", "INVALID_ARGUMENT")
    text_format = request.get("format", "html")
    if text_format not in ("text", "html"):
        return refuse(400, "Invalid Value", "INVALID_ARGUMENT")
    # Its html (the default) writes an apostrophe as an entity.
    made = (lambda t: shout_html(t, "&#39;")) if text_format == "html" else shout
    translations = [{"translatedText": target + ": " + made(t)} for t in texts]
    if source is None:
        for translation in translations:
            translation["detectedSourceLanguage"] = "en"
    return Reply(200, "application/json; charset=UTF-8",
                 json.dumps({"data": {"translations": translations}}, ensure_ascii=False))


YANDEX_CLOUD_FIELDS = {"sourceLanguageCode", "targetLanguageCode", "format", "texts", "folderId", "model",
                       "glossaryConfig", "speller"}
YANDEX_CLOUD_MAX_CHARS = 10000
YANDEX_CLOUD_CODE = re.compile(r"[a-z]{2,3}")


def answer_yandexcloud(req, query):
    def refuse(status, code, message):
        return Reply(status, "application/json", json.dumps({"code": code, "message": message, "details": []}))

    scheme, _, key = (req.header("authorization") or "").partition(" ")
    if scheme not in ("Api-Key", "Bearer") or not key.strip() or "key" in query_params(query):
        return refuse(401, 16, "Unknown api key")
    try:
        request = json.loads(req.body.decode("utf-8"))
    except (ValueError, UnicodeDecodeError):
        return refuse(400, 3, "invalid JSON body")
    if not isinstance(request, dict):
        return refuse(400, 3, "invalid JSON body")
    unknown = sorted(set(request) - YANDEX_CLOUD_FIELDS)
    if unknown:
        return refuse(400, 3, 'unknown field "%s"' % unknown[0])
    # An IAM token names its folder; an API key works in its service account's own.
    if scheme == "Bearer" and not request.get("folderId"):
        return refuse(400, 3, "folder_id is required")
    if "folderId" in request and (not isinstance(request["folderId"], str) or not request["folderId"]):
        return refuse(400, 3, "invalid folder_id")
    texts = request.get("texts")
    if not isinstance(texts, list) or not texts or not all(isinstance(t, str) for t in texts):
        return refuse(400, 3, "texts is required")
    if sum(len(t) for t in texts) > YANDEX_CLOUD_MAX_CHARS:
        return refuse(400, 3, "texts length must be not greater than %d" % YANDEX_CLOUD_MAX_CHARS)
    target = request.get("targetLanguageCode")
    if not isinstance(target, str) or not YANDEX_CLOUD_CODE.fullmatch(target):
        return refuse(400, 3, "unsupported target_language_code: %s" % target)
    source = request.get("sourceLanguageCode")
    if source is not None and (not isinstance(source, str) or not YANDEX_CLOUD_CODE.fullmatch(source)):
        return refuse(400, 3, "unsupported source_language_code: %s" % source)
    if request.get("format", "PLAIN_TEXT") not in ("PLAIN_TEXT", "HTML", "FORMAT_UNSPECIFIED"):
        return refuse(400, 3, "invalid format")
    translations = []
    for text in texts:
        item = {"detectedLanguageCode": source or "en"}
        trans = target + ": " + shout(text) if text else ""
        # Its JSON leaves empty strings out, as protocol buffers' JSON does.
        if trans:
            item = {"text": trans, **item}
        translations.append(item)
    return Reply(200, "application/json", json.dumps({"translations": translations}, ensure_ascii=False))


LLM_TARGET = re.compile(r"\bto ((?:[A-Z][\w\u00C0-\u024F]*\s)+)\(([A-Za-z0-9_-]+)\)")
LLM_REFUSED_PARAMETERS = ("temperature", "max_tokens")
LLM_THINKING = "<think>\nThe user wants a translation; answer with it alone.\n</think>\n\n"


def answer_llm(req, query):
    def refuse(status, message, kind="invalid_request_error", code=None, param=None):
        error = {"message": message, "type": kind, "param": param, "code": code}
        return Reply(status, "application/json", json.dumps({"error": error}))

    authorization = req.header("authorization")
    if authorization is not None:
        scheme, _, key = authorization.partition(" ")
        if scheme != "Bearer" or not key.strip():
            return refuse(401, "Incorrect API key provided.", code="invalid_api_key")
    try:
        request = json.loads(req.body.decode("utf-8"))
    except (ValueError, UnicodeDecodeError):
        return refuse(400, "We could not parse the JSON body of your request.")
    if not isinstance(request, dict):
        return refuse(400, "We could not parse the JSON body of your request.")
    model = request.get("model")
    if not isinstance(model, str) or not model:
        return refuse(400, "you must provide a model parameter", param="model")
    for name in LLM_REFUSED_PARAMETERS:
        if name in request:
            return refuse(400, "Unsupported parameter: '%s' is not supported with this model." % name,
                          code="unsupported_parameter", param=name)
    messages = request.get("messages")
    if (not isinstance(messages, list) or not messages
            or not all(isinstance(m, dict) and m.get("role") in ("system", "user", "assistant")
                       and isinstance(m.get("content"), str) for m in messages)):
        return refuse(400, "Invalid 'messages': a list of role and content objects", param="messages")
    system = " ".join(m["content"] for m in messages if m["role"] == "system")
    users = [m["content"] for m in messages if m["role"] == "user"]
    target = LLM_TARGET.search(system)
    if not users or target is None:
        return refuse(400, "the stand-in needs a user message and a system message naming the target language in "
                           "words and by its code: 'to Russian (ru)'", param="messages")
    stream = request.get("stream", True)
    if not isinstance(stream, bool):
        return refuse(400, "Invalid type for 'stream': expected a boolean", param="stream")
    content = target.group(2) + ": " + shout(users[-1])
    if "reason" in model:
        content = LLM_THINKING + content
    if stream:
        # Servers stream unless told not to: chunks as server-sent events, then [DONE].
        chunks = [{"choices": [{"index": 0, "delta": {"role": "assistant", "content": content}, "finish_reason": None}]},
                  {"choices": [{"index": 0, "delta": {}, "finish_reason": "stop"}]}]
        events = "".join("data: %s\n\n" % json.dumps({"id": "chatcmpl-fake", "object": "chat.completion.chunk",
                                                       "model": model, **c}, ensure_ascii=False) for c in chunks)
        return Reply(200, "text/event-stream", events + "data: [DONE]\n\n")
    answer = {"id": "chatcmpl-fake", "object": "chat.completion", "created": 0, "model": model,
              "choices": [{"index": 0, "message": {"role": "assistant", "content": content}, "finish_reason": "stop"}],
              "usage": {"prompt_tokens": len(system.split()), "completion_tokens": len(content.split()),
                        "total_tokens": len(system.split()) + len(content.split())}}
    return Reply(200, "application/json", json.dumps(answer, ensure_ascii=False))


def route(req, path):
    """The engine that a request is for and the method that engine takes there."""
    if path == "/translate" and "api-version" in query_params(req.path_and_query()[1]):
        return "microsoft", "POST"
    if path == "/translate" and (req.method == "GET" or (req.header("content-type") or "").startswith(FORM)):
        return "apertium", req.method
    if path.endswith(LLM_ROUTE):
        return "llm", "POST"
    return ENGINES[path]


ANSWERS = {
    "google": answer_google,
    "bing": answer_bing,
    "yandex": answer_yandex,
    "babylon": answer_babylon,
    "promt": answer_promt,
    "systran": answer_systran,
    "libretranslate": answer_libretranslate,
    "apertium": answer_apertium,
    "deepl": answer_deepl,
    "microsoft": answer_microsoft,
    "googlecloud": answer_googlecloud,
    "yandexcloud": answer_yandexcloud,
    "llm": answer_llm,
}

# Modes: allowed parameters with their defaults (REQUIRED must be given).
REQUIRED = object()
MODES = {
    "normal": {},
    "gzip": {},
    "deflate": {},
    "deflate-raw": {},
    "chunked": {"chunk": 10},
    "no-length": {},
    "redirect": {"status": 302, "hops": 1, "location": "relative"},
    "set-cookie": {"cookies": []},
    "status": {"code": 500, "reason": None, "body": "", "content_type": "text/html", "seconds": 0},
    "stall": {"seconds": None},
    "stall-mid-body": {"seconds": 60},
    "close-mid-body": {},
    "close-before-status": {},
    "garbage": {"bytes": REQUIRED},
    "charset": {"value": REQUIRED},
    "escaped": {},
    "damage-tokens": {"how": REQUIRED},
    "gzip-bomb": {"megabytes": 200},
    "trickle": {"interval_ms": 1000},
    "endless-continue": {"interval_ms": 10},
    "endless-chunks": {"chunk": 65536, "interval_ms": 0},
}

def damage_tokens(text, how):
    found = list(TOKEN.finditer(text))
    if not found:
        return text
    first, last = found[0], found[-1]
    if how == "drop":
        return text[: first.start()] + text[first.end() :]
    if how == "duplicate":
        return text[: first.end()] + first.group(0) + text[first.end() :]
    if how == "translate":
        # A span's piece may hold no number: then its letters change.
        token = re.sub(r"\d+", "ONE", first.group(0))
        return text[: first.start()] + (token if token != first.group(0) else shout(token)) + text[first.end() :]
    return text[: first.start()] + last.group(0) + text[first.end() : last.start()] + first.group(0) + text[last.end() :]


BOMBS = {}  # megabytes -> the gzip member of that many MiB of zeros
BOMB_LOCK = threading.Lock()


def gzip_bomb(megabytes):
    """Made on first use and kept: packing 200 MiB takes about a second."""
    with BOMB_LOCK:
        if megabytes not in BOMBS:
            packer = zlib.compressobj(9, zlib.DEFLATED, 31)
            zeros = bytes(1 << 20)
            BOMBS[megabytes] = b"".join([packer.compress(zeros) for _ in range(megabytes)] + [packer.flush()])
        return BOMBS[megabytes]


def is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def is_text_list(value):
    return isinstance(value, list) and all(isinstance(v, str) and "\r" not in v and "\n" not in v for v in value)


class Mode:
    def __init__(self, wanted):
        if not isinstance(wanted, dict):
            raise ValueError("the mode must be a JSON object")
        self.key = wanted.get("engine", "all")
        if self.key not in ENGINE_NAMES and self.key != "all":
            raise ValueError("unknown engine %r" % (self.key,))
        self.name = wanted.get("mode")
        if self.name not in MODES:
            raise ValueError("unknown mode %r" % (self.name,))
        self.times = wanted.get("times")
        if self.times is not None and not (is_int(self.times) and self.times >= 1):
            raise ValueError("times must be a positive integer")
        self.headers = wanted.get("headers", [])
        if not is_text_list(self.headers):
            raise ValueError("headers must be a list of lines without CR or LF")
        self.match = wanted.get("match")
        if self.match is not None and not (isinstance(self.match, str) and self.match):
            raise ValueError("match must be a text that is not empty")
        allowed = MODES[self.name]
        unknown = set(wanted) - set(allowed) - {"engine", "mode", "times", "headers", "match"}
        if unknown:
            raise ValueError("unknown parameters for %s: %s" % (self.name, ", ".join(sorted(unknown))))
        self.params = {}
        for name, default in allowed.items():
            if name in wanted:
                self.params[name] = wanted[name]
            elif default is REQUIRED:
                raise ValueError("%s needs %s" % (self.name, name))
            else:
                self.params[name] = default
        self._check()
        self.chain = None  # an open redirect chain: [redirects still to send, stored Reply]

    def _check(self):
        p = self.params
        if self.name == "chunked" and not (is_int(p["chunk"]) and p["chunk"] >= 1):
            raise ValueError("chunk must be a positive integer")
        if self.name == "redirect":
            if p["status"] not in (301, 302, 303, 307, 308):
                raise ValueError("redirect status must be 301, 302, 303, 307 or 308")
            if not (is_int(p["hops"]) and p["hops"] >= 1):
                raise ValueError("hops must be a positive integer")
            if not isinstance(p["location"], str) or "\r" in p["location"] or "\n" in p["location"]:
                raise ValueError("location must be one line of text")
        if self.name == "set-cookie" and not is_text_list(p["cookies"]):
            raise ValueError("cookies must be a list of lines without CR or LF")
        if self.name == "status":
            if not (is_int(p["code"]) and 100 <= p["code"] <= 999):
                raise ValueError("code must be an integer from 100 to 999")
            if p["reason"] is None:
                p["reason"] = phrase(p["code"])
            for name in ("reason", "body", "content_type"):
                if not isinstance(p[name], str):
                    raise ValueError(name + " must be text")
            if "\r" in p["reason"] + p["content_type"] or "\n" in p["reason"] + p["content_type"]:
                raise ValueError("reason and content_type must be one line")
        if self.name in ("stall", "stall-mid-body", "status"):
            seconds = p["seconds"]
            if seconds is not None and not (isinstance(seconds, (int, float)) and not isinstance(seconds, bool)
                                            and 0 <= seconds <= 3600):
                raise ValueError("seconds must be a number from 0 to 3600")
            if self.name != "stall" and seconds is None:
                raise ValueError("seconds must be a number")
        if self.name == "garbage":
            try:
                p["bytes"] = p["bytes"].encode("latin-1")
            except (AttributeError, UnicodeEncodeError):
                raise ValueError("bytes must be text of characters up to U+00FF") from None
        if self.name == "charset" and (not isinstance(p["value"], str) or "\r" in p["value"] or "\n" in p["value"]):
            raise ValueError("value must be one line of text")
        if self.name == "damage-tokens" and p["how"] not in DAMAGES:
            raise ValueError("how must be one of " + ", ".join(DAMAGES))
        if self.name == "gzip-bomb" and not (is_int(p["megabytes"]) and 1 <= p["megabytes"] <= 4096):
            raise ValueError("megabytes must be an integer from 1 to 4096")
        if "interval_ms" in p and not (is_int(p["interval_ms"]) and 0 <= p["interval_ms"] <= 60000):
            raise ValueError("interval_ms must be an integer from 0 to 60000")
        if self.name == "endless-chunks" and not (is_int(p["chunk"]) and 1 <= p["chunk"] <= 1 << 20):
            raise ValueError("chunk must be an integer from 1 to 1048576")


class State:
    """Records and modes, shared by every connection thread."""

    def __init__(self):
        self.lock = threading.Lock()
        self.records = []
        self.modes = {}

    def record(self, entry):
        with self.lock:
            self.records.append(entry)

    def reset(self):
        with self.lock:
            self.records = []
            self.modes = {}

    def set_mode(self, mode):
        with self.lock:
            self.modes[mode.key] = mode

    def _consume(self, mode):
        if mode.times is not None:
            mode.times -= 1
            if mode.times <= 0 and self.modes.get(mode.key) is mode:
                del self.modes[mode.key]

    def take(self, engine, reply, req):
        """What to do with one engine request: (mode or None, redirect hop or 0, reply to send)."""
        with self.lock:
            mode = self.modes.get(engine) or self.modes.get("all")
            if mode is not None and mode.match is not None and mode.chain is None:
                wanted = mode.match.encode("utf-8")
                if wanted not in req.target.encode("utf-8") and wanted not in req.body:
                    mode = None
            if mode is None:
                return None, 0, reply
            if mode.name != "redirect":
                self._consume(mode)
                return mode, 0, reply
            hops = mode.params["hops"]
            if mode.chain is None:
                mode.chain = [hops - 1, reply]
                return mode, 1, reply
            left, stored = mode.chain
            if left > 0:
                mode.chain[0] -= 1
                return mode, hops - left + 1, stored
            mode.chain = None
            self._consume(mode)
            return None, 0, stored


class Connection:
    def __init__(self, server, sock, number, tls, sni):
        self.server = server
        self.state = server.state
        self.sock = sock
        self.number = number
        self.tls = tls
        self.sni = sni
        self.port = sock.getsockname()[1]
        self.buf = bytearray()

    # Reading

    def _recv(self, deadline):
        """Appends what arrives to the buffer: True on data, False at the end of the stream, None on time-out
        (deadline None waits until the client closes or the server stops)."""
        while not self.server.stopping.is_set():
            if deadline is not None and time.monotonic() >= deadline:
                return None
            self.sock.settimeout(POLL)
            try:
                data = self.sock.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except (OSError, ssl.SSLError):
                return False
            if not data:
                return False
            self.buf += data
            return True
        return False

    def _head(self):
        """The request line and header lines when the buffer holds a whole head, else None. Empty lines before
        the request line are skipped (RFC 9112 2.2); a bare LF ends a line as CR LF does."""
        lines = []
        pos = 0
        while True:
            nl = self.buf.find(b"\n", pos)
            if nl < 0:
                if not lines:
                    del self.buf[:pos]
                return None
            line = bytes(self.buf[pos:nl])
            if line.endswith(b"\r"):
                line = line[:-1]
            pos = nl + 1
            if line:
                lines.append(line)
            elif lines:
                del self.buf[:pos]
                return lines

    def read_request(self):
        """The next request, or None when the connection is over. Raises BadRequest after recording what came."""
        deadline = time.monotonic() + IDLE_TIMEOUT
        while True:
            lines = self._head()
            if lines is not None:
                break
            if len(self.buf) > MAX_HEAD:
                raise BadRequest(431, "request head too large\n")
            got = self._recv(deadline)
            if not got:
                return None
            deadline = min(deadline, time.monotonic() + REQUEST_TIMEOUT)
        req = Request()
        req.request_line = lines[0].decode("latin-1")
        req.header_lines = [line.decode("latin-1") for line in lines[1:]]
        try:
            self._parse(req, lines)
            self._read_body(req)
        except BadRequest:
            self._record(req)
            raise
        return req

    def _parse(self, req, lines):
        parts = lines[0].split(b" ")
        if len(parts) != 3 or not TCHAR.match(parts[0]) or not parts[1] or not VERSION.match(parts[2]):
            raise BadRequest(400, "malformed request line\n")
        req.method, req.target, req.version = (p.decode("latin-1") for p in parts)
        if any(c < 0x21 or c == 0x7F for c in parts[1]):
            raise BadRequest(400, "control characters in the target\n")
        for line in lines[1:]:
            name, colon, value = line.partition(b":")
            if not colon or not TCHAR.match(name):
                raise BadRequest(400, "malformed header line\n")
            req.headers.append((name.decode("latin-1").lower(), value.strip(b" \t").decode("latin-1")))
        if req.version == "HTTP/1.1" and len(req.all("host")) != 1:
            raise BadRequest(400, "HTTP/1.1 needs exactly one Host header\n")
        if req.all("transfer-encoding"):
            raise BadRequest(501, "request bodies are read by Content-Length only\n")

    def _read_body(self, req):
        lengths = set(req.all("content-length"))
        if not lengths:
            return
        if len(lengths) != 1 or not re.fullmatch(r"[0-9]{1,15}", next(iter(lengths))):
            raise BadRequest(400, "bad Content-Length\n")
        length = int(next(iter(lengths)))
        if length > MAX_BODY:
            raise BadRequest(413, "body too large\n")
        if length and "100-continue" in (req.header("expect") or "").lower() and req.version == "HTTP/1.1":
            if len(self.buf) < length:
                self.send(b"HTTP/1.1 100 Continue\r\n\r\n")
        deadline = time.monotonic() + REQUEST_TIMEOUT
        while len(self.buf) < length:
            got = self._recv(deadline)
            if not got:
                req.body = bytes(self.buf)
                self.buf.clear()
                raise BadRequest(408 if got is None else 0, "body incomplete\n")
        req.body = bytes(self.buf[:length])
        del self.buf[:length]

    def wait_for_close(self, seconds):
        """Waits until the client closes, the server stops or the seconds pass (None: no limit); True when the
        client is still there."""
        deadline = None if seconds is None else time.monotonic() + seconds
        while True:
            got = self._recv(deadline)
            if got is None:
                return True
            if not got:
                return False
            if len(self.buf) > MAX_HEAD:
                del self.buf[:]

    # Writing

    def send(self, data):
        self.sock.settimeout(SEND_TIMEOUT)
        self.sock.sendall(data)

    def head(self, status, reason, lines):
        text = "HTTP/1.1 %d %s\r\n" % (status, reason)
        text += "".join(line + "\r\n" for line in lines) + "\r\n"
        try:
            return text.encode("latin-1")
        except UnicodeEncodeError:
            return text.encode("utf-8")

    def standard(self, content_type):
        lines = ["Date: " + email.utils.formatdate(usegmt=True), "Server: fake-engine"]
        if content_type is not None:
            lines.append("Content-Type: " + content_type)
        return lines

    def connection_lines(self, req, keep):
        if not keep:
            return ["Connection: close"]
        return ["Connection: keep-alive"] if req.version == "HTTP/1.0" else []

    def framed(self, req, keep, reply, extra=(), body=None, content_type=None, encoding=None):
        """The whole answer with a Content-Length, as bytes."""
        body = reply.body() if body is None else body
        lines = self.standard(content_type or reply.content_type)
        if encoding:
            lines.append("Content-Encoding: " + encoding)
        lines.append("Content-Length: %d" % len(body))
        lines += self.connection_lines(req, keep) + reply.headers + list(extra)
        return self.head(reply.status, reply.reason, lines) + body

    def send_reply(self, req, keep, reply, extra=(), body=None, content_type=None, encoding=None):
        self.send(self.framed(req, keep, reply, extra, body, content_type, encoding))
        return keep

    def pause(self, milliseconds):
        """Waits between two pieces of a hostile answer; True when the server stops meanwhile."""
        return self.server.stopping.wait(milliseconds / 1000.0)

    def send_json(self, req, status, obj):
        keep = req.keep_alive()
        return self.send_reply(req, keep, Reply(status, "application/json", json.dumps(obj)))

    # Requests

    def run(self):
        while not self.server.stopping.is_set():
            try:
                req = self.read_request()
            except BadRequest as failure:
                if failure.status:
                    req = Request()
                    req.version = "HTTP/1.1"
                    self.send_reply(req, False, Reply(failure.status, "text/plain", str(failure)))
                return
            if req is None or not self.handle(req):
                return

    def _record(self, req):
        if not self.tls and req.path_and_query()[0].startswith("/_fake/"):
            return
        self.state.record({
            "conn": self.number,
            "port": self.port,
            "tls": self.tls,
            "sni": self.sni,
            "request_line": req.request_line,
            "headers": req.header_lines,
            "body_b64": base64.b64encode(req.body).decode("ascii"),
        })

    def handle(self, req):
        path, query = req.path_and_query()
        if not self.tls and path.startswith("/_fake/"):
            return self.control(req, path)
        self._record(req)
        keep = req.keep_alive()
        if path not in ENGINES and not path.endswith(LLM_ROUTE):
            return self.send_reply(req, keep, Reply(404, "text/plain", "no engine at this path\n"))
        engine, method = route(req, path)
        try:
            if req.method != method:
                raise BadRequest(405, "use " + method + "\n")
            reply = ANSWERS[engine](req, query)
        except BadRequest as failure:
            reply = Reply(failure.status, "text/plain", str(failure))
            if failure.status == 405:
                reply.headers.append("Allow: " + method)
        mode, hop, reply = self.state.take(engine, reply, req)
        if hop:
            return self.redirect(req, keep, mode, hop)
        return self.apply(req, keep, mode, reply)

    def redirect(self, req, keep, mode, hop):
        where = mode.params["location"]
        if where in ("relative", "absolute"):
            path, query = req.path_and_query()
            target = HOP.sub("", path + ("?" + query if query else ""))
            target += ("&" if "?" in target else "?") + "hop=%d" % hop
            if where == "absolute":
                host = req.header("host") or self.server.authority(self.port)
                target = ("https://" if self.tls else "http://") + host + target
            where = target
        reply = Reply(mode.params["status"], "text/html", "<html><body>Moved</body></html>")
        reply.headers.append("Location: " + where)
        return self.send_reply(req, keep, reply, mode.headers)

    def apply(self, req, keep, mode, reply):
        if mode is None:
            return self.send_reply(req, keep, reply)
        name, p, extra = mode.name, mode.params, mode.headers
        body = reply.body()
        if name == "normal":
            return self.send_reply(req, keep, reply, extra)
        if name == "escaped":
            head = "\ufeff" if reply.text.startswith("\ufeff") else ""
            text = re.sub(r"[^\x00-\x7f]", lambda m: json.dumps(m.group(0))[1:-1], reply.text[len(head) :])
            return self.send_reply(req, keep, reply, extra, (head + text).encode("utf-8"))
        if name == "damage-tokens":
            return self.send_reply(req, keep, reply, extra, damage_tokens(reply.text, p["how"]).encode("utf-8"))
        if name == "gzip":
            packer = zlib.compressobj(wbits=31)
            return self.send_reply(req, keep, reply, extra, packer.compress(body) + packer.flush(), encoding="gzip")
        if name in ("deflate", "deflate-raw"):
            packer = zlib.compressobj(wbits=15 if name == "deflate" else -15)
            return self.send_reply(req, keep, reply, extra, packer.compress(body) + packer.flush(), encoding="deflate")
        if name == "chunked":
            lines = self.standard(reply.content_type) + ["Transfer-Encoding: chunked"]
            lines += self.connection_lines(req, keep) + reply.headers + extra
            out = self.head(reply.status, reply.reason, lines)
            size = p["chunk"]
            pieces = [body[i : i + size] for i in range(0, len(body), size)] + [b""]
            for index, piece in enumerate(pieces):
                out += b"%x%s\r\n" % (len(piece), b";ext=1" if index == 0 else b"")
                if piece:
                    out += piece + b"\r\n"
            self.send(out + b"X-Fake-Trailer: end\r\n\r\n")
            return keep
        if name == "no-length":
            lines = self.standard(reply.content_type) + ["Connection: close"] + reply.headers + extra
            self.send(self.head(reply.status, reply.reason, lines) + body)
            return False
        if name == "set-cookie":
            return self.send_reply(req, keep, reply, extra + ["Set-Cookie: " + c for c in p["cookies"]])
        if name == "status":
            if p["seconds"] and not self.wait_for_close(p["seconds"]):
                return False
            custom = Reply(p["code"], p["content_type"], p["body"])
            custom.reason = p["reason"]
            return self.send_reply(req, keep, custom, extra)
        if name == "stall":
            if not self.wait_for_close(p["seconds"]) or p["seconds"] is None:
                return False
            return self.send_reply(req, keep, reply, extra)
        if name in ("stall-mid-body", "close-mid-body"):
            lines = self.standard(reply.content_type) + ["Content-Length: %d" % len(body)]
            lines += self.connection_lines(req, keep) + reply.headers + extra
            half = len(body) // 2
            self.send(self.head(reply.status, reply.reason, lines) + body[:half])
            if name == "close-mid-body" or not self.wait_for_close(p["seconds"]):
                return False
            self.send(body[half:])
            return keep
        if name == "close-before-status":
            return False
        if name == "garbage":
            self.send(p["bytes"])
            return False
        if name == "charset":
            charset = None
            match = re.search(r";\s*charset\s*=\s*\"?([^\";\s]+)", p["value"], re.I)
            if match:
                try:
                    charset = codecs.lookup(match.group(1)).name
                except LookupError:
                    charset = None
            encoded = reply.text.encode(charset, "replace") if charset else body
            return self.send_reply(req, keep, reply, extra, encoded, content_type=p["value"])
        if name == "gzip-bomb":
            return self.send_reply(req, keep, reply, extra, gzip_bomb(p["megabytes"]), encoding="gzip")
        # The three below end only when a send fails because the client has gone, or the server stops.
        if name == "trickle":
            data = self.framed(req, keep, reply, extra)
            for index in range(len(data)):
                if index and self.pause(p["interval_ms"]):
                    return False
                self.send(data[index : index + 1])
            return keep
        if name == "endless-continue":
            while True:
                self.send(b"HTTP/1.1 100 Continue\r\n\r\n")
                if self.pause(p["interval_ms"]):
                    return False
        if name == "endless-chunks":
            lines = self.standard(reply.content_type) + ["Transfer-Encoding: chunked"]
            lines += self.connection_lines(req, keep) + reply.headers + extra
            self.send(self.head(reply.status, reply.reason, lines))
            piece = b"%x\r\n" % p["chunk"] + b"x" * p["chunk"] + b"\r\n"
            while True:
                self.send(piece)
                if p["interval_ms"] and self.pause(p["interval_ms"]) or self.server.stopping.is_set():
                    return False
        raise AssertionError(name)

    def control(self, req, path):
        routes = {"/_fake/requests": "GET", "/_fake/reset": "POST", "/_fake/mode": "POST"}
        if path not in routes:
            return self.send_json(req, 404, {"error": "unknown control path"})
        if req.method != routes[path]:
            return self.send_json(req, 405, {"error": "use " + routes[path]})
        if path == "/_fake/requests":
            with self.state.lock:
                records = list(self.state.records)
            return self.send_json(req, 200, records)
        if path == "/_fake/reset":
            self.state.reset()
            return self.send_json(req, 200, {"ok": True})
        try:
            mode = Mode(json.loads(req.body.decode("utf-8")))
        except (ValueError, UnicodeDecodeError) as failure:
            return self.send_json(req, 400, {"error": str(failure)})
        self.state.set_mode(mode)
        return self.send_json(req, 200, {"ok": True})


class FakeEngine:
    def __init__(self, bind="127.0.0.1", cert=None, key=None):
        self.bind = bind
        self.state = State()
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.live = {}  # connection number -> socket, for waking them at stop
        self.threads = set()
        self.count = 0
        self.context = None
        if cert:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(cert, key)
            # Whatever protocol version the client under test speaks is its business; the fake takes them all.
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)
                    self.context.minimum_version = ssl.TLSVersion.TLSv1
                self.context.set_ciphers("ALL:@SECLEVEL=0")
            except (ValueError, ssl.SSLError):
                pass
            self.context.options |= getattr(ssl, "OP_IGNORE_UNEXPECTED_EOF", 0)
            self.context.sni_callback = self._sni
        self.listeners = [self._listen(False)]
        if self.context:
            self.listeners.append(self._listen(True))

    def _listen(self, tls):
        family, kind, proto, _, address = socket.getaddrinfo(
            self.bind, 0, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
        sock = socket.socket(family, kind, proto)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(64)
        sock.settimeout(POLL)
        return sock, tls

    def ports(self):
        ports = {"http": self.listeners[0][0].getsockname()[1], "https": None}
        if len(self.listeners) > 1:
            ports["https"] = self.listeners[1][0].getsockname()[1]
        return ports

    def authority(self, port):
        return ("[%s]:%d" if ":" in self.bind else "%s:%d") % (self.bind, port)

    @staticmethod
    def _sni(sock, name, context):
        sock.fake_sni = name

    def start(self):
        for sock, tls in self.listeners:
            self._spawn(self._accept_loop, sock, tls)

    def _spawn(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        with self.lock:
            self.threads.add(thread)
        thread.start()

    def _accept_loop(self, listener, tls):
        try:
            while not self.stopping.is_set():
                try:
                    sock, _ = listener.accept()
                except socket.timeout:
                    continue
                except OSError:
                    if self.stopping.is_set():
                        return
                    time.sleep(POLL)
                    continue
                self._spawn(self._serve, sock, tls)
        finally:
            with self.lock:
                self.threads.discard(threading.current_thread())

    def _serve(self, sock, tls):
        with self.lock:
            self.count += 1
            number = self.count
            self.live[number] = sock
        try:
            sni = None
            if tls:
                sock.settimeout(HANDSHAKE_TIMEOUT)
                wrapped = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
                with self.lock:
                    self.live[number] = sock = wrapped
                sock.do_handshake()
                sni = getattr(sock, "fake_sni", None)
            Connection(self, sock, number, tls, sni).run()
        except (OSError, ssl.SSLError):
            pass  # the client went away or the handshake failed: nothing to answer
        except Exception:  # noqa: BLE001 - one bad connection must not take the server down
            traceback.print_exc()
        finally:
            with self.lock:
                self.live.pop(number, None)
                self.threads.discard(threading.current_thread())
            self._linger(sock)
            try:
                sock.close()
            except OSError:
                pass

    def _linger(self, sock):
        """Ends the connection as a careful web server does: close_notify on TLS (without waiting for the
        peer's), then our FIN, then the client's unread bytes drained for a moment, so that closing with
        unread input does not reset the connection and destroy an answer the client has not read yet."""
        try:
            if isinstance(sock, ssl.SSLSocket):
                try:
                    sock.settimeout(0.0)
                    sock.unwrap()
                except (OSError, ValueError):
                    pass
            sock.shutdown(socket.SHUT_WR)
            sock.settimeout(POLL)
            deadline = time.monotonic() + LINGER
            while time.monotonic() < deadline and not self.stopping.is_set():
                try:
                    if not sock.recv(65536):
                        return
                except socket.timeout:
                    continue
        except (OSError, ValueError):
            pass

    def stop(self):
        self.stopping.set()
        for sock, _ in self.listeners:
            sock.close()
        with self.lock:
            for sock in self.live.values():
                # On a duplicate descriptor, so that a TLS wrapper's state is not touched from this thread.
                try:
                    with socket.fromfd(sock.fileno(), sock.family, sock.type) as dup:
                        dup.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            threads = list(self.threads)
        deadline = time.monotonic() + JOIN_TIMEOUT
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))


def write_port_file(path, ports):
    temp = "%s.%d.tmp" % (path, os.getpid())
    with open(temp, "w", encoding="ascii") as out:
        json.dump(ports, out)
    os.replace(temp, path)


def main(argv=None):
    parent = os.getppid()
    parser = argparse.ArgumentParser(description="Stand-in for the online translation engines.")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args(argv)
    if bool(args.cert) != bool(args.key):
        parser.error("--cert and --key go together")
    server = FakeEngine(args.bind, args.cert, args.key)
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: server.stopping.set())
    server.start()
    write_port_file(args.port_file, server.ports())
    # Reparenting means the test that started us is gone.
    while not server.stopping.wait(0.25):
        if os.getppid() != parent:
            break
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
