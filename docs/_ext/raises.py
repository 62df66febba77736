"""What each public member of the modules raises, and what its docstring leaves out, as the
reference shows them beside the member's own docstring (the docstrings are the modules' and
stay as they are). RAISES: the exception class, then what it says and what its __cause__
holds; the failures page (failures.md) explains how to tell them apart. NOTES: paragraphs
after the docstring."""

HUB = ('"Request to get hubs from Brimvale Platform Services failed" (cause: the ``HTTPError`` '
       'of the hub list, or its ``KeyError`` for a missing ``data``), "Request to get project from '
       'Brimvale Platform Services failed" (cause: the ``ValueError`` of :attr:`BrimvaleFile.project_id`, '
       'or the first server error, status 500 or more, of a hub that could not answer), or "No hub found" '
       '(no cause; from 3.11 a note per hub tried, such as ``hub H-1: status 403``: see :doc:`failures`)')
SESSION = ("The session's own failures pass unchanged: ``zelmar._vendor.requests.exceptions.ConnectionError`` "
           "(cannot connect, or no answer in time after the retries); see :doc:`failures`.")

RAISES = {
    "zelmar.external.brimvale.BrimvaleFile.urn": [
        ("ValueError", '"Could not extract urn (item id) from URL", no cause.'),
        ("TypeError", "The URL is not a ``str`` (the regular-expression search's own error)."),
    ],
    "zelmar.external.brimvale.BrimvaleFile.project_id": [
        ("ValueError", '"Could not extract project id from URL", no cause.'),
        ("TypeError", "The URL is not a ``str``."),
    ],
    "zelmar.external.brimvale.BrimvaleFile.get_hub_id": [
        ("ValueError", f'"Could not obtain hub id"; cause: {HUB}, or the ``KeyError`` of a hub record '
                       "without ``id``. The HTTP status is two causes down."),
        ("zelmar._vendor.requests.exceptions.ConnectionError", SESSION),
    ],
    "zelmar.external.brimvale.BrimvaleFile.get_region": [
        ("ValueError", f'"Could not obtain hub region"; cause: {HUB}.'),
        ("KeyError", "The hub record has no ``attributes`` or ``region`` (passed unchanged)."),
        ("zelmar._vendor.requests.exceptions.ConnectionError", SESSION),
    ],
    "zelmar.external.brimvale.BrimvaleFile.get_latest_version": [
        ("ValueError", '"Request to get latest item version from Brimvale Platform Services failed"; cause: '
                       "the ``HTTPError`` of the request (``response.status_code``: 401 a refused token, 403 a "
                       "file the token may not see, 404 a missing file), its ``KeyError`` for a missing "
                       "``data``, or a ``ValueError`` raised before any request: a URL without project id or "
                       "URN, an identifier that is '.' or '..', a token with line breaks or NUL characters."),
        ("TypeError", "A token that is not a ``str``."),
        ("zelmar._vendor.requests.exceptions.ConnectionError", SESSION),
    ],
    "zelmar.external.brimvale.BrimvaleFile.get_aec_data_model_element_group_id": [
        ("ValueError", '"Request to get AEC Data Model hubs from Brimvale Platform Services failed" (cause: '
                       "the ``HTTPError``, the ``KeyError`` of an answer without ``data``, with the server's "
                       'GraphQL errors as notes from 3.11, or a ``ValueError`` "Repeated pagination cursor" / '
                       '"Too many pagination pages"); "Request to get AEC Data Model element groups from '
                       'Brimvale Platform Services failed" (cause: a ``ValueError`` such as a URN with a quote, '
                       'or the first server error); "AEC Data Model Element Group ID not found"; or, from the '
                       'region it needs first, "Could not obtain hub region".'),
        ("zelmar._vendor.requests.exceptions.ConnectionError", SESSION),
    ],
    "zelmar.external.brimvale.BrimvaleFileVersion.urn": [
        ("ValueError", '"Could not obtain URN (id)"; cause: the ``KeyError``.'),
    ],
    "zelmar.external.brimvale.BrimvaleFileVersion.attributes": [
        ("ValueError", '"Could not obtain attributes"; cause: the ``KeyError``.'),
    ],
    "zelmar.external.brimvale.BrimvaleFileVersion.storage_url": [
        ("TypeError", "A level of the storage path that is not a mapping; a missing key gives ``None``."),
    ],
    "zelmar.external.brimvale.BrimvaleFileVersion.get_file": [
        ("ValueError", '"Request to get a short-lived download URL from Brimvale Platform Services failed"; '
                       'cause: a ``ValueError`` ("Could not obtain storage URL", "Could not extract bucket_key '
                       'from storage URL", "Could not extract object_key from storage URL", a refused token or '
                       "identifier), the ``HTTPError`` of the request, or the ``KeyError`` of an answer "
                       "without ``url``. The call itself asks only for the download URL; the SDK's ``File`` "
                       "(:doc:`sdk_file`) fetches the content on its first read, and what that raises is the "
                       "SDK's."),
        ("zelmar._vendor.requests.exceptions.ConnectionError", SESSION),
    ],
    "zelmar.external.dunmere.DunmereAnalysis.get_output_file": [
        ("zelmar.errors.ExecutionError", '"The job has no results: call execute() first" (the SDK\'s, before '
                                         ":meth:`~.ExternalProgram.execute`); it returns ``None`` when the run "
                                         "made no file of that extension, and with ``as_file`` an SDK ``File`` "
                                         "(:doc:`sdk_file`)."),
    ],
}

NOTES = {
    "zelmar.external.brimvale.BrimvaleFile": (
        "The example above is from an application of the full zelmar SDK: ``zelmar.external.OAuth2Integration`` "
        "and the parametrization ``params`` come with that SDK, not with this package or its stand-in. "
        "The quickstart on :doc:`simulator` runs as it stands."),
    "zelmar.external.brimvale.BrimvaleFileVersion.attributes": (
        "The version record's ``attributes`` as the platform sends them, among them ``name`` (the file "
        "name), ``displayName``, ``versionNumber`` and ``storageSize`` (in bytes)."),
    "zelmar.external.brimvale.BrimvaleFileVersion.get_file": (
        "One request, for a short-lived download URL of the version's content; the ``File`` returned "
        "downloads that content when it is first read."),
    "zelmar.external.dunmere.DunmereAnalysis": (
        "The job runs with :meth:`~zelmar.external.external_program.ExternalProgram.execute`, which the "
        "class inherits from the SDK; what it raises is listed there."),
}
