"""Headless Chromium driven over the DevTools protocol on a pipe, for the report's tests.

--remote-debugging-pipe gives the protocol on file descriptors 3 (to the
browser) and 4 (from it), messages ending in a NUL byte: no port, no
websocket library, nothing that reaches a network.
"""

import base64
import fcntl
import json
import os
import select
import shlex
import shutil
import subprocess
import tempfile
import time

CHROMIUM = shutil.which("chromium")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe", "--window-size=1400,1000"]
TIMEOUT_S = 60


class Page:
    """What a loaded page showed: problems reported by the browser, and answers to expressions."""

    def __init__(self, browser, session, url):
        self._browser, self._session, self.url = browser, session, url

    def evaluate(self, expression):
        reply = self._browser.call("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                                   self._session)
        result = reply["result"]
        if "exceptionDetails" in result:
            raise AssertionError("%s failed: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def screenshot(self, path):
        data = self._browser.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True},
                                  self._session)["result"]["data"]
        with open(path, "wb") as stream:
            stream.write(base64.b64decode(data))

    @property
    def errors(self):
        """Console errors, uncaught exceptions and failed loads (a missing image) of this page."""
        return self._browser.errors_of(self._session)


class Browser:
    def __init__(self):
        self._profile = tempfile.mkdtemp(prefix="tarnlog-chromium-")
        to_browser, self._out = os.pipe()
        self._in, from_browser = os.pipe()
        # The browser's ends at numbers above 4, so that the shell can put them
        # at 3 and 4 (bash takes numbers of two digits) without one redirection
        # overwriting the source of the other.
        ends = [fcntl.fcntl(end, fcntl.F_DUPFD, 10) for end in (to_browser, from_browser)]
        os.close(to_browser)
        os.close(from_browser)
        command = " ".join(shlex.quote(a) for a in [CHROMIUM] + FLAGS + ["--user-data-dir=" + self._profile,
                                                                         "about:blank"])
        self._process = subprocess.Popen(["/bin/bash", "-c", "exec %s 3<&%d 4>&%d" % (command, ends[0], ends[1])],
                                         pass_fds=ends, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for end in ends:
            os.close(end)
        self._buffer = b""
        self._next_id = 0
        self._events = []

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        try:
            self.call("Browser.close")
        except (OSError, TimeoutError):
            pass
        try:
            self._process.wait(10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        os.close(self._out)
        os.close(self._in)
        shutil.rmtree(self._profile, ignore_errors=True)

    def call(self, method, params=None, session=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._out, json.dumps(message).encode() + b"\0")
        wanted = self._next_id
        reply = self._receive_until(lambda m: m.get("id") == wanted)
        if "error" in reply:
            raise AssertionError("%s: %s" % (method, reply["error"]))
        return reply

    def open(self, path):
        """Loads a file in a new tab and waits for its load event (images included)."""
        target = self.call("Target.createTarget", {"url": "about:blank"})["result"]["targetId"]
        session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["result"]["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(domain + ".enable", session=session)
        url = "file://" + os.path.abspath(path)
        self.call("Page.navigate", {"url": url}, session)
        self._receive_until(lambda m: m.get("method") == "Page.loadEventFired" and m.get("sessionId") == session)
        return Page(self, session, url)

    def errors_of(self, session):
        errors = []
        for event in self._events:
            if event.get("sessionId") != session:
                continue
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.exceptionThrown":
                errors.append(params["exceptionDetails"].get("exception", {}).get("description")
                              or params["exceptionDetails"]["text"])
            elif method == "Runtime.consoleAPICalled" and params["type"] in ("error", "assert"):
                errors.append(" ".join(str(a.get("value")) for a in params["args"]))
            elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
                errors.append("%s %s" % (params["entry"]["text"], params["entry"].get("url", "")))
        return errors

    def _receive_until(self, wanted):
        deadline = time.monotonic() + TIMEOUT_S
        while True:
            while b"\0" in self._buffer:
                raw, self._buffer = self._buffer.split(b"\0", 1)
                message = json.loads(raw)
                if wanted(message):
                    return message
                self._events.append(message)
            ready, _, _ = select.select([self._in], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                raise TimeoutError("no answer from chromium within %d s" % TIMEOUT_S)
            chunk = os.read(self._in, 1 << 20)
            if not chunk:
                raise OSError("chromium closed its pipe")
            self._buffer += chunk
