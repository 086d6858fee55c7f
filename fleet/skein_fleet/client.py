"""One request to a box's control API, bounded, and what became of it.

One deadline covers the whole request: the name, the connection, the TLS
handshake, sending it and the whole reply. At most 64 KiB of a reply is
read. So a box that trickles its reply, floods it or says nothing costs the
controller the request's time limit and a few KB at most, and no more.

A box answers with plain text. Everything else is told apart here, so that
no message shows a proxy's HTML page and no page counts as the service's
reply: no connection ("unreachable"), a TLS handshake or a client
certificate that one side refused ("TLS refused"), a request sent but no
whole reply in time ("no answer"), and a reply that is not the service's
("foreign reply": a page, or more than 64 KiB).
"""

import http.client
import io
import ipaddress
import re
import socket
import ssl
import threading
import time
from dataclasses import dataclass
from urllib.parse import urlsplit

from skein_fleet.contained import contain

UNREACHABLE = "unreachable"
TLS_REFUSED = "TLS refused"
NO_ANSWER = "no answer"
FOREIGN = "foreign reply"

# The service's replies are at most 2 KiB; a proxy adds a few headers.
REPLY_LIMIT = 64 * 1024

# The reason of a reply whose box refused this controller's certificate.
CONTROLLER_REFUSED = "the box refused this controller's certificate"
CERTIFICATE_FILES = "cannot use the controller's certificate files"

# What the box's nginx answers when the TLS handshake succeeded but the
# client certificate did not pass (none sent, another CA's, expired, not on
# the allow-list); and the TLS alerts by which a server refuses one.
_CERTIFICATE_PAGES = re.compile(r"SSL certificate", re.IGNORECASE)
_CERTIFICATE_ALERTS = re.compile(r"ALERT_(BAD_CERTIFICATE|CERTIFICATE_|UNKNOWN_CA|ACCESS_DENIED)")
_TITLE = re.compile(rb"<title>\s*(.*?)\s*</title>", re.IGNORECASE | re.DOTALL)
# A proxy's pages for a service it could not reach; 504 only once it had
# passed the request on.
_GATEWAY_PAGES = {502: False, 503: False, 504: True}


@dataclass(frozen=True)
class Box:
    """How the controller reaches one box: its name, base URL (no trailing
    slash) and, behind the mutual-TLS proxy, the client certificate, its
    key and the CA of the proxy's certificate (paths; None for none)."""
    name: str
    base_url: str
    cert: str = None
    key: str = None
    ca: str = None
    timeout: float = 10.0


@dataclass(frozen=True)
class Reply:
    """The outcome of one request: `status` and `text` (the body, trimmed
    and contained) when the service answered, otherwise `problem` and
    `reason`. `delivered` tells whether the request may have reached the
    service; `began` and `ended` are wall-clock times."""
    status: int = None
    text: str = ""
    problem: str = None
    reason: str = ""
    delivered: bool = True
    began: float = 0.0
    ended: float = 0.0

    def why(self):
        """One line that says what the reply was, for messages."""
        if self.problem:
            return "%s: %s" % (self.problem, self.reason)
        return self.text if self.status == 200 else "HTTP %s: %s" % (self.status, self.text)

    @property
    def refused_controller(self):
        return self.problem == TLS_REFUSED and self.reason.startswith((CONTROLLER_REFUSED, CERTIFICATE_FILES))


_contexts = {}
_contexts_lock = threading.Lock()


def tls_context(box):
    """One TLS context per set of certificate files, shared by the threads.
    Raises OSError or ssl.SSLError for files that cannot be used."""
    key = (box.ca, box.cert, box.key)
    with _contexts_lock:
        if key not in _contexts:
            context = ssl.create_default_context(cafile=box.ca)
            if box.cert:
                context.load_cert_chain(box.cert, box.key)
            _contexts[key] = context
        return _contexts[key]


_serials = {}


def certificate_serial(path):
    """The serial number of the certificate in a PEM file, in hex as openssl
    prints it; None without a file, or for one that cannot be read."""
    if path and path not in _serials:
        try:
            # The standard library's one reader of a certificate file.
            _serials[path] = ssl._ssl._test_decode_cert(path).get("serialNumber")
        except (OSError, ValueError):
            _serials[path] = None
    return _serials.get(path)


def _remaining(deadline):
    left = deadline - time.monotonic()
    if left <= 0:
        raise socket.timeout("the request's time is up")
    return left


def _addresses(host, port, deadline):
    """getaddrinfo within the deadline: a slow resolver is left behind on a
    thread of its own."""
    try:
        ipaddress.ip_address(host)
        return socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_NUMERICHOST)
    except ValueError:
        pass
    found = {}

    def resolve():
        try:
            found["addresses"] = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        except OSError as error:
            found["error"] = error

    resolver = threading.Thread(target=resolve, daemon=True)
    resolver.start()
    resolver.join(_remaining(deadline))
    if resolver.is_alive():
        raise socket.timeout("no address for the name within the time")
    if "error" in found:
        raise found["error"]
    return found["addresses"]


def _connect(host, port, deadline):
    error = OSError("no address")
    for family, kind, protocol, _, address in _addresses(host, port, deadline):
        sock = socket.socket(family, kind, protocol)
        try:
            sock.settimeout(_remaining(deadline))
            sock.connect(address)
            return sock
        except OSError as failure:
            sock.close()
            error = failure
    raise error


def _receive(sock, deadline):
    """(bytes, how the reading ended: "closed", "timeout" or "too large")."""
    chunks, size = [], 0
    while size <= REPLY_LIMIT:
        try:
            sock.settimeout(_remaining(deadline))
            chunk = sock.recv(16384)
        except socket.timeout:
            return b"".join(chunks), "timeout"
        except (ConnectionResetError, ssl.SSLEOFError, ssl.SSLZeroReturnError):
            chunk = b""
        if not chunk:
            return b"".join(chunks), "closed"
        chunks.append(chunk)
        size += len(chunk)
    return b"".join(chunks), "too large"


