"""The analysis worker: a process that takes jobs from the simulator and runs them.

It is a stand-in, and says so in every result: it decodes the Base64 input and writes result
files describing it (".sto", plus ".err" for an input without the .sti header), but computes
no stability analysis. Run as ``python -m zelmar_sim.worker <simulator url>``; it ends when
the simulator goes away.
"""
from __future__ import annotations

import sys
import time
from typing import Any

import requests

from zelmar.external.external_program import WorkerOutcome, run_stand_in_job

POLL_SECONDS = 0.02


def run_job(claim: dict[str, Any]) -> WorkerOutcome:
    time.sleep(claim.get("delay") or 0)
    if claim.get("message"):
        return WorkerOutcome(error_message=claim["message"])
    return run_stand_in_job(claim["program"], claim["version"], claim["body"])


def main(url: str) -> int:
    session = requests.Session()
    while True:
        try:
            answer = session.post(f"{url}/worker/v1/jobs/claim", timeout=10)
        except requests.ConnectionError:
            return 0  # the simulator has stopped
        if answer.status_code == 204:
            time.sleep(POLL_SECONDS)
            continue
        answer.raise_for_status()
        claim = answer.json()
        outcome = run_job(claim)
        done = {"result_content": outcome.result_content, "error_message": outcome.error_message}
        session.post(f"{url}/worker/v1/jobs/{claim['id']}/done", json=done, timeout=10).raise_for_status()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
