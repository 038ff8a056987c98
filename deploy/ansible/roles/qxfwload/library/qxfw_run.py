#!/usr/bin/python
"""The role's module qxfw_run: one run of qxfwscan or qxfwload on a POSIX
host, with its evidence kept on the host as the run goes."""

import json
import os
import re
import signal
import subprocess
import time

from ansible.module_utils.basic import AnsibleModule

DOCUMENTATION = r"""
module: qxfw_run
short_description: Run qxfwscan or qxfwload with its evidence kept on the host
description:
  - Runs a program on the host, detached from the controller, and keeps its evidence in a folder of
    its own under O(evidence) as the run goes, C(argv.json) first, then C(stdout), C(stderr) and,
    once the program has ended, C(status) (its exit status). Then returns as M(ansible.builtin.command) does.
  - The program runs in a session of its own, with standard input from the null device. A controller that
    goes away (killed, or Ctrl-C to its process group, or a closed SSH connection) neither stops it nor
    takes its output or exit status along. The run is written on the host whatever becomes of the controller.
  - A program that refuses because another run holds the adapters of the machine (its one line on standard
    error, exit status 1) is run again every 2 seconds for at most O(busy_timeout) seconds; the evidence keeps
    the last attempt.
  - The role's qxfwload filters read the evidence that a cut rollout left (module qxfw_evidence).
options:
  argv:
    description: The program and its arguments.
    type: list
    elements: str
    required: true
  evidence:
    description: The rollout's scratch folder on the host, which keeps the runs' evidence.
    type: path
    required: true
  name:
    description: The run's name in the evidence (C(scan), C(load), C(after)).
    type: str
    required: true
  busy_timeout:
    description: Seconds to wait, at most, while another run holds the machine's adapters; 0 runs once.
    type: int
    default: 0
author: qxfwload developers
"""

RETURN = r"""
rc:
  description: The program's exit status; negative, the signal that ended it.
  type: int
  returned: always
stdout:
  description: The program's standard output.
  type: str
  returned: always
stderr:
  description: The program's standard error.
  type: str
  returned: always
evidence:
  description: The run's folder on the host.
  type: str
  returned: always
busy:
  description: Whether the last attempt was refused because another run held the adapters.
  type: bool
  returned: always
attempts:
  description: How many times the program was started.
  type: int
  returned: always
"""


# The line with which qxfwload and qxfwscan refuse while another run holds
# the adapters of the machine (Windows: without the process).
BUSY_LINE = re.compile(r"^(qxfwload|qxfwscan): another run is using the adapters of this machine( \(process \d+\))?$")
BUSY_DELAY = 2


def is_busy(rc, stderr):
    """Whether a run was refused because another run holds the adapters."""
    lines = [line.rstrip("\r") for line in (stderr or "").split("\n") if line.strip()]
    return rc == 1 and len(lines) == 1 and BUSY_LINE.match(lines[0]) is not None


def _write_whole(path, data):
    scratch = path + ".new"
    with open(scratch, "w", encoding="utf-8") as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())
    os.replace(scratch, path)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _supervise(argv, folder):
    """In the detached process: runs the program with its output in the
    folder, then writes its exit status there. Never returns."""
    status = {"rc": None, "error": None}
    try:
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        # Nothing of the controller's pipes stays open here.
        os.closerange(3, os.sysconf("SC_OPEN_MAX") if hasattr(os, "sysconf") else 1024)
        with open(os.path.join(folder, "stdout"), "wb") as out, open(os.path.join(folder, "stderr"), "wb") as err:
            try:
                child = subprocess.Popen(
                    argv,
                    stdin=subprocess.DEVNULL,
                    stdout=out,
                    stderr=err,
                    close_fds=True,
                    restore_signals=True,
                    preexec_fn=_default_signals,
                )
            except OSError as error:
                status["error"] = "%s: %s" % (argv[0], error.strerror or error)
            else:
                _write_whole(os.path.join(folder, "pid"), json.dumps({"program": child.pid, "supervisor": os.getpid()}))
                while True:
                    try:
                        status["rc"] = child.wait()
                        break
                    except InterruptedError:
                        continue
        status["ended"] = time.time()
        _write_whole(os.path.join(folder, "status"), json.dumps(status))
    finally:
        os._exit(0)


