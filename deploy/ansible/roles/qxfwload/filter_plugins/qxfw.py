"""Filters of the qxfwload role: what a host's plan is, how a host is judged,
and the rollout's report.

qxfwload -q prints nothing for a successful download, so a host is judged by
holding what quiet mode printed against the plan that qxfwscan printed
before it. The rules are in the role's README ("How a host is judged").
"""

import json
import re

DOWNLOAD_FAILED = re.compile(
    r"^Download .* to adapter, node=(\d+) failed(, use other downloader|: rc=-?\d+)?$"
)
NO_LL = re.compile(r"^Unable to determine LL of adapter, node=(\d+)$")
NO_ADAPTER = re.compile(r"^No adapter at node (\d+)$")
NO_DOWNLOADS = "Warning: didn't do any downloads"

# The adapter keys of a qxfwscan document that the report keeps.
ADAPTER_KEYS = ("node", "port", "ll", "partner", "action", "reason")

# Host states: "incomplete" from the start of the host's turn until it is
# judged; a host still incomplete at the end of its batch left no result.
FAILED_STATES = ("failed", "incomplete")


def _lines(text):
    return [line for line in (text or "").splitlines() if line.strip()]


def _nodes(plan, action):
    return [a["node"] for a in plan["adapters"] if a["action"] == action]


def _number(value):
    """An integer given as text (from -e) as the integer; anything else as it is."""
    try:
        return int(value)
    except (TypeError, ValueError):
        return value


def _failure(what, line=None, node=None):
    return {"what": what, "line": line, "node": node}


def _failed_step(result, program):
    """The failures of a command step that did not run to completion, or []."""
    if result.get("unreachable"):
        return [
            _failure(
                "the host could not be reached while %s was to run" % program, result.get("msg")
            )
        ]
    if result.get("rc") is None:
        return [_failure("%s did not run" % program, result.get("msg"))]
    if result["rc"] != 0:
        what = "%s exited with status %d" % (program, result["rc"])
        lines = _lines(result.get("stderr")) or _lines(result.get("msg")) or [None]
        return [_failure(what, line) for line in lines]
    return []


def qxfw_record(host, batch):
    """A host's record as its turn starts: reached, nothing judged yet."""
    return {
        "host": host,
        "batch": int(batch),
        "status": "incomplete",
        "summary": "no result: the host's turn started but it was not judged",
        "plan": None,
        "done": {
            "image_copied": False,
            "qxfwscan": False,
            "qxfwload": False,
            "downloaded": [],
            "downloads_failed": [],
        },
        "failures": [],
        "notes": [],
    }


def qxfw_failed_step(record, task_name, result):
    """The record of a host whose step `task_name` failed (the role's rescue)."""
    result = result or {}
    lines = _lines(result.get("stderr")) or _lines(result.get("msg")) or [None]
    record = dict(record, status="failed", summary="the step '%s' failed" % task_name)
    record["failures"] = record["failures"] + [
        _failure("the step '%s' failed" % task_name, line) for line in lines
    ]
    return record


def _plan_of(document):
    """The plan kept from a qxfwscan --json document, or raises ValueError."""
    plan = document.get("plan")
    adapters = document.get("adapters")
    if not isinstance(plan, dict) or not isinstance(adapters, list):
        raise ValueError("the document has no plan (was the image given?)")
    kept = {
        "image": document.get("image"),
        "downloads": plan.get("downloads"),
        "skips": plan.get("skips"),
        "adapters": [{key: adapter.get(key) for key in ADAPTER_KEYS} for adapter in adapters],
    }
    listed = len(_nodes(kept, "download"))
    if kept["downloads"] != listed or kept["skips"] != len(adapters) - listed:
        raise ValueError(
            "the plan counts %s downloads and %s skips but lists %d adapters, %d to download"
            % (kept["downloads"], kept["skips"], len(adapters), listed)
        )
    return kept


def qxfw_planned(record, scan, check_mode=False, staging=None):
    """The record after qxfwscan ran: the plan, or the failure to get one.

    `staging` names the results of the steps before the scan (making the
    scratch folder, copying the image); one that found the host unreachable
    fails it. Status "planned" in check mode; "succeeded" when no adapter is
    to get the image (qxfwload is then not run); else it stays "incomplete"
    until the qxfwload run is judged.
    """
    lost = [
        _failure("the host could not be reached while %s" % step, result.get("msg"))
        for step, result in (staging or {}).items()
        if result.get("unreachable")
    ]
    record = dict(record, done=dict(record["done"], image_copied=not lost))
    failures = lost or _failed_step(scan, "qxfwscan")
    if not failures:
        record["done"]["qxfwscan"] = True
        try:
            record["plan"] = _plan_of(json.loads(scan.get("stdout") or ""))
        except ValueError as error:  # json.JSONDecodeError is one
            failures = [_failure("qxfwscan printed no usable plan: %s" % error)]
    if failures:
        return dict(
            record,
            status="failed",
            summary=failures[0]["what"],
            failures=record["failures"] + failures,
        )
    plan = record["plan"]
    counts = "%d download%s, %d skip%s" % (
        plan["downloads"],
        "" if plan["downloads"] == 1 else "s",
        plan["skips"],
        "" if plan["skips"] == 1 else "s",
    )
    if check_mode:
        return dict(
            record, status="planned", summary="check mode: planned %s; nothing was sent" % counts
        )
    if plan["downloads"] == 0:
        return dict(
            record,
            status="succeeded",
            summary="no adapter is to get the image (%s): qxfwload was not run" % counts,
        )
    return dict(record, summary="planned %s; qxfwload to run" % counts)


