"""The JSON API of `brindle serve` against a real server process and real data files."""

import json
import select
import socket
import subprocess
import time

import pytest

from conftest import Server, tool


def get_value(db, key, name):
    return tool(db, "get", key, name).stdout.decode().rstrip("\n")


# ---- Who may reach the server.

def test_token_in_the_address_becomes_a_strict_http_only_cookie(server):
    status, headers, _ = server.request("GET", f"/?token={server.token}", cookie=False)
    assert status == 303 and headers["Location"] == "/"
    cookie = headers["Set-Cookie"]
    assert cookie.startswith(f"brindle_token={server.token};")
    assert "HttpOnly" in cookie and "SameSite=Strict" in cookie
    assert headers["Referrer-Policy"] == "no-referrer"
    status, headers, page = server.request("GET", "/")
    assert status == 200 and b"<!DOCTYPE html>" in page
    assert "default-src 'self'" in headers["Content-Security-Policy"]


@pytest.mark.parametrize("cookie, path", [
    (False, "/"),
    (False, "/api/keys?key=%5B%5D"),
    ("brindle_token=0123456789abcdef0123456789abcdef", "/api/keys?key=%5B%5D"),
    ("other=1", "/app.js"),
    (False, "/?token=0123456789abcdef0123456789abcdef"),
])
def test_requests_without_the_token_are_refused(server, cookie, path):
    status, headers, data = server.request("GET", path, cookie=cookie)
    assert status == 403
    assert "Set-Cookie" not in headers
    assert json.loads(data)["name"] == "refused"


@pytest.mark.parametrize("host, allowed", [
    ("localhost:{port}", True),
    ("127.0.0.1:{port}", True),
    ("LOCALHOST", True),
    ("attacker.example:{port}", False),
    ("127.0.0.1.attacker.example:{port}", False),
    ("127.0.0.1:1", False),
    ("", False),
])
def test_host_header_must_name_the_bound_address_or_localhost(server, host, allowed):
    status, _, _ = server.request("GET", "/api/info", host=host.format(port=server.port) or " ")
    assert (status == 200) == allowed


def test_changing_request_without_the_page_header_changes_nothing(server, db):
    body = {"key": ["App"], "name": "port", "type": "int", "value": "80"}
    status, reply = server.post("/api/set", body, changing=False)
    assert status == 403 and "X-Brindle-Request" in reply["message"]
    assert tool(db, "get", "App", "port", check=False).returncode == 1
    # A form of another site can send neither the header nor, being cross-site, the cookie.
    status, _ = server.post("/api/set", body, cookie=False)
    assert status == 403
    assert server.post("/api/set", body)[0] == 200
    assert get_value(db, "App", "port") == "80"


def test_read_only_server_refuses_every_change(db):
    tool(db, "set", "App", "name", "demo")
    server = Server(db, "--read-only")
    try:
        assert server.get("/api/info")[1]["readonly"] is True
        status, view = server.get("/api/props", key=["App"])
        assert status == 200 and view["readonly"] is True
        for path, body in [("/api/set", {"key": ["App"], "name": "x", "type": "int", "value": "1"}),
                           ("/api/unset", {"key": ["App"], "name": "name"}),
                           ("/api/mkkey", {"key": ["App"], "name": "child"}),
                           ("/api/rmkey", {"key": ["App"]}),
                           ("/api/mvkey", {"key": ["App"], "name": "Other"}),
                           ("/api/import", b"anything")]:
            status, reply = server.post(path, body)
            assert status == 403, path
            assert reply["code"] == 56 and reply["name"] == "BRN_ERR_OPENED_READ_ONLY"
        # Writers in other processes carry on beside it.
        tool(db, "set", "App", "name", "changed")
    finally:
        assert server.stop() == 0
    assert tool(db, "ls", "App").stdout == b""
    assert get_value(db, "App", "name") == "changed"


