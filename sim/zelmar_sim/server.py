"""The simulator: a threaded HTTP server on loopback speaking the platform's REST and GraphQL
endpoints as the modules use them, and a job service for the analysis worker."""
from __future__ import annotations

import base64
import email.message
import itertools
import json
import re
import secrets
import socket
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Mapping, Optional, Union
from urllib.parse import parse_qs, quote, unquote, urlsplit

from .world import Project, Token, World, default_world, storage_href

#: A decoded JSON document, as the simulator answers and reads them.
JSON = dict[str, Any]
#: The query string of a request, parsed.
Query = dict[str, list[str]]
#: The headers of a request.
Headers = Union[Mapping[str, str], "email.message.Message"]

#: The platform endpoints, by the names faults and log entries use.
ENDPOINTS = ("hubs", "hub", "project", "tip", "signed_url", "download", "aec_hubs", "element_groups")
FAULT_TARGETS = ENDPOINTS + ("graphql", "analysis")

FILTER = re.compile(r"^metadata\.fileUrn=='(.*)'$", re.S)


def default_origin() -> str:
    """The platform origin the module talks to (its _BASE_URL), or the stand-in's default."""
    try:
        from zelmar.external.brimvale import _BASE_URL
    except ImportError:
        return "https://api.brimvale.example"
    return _BASE_URL


@dataclass
class Fault:
    """Something to do instead of (or before) answering the next `times` requests."""

    target: str
    times: int = 1
    status: Optional[int] = None   # answer with this error status
    delay: float = 0.0             # wait this long first, then answer normally
    body: Optional[bytes] = None   # answer 200 with this raw body (for example, not JSON)
    graphql_errors: Optional[list[str]] = None  # answer 200 with these errors and no data
    repeat_cursor: bool = False    # page answers carry the cursor that was asked for
    message: Optional[str] = None  # analysis: the worker reports this error message


def without_signature(path: str) -> str:
    """The path as the request log keeps it: a signed URL's signature is a secret too."""
    return re.sub(r"([?&]signature=)[^&]*", r"\1<redacted>", path)


@dataclass(repr=False)
class LoggedRequest:
    method: str
    path: str
    headers: dict[str, str]
    body: bytes
    endpoint: str
    status: int = 0

    def json(self) -> Any:
        return json.loads(self.body)

    def __repr__(self) -> str:
        # Records end up in test reports and logs: the bearer token stays out of them.
        headers = {name: "<redacted>" if name.lower() == "authorization" else value
                   for name, value in self.headers.items()}
        return (f"LoggedRequest(method={self.method!r}, path={self.path!r}, headers={headers!r}, "
                f"body={self.body!r}, endpoint={self.endpoint!r}, status={self.status!r})")


@dataclass
class Job:
    id: str
    program: str
    version: int
    body: str
    status: str = "queued"
    result_content: Optional[JSON] = None
    error_message: Optional[str] = None
    fault: Optional[Fault] = None

    def state(self) -> JSON:
        return {"id": self.id, "program": self.program, "version": self.version, "status": self.status,
                "result_content": self.result_content, "error_message": self.error_message}


class Answer(Exception):
    """Ends the handling of a request with this status and JSON (or raw) body."""

    def __init__(self, status: int, body: Union[bytes, JSON], content_type: str = "application/json"):
        super().__init__(status)
        self.status, self.body, self.content_type = status, body, content_type


def encode_cursor(offset: int) -> str:
    return base64.urlsafe_b64encode(f"offset:{offset}".encode()).decode()


def decode_cursor(cursor: Optional[str]) -> int:
    if not cursor:
        return 0
    try:
        kind, _, offset = base64.urlsafe_b64decode(cursor.encode()).decode().partition(":")
        if kind == "offset":
            return int(offset)
    except (ValueError, UnicodeDecodeError):
        pass
    raise Answer(200, {"errors": [{"message": f"Invalid cursor {cursor!r}"}]})


