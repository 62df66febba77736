"""Errors of the SDK that application code may see."""


class ExecutionError(Exception):
    """An external program or job failed; the message says why."""
