"""BrimvaleFileVersion: the version record's members and the download of its content."""
import dataclasses

import pytest
from fakes import chain, ok, status

import zelmar.core
from zelmar._vendor.requests.exceptions import HTTPError

STORAGE = "https://api.brimvale.example/oss/v2/buckets/BKT-7/objects/OBJ-9.dat"
DOWNLOAD_FAILED = "Request to get a short-lived download URL from Brimvale Platform Services failed"


def record(href=STORAGE, **extra):
    data = {"id": "urn:v:1", "attributes": {"name": "a.ifc"}, **extra}
    if href is not None:
        data["relationships"] = {"storage": {"meta": {"link": {"href": href}}}}
    return data


def test_fields_equality_and_repr(brimvale):
    Version = brimvale.BrimvaleFileVersion
    assert [f.name for f in dataclasses.fields(Version)] == ["_access_token", "_data"]
    a = Version("secret-token", {"id": 1})
    b = Version(_access_token="secret-token", _data={"id": 1})
    assert a == b and a != Version("other", {"id": 1})
    assert "secret-token" not in repr(a)
    assert repr(a) == "BrimvaleFileVersion(_data={'id': 1})"
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        Version("only-token")


@pytest.mark.parametrize(
    "data, member, expected",
    [
        ({"id": "urn:v:1"}, "urn", "urn:v:1"),
        ({"id": None}, "urn", None),
        ({"attributes": {"a": 1}}, "attributes", {"a": 1}),
        (record(), "storage_url", STORAGE),
        (record(href=""), "storage_url", ""),
        (record(href=None), "storage_url", None),
        ({"relationships": {"storage": {"meta": {}}}}, "storage_url", None),
    ],
)
def test_members(brimvale, data, member, expected):
    assert getattr(brimvale.BrimvaleFileVersion("t", data), member) == expected


@pytest.mark.parametrize(
    "data, member, message",
    [({}, "urn", "Could not obtain URN (id)"), ({}, "attributes", "Could not obtain attributes")],
)
def test_missing_members_are_value_errors_caused_by_key_error(brimvale, data, member, message):
    with pytest.raises(ValueError) as info:
        getattr(brimvale.BrimvaleFileVersion("t", data), member)
    assert str(info.value) == message
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("data", [{"relationships": None}, {"relationships": {"storage": []}}])
def test_storage_url_passes_other_lookup_errors(brimvale, data):
    with pytest.raises(TypeError):
        brimvale.BrimvaleFileVersion("t", data).storage_url


def test_get_file(brimvale, session):
    session.add(ok({"url": "https://download.example/o?sig=1"}))
    file = brimvale.BrimvaleFileVersion("tok", record()).get_file()
    assert isinstance(file, zelmar.core.File)
    assert file.url == "https://download.example/o?sig=1"
    [request] = session.requests
    assert request.args == ("https://api.brimvale.example/oss/v2/buckets/BKT-7/objects/OBJ-9.dat/signeds3download",)
    assert request.kw("headers") == {"Authorization": "Bearer tok"}


def test_get_file_twice_asks_twice(brimvale, session):
    session.add(ok({"url": "u1"}), ok({"url": "u2"}))
    version = brimvale.BrimvaleFileVersion("tok", record())
    assert version.get_file().url == "u1"
    assert version.get_file().url == "u2"
    assert len(session.requests) == 2


def test_encoded_object_key_passes_unchanged(brimvale, session):
    session.add(ok({"url": "u"}))
    href = "https://api.brimvale.example/oss/v2/buckets/B/objects/dir%2Fname.dat"
    brimvale.BrimvaleFileVersion("t", record(href=href)).get_file()
    assert session.urls == ["https://api.brimvale.example/oss/v2/buckets/B/objects/dir%2Fname.dat/signeds3download"]


@pytest.mark.parametrize(
    "data, answer, cause",
    [
        (record(href=None), None, (ValueError, "Could not obtain storage URL")),
        (record(href=""), None, (ValueError, "Could not extract bucket_key from storage URL")),
        (record(href="https://x/buckets/B"), None, (ValueError, "Could not extract object_key from storage URL")),
        (record(), status(403), (HTTPError, "403 Client Error")),
        (record(), ok({"no-url": 1}), (KeyError, "'url'")),
    ],
)
def test_get_file_failures(brimvale, session, data, answer, cause):
    if answer is not None:
        session.add(answer)
    with pytest.raises(ValueError) as info:
        brimvale.BrimvaleFileVersion("t", data).get_file()
    assert chain(info.value) == [(ValueError, DOWNLOAD_FAILED), cause]
    assert info.value.__context__ is info.value.__cause__
    assert len(session.requests) == (answer is not None)


def test_get_file_passes_other_errors(brimvale, session, monkeypatch):
    with pytest.raises(TypeError):
        brimvale.BrimvaleFileVersion("t", {"relationships": None}).get_file()

    def broken(url):
        raise RuntimeError("sdk down")

    monkeypatch.setattr(zelmar.core.File, "from_url", broken)
    session.add(ok({"url": "u"}))
    with pytest.raises(RuntimeError, match="sdk down") as info:
        brimvale.BrimvaleFileVersion("t", record()).get_file()
    assert info.value.__cause__ is None


def test_get_file_uses_module_globals(brimvale, session, monkeypatch):
    made = []

    class FakeFile:
        @staticmethod
        def from_url(*args, **kwargs):
            made.append((args, kwargs))
            return "file"

    monkeypatch.setattr(brimvale, "File", FakeFile)
    session.add(ok({"url": "u"}))
    assert brimvale.BrimvaleFileVersion("t", record()).get_file() == "file"
    assert made == [(("u",), {})]
    monkeypatch.delattr(brimvale, "File")
    session.add(ok({"url": "u"}))
    with pytest.raises(NameError, match="name 'File' is not defined"):
        brimvale.BrimvaleFileVersion("t", record()).get_file()