def test_upload_past_the_limit_is_refused_and_imports_nothing(db, tmp_path):
    tool(db, "mkkey", "Big")
    tool(db, "set", "Big", "blob", "-t", "binary", "--file", "-",
         input_bytes=bytes(range(256)) * 8192)  # 2 MiB
    exported = str(tmp_path / "big.brx")
    tool(db, "export", "Big", exported)
    tool(db, "mvkey", "Big", "Kept")
    server = Server(db, "--max-upload", "1")
    try:
        with open(exported, "rb") as f:
            status, reply = server.post("/api/import", f.read())
        assert status == 413 and "--max-upload 1 MiB" in reply["message"]
        assert server.post("/api/import", b"x" * 1000)[0] == 400  # small, but not an export
    finally:
        assert server.stop() == 0
    assert tool(db, "ls").stdout.decode().split() == ["App", "Kept"]


# ---- The operations.

def test_set_reads_values_as_the_tool_does_and_shows_them_per_type(server, db):
    values = [("count", "short", "-7", "-7"),
              ("ratio", "double", "0.1", "0.1"),
              ("when", "datetime", "@86400", "1970-01-02T00:00:00Z"),
              ("blob", "binary", "AAEC/w==", "AAEC/w=="),
              ("label", "string", "h\u00e9", "h\u00e9")]
    for name, type_name, given, shown in values:
        status, _ = server.post("/api/set", {"key": ["App"], "name": name, "type": type_name,
                                             "value": given})
        assert status == 200, name
        assert get_value(db, "App", name) == shown
    status, view = server.get("/api/props", key=["App"])
    assert view["readonly"] is False
    listed = {p["name"]: p for p in view["properties"]}
    assert [(listed[n]["type"], listed[n]["text"]) for n, *_ in values] == \
        [(t, shown) for _, t, _, shown in values]
    assert listed["blob"]["hex"] == "000102ff" and listed["blob"]["size"] == 4


@pytest.mark.parametrize("type_name, given", [
    ("short", "70000"), ("int", "12abc"), ("byte", "-1"), ("datetime", "yesterday"),
    ("binary", "not base64!"), ("nosuchtype", "1"),
])
def test_invalid_value_gets_the_tools_message_and_writes_nothing(server, db, type_name, given):
    status, reply = server.post("/api/set", {"key": ["App"], "name": "p", "type": type_name,
                                             "value": given})
    assert status == 400
    assert reply["code"] == 102 and reply["name"] == "BRN_ERR_INVALID_ARGUMENT"
    cli = tool(db, "set", "App", "p", "-t", type_name, given, check=False)
    assert cli.returncode != 0
    assert reply["message"] == cli.stderr.decode().strip().removeprefix("brindle: ")
    assert tool(db, "get", "App", "p", check=False).returncode == 1


def test_keys_are_created_renamed_measured_and_deleted(server, db):
    assert server.post("/api/mkkey", {"key": [], "name": "Net"})[0] == 200
    assert server.post("/api/mkkey", {"key": ["Net"], "name": "a/b"})[0] == 200
    assert server.post("/api/mkkey", {"key": ["Net"], "name": "c"})[0] == 200
    assert server.post("/api/set", {"key": ["Net", "a/b"], "name": "x", "type": "int",
                                    "value": "1"})[0] == 200
    assert get_value(db, "Net\\a/b", "x") == "1"
    status, reply = server.post("/api/mvkey", {"key": ["Net", "c"], "name": "a/b"})
    assert status == 409 and reply["name"] == "BRN_ERR_KEY_EXISTS"
    assert server.post("/api/mvkey", {"key": ["Net", "c"], "name": "d"})[0] == 200
    assert server.get("/api/measure", key=["Net"])[1] == {"keys": 3, "properties": 1}
    assert server.post("/api/rmkey", {"key": ["Net", "a/b"]})[0] == 200
    assert tool(db, "ls", "Net").stdout == b"d\n"
    assert server.post("/api/unset", {"key": ["App"], "name": "none"})[0] == 404
    status, reply = server.get("/api/props", key=["Net", "gone"])
    assert status == 404 and reply["name"] == "BRN_ERR_KEY_NOT_FOUND"
    assert server.post("/api/set", {"key": ["App"]})[0] == 400  # fields missing