def _judge_line(line, plan):
    """("note" | "failure" | "download failed", node, what) for one stdout line."""
    actions = {a["node"]: a["action"] for a in plan["adapters"]}
    match = DOWNLOAD_FAILED.match(line)
    if match:
        node = int(match.group(1))
        if actions.get(node) == "download":
            return "download failed", node, "the download to node %d failed" % node
        return (
            "failure",
            node,
            "qxfwload sent node %d a download that the plan did not (%s)"
            % (node, actions.get(node, "not in the plan")),
        )
    for pattern, action, said in (
        (NO_LL, "no-ll", "could not determine its LL"),
        (NO_ADAPTER, "no-adapter", "found no adapter there"),
    ):
        match = pattern.match(line)
        if match:
            node = int(match.group(1))
            if actions.get(node) == action:
                return "note", node, "skipped as planned (%s)" % action
            return (
                "failure",
                node,
                "the plan said %s for node %d, but qxfwload %s"
                % (actions.get(node, "nothing"), node, said),
            )
    if line == NO_DOWNLOADS:
        return "failure", None, "no download succeeded; the plan had %d" % plan["downloads"]
    return "failure", None, "a line that quiet mode does not print"


def qxfw_judged(record, load):
    """The record after the qxfwload -q run, judged against the plan."""
    plan = record["plan"]
    planned = _nodes(plan, "download")
    failures = list(record["failures"])
    notes = list(record["notes"])
    done = dict(record["done"], qxfwload=not load.get("unreachable") and load.get("rc") is not None)
    step = _failed_step(load, "qxfwload")
    if step:
        # Quiet output can't say what a run that ended early did.
        failures += step + [
            _failure("qxfwload printed this", line) for line in _lines(load.get("stdout"))
        ]
        done.update(downloaded=None, downloads_failed=None)
        return dict(
            record,
            status="failed",
            summary=step[0]["what"] + "; what it did is unknown",
            done=done,
            failures=failures,
        )
    failed_nodes = []
    for line in _lines(load.get("stdout")):
        kind, node, what = _judge_line(line, plan)
        if kind == "note":
            notes.append(_failure(what, line, node))
            continue
        failures.append(_failure(what, line, node))
        if node in planned and node not in failed_nodes:
            failed_nodes.append(node)
    failures += [
        _failure("qxfwload wrote to standard error", line) for line in _lines(load.get("stderr"))
    ]
    done.update(
        downloaded=[n for n in planned if n not in failed_nodes], downloads_failed=failed_nodes
    )
    succeeded = len(done["downloaded"])
    summary = "%d of %d planned downloads succeeded" % (succeeded, plan["downloads"])
    ok = not failures and succeeded == plan["downloads"]
    return dict(
        record,
        status="succeeded" if ok else "failed",
        summary=summary,
        done=done,
        failures=failures,
        notes=notes,
    )


def qxfw_records(hostvars, hosts):
    """The record of each host of `hosts`, None for a host not reached yet."""
    return [
        hostvars[host]["qxfw_result"] if "qxfw_result" in hostvars[host] else None for host in hosts
    ]


def qxfw_next_batch(records):
    """The number of the batch after those that `records` (None: not reached) show."""
    return max([r["batch"] for r in records if r] or [0]) + 1


def qxfw_report(records, hosts, settings, batch_done=True):
    """The rollout's report: every host of the play, in order.

    `records` lines up with `hosts` (None: never reached). Written as each
    batch starts and again when it is judged, before its failed hosts fail:
    when the batch stops the rollout, Ansible runs nothing after it, so the
    last report written is the final one. A batch stops the rollout as Ansible
    decides it: all of its hosts failed, or more than max_fail_percentage.
    """
    entries = [r if r else {"host": h, "status": "not reached"} for h, r in zip(hosts, records)]
    batch = max([r["batch"] for r in records if r] or [0])
    in_batch = [r for r in records if r and r["batch"] == batch]
    failed = [r["host"] for r in in_batch if r["status"] in FAILED_STATES]
    pending = [e["host"] for e in entries if e["status"] == "not reached"]
    percentage = _number(settings.get("max_fail_percentage"))
    stops = (
        batch_done
        and bool(failed)
        and (
            len(failed) == len(in_batch)
            or (percentage is not None and len(failed) / len(in_batch) > float(percentage) / 100)
        )
    )
    if stops:
        rollout = "stopped"
    elif batch_done and not pending:
        rollout = "finished"
    else:
        rollout = "in progress"
    counts = {state: 0 for state in ("succeeded", "failed", "planned", "incomplete", "not reached")}
    for entry in entries:
        counts[entry["status"]] += 1
    return {
        "rollout": rollout,
        "check_mode": bool(settings.get("check_mode")),
        "image": settings.get("image"),
        "options": {key: settings.get(key) for key in ("node", "force", "aif")},
        "serial": _number(settings.get("serial")),
        "max_fail_percentage": percentage,
        "batches": batch,
        "stopped": {"batch": batch, "batch_size": len(in_batch), "failed": failed}
        if stops
        else None,
        "counts": dict(counts, hosts=len(entries)),
        "failed": [e["host"] for e in entries if e["status"] in FAILED_STATES],
        "not_reached": pending,
        "hosts": entries,
    }


class FilterModule:
    def filters(self):
        return {
            "qxfw_record": qxfw_record,
            "qxfw_failed_step": qxfw_failed_step,
            "qxfw_planned": qxfw_planned,
            "qxfw_judged": qxfw_judged,
            "qxfw_records": qxfw_records,
            "qxfw_next_batch": qxfw_next_batch,
            "qxfw_report": qxfw_report,
        }
