"""What the simulated platform holds: hubs, projects, items with versions and stored bytes,
AEC Data Model hubs and element groups, and the tokens that may see them."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Iterable, Optional
from urllib.parse import quote

WEB_ORIGIN = "https://app.brimvale.example"
DEFAULT_BUCKET = "brimvale-wip"


@dataclass
class Hub:
    id: str
    name: str
    region: str

    def record(self) -> dict[str, Any]:
        return {"type": "hubs", "id": self.id, "attributes": {"name": self.name, "region": self.region}}


@dataclass
class Version:
    number: int
    content: bytes
    object_key: str
    bucket: str = DEFAULT_BUCKET


@dataclass
class Item:
    id: str
    name: str
    versions: list[Version] = field(default_factory=list)

    @property
    def tip(self) -> Version:
        return self.versions[-1]


@dataclass
class Project:
    id: str
    name: str
    hub_id: str
    items: dict[str, Item] = field(default_factory=dict)


@dataclass
class AecHub:
    id: str
    name: str
    region: str


@dataclass
class ElementGroup:
    id: str
    aec_hub_id: str
    file_urn: str
    name: str = ""


@dataclass
class Token:
    """An access token and what it may see; None means everything of that kind."""

    value: str
    hubs: Optional[set[str]] = None
    projects: Optional[set[str]] = None
    aec_hubs: Optional[set[str]] = None
    expired: bool = False

    def sees_hub(self, hub_id: str) -> bool:
        return self.hubs is None or hub_id in self.hubs

    def sees_project(self, project_id: str) -> bool:
        return self.projects is None or project_id in self.projects

    def sees_aec_hub(self, hub_id: str) -> bool:
        return self.aec_hubs is None or hub_id in self.aec_hubs


@dataclass
class World:
    """The platform's data. Build one with the ``add_*`` methods; lists keep their order."""

    hubs: list[Hub] = field(default_factory=list)
    projects: dict[str, Project] = field(default_factory=dict)
    aec_hubs: list[AecHub] = field(default_factory=list)
    element_groups: list[ElementGroup] = field(default_factory=list)
    tokens: dict[str, Token] = field(default_factory=dict)
    #: Results per GraphQL page when the request names no limit.
    page_size: int = 50

    def add_hub(self, hub_id: str, *, region: str = "US", name: str = "") -> Hub:
        hub = Hub(hub_id, name or hub_id, region)
        self.hubs.append(hub)
        return hub

    def add_project(self, project_id: str, *, hub: str, name: str = "") -> Project:
        if not any(h.id == hub for h in self.hubs):
            raise ValueError(f"no hub {hub!r}")
        project = Project(project_id, name or project_id, hub)
        self.projects[project_id] = project
        return project

    def add_item(self, project: str, item_id: str, *, name: str, versions: Iterable[bytes]) -> Item:
        item = Item(item_id, name)
        for number, content in enumerate(versions, start=1):
            stem, dot, ext = name.rpartition(".")
            key = f"{project}/{stem or name}-v{number}{dot}{ext if stem else ''}"
            item.versions.append(Version(number, content, key))
        if not item.versions:
            raise ValueError("an item has at least one version")
        self.projects[project].items[item_id] = item
        return item

    def add_aec_hub(self, hub_id: str, *, region: str = "US", name: str = "") -> AecHub:
        hub = AecHub(hub_id, name or hub_id, region)
        self.aec_hubs.append(hub)
        return hub

    def add_element_group(self, group_id: str, *, aec_hub: str, file_urn: str, name: str = "") -> ElementGroup:
        group = ElementGroup(group_id, aec_hub, file_urn, name or group_id)
        self.element_groups.append(group)
        return group

    def add_token(self, value: str, *, hubs: Optional[Iterable[str]] = None, projects: Optional[Iterable[str]] = None,
                  aec_hubs: Optional[Iterable[str]] = None, expired: bool = False) -> Token:
        token = Token(value, _set(hubs), _set(projects), _set(aec_hubs), expired)
        self.tokens[value] = token
        return token

    def web_url(self, project: str, item: str, folder: str = "F-root") -> str:
        """The web URL a user copies for an item: what a BrimvaleFile is built from."""
        return f"{WEB_ORIGIN}/projects/{project}/folders/{folder}/items/{item}"

    def files(self) -> list[dict[str, str]]:
        """Every item as a user would find it: name, project, item id and web URL."""
        return [{"name": item.name, "project": project.id, "item": item.id, "web_url": self.web_url(project.id, item.id)}
                for project in self.projects.values() for item in project.items.values()]

    def find_object(self, bucket: str, object_key: str) -> Optional[Version]:
        for project in self.projects.values():
            for item in project.items.values():
                for version in item.versions:
                    if version.bucket == bucket and version.object_key == object_key:
                        return version
        return None


def _set(values: Optional[Iterable[str]]) -> Optional[set[str]]:
    return None if values is None else set(values)


DEMO_TOKEN = "demo-token"
EXPIRED_TOKEN = "expired-token"
DEMO_PROJECT = "P-2041"
DEMO_ITEM = "urn:brimvale.item:sloped-embankment"

DEMO_STI = b"""Dunmere input file
model: sloped embankment, two soil layers
layer 1: clay, cohesion 12 kPa, friction 22 deg
layer 2: sand, cohesion 0 kPa, friction 33 deg
phreatic line: 0,4 20,3.5 40,2
"""


def default_world() -> World:
    """The seeded world of the demo: a file whose project sits in the second of three hubs,
    and AEC Data Model hubs of its region spread over two pages."""
    world = World(page_size=2)
    world.add_hub("H-personal", region="US", name="Personal")
    world.add_hub("H-engineering", region="EMEA", name="Engineering")
    world.add_hub("H-archive", region="EMEA", name="Archive")
    world.add_project("P-1001", hub="H-personal", name="Sandbox")
    world.add_project(DEMO_PROJECT, hub="H-engineering", name="Riverside levee")
    world.add_item(DEMO_PROJECT, DEMO_ITEM, name="embankment.sti",
                   versions=[DEMO_STI.replace(b"two soil", b"one soil"), DEMO_STI])
    world.add_aec_hub("AEC-emea-1", region="EMEA", name="Engineering")
    world.add_aec_hub("AEC-emea-2", region="EMEA", name="Archive")
    world.add_aec_hub("AEC-emea-3", region="EMEA", name="Partners")
    world.add_aec_hub("AEC-us-1", region="US", name="Personal")
    world.add_element_group("EG-levee-7", aec_hub="AEC-emea-3", file_urn=DEMO_ITEM, name="embankment.sti")
    world.add_token(DEMO_TOKEN, projects={"P-1001", DEMO_PROJECT})
    world.add_token(EXPIRED_TOKEN, expired=True)
    return world


def storage_href(origin: str, version: Version) -> str:
    """The storage URL of a version, as the platform writes it: keys percent-encoded."""
    return f"{origin}/oss/v2/buckets/{quote(version.bucket, safe='')}/objects/{quote(version.object_key, safe='')}"
