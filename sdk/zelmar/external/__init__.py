"""Integrations with external services and programs.

The compiled modules ``brimvale`` and ``dunmere`` are installed into this package.
"""
