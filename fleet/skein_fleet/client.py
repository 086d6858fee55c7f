"""One request to a box's control API, and what became of it.

A box answers with plain text. Everything else is told apart here so that
no message ever shows a proxy's HTML page: no connection at all
("unreachable"), a TLS handshake or a client certificate that one side
refused ("TLS refused"), or a page from the box's proxy instead of the
service's reply.
"""

import http.client
import re
import socket
import ssl
import threading
from urllib.parse import urlsplit

UNREACHABLE = "unreachable"
TLS_REFUSED = "TLS refused"

# What the box's nginx answers when the TLS handshake succeeded but the
# client certificate did not pass (none sent, another CA's, revoked,
# expired, not on the allow-list).
_CERTIFICATE_PAGES = re.compile(r"SSL certificate", re.IGNORECASE)
_TITLE = re.compile(r"<title>\s*(.*?)\s*</title>", re.IGNORECASE | re.DOTALL)


class Box:
    """How the controller reaches one box: its name, base URL (no trailing
    slash) and, behind the mutual-TLS proxy, the client certificate, its
    key and the CA of the proxy's certificate (paths; None for none)."""

    def __init__(self, name, base_url, cert=None, key=None, ca=None, timeout=10):
        self.name = name
        self.base_url = base_url
        self.cert = cert
        self.key = key
        self.ca = ca
        self.timeout = float(timeout)


class Reply:
    """The outcome of one request: `status` and `text` when the service
    answered (the body less a "Current version: " or the like, trimmed),
    otherwise `problem` (UNREACHABLE or TLS_REFUSED) and `reason`."""

    def __init__(self, status=None, text="", problem=None, reason=""):
        self.status = status
        self.text = text
        self.problem = problem
        self.reason = reason

    @property
    def ok(self):
        return self.status == 200

    def value(self, missing=None):
        """The text of a 200 reply; `missing` for anything else."""
        return self.text if self.ok else missing

    def why(self):
        """One line that says what the reply was, for messages."""
        if self.problem:
            return "%s: %s" % (self.problem, self.reason)
        return self.text if self.ok else "HTTP %s: %s" % (self.status, self.text)


_contexts = {}
_contexts_lock = threading.Lock()


def _tls_context(box):
    """One TLS context per set of certificate files, shared by the threads."""
    key = (box.ca, box.cert, box.key)
    with _contexts_lock:
        if key not in _contexts:
            context = ssl.create_default_context(cafile=box.ca)
            if box.cert:
                context.load_cert_chain(box.cert, box.key)
            _contexts[key] = context
        return _contexts[key]


def _connection(box):
    url = urlsplit(box.base_url)
    if url.scheme == "https":
        return http.client.HTTPSConnection(url.hostname, url.port or 443, timeout=box.timeout,
                                           context=_tls_context(box)), url.path
    if url.scheme == "http":
        return http.client.HTTPConnection(url.hostname, url.port or 80, timeout=box.timeout), url.path
    raise ValueError("skein_base_url must begin with http:// or https://: %r" % box.base_url)


def _reply_of(status, body):
    """A reply from the service, or the page of a proxy in front of it."""
    if not body.lstrip().startswith("<"):
        return Reply(status, body.split(": ", 1)[-1].strip())
    title = _TITLE.search(body)
    title = title.group(1) if title else "HTTP %d" % status
    if _CERTIFICATE_PAGES.search(title):
        return Reply(status, problem=TLS_REFUSED, reason="the box refused this controller's certificate (%s)" % title)
    # A gateway error: the proxy answers, the service behind it does not.
    return Reply(status, problem=UNREACHABLE, reason="the box's proxy answered %s" % title)


def get(box, path):
    """GET base URL + path on one box; never raises for network trouble."""
    try:
        connection, prefix = _connection(box)
    except ValueError as error:
        return Reply(problem=UNREACHABLE, reason=str(error))
    except OSError as error:
        return Reply(problem=TLS_REFUSED, reason="cannot use the controller's certificate files: %s" % error)
    try:
        connection.request("GET", prefix + path, headers={"Connection": "close"})
        response = connection.getresponse()
        return _reply_of(response.status, response.read().decode("utf-8", "replace"))
    except ssl.SSLCertVerificationError as error:
        return Reply(problem=TLS_REFUSED, reason="the box's certificate was refused: %s" % error.verify_message)
    except ssl.SSLError as error:
        return Reply(problem=TLS_REFUSED, reason="TLS handshake failed: %s" % (error.reason or error))
    except socket.timeout:
        return Reply(problem=UNREACHABLE, reason="no answer within %g s" % box.timeout)
    except (OSError, http.client.HTTPException) as error:
        return Reply(problem=UNREACHABLE, reason=_network_reason(error))
    finally:
        connection.close()


def _network_reason(error):
    if isinstance(error, socket.gaierror):
        return "cannot resolve the name: %s" % error.strerror
    if isinstance(error, http.client.RemoteDisconnected):
        return "closed the connection without a reply"
    return getattr(error, "strerror", None) or str(error) or type(error).__name__
