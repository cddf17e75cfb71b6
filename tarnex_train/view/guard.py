"""What keeps the view the tool of whoever started it, on a machine or a
network shared with others:

- Host names: a view on the loopback answers only requests addressed to a
  loopback name, so a page elsewhere cannot reach it by rebinding its own
  DNS name to 127.0.0.1.
- Writes: a POST must carry JSON and may not come from another origin. A
  browser sends a JSON body across origins only after asking first, which
  the view never allows, and it names the page's origin on every POST.
- A token, when the view has one (always when it listens beyond the
  loopback): every request carries it, in a query parameter once (the
  address the view prints), then in a cookie the browser keeps.
- Unexpected failures: one log line and a one-line 500, not a traceback on
  the server's standard error.
- Slow clients: a connection gets ``request_seconds`` to send each whole
  request, or it is closed (``SlowClientProtocol``).
"""

from __future__ import annotations

import ipaddress
import json
import logging
import secrets
from http.cookies import SimpleCookie
from urllib.parse import parse_qs

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

log = logging.getLogger(__name__)

LOOPBACK_NAMES = frozenset({"localhost", "127.0.0.1", "::1"})
TOKEN_PARAMETER = "token"
TOKEN_HEADER = b"x-tarnex-token"
SAFE_METHODS = ("GET", "HEAD")


def is_loopback(host: str) -> bool:
    if host in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def host_name(header: str) -> str:
    """The name in a Host header, without its port ("[::1]:80" -> "::1")."""
    header = header.strip().lower()
    if header.startswith("["):
        return header[1:].split("]", 1)[0]
    return header.rsplit(":", 1)[0] if header.count(":") == 1 else header


def make_token() -> str:
    return secrets.token_urlsafe(18)


async def _send_error(send, status: int, message: str, extra_headers=()) -> None:
    body = json.dumps({"error": message}).encode()
    headers = [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode()), *extra_headers]
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})


class Guard:
    """ASGI middleware around the view's application. ``allowed_hosts``:
    the Host names it answers (None: any, for a view beyond the loopback,
    which has a token instead); ``token``: the secret every request must
    carry, or None; ``cookie``: the name it is kept under (one per port, as
    browsers share cookies between the ports of a host)."""

    def __init__(self, app, allowed_hosts, token: str | None, cookie: str) -> None:
        self.app = app
        self.allowed_hosts = allowed_hosts
        self.token = token
        self.cookie = cookie

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        headers = {}
        for key, value in scope.get("headers", ()):
            headers.setdefault(key.lower(), value.decode("latin-1"))
        refusal = self._refusal(scope, headers)
        if refusal is not None:
            return await _send_error(send, *refusal)
        send = self._keeping_token(scope, headers, send)
        try:
            await self.app(scope, receive, send)
        except Exception as error:  # a fault of ours: one line in the log, one line to the client
            log.error("internal error on %s %s: %s: %s", scope.get("method"), scope.get("path"),
                      type(error).__name__, " ".join(str(error).split())[:300],
                      exc_info=log.isEnabledFor(logging.DEBUG))
            try:
                await _send_error(send, 500, f"internal error: {type(error).__name__}")
            except Exception:  # the response had begun: the client sees a cut connection
                pass

    def _refusal(self, scope, headers: dict):
        host = headers.get(b"host", "")
        if self.allowed_hosts is not None and host_name(host) not in self.allowed_hosts:
            return 403, f"this view does not answer for host {host[:80]!r}"
        if self.token is not None and not secrets.compare_digest(self._given_token(scope, headers), self.token):
            return 401, "this view needs its token: open the address it printed when it started"
        if scope.get("method") not in SAFE_METHODS:
            origin = headers.get(b"origin")
            if origin is not None and origin != f"{scope.get('scheme', 'http')}://{host}":
                return 403, "requests from another site may not change anything here"
            if headers.get(b"sec-fetch-site") not in (None, "same-origin", "none"):
                return 403, "requests from another site may not change anything here"
            kind = headers.get(b"content-type", "").split(";", 1)[0].strip().lower()
            if kind != "application/json":
                return 415, "send a JSON body (Content-Type: application/json)"
        return None

    def _given_token(self, scope, headers: dict) -> str:
        query = parse_qs(scope.get("query_string", b"").decode("latin-1")).get(TOKEN_PARAMETER)
        if query:
            return query[0]
        if TOKEN_HEADER in headers:
            return headers[TOKEN_HEADER]
        jar = SimpleCookie()
        try:
            jar.load(headers.get(b"cookie", ""))
        except Exception:  # a malformed cookie header carries no token
            return ""
        return jar[self.cookie].value if self.cookie in jar else ""

    def _keeping_token(self, scope, headers: dict, send):
        """``send``, adding the cookie to the response of a request that
        brought the token in its query."""
        if self.token is None or TOKEN_PARAMETER not in parse_qs(scope.get("query_string", b"").decode("latin-1")):
            return send
        cookie = f"{self.cookie}={self.token}; Path=/; HttpOnly; SameSite=Strict".encode()

        async def with_cookie(message):
            if message["type"] == "http.response.start":
                message = {**message, "headers": [*message.get("headers", ()), (b"set-cookie", cookie)]}
            await send(message)

        return with_cookie


class SlowClientProtocol(H11Protocol):
    """uvicorn's HTTP/1.1 protocol with a deadline for every request: from
    the connection's start, or the end of the previous response, the client
    has ``REQUEST_SECONDS`` to send the whole request. uvicorn's own
    keep-alive timer restarts with every byte, so a client sending one byte
    at a time would hold a connection for ever."""

    REQUEST_SECONDS = 20.0

    def connection_made(self, transport) -> None:
        super().connection_made(transport)
        self._deadline = None
        self._arm()

    def _arm(self) -> None:
        self._disarm()
        self._deadline = self.loop.call_later(self.REQUEST_SECONDS, self._too_slow)

    def _disarm(self) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
            self._deadline = None

    def _too_slow(self) -> None:
        self._deadline = None
        if self.conn.their_state is not h11.DONE and not self.transport.is_closing():
            log.info("closed a connection from %s that took over %g s to send its request", self.client,
                     self.REQUEST_SECONDS)
            self.transport.close()

    def handle_events(self) -> None:
        super().handle_events()
        if self.conn.their_state is h11.DONE:
            self._disarm()

    def on_response_complete(self) -> None:
        super().on_response_complete()
        if not self.transport.is_closing():
            self._arm()

    def connection_lost(self, exc) -> None:
        self._disarm()
        super().connection_lost(exc)


def slow_client_protocol(seconds: float) -> type:
    return type("SlowClientProtocol", (SlowClientProtocol,), {"REQUEST_SECONDS": float(seconds)})
