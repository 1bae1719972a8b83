"""A running `brindle serve` on a free loopback port, and a small HTTP client for it."""

import http.client
import json
import os
import re
import signal
import subprocess
import urllib.parse

import pytest

TOOL = os.environ.get("BRINDLE_TOOL", "brindle")


def tool(db, *args, check=True, input_bytes=None):
    """Runs the tool on `db`; returns the completed process (text output)."""
    result = subprocess.run([TOOL, "--db", db, *args], capture_output=True, input=input_bytes)
    if check and result.returncode != 0:
        raise AssertionError(f"brindle {' '.join(args)}: {result.stderr.decode()}")
    return result


class Server:
    """One `brindle serve` process; stopped (SIGTERM) by stop()."""

    def __init__(self, db, *options):
        self.db = db
        self.process = subprocess.Popen(
            [TOOL, "--db", db, "serve", "--port", "0", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        match = re.search(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)", line)
        if not match:
            self.process.kill()
            raise AssertionError("serve printed no address: " + line + self.process.stderr.read())
        self.port = int(match.group(1))
        self.token = match.group(2)
        self.url = match.group(0)

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise

    def request(self, method, path, body=None, headers=None, cookie=True, changing=None,
                host=None):
        """Sends one request; returns (status, headers, body bytes). Changing requests carry the
        page's header unless changing=False; the token cookie goes unless cookie=False."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        all_headers = {"Host": host or f"127.0.0.1:{self.port}"}
        if cookie:
            all_headers["Cookie"] = f"brindle_token={self.token}" if cookie is True else cookie
        if changing if changing is not None else method == "POST":
            all_headers["X-Brindle-Request"] = "1"
        all_headers.update(headers or {})
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        connection.request(method, path, body=body, headers=all_headers)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response.status, response.headers, data

    def get(self, path, **params):
        query = urllib.parse.urlencode(
            {k: json.dumps(v) if k == "key" else v for k, v in params.items()})
        status, _, data = self.request("GET", path + ("?" + query if query else ""))
        return status, json.loads(data) if data else None

    def post(self, path, body, **options):
        status, _, data = self.request("POST", path, body=body, **options)
        return status, json.loads(data) if data else None


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "db")
    tool(path, "mkkey", "App")
    return path


@pytest.fixture
def server(db):
    running = Server(db)
    yield running
    assert running.stop() == 0
