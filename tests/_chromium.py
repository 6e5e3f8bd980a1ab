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
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")
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
            env={name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES},
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
        # Each step has its own time: a page kept open for many steps is not a hung browser.
        self._deadline = time.monotonic() + TIMEOUT
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
        self._deadline = time.monotonic() + TIMEOUT
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


class Session:
    """One page in headless Chromium, kept open for several steps.

    Load a page, then evaluate scripts (a promise is awaited), resize and
    take screenshots, and read everything the page asked for and complained
    about; :func:`visit` is one load, one probe and one screenshot of it.
    Use as a context manager: the browser closes at the end of the block.
    """

    def __init__(self, binary: str, width: int = 1100, height: int = 900) -> None:
        self._profile = tempfile.TemporaryDirectory(prefix="indexfuse-chromium-")
        self._pipe = _Pipe(binary, self._profile.name)
        try:
            targets = self._pipe.call("Target.getTargets")["targetInfos"]
            page_target = next(target for target in targets if target["type"] == "page")
            self._session = self._pipe.call(
                "Target.attachToTarget", targetId=page_target["targetId"], flatten=True
            )["sessionId"]
            for domain in ("Runtime", "Log", "Network", "Page"):
                self._pipe.call(f"{domain}.enable", self._session)
            self.resize(width, height)
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> Session:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self._pipe.close()
        self._profile.cleanup()

    def resize(self, width: int, height: int = 900) -> None:
        self.width = width
        self._pipe.call(
            "Emulation.setDeviceMetricsOverride", self._session,
            width=width, height=height, deviceScaleFactor=1, mobile=False,
        )  # fmt: skip

    def load(self, page: Path, fragment: str = "") -> None:
        """Open ``page`` from its file address (with ``#fragment``) and wait for its load event."""
        # Through a blank page: a move to the same page with another fragment
        # would only scroll, and fire no load event.
        for url in ("about:blank", page.resolve().as_uri() + (f"#{fragment}" if fragment else "")):
            self._pipe.events = [event for event in self._pipe.events if event.get("method") != "Page.loadEventFired"]
            self._pipe.call("Page.navigate", self._session, url=url)
            self._pipe.wait_for("Page.loadEventFired")

    def add_script(self, source: str) -> None:
        """Run ``source`` in every page loaded from now on, before the page's own scripts."""
        self._pipe.call("Page.addScriptToEvaluateOnNewDocument", self._session, source=source)

    def evaluate(self, expression: str) -> Any:
        """The value of a JavaScript expression in the page; a promise is awaited."""
        reply = self._pipe.call(
            "Runtime.evaluate", self._session, expression=expression, returnByValue=True, awaitPromise=True
        )
        if "exceptionDetails" in reply:
            details = reply["exceptionDetails"]
            raise RuntimeError(details.get("exception", {}).get("description", details.get("text", "")))
        return reply["result"].get("value")

    def screenshot(self) -> bytes:
        """The whole page as PNG, at the current width."""
        height = self._pipe.call("Page.getLayoutMetrics", self._session)["cssContentSize"]["height"]
        whole = {"x": 0, "y": 0, "width": self.width, "height": height, "scale": 1}
        shot = self._pipe.call(
            "Page.captureScreenshot", self._session, format="png", captureBeyondViewport=True, clip=whole
        )
        return base64.b64decode(shot["data"])

    @property
    def height(self) -> float:
        return float(self._pipe.call("Page.getLayoutMetrics", self._session)["cssContentSize"]["height"])

    @property
    def requests(self) -> list[str]:
        """Every URL the page asked for so far (the page itself included)."""
        return [
            event["params"]["request"]["url"]
            for event in self._pipe.events
            if event.get("method") == "Network.requestWillBeSent"
        ]

    @property
    def complaints(self) -> list[tuple[str, str]]:
        """Console errors and warnings, uncaught exceptions and dialogs opened, as (kind, text)."""
        dialogs = [
            ("dialog", event["params"].get("message", ""))
            for event in self._pipe.events
            if event.get("method") == "Page.javascriptDialogOpening"
        ]
        return _complaints(self._pipe.events) + dialogs


def visit(binary: str, page: Path, probe: str = "null", width: int = 1100) -> Visit:
    """Load ``page``, evaluate ``probe`` in it, and take a full-page screenshot."""
    with Session(binary, width) as session:
        session.load(page)
        value = session._pipe.call("Runtime.evaluate", session._session, expression=probe, returnByValue=True)[
            "result"
        ].get("value")
        height = session.height
        shot = session.screenshot()
        return Visit(shot, height, session.complaints, session.requests, value)