def test_children_are_paged_and_filtered(server, db, tmp_path):
    dump = {"brindle_dump": 1, "at": ["App"],
            "keys": [{"name": "many", "keys": [{"name": f"k{i:04}"} for i in range(450)]}]}
    (tmp_path / "many.json").write_text(json.dumps(dump))
    tool(db, "load", str(tmp_path / "many.json"))
    status, first = server.get("/api/keys", key=["App", "many"])
    assert first["total"] == 450 and len(first["keys"]) == 200
    status, last = server.get("/api/keys", key=["App", "many"], offset=400, limit=200)
    assert [k["name"] for k in last["keys"]] == [f"k{i:04}" for i in range(400, 450)]
    status, found = server.get("/api/keys", key=["App", "many"], filter="k01")
    assert found["total"] == 100
    status, reply = server.get("/api/keys", key=["App", "many"], offset="-1")
    assert status == 400 and reply["message"] == "offset takes a whole number, not '-1'"


def test_main_keys_list_their_flags_and_a_read_only_one_refuses_changes(db):
    tool(db, "mkkey", "--hidden", "Secret")
    tool(db, "mkkey", "--readonly", "Fixed")
    server = Server(db)
    try:
        listed = {k["name"]: k for k in server.get("/api/keys", key=[])[1]["keys"]}
        assert (listed["Secret"]["hidden"], listed["Fixed"]["readonly"]) == (True, True)
        assert (listed["App"]["hidden"], listed["App"]["readonly"]) == (False, False)
        assert server.get("/api/props", key=["Fixed"])[1]["readonly"] is True
        status, reply = server.post("/api/set", {"key": ["Fixed"], "name": "p", "type": "int",
                                                 "value": "1"})
        assert status == 403 and reply["name"] == "BRN_ERR_READ_ONLY"
    finally:
        assert server.stop() == 0


def test_export_import_and_dump_round_trip(server, db):
    tool(db, "mkkey", "App/net")
    tool(db, "set", "App/net", "port", "-t", "int", "8080")
    status, headers, exported = server.request("GET", "/api/export?key=" +
                                               "%5B%22App%22%2C%22net%22%5D")
    assert status == 200 and 'filename="net.brx"' in headers["Content-Disposition"]
    status, headers, dumped = server.request("GET", "/api/dump?key=%5B%22App%22%5D")
    assert status == 200 and json.loads(dumped)["keys"][0]["keys"][0]["name"] == "net"
    tool(db, "rmkey", "App/net")
    assert server.post("/api/import", exported)[0] == 200
    assert get_value(db, "App/net", "port") == "8080"


def test_changes_by_other_processes_arrive_as_events(server, db):
    with socket.create_connection(("127.0.0.1", server.port), timeout=30) as connection:
        connection.sendall(f"GET /api/events HTTP/1.1\r\nHost: localhost:{server.port}\r\n"
                           f"Cookie: brindle_token={server.token}\r\n\r\n".encode())
        received = b""
        while b"text/event-stream" not in received:
            received += connection.recv(4096)
        tool(db, "set", "App", "port", "-t", "int", "1")
        deadline = time.monotonic() + 30
        while b"property-set" not in received and time.monotonic() < deadline:
            if select.select([connection], [], [], 1)[0]:
                received += connection.recv(4096)
    event = next(line for line in received.split(b"\n") if b"property-set" in line)
    assert json.loads(event.split(b"data: ", 1)[1]) | {"seq": 0} == \
        {"seq": 0, "kind": "property-set", "key": ["App"], "name": "port"}
