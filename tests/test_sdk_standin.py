"""The stand-in SDK does for real what the modules rely on: retries, HTTPError, File."""
import http.server
import threading
import traceback

import pytest

import zelmar.core
from zelmar._vendor.requests import exceptions as sdk_exceptions
from zelmar.core import File, new_session_with_retries


class Server:
    """A loopback server answering from a list of (status, body), last answer repeated."""

    def __init__(self, answers):
        self.answers = list(answers)
        self.hits = 0
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                code, body = owner.answers[min(owner.hits, len(owner.answers) - 1)]
                owner.hits += 1
                self.send_response(code)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/f"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def serve():
    servers = []

    def start(*answers):
        servers.append(Server(answers))
        return servers[-1]

    yield start
    for server in servers:
        server.close()


def test_http_error_is_the_requests_class():
    import requests

    assert sdk_exceptions.HTTPError is requests.exceptions.HTTPError


def test_retries_then_success(serve):
    server = serve((503, b""), (503, b""), (200, b"ok"))
    response = new_session_with_retries().get(server.url, timeout=10)
    assert response.status_code == 200 and server.hits == 3


def test_exhausted_retries_give_the_last_response(serve):
    server = serve((503, b"busy"))
    response = new_session_with_retries().get(server.url, timeout=10)
    assert response.status_code == 503 and server.hits == 4
    with pytest.raises(sdk_exceptions.HTTPError):
        response.raise_for_status()


def test_client_errors_are_not_retried(serve):
    server = serve((404, b""))
    assert new_session_with_retries().get(server.url, timeout=10).status_code == 404
    assert server.hits == 1


def test_file_from_url_downloads_on_first_read(serve, monkeypatch):
    monkeypatch.setattr(zelmar.core._Context, "session_with_retries", new_session_with_retries())
    server = serve((200, b"content"))
    file = File.from_url(server.url)
    assert server.hits == 0
    assert file.getvalue_binary() == b"content" and file.getvalue() == "content"
    assert file.open_binary().read() == b"content"
    assert server.hits == 1
    assert "127.0.0.1" not in repr(File.from_url(server.url))


@pytest.mark.parametrize("answer, error, status", [((403, b""), sdk_exceptions.HTTPError, 403),
                                                    (None, sdk_exceptions.ConnectionError, None)])
def test_file_download_error_keeps_the_signature_out(serve, monkeypatch, answer, error, status):
    monkeypatch.setattr(zelmar.core._Context, "session_with_retries", new_session_with_retries())
    server = serve(answer or (200, b""))
    if answer is None:
        server.close()  # refused: the message quotes the path and query
    url = server.url + "?X-Signature=s3cr%2Ft&Expires=1"
    with pytest.raises(error) as info:
        File.from_url(url).getvalue_binary()
    shown = "".join(traceback.format_exception(info.type, info.value, info.tb))
    assert "s3cr" not in shown and "/f?[query hidden]" in str(info.value) and info.value.__context__ is None
    assert getattr(info.value.response, "status_code", None) == status


@pytest.mark.parametrize("data, stored", [(b"\x00\x01", b"\x00\x01"), ("t\u00e9", "t\u00e9".encode())])
def test_file_from_data(data, stored):
    assert File.from_data(data).getvalue_binary() == stored


@pytest.mark.parametrize("call", [lambda: File.from_data(5), lambda: File.from_url(b"u"), lambda: File()])
def test_file_refuses_bad_input(call):
    with pytest.raises((TypeError, ValueError)):
        call()


@pytest.mark.parametrize("body, message", [("!!not base64", "ERROR: input file could not be read"),
                                           ("", "ERROR: input file is empty")])
def test_local_worker_reports_unusable_input(body, message):
    from zelmar.external.external_program import LocalWorker, _JobContent

    outcome = LocalWorker().run("dunmere", 1, _JobContent(body=body), timeout=5)
    assert outcome.error_message == message and outcome.result_content is None
