"""Open a page in headless Chromium and report what a reader's browser saw.

Talks the DevTools protocol over the pipe Chromium opens with
``--remote-debugging-pipe`` (file descriptors 3 and 4, NUL-terminated JSON
messages), so no WebSocket client or browser-automation package is needed.
"""

from __future__ import annotations

import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

BINARIES = ("chromium", "chromium-browser", "google-chrome")
# The sanitizer run preloads its runtime into every child; the browser is no
# part of what it checks.
_SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")
# Every step of a page load here takes well under a second; this only stops a hung browser.
TIMEOUT = 60.0


def find() -> str | None:
    for name in BINARIES:
        path = shutil.which(name)
        if path:
            return path
    return None


@dataclass
class Visit:
    """What loading one page gave."""

    screenshot: bytes
    height: float
    #: Console messages, uncaught exceptions and browser log entries of level
    #: warning or error, as (kind, text).
    complaints: list[tuple[str, str]] = field(default_factory=list)
    #: Every URL the page asked for (the page itself included).
    requests: list[str] = field(default_factory=list)
    #: The value of the JavaScript expression given to ``visit``.
    probe: Any = None


class _Pipe:
    def __init__(self, binary: str, profile: str) -> None:
        commands_read, commands_write = os.pipe()
        replies_read, replies_write = os.pipe()
        # Above 2 and clear of 3 and 4, so the child can move them there safely.
        self._child_ends = [
            fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (commands_read, replies_write)
        ]
        os.close(commands_read)
        os.close(replies_write)
        reads, writes = self._child_ends

        def place_pipe_ends() -> None:
            os.dup2(reads, 3)  # dup2 clears close-on-exec: these two survive the exec
            os.dup2(writes, 4)

        self.process = subprocess.Popen(
            [binary, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--remote-debugging-pipe", f"--user-data-dir={profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            close_fds=False, preexec_fn=place_pipe_ends,
            env={name: value for name, value in os.environ.items() if name not in _SANITIZER_VARIABLES},
        )  # fmt: skip
        for fd in self._child_ends:
            os.close(fd)
        self._send = os.fdopen(commands_write, "wb", buffering=0)
        self._receive = os.fdopen(replies_read, "rb", buffering=0)
        self._buffer = b""
        self._next_id = 0
        self.events: list[dict[str, Any]] = []
        self._deadline = time.monotonic() + TIMEOUT

    def _message(self) -> dict[str, Any]:
        while b"\0" not in self._buffer:
            if time.monotonic() > self._deadline:
                raise TimeoutError("Chromium did not answer in time")
            chunk = self._receive.read(1 << 16)
            if not chunk:
                raise EOFError("Chromium closed the pipe")
            self._buffer += chunk
        text, self._buffer = self._buffer.split(b"\0", 1)
        message: dict[str, Any] = json.loads(text)
        return message

    def call(self, method: str, session: str | None = None, **params: Any) -> dict[str, Any]:
        self._next_id += 1
        message: dict[str, Any] = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self._send.write(json.dumps(message).encode() + b"\0")
        while True:
            reply = self._message()
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                result: dict[str, Any] = reply["result"]
                return result
            self.events.append(reply)

    def wait_for(self, event: str) -> None:
        if any(seen.get("method") == event for seen in self.events):
            return
        while True:
            message = self._message()
            self.events.append(message)
            if message.get("method") == event:
                return

    def close(self) -> None:
        try:
            self.call("Browser.close")
        except (EOFError, BrokenPipeError, TimeoutError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._send.close()
        self._receive.close()


def _complaints(events: list[dict[str, Any]]) -> list[tuple[str, str]]:
    found = []
    for event in events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "warning", "assert"):
            text = " ".join(
                str(arg.get("value", arg.get("description", ""))) for arg in params.get("args", [])
            )
            found.append(("console", text))
        elif method == "Runtime.exceptionThrown":
            found.append(("exception", params.get("exceptionDetails", {}).get("text", "")))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") in ("error", "warning"):
            found.append(("log", params["entry"].get("text", "")))
    return found


def visit(binary: str, page: Path, probe: str = "null", width: int = 1100) -> Visit:
    """Load ``page``, evaluate ``probe`` in it, and take a full-page screenshot."""
    with tempfile.TemporaryDirectory(prefix="indexfuse-chromium-") as profile:
        pipe = _Pipe(binary, profile)
        try:
            targets = pipe.call("Target.getTargets")["targetInfos"]
            page_target = next(target for target in targets if target["type"] == "page")
            session = pipe.call("Target.attachToTarget", targetId=page_target["targetId"], flatten=True)[
                "sessionId"
            ]
            for domain in ("Runtime", "Log", "Network", "Page"):
                pipe.call(f"{domain}.enable", session)
            pipe.call(
                "Emulation.setDeviceMetricsOverride",
                session,
                width=width,
                height=900,
                deviceScaleFactor=1,
                mobile=False,
            )
            pipe.call("Page.navigate", session, url=page.resolve().as_uri())
            pipe.wait_for("Page.loadEventFired")
            value = pipe.call("Runtime.evaluate", session, expression=probe, returnByValue=True)[
                "result"
            ].get("value")
            height = pipe.call("Page.getLayoutMetrics", session)["cssContentSize"]["height"]
            whole = {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}
            shot = pipe.call(
                "Page.captureScreenshot", session, format="png", captureBeyondViewport=True, clip=whole
            )
        finally:
            pipe.close()
    requests = [
        event["params"]["request"]["url"]
        for event in pipe.events
        if event.get("method") == "Network.requestWillBeSent"
    ]
    return Visit(base64.b64decode(shot["data"]), height, _complaints(pipe.events), requests, value)