class Simulator:
    """The platform and the analysis worker on loopback.

    ``with Simulator(world) as platform:`` starts it; while it runs, the stand-in SDK's
    session sends requests for the platform's origin here (an adapter mounted on it, with
    the session's own retry policy) and ``ExternalProgram.execute`` hands jobs to a worker
    process through it. ``stop()`` closes the listener only (later requests are refused);
    ``close()``, or leaving the ``with`` block, also undoes the routing.
    """

    def __init__(self, world: Optional[World] = None, *, port: int = 0, origin: Optional[str] = None,
                 route_sdk: bool = True, links_to_self: bool = False):
        self.world = world if world is not None else default_world()
        self.origin = (origin or default_origin()).rstrip("/")
        self.requests: list[LoggedRequest] = []      # platform requests, in order
        self.job_requests: list[LoggedRequest] = []  # the job service's own traffic
        self._port = port
        self._route_sdk = route_sdk
        self._links_to_self = links_to_self
        self._faults: list[Fault] = []
        self._lock = threading.Lock()
        self._signatures: dict[str, tuple[str, str, float]] = {}
        self._jobs: dict[str, Job] = {}
        self._job_ids = itertools.count(1)
        self._server: Optional[_Server] = None
        self._worker_process: Optional[subprocess.Popen[bytes]] = None
        self._undo: list[Callable[[], None]] = []

    # ---- lifecycle ----

    @property
    def url(self) -> str:
        """Where the simulator listens, e.g. http://127.0.0.1:54321."""
        if self._server is None:
            raise RuntimeError("the simulator is not running")
        host, port = self._server.server_address[:2]
        return f"http://{host!s}:{port}"

    @property
    def link_origin(self) -> str:
        """The origin of the links the simulator hands out (storage addresses, signed
        download URLs): the platform's own while the SDK is routed here, the simulator's
        address when it serves clients of other processes."""
        return self.url if self._links_to_self else self.origin

    @property
    def connections(self) -> int:
        """TCP connections accepted so far (a client that keeps its connections alive
        opens few)."""
        return self._server.accepted if self._server is not None else 0

    def start(self) -> "Simulator":
        handler = type("Handler", (_Handler,), {"simulator": self})
        self._server = _Server(("127.0.0.1", self._port), handler)
        # A short poll keeps stop() quick.
        threading.Thread(target=self._server.serve_forever, args=(0.02,), name="zelmar-sim", daemon=True).start()
        if self._route_sdk:
            self._undo.extend(_route_sdk(self.origin, self.url))
        return self

    def stop(self) -> None:
        """Stops listening and drops the connections clients keep open; routed requests are
        then refused, as by a platform that is down."""
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server.drop_connections()
        if self._worker_process is not None:
            self._worker_process.terminate()
            self._worker_process.wait(timeout=10)
            self._worker_process = None

    def close(self) -> None:
        self.stop()
        while self._undo:
            self._undo.pop()()

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- what tests use ----

    def fault(self, target: str, **what: Any) -> Fault:
        """Injects a fault for the next request(s) to an endpoint (see ENDPOINTS), to both
        GraphQL queries ("graphql"), or to analysis jobs ("analysis")."""
        if target not in FAULT_TARGETS:
            raise ValueError(f"unknown fault target {target!r}; one of {', '.join(FAULT_TARGETS)}")
        fault = Fault(target, **what)
        with self._lock:
            self._faults.append(fault)
        return fault

    def clear_log(self) -> None:
        with self._lock:
            self.requests.clear()
            self.job_requests.clear()

    def log(self) -> list[tuple[str, str]]:
        """(method, path) of every platform request so far."""
        with self._lock:
            return [(r.method, r.path) for r in self.requests]

    def _take_fault(self, *targets: str) -> Optional[Fault]:
        with self._lock:
            for fault in self._faults:
                if fault.target in targets and fault.times > 0:
                    fault.times -= 1
                    if fault.times == 0:
                        self._faults.remove(fault)
                    return fault
        return None

    # ---- the platform ----

    def _token(self, headers: Headers) -> Token:
        value = headers.get("Authorization", "")
        token = self.world.tokens.get(value[len("Bearer "):]) if value.startswith("Bearer ") else None
        if token is None or token.expired:
            raise Answer(401, {"message": "The access token is missing, invalid or expired."})
        return token

    def _project(self, token: Token, project_id: str) -> Project:
        project = self.world.projects.get(project_id)
        if project is None:
            raise Answer(404, {"errors": [{"detail": f"Project {project_id} not found"}]})
        if not token.sees_project(project_id) or not token.sees_hub(project.hub_id):
            raise Answer(403, {"errors": [{"detail": "You don't have permission to access this project"}]})
        return project

    def hubs(self, token: Token, _query: Query) -> JSON:
        return {"jsonapi": {"version": "1.0"},
                "data": [hub.record() for hub in self.world.hubs if token.sees_hub(hub.id)]}

    def hub(self, token: Token, _query: Query, hub_id: str) -> JSON:
        for hub in self.world.hubs:
            if hub.id == hub_id and token.sees_hub(hub_id):
                return {"jsonapi": {"version": "1.0"}, "data": hub.record()}
        raise Answer(404, {"errors": [{"detail": f"Hub {hub_id} not found"}]})

    def project(self, token: Token, _query: Query, hub_id: str, project_id: str) -> JSON:
        project = self.world.projects.get(project_id)
        if project is None or project.hub_id != hub_id:
            raise Answer(404, {"errors": [{"detail": f"Project {project_id} not found in hub {hub_id}"}]})
        project = self._project(token, project_id)
        return {"jsonapi": {"version": "1.0"},
                "data": {"type": "projects", "id": project.id, "attributes": {"name": project.name}}}

    def tip(self, token: Token, _query: Query, project_id: str, item_id: str) -> JSON:
        project = self._project(token, project_id)
        item = project.items.get(item_id)
        if item is None:
            raise Answer(404, {"errors": [{"detail": f"Item {item_id} not found"}]})
        version = item.tip
        return {"jsonapi": {"version": "1.0"}, "data": {
            "type": "versions",
            "id": f"{item.id}?version={version.number}",
            "attributes": {"name": item.name, "displayName": item.name, "versionNumber": version.number,
                           "storageSize": len(version.content)},
            "relationships": {
                "item": {"data": {"type": "items", "id": item.id}},
                "storage": {"data": {"type": "objects", "id": f"urn:oss:{version.bucket}/{version.object_key}"},
                            "meta": {"link": {"href": storage_href(self.link_origin, version)}}},
            },
        }}

    def signed_url(self, token: Token, _query: Query, bucket: str, object_key: str) -> JSON:
        if self.world.find_object(bucket, object_key) is None:
            raise Answer(404, {"reason": f"Object {object_key} not found in bucket {bucket}"})
        signature = secrets.token_urlsafe(12)
        with self._lock:
            self._signatures[signature] = (bucket, object_key, time.time() + 120)
        url = f"{self.link_origin}/sim-storage/{quote(bucket, safe='')}/{quote(object_key, safe='')}?signature={signature}"
        return {"status": "complete", "url": url, "params": {}}

    def download(self, query: Query, bucket: str, object_key: str) -> bytes:
        signature = query.get("signature", [""])[0]
        with self._lock:
            granted = self._signatures.get(signature)
        found = self.world.find_object(bucket, object_key)
        if granted is None or granted[:2] != (bucket, object_key) or granted[2] < time.time() or found is None:
            raise Answer(403, b"<Error><Code>AccessDenied</Code></Error>", "application/xml")
        return found.content

    def graphql(self, token: Token, headers: Headers, body: bytes, endpoint: str,
                fault: Optional[Fault]) -> JSON:
        payload = json.loads(body)
        variables = payload.get("variables") or {}
        region = headers.get("Region")
        pagination = variables.get("pagination") or {}
        offset = decode_cursor(pagination.get("cursor"))
        size = pagination.get("limit") or self.world.page_size
        found: list[Any]
        if endpoint == "aec_hubs":
            found = [h for h in self.world.aec_hubs if h.region == region and token.sees_aec_hub(h.id)]
            key = "hubs"
        else:
            hub = next((h for h in self.world.aec_hubs if h.id == variables.get("hubId")), None)
            if hub is None or hub.region != region or not token.sees_aec_hub(hub.id):
                raise Answer(200, {"errors": [{"message": f"Hub {variables.get('hubId')} not found in region {region}"}]})
            query = (variables.get("filter") or {}).get("query")
            wanted = None
            if query is not None:
                match = FILTER.match(query)
                if match is None or "'" in match.group(1):
                    raise Answer(200, {"errors": [{"message": f"Invalid filter {query!r}"}]})
                wanted = match.group(1)
            found = [g for g in self.world.element_groups
                     if g.aec_hub_id == hub.id and (wanted is None or g.file_urn == wanted)]
            key = "elementGroupsByHub"
        page = found[offset:offset + size]
        cursor = encode_cursor(offset + size) if offset + size < len(found) else None
        if fault is not None and fault.repeat_cursor:
            cursor = pagination.get("cursor") or encode_cursor(offset)
        return {"data": {key: {"results": [{"id": record.id} for record in page], "pagination": {"cursor": cursor}}}}

    def route(self, method: str, path: str) -> tuple[Optional[str], tuple[str, ...]]:
        """(endpoint, arguments) of a platform request; None when no endpoint has that path."""
        if not path.startswith("/"):
            return None, ()
        parts = [unquote(part) for part in path[1:].split("/")]
        table: list[tuple[str, list[Optional[str]], str]] = [
            ("GET", ["project", "v1", "hubs"], "hubs"),
            ("GET", ["project", "v1", "hubs", None], "hub"),
            ("GET", ["project", "v1", "hubs", None, "projects", None], "project"),
            ("GET", ["data", "v1", "projects", None, "items", None, "tip"], "tip"),
            ("GET", ["oss", "v2", "buckets", None, "objects", None, "signeds3download"], "signed_url"),
            ("GET", ["sim-storage", None, None], "download"),
            ("POST", ["aec", "graphql"], "graphql"),
        ]
        for verb, pattern, endpoint in table:
            if verb == method and len(pattern) == len(parts) and all(p is None or p == q for p, q in zip(pattern, parts)):
                return endpoint, tuple(q for p, q in zip(pattern, parts) if p is None)
        return None, ()

    # ---- the job service of the analysis worker ----

    def submit_job(self, request: JSON) -> Job:
        job = Job(f"job-{next(self._job_ids)}", request["program"], request["version"], request["body"])
        job.fault = self._take_fault("analysis")
        with self._lock:
            self._jobs[job.id] = job
            if self._worker_process is None or self._worker_process.poll() is not None:
                # Started on the first job, so that runs without analyses cost nothing.
                self._worker_process = subprocess.Popen([sys.executable, "-m", "zelmar_sim.worker", self.url])
        return job

    def claim_job(self) -> Optional[Job]:
        with self._lock:
            for job in self._jobs.values():
                if job.status == "queued":
                    job.status = "running"
                    return job
        return None

    def job(self, job_id: str) -> Job:
        job = self._jobs.get(job_id)
        if job is None:
            raise Answer(404, {"message": f"no job {job_id}"})
        return job


