"""Stand-in for the zelmar application SDK.

Only what the compiled modules in ``zelmar.external`` use is here: ``zelmar.core``
(``_Context``, ``File``), ``zelmar._vendor.requests.exceptions``, ``zelmar.errors`` and
``zelmar.external.external_program``. In production the real SDK takes its place.
"""