class _Recorded:
    """The bytes read, as the socket http.client parses a response from."""

    def __init__(self, data):
        self._data = data

    def makefile(self, mode):
        return io.BytesIO(self._data)


def _parse(raw, ending):
    """(status, headers, body) of a whole HTTP reply, or None. A reply
    without a length is whole only when the box closed the connection."""
    response = http.client.HTTPResponse(_Recorded(raw))
    try:
        response.begin()
        delimited = response.chunked or response.length is not None
        body = response.read()
    except (http.client.HTTPException, ValueError):
        return None
    if ending != "closed" and not delimited:
        return None
    return response.status, response.headers, body


def _page(status, body):
    """The Reply for an HTML page: a proxy's, never the service's."""
    title = _TITLE.search(body)
    title = contain(title.group(1).decode("utf-8", "replace") if title else "HTTP %d" % status)
    if _CERTIFICATE_PAGES.search(title):
        return Reply(status, problem=TLS_REFUSED, reason="%s (%s)" % (CONTROLLER_REFUSED, title), delivered=False)
    if status in _GATEWAY_PAGES:
        return Reply(status, problem=UNREACHABLE, reason="the box's proxy answered %s" % title,
                     delivered=_GATEWAY_PAGES[status])
    return Reply(status, problem=FOREIGN, reason="a page, not the service's reply: %s (HTTP %d)" % (title, status))


def _reply_of(raw, ending, timeout):
    if ending == "too large":
        return Reply(problem=FOREIGN, reason="a reply of more than %d KiB" % (REPLY_LIMIT // 1024))
    parsed = _parse(raw, ending)
    if parsed is None and ending == "timeout":
        return Reply(problem=NO_ANSWER, reason="no whole reply within %g s" % timeout)
    if parsed is None and not raw:
        return Reply(problem=NO_ANSWER, reason="closed the connection without a reply")
    if parsed is None and raw.startswith(b"HTTP/"):
        return Reply(problem=NO_ANSWER, reason="closed the connection in the middle of its reply")
    if parsed is None:
        return Reply(problem=FOREIGN, reason="not an HTTP reply: %s" % contain(raw[:80].decode("utf-8", "replace")))
    status, headers, body = parsed
    if "html" in headers.get("Content-Type", "").lower() or body.lstrip().startswith(b"<"):
        return _page(status, body)
    return Reply(status, contain(body.decode("utf-8", "replace").rstrip()))


def _request_bytes(url, path):
    host = url.netloc.rpartition("@")[2]
    return ("GET %s%s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (url.path, path, host)).encode()


def _failure(error, delivered, box):
    """The Reply for a request that ended in an exception."""
    if isinstance(error, ssl.SSLCertVerificationError):
        return Reply(problem=TLS_REFUSED, reason="the box's certificate was refused: %s" % error.verify_message,
                     delivered=False)
    if isinstance(error, ssl.SSLError) and not delivered:
        reason = error.reason or str(error)
        if _CERTIFICATE_ALERTS.search(reason):
            return Reply(problem=TLS_REFUSED, reason="%s (TLS alert %s)" % (CONTROLLER_REFUSED, reason),
                         delivered=False)
        return Reply(problem=TLS_REFUSED, reason="TLS handshake failed: %s" % reason, delivered=False)
    if isinstance(error, socket.timeout):
        if delivered:
            return Reply(problem=NO_ANSWER, reason="no whole reply within %g s" % box.timeout)
        return Reply(problem=UNREACHABLE, reason="no connection within %g s" % box.timeout, delivered=False)
    if isinstance(error, socket.gaierror):
        return Reply(problem=UNREACHABLE, reason="cannot resolve the name: %s" % error.strerror, delivered=False)
    reason = contain(getattr(error, "strerror", None) or str(error) or type(error).__name__)
    return Reply(problem=NO_ANSWER if delivered else UNREACHABLE, reason=reason, delivered=delivered)


def _exchange(box, url, path, deadline):
    """Sends the request and reads the reply; never raises."""
    delivered, sock = False, None
    try:
        context = tls_context(box) if url.scheme == "https" else None
    except (OSError, ssl.SSLError) as error:
        return Reply(problem=TLS_REFUSED, reason="%s: %s" % (CERTIFICATE_FILES, contain(error)), delivered=False)
    try:
        sock = _connect(url.hostname, url.port or (443 if context else 80), deadline)
        if context:
            sock.settimeout(_remaining(deadline))
            sock = context.wrap_socket(sock, server_hostname=url.hostname)
        sock.settimeout(_remaining(deadline))
        delivered = True
        sock.sendall(_request_bytes(url, path))
        raw, ending = _receive(sock, deadline)
        return _reply_of(raw, ending, box.timeout)
    except (OSError, ssl.SSLError) as error:
        return _failure(error, delivered, box)
    finally:
        if sock is not None:
            sock.close()


def get(box, path):
    """GET base URL + path on one box, within box.timeout; never raises for
    anything the box or the network does."""
    began = time.time()
    url = urlsplit(box.base_url)
    if url.scheme not in ("http", "https") or not url.hostname:
        reply = Reply(problem=UNREACHABLE, reason="skein_base_url must begin with http:// or https://: %s"
                      % contain(box.base_url), delivered=False)
    else:
        reply = _exchange(box, url, path, time.monotonic() + box.timeout)
    return Reply(reply.status, reply.text, reply.problem, reply.reason, reply.delivered, began, time.time())