def _route_sdk(origin: str, target: str) -> list[Callable[[], None]]:
    """Sends the SDK session's requests for origin to target; returns the undo steps."""
    from .routing import route_session
    from zelmar.core import _Context
    from zelmar.external import external_program

    undo = [route_session(_Context.session_with_retries, origin, target)]
    previous = external_program.use_worker(external_program.RemoteWorker(target))

    def restore_worker() -> None:
        external_program.use_worker(previous)

    undo.append(restore_worker)
    return undo


class _Server(ThreadingHTTPServer):
    """The listener: a thread per connection, and the connections kept, so that stop() can
    drop them as a platform that goes down would."""

    daemon_threads = True

    def __init__(self, address: tuple[str, int], handler: type[BaseHTTPRequestHandler]):
        super().__init__(address, handler)
        self.accepted = 0
        self._open: set[socket.socket] = set()
        self._open_lock = threading.Lock()

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._open_lock:
            self.accepted += 1
            self._open.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self._open_lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def drop_connections(self) -> None:
        with self._open_lock:
            dropped, self._open = self._open, set()
        for connection in dropped:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (a time-out during an injected delay) or went away is no
        # error of the simulator's: nothing for the user's stderr.
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            return
        super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    simulator: Simulator
    server_version = "zelmar-sim/1"
    # Keep-alive: the SDK session's pooled connections are reused, not reset per request.
    protocol_version = "HTTP/1.1"
    # An idle kept-alive connection ends after this long.
    timeout = 30

    def log_message(self, format: str, *args: Any) -> None:  # the request log is the record
        pass

    def do_GET(self) -> None:
        self._handle("GET")

    def do_POST(self) -> None:
        self._handle("POST")

    def do_DELETE(self) -> None:
        self._handle("DELETE")

    def _handle(self, method: str) -> None:
        sim = self.simulator
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        split = urlsplit(self.path)
        if split.path.startswith("/worker/"):
            entry = LoggedRequest(method, without_signature(self.path), dict(self.headers), body, "jobs")
            with sim._lock:
                sim.job_requests.append(entry)
            self._answer(entry, self._jobs(method, split.path, body))
            return
        if split.path.startswith("/sim/"):  # the simulator's own endpoints: in no log
            self._answer(LoggedRequest(method, without_signature(self.path), dict(self.headers), body, "control"),
                         self._control(method, split.path))
            return
        endpoint, args = sim.route(method, split.path)
        if endpoint == "graphql":
            text = body.decode("utf-8", "replace")
            endpoint = "aec_hubs" if "GetHubs" in text else "element_groups" if "GetElementGroupsByHub" in text else "graphql"
        entry = LoggedRequest(method, without_signature(self.path), dict(self.headers), body, endpoint or "unknown")
        with sim._lock:
            sim.requests.append(entry)
        self._answer(entry, self._platform(endpoint, args, split.query, body))

    def _platform(self, endpoint: Optional[str], args: tuple[str, ...], query_string: str, body: bytes) -> Answer:
        sim = self.simulator
        try:
            if endpoint is None:
                raise Answer(404, {"message": "Not found"})
            targets = (endpoint, "graphql") if endpoint in ("aec_hubs", "element_groups") else (endpoint,)
            fault = sim._take_fault(*targets)
            if fault is not None:
                time.sleep(fault.delay)
                if fault.status is not None:
                    raise Answer(fault.status, {"message": f"Simulated error {fault.status}"})
                if fault.body is not None:
                    raise Answer(200, fault.body, "text/html")
                if fault.graphql_errors is not None:
                    raise Answer(200, {"errors": [{"message": m} for m in fault.graphql_errors]})
            query = parse_qs(query_string)
            if endpoint == "download":
                return Answer(200, sim.download(query, *args), "application/octet-stream")
            token = sim._token(self.headers)
            if endpoint in ("aec_hubs", "element_groups"):
                if not self.headers.get("Region"):
                    raise Answer(400, {"errors": [{"message": "Region header required"}]})
                return Answer(200, sim.graphql(token, self.headers, body, endpoint, fault))
            if endpoint == "graphql":
                raise Answer(400, {"errors": [{"message": "Unknown query"}]})
            answer: JSON = getattr(sim, endpoint)(token, query, *args)
            return Answer(200, answer)
        except Answer as answer:
            return answer
        except (ValueError, KeyError, TypeError) as error:
            return Answer(400, {"message": f"Bad request: {error}"})

    def _control(self, method: str, path: str) -> Answer:
        """The simulator's own endpoints, for applications in other processes: what it is
        (GET /sim/v1/info), the files it serves with their web URLs (GET /sim/v1/files) and
        the platform requests it saw (GET /sim/v1/requests)."""
        sim = self.simulator
        if method == "GET" and path == "/sim/v1/info":
            return Answer(200, {"url": sim.url, "origin": sim.origin, "link_origin": sim.link_origin})
        if method == "GET" and path == "/sim/v1/files":
            with sim._lock:
                return Answer(200, {"files": sim.world.files()})
        if method == "GET" and path == "/sim/v1/requests":
            with sim._lock:
                log = [{"method": r.method, "path": r.path, "endpoint": r.endpoint, "status": r.status}
                       for r in sim.requests]
            return Answer(200, {"requests": log})
        return Answer(404, {"message": "Not found"})

    def _jobs(self, method: str, path: str, body: bytes) -> Answer:
        sim = self.simulator
        parts = path.strip("/").split("/")[2:]  # after worker/v1
        try:
            if method == "POST" and parts == ["jobs"]:
                return Answer(201, {"id": sim.submit_job(json.loads(body)).id})
            if method == "POST" and parts == ["jobs", "claim"]:
                job = sim.claim_job()
                if job is None:
                    return Answer(204, b"")
                claim: JSON = {"id": job.id, "program": job.program, "version": job.version, "body": job.body}
                if job.fault is not None:
                    claim.update(delay=job.fault.delay, message=job.fault.message)
                return Answer(200, claim)
            if method == "POST" and len(parts) == 3 and parts[0] == "jobs" and parts[2] == "done":
                job, outcome = sim.job(parts[1]), json.loads(body)
                if job.status == "running":
                    job.result_content = outcome.get("result_content")
                    job.error_message = outcome.get("error_message")
                    job.status = "failed" if job.error_message is not None else "finished"
                return Answer(200, job.state())
            if method == "GET" and len(parts) == 2 and parts[0] == "jobs":
                return Answer(200, sim.job(parts[1]).state())
            if method == "DELETE" and len(parts) == 2 and parts[0] == "jobs":
                job = sim.job(parts[1])
                job.status = "cancelled"
                return Answer(200, job.state())
            return Answer(404, {"message": "Not found"})
        except Answer as answer:
            return answer

    def _answer(self, entry: LoggedRequest, answer: Answer) -> None:
        data = answer.body if isinstance(answer.body, bytes) else json.dumps(answer.body).encode()
        entry.status = answer.status
        self.send_response(answer.status)
        if answer.status != 204:
            self.send_header("Content-Type", answer.content_type)
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if answer.status != 204:
            self.wfile.write(data)
