"""Drives headless Chromium over its DevTools pipe (file descriptors 3 and 4, JSON messages ended by
a NUL byte), so a test can wait for the page itself to say it is done instead of guessing a time.

  drive.py golden PAGE OUT          runs PAGE?golden and writes its CSV rows to OUT; fails when
                                    the page reported an error (an exception, console.error)
  drive.py picture PAGE OUT [KEYS]  opens PAGE?at=2 (&KEYS: panel keys such as links=40), pauses it
                                    and saves a PNG to OUT
  drive.py drag PAGE OUT X0 X1 ROW  opens PAGE?at=2, drags with the right button from column X0
                                    to X1 on ROW, lets 1 s pass, pauses and saves a PNG to OUT
  drive.py measure PAGE             prints the page's speed figures
"""
import base64
import json
import os
import subprocess
import sys
import time

CHROMIUM = os.environ.get("CHROMIUM", "chromium")
WAIT = 300.0  # s; compiling the module on a busy machine takes seconds, not minutes


class Browser:
    def __init__(self, profile):
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()

        # The browser reads commands from descriptor 3 and writes replies to descriptor 4 (moved
        # through fresh descriptors first: the pipes may already sit on 3 or 4).
        def descriptors_3_and_4():
            read_end, write_end = os.dup(to_browser_read), os.dup(from_browser_write)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        self.process = subprocess.Popen(
            [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--no-first-run", "--remote-debugging-pipe", f"--user-data-dir={profile}", "about:blank"],
            preexec_fn=descriptors_3_and_4, pass_fds=(3, 4), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self.buffer = b""
        self.next_id = 0
        self.session = None
        self.errors = []  # what the page reported as errors: uncaught exceptions, console.error

    def call(self, method, params=None, session=True):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.buffer:
                chunk = os.read(self.from_browser, 1 << 16)
                if not chunk:
                    raise RuntimeError("the browser closed its pipe")
                self.buffer += chunk
            text, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(text)
            self.note_error(reply)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    def note_error(self, event):
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.exceptionThrown":
            self.errors.append(params["exceptionDetails"].get("text", "exception"))
        elif method == "Runtime.consoleAPICalled" and params.get("type") == "error":
            self.errors.append(" ".join(str(a.get("value", "")) for a in params.get("args", [])))
        elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
            self.errors.append(params["entry"].get("text", "error"))

    def open(self, url, width=900, height=600):
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target["targetId"], "flatten": True},
                                 session=False)["sessionId"]
        self.call("Runtime.enable")
        self.call("Log.enable")
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        self.call("Page.navigate", {"url": url})

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            return None
        return result["result"].get("value")

    def wait_for(self, expression):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.1)
        raise RuntimeError(f"the page never made {expression} true")

    def close(self):
        # Asked to close, the browser takes its helper processes down with it.
        try:
            message = {"id": self.next_id + 1, "method": "Browser.close", "params": {}}
            os.write(self.to_browser, json.dumps(message).encode() + b"\0")
            self.process.wait(timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


def main():
    mode, page = sys.argv[1:3]
    profile = os.path.join(os.path.dirname(os.path.abspath(page)), "profile")
    url = "file://" + os.path.abspath(page)
    browser = Browser(profile)
    try:
        if mode == "golden":
            browser.open(url + "?golden")
            rows = browser.wait_for("document.title === 'golden run done' && "
                                    "document.getElementById('results').textContent")
            with open(sys.argv[3], "w", encoding="utf-8") as f:
                f.write(rows + "\n")
            if browser.errors:  # the page must load and run without a single error
                sys.exit("the page reported errors: " + "; ".join(browser.errors))
        elif mode == "measure":
            browser.open(url + "?measure")
            print(browser.wait_for("document.title === 'measure done' && "
                                   "document.getElementById('results').textContent"))
        elif mode == "picture":
            browser.open(url + "?at=2" + "".join("&" + key for key in sys.argv[4:]))
            browser.wait_for("document.getElementById('status').textContent.startsWith('t = 2')")
            browser.evaluate("document.getElementById('pause').click()")
            # One more paint after the pause, so the picture shows what the status says.
            browser.wait_for("document.getElementById('status').textContent.includes('paused')")
            shot = browser.call("Page.captureScreenshot", {"format": "png"})
            with open(sys.argv[3], "wb") as f:
                f.write(base64.b64decode(shot["data"]))
        elif mode == "drag":
            start, end, row = (float(v) for v in sys.argv[4:7])
            browser.open(url + "?at=2")
            browser.wait_for("document.getElementById('status').textContent.startsWith('t = 2')")
            mouse = {"button": "right", "y": row, "clickCount": 1}
            browser.call("Input.dispatchMouseEvent", {**mouse, "type": "mousePressed", "x": start, "buttons": 2})
            for step in range(1, 11):
                x = start + (end - start) * step / 10
                browser.call("Input.dispatchMouseEvent", {**mouse, "type": "mouseMoved", "x": x, "buttons": 2})
            browser.call("Input.dispatchMouseEvent", {**mouse, "type": "mouseReleased", "x": end, "buttons": 0})
            browser.wait_for("parseFloat(document.getElementById('status').textContent.slice(4)) >= 3")
            browser.evaluate("document.getElementById('pause').click()")
            browser.wait_for("document.getElementById('status').textContent.includes('paused')")
            shot = browser.call("Page.captureScreenshot", {"format": "png"})
            with open(sys.argv[3], "wb") as f:
                f.write(base64.b64decode(shot["data"]))
        else:
            sys.exit(__doc__)
    finally:
        browser.close()


if __name__ == "__main__":
    main()
