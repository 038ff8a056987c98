#!/usr/bin/python
"""The role's module qxfw_evidence: the scratch folders that earlier,
cut rollouts left on a POSIX host, and the evidence of their runs."""

import json
import os
import re
import shutil
import time

from ansible.module_utils.basic import AnsibleModule

DOCUMENTATION = r"""
module: qxfw_evidence
short_description: Take over the evidence that cut rollouts left on the host, and remove their folders
description:
  - A rollout keeps each host's runs of qxfwscan and qxfwload in its scratch folder (module qxfw_run),
    named C(qxfw.ROLLOUT.HOST.XXXXXXXX) in the host's temporary folder. A rollout that is not cut removes
    it at the end of the host's turn; a cut one leaves it.
  - This module, run in the scratch folder O(folder) of the rollout that now reaches the host, finds the
    scratch folders that other rollouts left for this host. With O(take_over) (a resumed rollout) it moves
    them into O(folder) (as C(earlier/NAME)) and returns the evidence of their runs, oldest rollout first;
    the folder of the rollout that now reaches the host goes at the end of its turn, and they with it.
    Without, it removes them.
  - While a left run is still going (its supervisor is alive), it waits for it at most O(busy_timeout)
    seconds, and then returns C(busy) without touching anything.
options:
  folder:
    description: The scratch folder of the rollout that reaches the host now.
    type: path
    required: true
  host:
    description: The host's part of the scratch folders' names.
    type: str
    required: true
  take_over:
    description: Whether to take the left folders over and return their evidence, rather than remove them.
    type: bool
    default: false
  busy_timeout:
    description: Seconds to wait, at most, for left runs that are still going.
    type: int
    default: 0
author: qxfwload developers
"""

RETURN = r"""
earlier:
  description: >-
    The evidence of the left folders (O(take_over)), oldest rollout first: for each rollout, its id,
    its folder and its runs (name, argv, stdout, stderr, rc, ended, error), in the order they ran.
  type: list
  returned: always
found:
  description: Whether a left folder was taken over.
  type: bool
  returned: always
removed:
  description: The left scratch folders that were removed.
  type: list
  returned: always
busy:
  description: Whether a left run was still going when the time was up (nothing was touched).
  type: list
  returned: always
"""


EARLIER = "earlier"
# qxfw.ROLLOUT.HOST.XXXXXXXX, as the role's tempfile prefix makes them.
FOLDER = re.compile(r"^qxfw\.([0-9A-Za-z-]+)\.([0-9A-Za-z_-]+)\.[0-9A-Za-z_]+$")


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def read_text(path):
    try:
        with open(path, "rb") as data:
            return data.read().decode("utf-8", "surrogateescape")
    except FileNotFoundError:
        return None


def read_json(path):
    text = read_text(path)
    try:
        return json.loads(text) if text else None
    except ValueError:
        return None


def runs_of(folder):
    """The runs that a scratch folder keeps, in order."""
    runs = []
    names = [entry for entry in os.listdir(folder) if re.match(r"^run\.\d+\.[a-z]+$", entry)]
    for entry in sorted(names, key=lambda name: int(name.split(".")[1])):
        run = os.path.join(folder, entry)
        argv = read_json(os.path.join(run, "argv.json")) or {}
        status = read_json(os.path.join(run, "status"))
        pids = read_json(os.path.join(run, "pid")) or {}
        runs.append(
            {
                "name": entry.split(".")[2],
                "argv": argv.get("argv"),
                "stdout": read_text(os.path.join(run, "stdout")),
                "stderr": read_text(os.path.join(run, "stderr")),
                "rc": (status or {}).get("rc"),
                "error": (status or {}).get("error"),
                "ended": status is not None,
                "supervisor": pids.get("supervisor"),
            }
        )
    return runs


def evidence_of(folder):
    """The evidence in a scratch folder: the rollouts it took over first
    (oldest first), then its own."""
    found = []
    inner = os.path.join(folder, EARLIER)
    if os.path.isdir(inner):
        for entry in sorted(os.listdir(inner)):
            if FOLDER.match(entry):
                found += evidence_of(os.path.join(inner, entry))
    match = FOLDER.match(os.path.basename(folder))
    found.append({"rollout": match.group(1) if match else None, "folder": folder, "runs": runs_of(folder)})
    return found


def running(folder):
    """The supervisors of the runs in the folder (and those it took over)
    that are still going."""
    return [
        run["supervisor"]
        for rollout in evidence_of(folder)
        for run in rollout["runs"]
        if not run["ended"] and run["supervisor"] and _alive(run["supervisor"])
    ]


def main():
    module = AnsibleModule(
        argument_spec=dict(
            folder=dict(type="path", required=True),
            host=dict(type="str", required=True),
            take_over=dict(type="bool", default=False),
            busy_timeout=dict(type="int", default=0),
        ),
        supports_check_mode=True,
    )
    folder = module.params["folder"].rstrip("/")
    host, take_over = module.params["host"], module.params["take_over"]
    parent = os.path.dirname(folder)
    left = []
    for entry in sorted(os.listdir(parent)):
        match = FOLDER.match(entry)
        path = os.path.join(parent, entry)
        if match and match.group(2) == host and path != folder and os.path.isdir(path):
            left.append((match.group(1), path))
    since = time.monotonic()
    while True:
        busy = [pid for _, path in left for pid in running(path)]
        if not busy or time.monotonic() - since >= module.params["busy_timeout"]:
            break
        time.sleep(1)
    if busy:
        module.exit_json(changed=False, earlier=[], found=False, removed=[], busy=busy)
    earlier, removed = [], []
    taken = [path for _, path in left if take_over]
    if taken and not module.check_mode:
        os.makedirs(os.path.join(folder, EARLIER), mode=0o700, exist_ok=True)
    for path in taken:
        kept = os.path.join(folder, EARLIER, os.path.basename(path)) if not module.check_mode else path
        if kept != path:
            os.rename(path, kept)
        earlier += evidence_of(kept)
    for _, path in left:
        if path not in taken and not module.check_mode:
            shutil.rmtree(path, ignore_errors=True)
            removed.append(path)
    module.exit_json(changed=bool(taken or removed), earlier=earlier, found=bool(taken), removed=removed, busy=[])


if __name__ == "__main__":
    main()