def _default_signals():
    for number in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGQUIT):
        signal.signal(number, signal.SIG_DFL)


def start(argv, folder):
    """Starts the program detached (a session of its own, reparented to init),
    with its evidence in `folder`."""
    _write_whole(os.path.join(folder, "argv.json"), json.dumps({"argv": argv, "started": time.time()}))
    first = os.fork()
    if first == 0:
        try:
            os.setsid()
            # The supervisor ignores what a terminal or a process group sends;
            # the program gets the default handlers back (_default_signals).
            for number in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGQUIT):
                signal.signal(number, signal.SIG_IGN)
            if os.fork() == 0:
                _supervise(argv, folder)
        finally:
            os._exit(0)
    os.waitpid(first, 0)


def wait(folder):
    """The run's status once the program has ended: {"rc", "error"}."""
    status_path, pid_path = os.path.join(folder, "status"), os.path.join(folder, "pid")
    since = time.monotonic()
    while True:
        if os.path.exists(status_path):
            with open(status_path, encoding="utf-8") as status:
                return json.load(status)
        if os.path.exists(pid_path):
            with open(pid_path, encoding="utf-8") as pids:
                supervisor = json.load(pids)["supervisor"]
            if not _alive(supervisor) and not os.path.exists(status_path):
                return {"rc": None, "error": "the run ended without its exit status"}
        elif time.monotonic() - since > 60:
            return {"rc": None, "error": "the program did not start"}
        time.sleep(0.1)


def read_text(path):
    """A file of the evidence as text, bytes that are not UTF-8 kept as
    Ansible keeps a program's output (surrogates), "" if missing."""
    try:
        with open(path, "rb") as data:
            return data.read().decode("utf-8", "surrogateescape")
    except FileNotFoundError:
        return ""


def run_once(argv, evidence, name):
    numbers = [int(entry.split(".")[1]) for entry in os.listdir(evidence) if re.match(r"run\.\d+\.", entry)]
    folder = os.path.join(evidence, "run.%03d.%s" % (max(numbers or [0]) + 1, name))
    os.mkdir(folder, 0o700)
    start(argv, folder)
    status = wait(folder)
    return folder, status, read_text(os.path.join(folder, "stdout")), read_text(os.path.join(folder, "stderr"))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            argv=dict(type="list", elements="str", required=True),
            evidence=dict(type="path", required=True),
            name=dict(type="str", required=True),
            busy_timeout=dict(type="int", default=0),
        ),
        supports_check_mode=False,
    )
    argv, evidence, name = module.params["argv"], module.params["evidence"], module.params["name"]
    if not re.fullmatch(r"[a-z]+", name):
        module.fail_json(msg="name must be lower-case letters: %r" % name)
    since = time.monotonic()
    attempts, last = 0, None
    while True:
        attempts += 1
        folder, status, stdout, stderr = run_once(argv, evidence, name)
        busy = is_busy(status.get("rc"), stderr)
        if last and os.path.isdir(last):
            # The attempt before was refused and touched nothing: the evidence keeps the last one.
            for entry in os.listdir(last):
                os.unlink(os.path.join(last, entry))
            os.rmdir(last)
        if not busy or time.monotonic() - since + BUSY_DELAY > module.params["busy_timeout"]:
            break
        last = folder
        time.sleep(BUSY_DELAY)
    result = dict(
        cmd=argv,
        rc=status.get("rc"),
        stdout=stdout,
        stderr=stderr,
        evidence=folder,
        busy=busy,
        attempts=attempts,
        waited=round(time.monotonic() - since, 1),
        changed=True,
    )
    if status.get("rc") is None:
        module.fail_json(msg=status.get("error") or "the run has no exit status", **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
