"""Filters of the qxfwload role: what a host's plan is, how a host is judged,
and the rollout's report.

A host is judged by positive evidence: qxfwload runs in verbose mode, which
gives every adapter of the plan a line of its own and closes with the count
of good downloads, and each planned adapter is matched to its own line, in
both directions. The rules are in the role's README ("How a host is judged").
"""

import datetime
import hashlib
import json
import re
import secrets

# The messages of qxfwload's verbose run that the judge reads, as the
# program's printf formats. MESSAGE_FORMATS is what the test of the message
# formats holds against the C++ sources: change a message there and that
# test fails until the judge knows the new one.
DOWNLOADING = "Downloading %8s to adapter, node=%lu ... "
DOWNLOAD_ENDS = {
    "done": "done\n",
    "failed, use other downloader": "failed, use other downloader\n",
    "failed": "failed\n",
    "failed: rc": "failed: rc=%d\n",
}
SKIPS = {
    "skip-partner": "Skipping partner adapter, node=%lu\n",
    "skip-ll": "Skipping adapter with LL=%2s, node=%lu\n",
    "no-ll": "Unable to determine LL of adapter, node=%lu\n",
    "no-adapter": "No adapter at node %lu\n",
}
COUNT = "%d successful download%s performed\n"
BANNER = "Ostrel Brivane Adapter Firmware Downloader for %s, version 1.8\n"
LOADING = "Loading firmware file: %s\n"
LOADED = "Loaded firmware file, CodeID=%8s, length=%lu (0x%05lx), LRC=0x%08lx\n"
COPYRIGHT = "Copyright message :-\n---\n%s\n---\n"
MESSAGE_FORMATS = (
    [DOWNLOADING, BANNER, LOADING, LOADED, COPYRIGHT, COUNT] + list(DOWNLOAD_ENDS.values()) + list(SKIPS.values())
)

# The copyright text's field in an adapter firmware file's header.
COPYRIGHT_SIZE = 252
HEADER_SIZE = 272

# The adapter keys of a qxfwscan document that the report keeps.
ADAPTER_KEYS = ("node", "port", "ll", "partner", "action", "reason")

# Host states: "incomplete" from the start of the host's turn until it is
# judged; a host still incomplete at the end of its batch left no result.
# "in progress": the report written as the host's batch starts.
FAILED_STATES = ("failed", "incomplete")
STATES = ("succeeded", "failed", "planned", "no adapters", "incomplete", "in progress")
# A host that an earlier report leaves so is judged from its evidence.
CUT_STATES = ("incomplete", "in progress")

EARLIER_NOTE = "done in the earlier rollout"
RECOVERED_NOTE = "downloaded by the cut rollout, as its evidence on the host proves"

# The lines with which the programs refuse while another run holds the
# adapters of the machine (Windows: without the process), and with which a
# run that took over the lock of a run that died says so: a warning, not a
# failure of this run.
BUSY_RE = re.compile(r"^(qxfwload|qxfwscan): another run is using the adapters of this machine( \(process \d+\))?$")
ABANDONED_RE = re.compile(r"^(qxfwload|qxfwscan): warning: a previous run ended without releasing the adapters$")
ABANDONED_NOTE = "a previous run ended without releasing the adapters (the programs' warning)"

_CONVERSION = re.compile(r"(%[-0-9]*l?[dusx])")


def _conversion_pattern(conversion):
    kind = conversion[-1]
    if kind == "s":
        return r"(.+?)" if conversion == "%8s" else r"(.{1,2}?)" if conversion == "%2s" else r"(.*)"
    return {"d": r"(-?\d+)", "u": r"(\d+)", "x": r"([0-9a-f]+)"}[kind]


def format_pattern(fmt):
    """The regular expression of one line that the printf format `fmt` prints."""
    parts = _CONVERSION.split(fmt.rstrip("\n"))
    return "".join(_conversion_pattern(p) if _CONVERSION.fullmatch(p) else re.escape(p) for p in parts)


def _line_re(fmt, tail=""):
    return re.compile("^" + format_pattern(fmt) + format_pattern(tail) + "$")


DOWNLOAD_RES = {end: _line_re(DOWNLOADING, fmt) for end, fmt in DOWNLOAD_ENDS.items()}
SKIP_RES = {action: _line_re(fmt) for action, fmt in SKIPS.items()}
COUNT_RE = _line_re(COUNT)
LOADED_RE = _line_re(LOADED)
COPYRIGHT_FIRST = COPYRIGHT.split("\n")[0]  # "Copyright message :-"
COPYRIGHT_RULE = COPYRIGHT.split("\n")[1]  # "---"


def _lines(text):
    return [line for line in (text or "").splitlines() if line.strip()]


def _output_lines(text):
    """A program's standard output, line by line: split at line feeds only
    (a copyright text may hold other separators that splitlines would split
    at) and without the carriage returns of Windows line ends."""
    return [line.rstrip("\r") for line in (text or "").split("\n")]


def _nodes(plan, action):
    return [a["node"] for a in plan["adapters"] if a["action"] == action]


def _number(value):
    """An integer given as text (from -e) as the integer; anything else as it is."""
    try:
        return int(value)
    except (TypeError, ValueError):
        return value


def _failure(what, line=None, node=None):
    # A message's own line end (an ssh error's CR LF, say) is no part of it.
    return {"what": what, "line": line.rstrip("\r\n") if isinstance(line, str) else line, "node": node}


def is_busy(result):
    """Whether a program's run was refused because another run held the
    adapters of the machine: exit status 1 and that one line."""
    lines = [line.rstrip("\r") for line in (result.get("stderr") or "").split("\n") if line.strip()]
    return result.get("rc") == 1 and len(lines) == 1 and BUSY_RE.match(lines[0]) is not None


def _failed_step(result, program):
    """The failures of a command step that did not run to completion, or []."""
    if result.get("unreachable"):
        return [_failure("the host could not be reached while %s was to run" % program, result.get("msg"))]
    if is_busy(result):
        what = "another run held the adapters of the host for the %s s that the role waited (qxfw_busy_timeout)" % (
            result.get("waited", 0)
        )
        return [_failure("%s: %s" % (program, what), _lines(result.get("stderr"))[0])]
    if result.get("rc") is None:
        return [_failure("%s did not run" % program, result.get("msg"))]
    if result["rc"] != 0:
        what = "%s exited with status %d" % (program, result["rc"])
        lines = _lines(result.get("stderr")) or _lines(result.get("msg")) or [None]
        return [_failure(what, line) for line in lines]
    return []


def copyright_line_count(data):
    """How many lines verbose qxfwload prints for the copyright text of the
    adapter firmware file `data` (bytes): the text up to its first NUL, whose
    line feeds are kept; None when the file has no header (too short)."""
    if len(data) < HEADER_SIZE:
        return None
    text = data[:COPYRIGHT_SIZE].split(b"\0")[0]
    return text.count(b"\n") + 1


def qxfw_image_facts(path, aif=False):
    """The image on the controller: its SHA-256, and the lines of the
    copyright block that qxfwload prints from it (None: no block, as an AIF
    image or a file too short for a header has none)."""
    digest = hashlib.sha256()
    with open(path, "rb") as image:
        head = image.read(HEADER_SIZE)
        digest.update(head)
        for block in iter(lambda: image.read(1 << 20), b""):
            digest.update(block)
    return {"sha256": digest.hexdigest(), "copyright_lines": None if aif else copyright_line_count(head)}


def qxfw_refusal(facts, pinned=None, earlier=None):
    """Why the rollout must not touch any host, or {}: an image that is not
    the pinned one, or an earlier report (resume) of another image."""
    sha = facts["sha256"]
    if pinned and str(pinned).strip().lower() != sha:
        return {
            "what": "the image's SHA-256 is %s, not %s as qxfw_image_sha256 pins it"
            % (sha, str(pinned).strip().lower()),
            "image_sha256": sha,
            "expected_sha256": str(pinned).strip().lower(),
        }
    if earlier:
        theirs = earlier.get("image_sha256") if isinstance(earlier, dict) else None
        if theirs != sha:
            return {
                "what": "qxfw_resume_from is the report of a rollout of another image: its SHA-256 is %s, "
                "this image's is %s" % (theirs, sha),
                "image_sha256": sha,
                "expected_sha256": theirs,
            }
    return {}


def qxfw_warn_once(message):
    """Shows `message` as an Ansible warning and returns it."""
    from ansible.utils.display import Display  # here: the unit tests run without Ansible

    Display().warning(message)
    return message


def qxfw_record(host, batch, evidence=None):
    """A host's record as its turn starts: reached, nothing judged yet;
    `evidence`, the rollout's scratch folder on the host, once made."""
    return {
        "host": host,
        "batch": int(batch),
        "status": "incomplete",
        "summary": "no result: the host's turn started but it was not judged",
        "plan": None,
        "evidence": evidence or None,
        "done": {
            "image_copied": False,
            "image_sha256": None,
            "qxfwscan": False,
            "qxfwload": False,
            "downloaded": [],
            "downloads_failed": [],
            "earlier": [],
            "recovered": [],
            "unproven": [],
            "checked": [],
        },
        "to_download": [],
        "cut_evidence": None,
        "after_check": None,
        "failures": [],
        "notes": [],
    }


def qxfw_failed_step(record, task_name, result):
    """The record of a host whose step `task_name` failed (the role's rescue)."""
    result = result or {}
    lines = _lines(result.get("stderr")) or _lines(result.get("msg")) or [None]
    record = dict(record, status="failed", summary="the step '%s' failed" % task_name)
    record["failures"] = record["failures"] + [_failure("the step '%s' failed" % task_name, line) for line in lines]
    return record


def _serial(adapter):
    for keyword in adapter.get("keywords") or []:
        if keyword.get("name") == "*SN":
            return keyword.get("value")
    return None


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
        "adapters": [
            dict({key: adapter.get(key) for key in ADAPTER_KEYS}, serial=_serial(adapter)) for adapter in adapters
        ],
    }
    listed = len(_nodes(kept, "download"))
    if kept["downloads"] != listed or kept["skips"] != len(adapters) - listed:
        raise ValueError(
            "the plan counts %s downloads and %s skips but lists %d adapters, %d to download"
            % (kept["downloads"], kept["skips"], len(adapters), listed)
        )
    return kept


def _what_it_saw(document):
    """ "no qarmix port could be opened", "no adapter answered", or None."""
    if not any(port.get("opened") for port in document.get("ports") or []):
        return "no qarmix port could be opened"
    if not any(adapter.get("answered") for adapter in document.get("adapters") or []):
        return "no adapter answered"
    return None


def _evidence_failures(evidence):
    """The failures of the step that takes over the evidence of cut rollouts."""
    if not evidence or evidence.get("skipped"):
        return []
    if evidence.get("unreachable"):
        return [
            _failure(
                "the host could not be reached while taking over the evidence of cut rollouts", evidence.get("msg")
            )
        ]
    if evidence.get("failed"):
        return [_failure("the evidence of cut rollouts could not be taken over", evidence.get("msg"))]
    if evidence.get("busy"):
        return [
            _failure(
                "a run of a cut rollout is still going on the host (process %s) after the time that the role "
                "waited (qxfw_busy_timeout)" % _nodes_text(evidence["busy"])
            )
        ]
    return []


def _host_copy_failures(host_stat, image_sha256):
    if host_stat is None or image_sha256 is None:
        return []
    if host_stat.get("unreachable"):
        return [_failure("the host could not be reached while checking the image's copy", host_stat.get("msg"))]
    stat = host_stat.get("stat") or {}
    checksum = stat.get("checksum")
    if checksum != image_sha256:
        return [
            _failure(
                "the image on the host has SHA-256 %s, not %s: the copy is not the file that "
                "was sent, and nothing was sent to its adapters" % (checksum, image_sha256),
                host_stat.get("msg"),
            )
        ]
    return []


def _earlier_entry(earlier, host):
    """The earlier report's entry of `host`, or None."""
    for entry in (earlier or {}).get("hosts") or []:
        if entry.get("host") == host:
            return entry
    return None


def _adapters_of(entry, nodes):
    return {a["node"]: (a.get("serial"), a.get("ll")) for a in entry["plan"]["adapters"] if a["node"] in nodes}


def _done_earlier(entry):
    """{node: (serial, ll)} of the adapters that the earlier report's entry
    records as downloaded and checked afterwards."""
    if not entry or not entry.get("plan"):
        return {}
    done = entry.get("done") or {}
    return _adapters_of(entry, set(done.get("checked") or []) | set(done.get("earlier") or []))


def _unproven_earlier(entry):
    """{node: (serial, ll)} of the adapters that the earlier report's entry
    leaves unproven (a cut rollout's evidence proved neither way)."""
    if not entry or not entry.get("plan"):
        return {}
    done = entry.get("done") or {}
    return _adapters_of(entry, set(done.get("unproven") or []) - set(_done_earlier(entry)))


IN_FLIGHT_RE = _line_re(DOWNLOADING)


def _node_argument(argv):
    """The node of a run's `-a NODE`, or None."""
    if "-a" not in argv[:-1]:
        return None
    text = str(argv[argv.index("-a") + 1])
    try:
        return int(text, 16) if text.lower().startswith("0x") else int(text)
    except ValueError:
        return None


def _load_run_evidence(run, subject, copyright_lines):
    """{node: "done", "not done" or "unproven"} of the adapters to download
    in `subject` (plan entries), from one qxfwload run kept on the host.

    The same judge as a live run's reads the lines after the header and
    copyright block: a "done" line proves the download; a "failed" line or
    a skip proves the adapter did not get the image. An adapter without a
    line did not get it only when the run's closing count is there and
    counts the "done" lines: the run went past every adapter. Otherwise (the
    evidence stops in the middle, as when the run was killed) its outcome is
    unproven, in flight or not."""
    lines = _output_lines(run.get("stdout"))
    end = _block_end(lines, copyright_lines)
    outcomes, count, done_lines = {}, None, 0
    for line in [line for line in lines[end:] if line.strip()] if end is not None else []:
        kind, node, _ = _outcome(line)
        if kind is None or count is not None:
            continue
        if kind == "count":
            count = node
            continue
        if kind == "done":
            done_lines += 1
        if outcomes.get(node) != "done":
            outcomes[node] = "done" if kind == "done" else "not done"
    closed = count is not None and count == done_lines
    said = {}
    for adapter in subject:
        if adapter["action"] == "download":
            node = adapter["node"]
            said[node] = outcomes.get(node) or ("not done" if closed else "unproven")
    return said


def _rollout_evidence(rollout, copyright_lines):
    """[(node, serial, ll, outcome)] of the adapters that one rollout's
    qxfwload runs on the host were to download, judged from its evidence
    against the plan of its own scan (kept there too); None when it ran
    qxfwload but its plan can't be read."""
    runs = [r for r in rollout.get("runs") or [] if not is_busy(r) and not r.get("error")]
    loads = [r for r in runs if r.get("name") == "load"]
    if not loads:
        return []
    plan = None
    for run in runs:
        if run.get("name") == "scan" and run.get("rc") == 0:
            try:
                plan = _plan_of(json.loads(run.get("stdout") or ""))
                break
            except (ValueError, AttributeError):
                continue
    if plan is None:
        return None
    by_node = {a["node"]: a for a in plan["adapters"]}
    outcomes = {}
    for run in loads:
        node = _node_argument(run.get("argv") or [])
        subject = plan["adapters"] if node is None else [by_node[node]] if node in by_node else []
        for node, outcome in _load_run_evidence(run, subject, copyright_lines).items():
            if outcomes.get(node) != "done" and (outcomes.get(node) != "unproven" or outcome == "done"):
                outcomes[node] = outcome
    return [(n, by_node[n].get("serial"), by_node[n].get("ll"), outcome) for n, outcome in sorted(outcomes.items())]


def qxfw_cut_evidence(evidence, copyright_lines=None):
    """What the evidence that cut rollouts left on a host (module
    qxfw_evidence's result) proves: {"found", "rollouts", "readable",
    "adapters": [{"node", "serial", "ll", "outcome"}]}, each adapter's outcome
    over every rollout: "done" when one proves its download, else
    "unproven" when one can't prove it either way, else "not done"."""
    rollouts = (evidence or {}).get("earlier") or []
    combined, readable = {}, True
    for rollout in rollouts:
        said = _rollout_evidence(rollout, copyright_lines)
        if said is None:
            readable = False
            continue
        for node, serial, ll, outcome in said:
            key = (node, serial, ll)
            if combined.get(key) != "done" and (combined.get(key) != "unproven" or outcome == "done"):
                combined[key] = outcome
    return {
        "found": bool((evidence or {}).get("found")),
        "rollouts": [r.get("rollout") for r in rollouts],
        "readable": readable,
        "adapters": [
            {"node": node, "serial": serial, "ll": ll, "outcome": outcome}
            for (node, serial, ll), outcome in sorted(combined.items(), key=lambda item: str(item[0]))
        ],
    }


def _nodes_text(nodes):
    return ", ".join(str(n) for n in nodes)


def _resumed(record, earlier, evidence=None, copyright_lines=None, unproven_action="fail"):
    """The record with the adapters done in the earlier rollout taken out of
    what is to be downloaded: the same node, serial and LL. A host that the
    earlier report leaves in progress (its controller was cut) is judged
    from the evidence its runs left on the host: adapters proven downloaded
    are "recovered" (not downloaded again, checked now), adapters proven not
    to have got the image are downloaded as usual, and the others are
    "unproven": downloaded again only with `unproven_action` "download".
    Evidence that other hosts' turns left (a rollout cut before it took
    that evidence over) counts the same."""
    entry = _earlier_entry(earlier, record["host"])
    before = _done_earlier(entry)
    unsure = _unproven_earlier(entry)
    cut, proven, missing = None, {}, False
    cut_host = bool(entry) and entry.get("status") in CUT_STATES
    if cut_host or (evidence or {}).get("found"):
        cut = qxfw_cut_evidence(evidence, copyright_lines)
        proven = {(a["node"], a["serial"], a["ll"]): a["outcome"] for a in cut["adapters"]}
        missing = not cut["readable"] or (cut_host and not cut["found"])
    skipped, recovered, unproven, notes = [], [], [], list(record["notes"])
    for adapter in record["plan"]["adapters"]:
        if adapter["action"] != "download":
            continue
        node, seen = adapter["node"], (adapter.get("serial"), adapter["ll"])
        if adapter.get("serial") and before.get(node) == seen:
            skipped.append(node)
            notes.append(_failure(EARLIER_NOTE, None, node))
        elif missing:
            unproven.append(node)
        elif proven.get((node,) + seen) == "done" and adapter.get("serial"):
            recovered.append(node)
            notes.append(_failure(RECOVERED_NOTE, None, node))
        elif proven.get((node,) + seen) in ("done", "unproven"):
            unproven.append(node)
        elif adapter.get("serial") and unsure.get(node) == seen:
            unproven.append(node)
    left = [n for n in _nodes(record["plan"], "download") if n not in skipped + recovered]
    if unproven_action != "download":
        left = [n for n in left if n not in unproven]
    elif unproven:
        notes += [
            _failure("downloaded again although it may have got the image: qxfw_resume_unproven is download", None, n)
            for n in unproven
        ]
    done = dict(record["done"], earlier=skipped, recovered=recovered, unproven=unproven)
    return dict(record, done=done, to_download=left, notes=notes, cut_evidence=cut)


def _unproven_failures(record):
    """The failures of a resumed host with unproven adapters that are not to
    be downloaded again, or []."""
    cut = record.get("cut_evidence") or {}
    if cut and not cut.get("found"):
        why = "no evidence of the cut rollout was found on the host (its scratch folder is gone)"
    elif cut and not cut.get("readable"):
        why = "the cut rollout's evidence on the host has no plan to read it by"
    else:
        why = "the cut rollout's evidence on the host proves neither that it got the image nor that it did not"
    return [
        _failure(
            "node %d: %s; qxfw_resume_unproven: download downloads it again" % (node, why),
            None,
            node,
        )
        for node in record["done"]["unproven"]
    ]


def qxfw_planned(
    record,
    scan,
    check_mode=False,
    staging=None,
    host_stat=None,
    image_sha256=None,
    allow_no_adapters=False,
    earlier=None,
    evidence=None,
    copyright_lines=None,
    unproven_action="fail",
):
    """The record after qxfwscan ran: the plan, or the failure to get one.

    `staging` names the results of the steps before the scan (making the
    scratch folder, copying the image); one that found the host unreachable
    fails it, as does a copy whose SHA-256 (`host_stat`, a stat result) is
    not `image_sha256`. A host whose scan opened no port or found no adapter
    fails, unless `allow_no_adapters`: then its status is "no adapters".
    With `earlier` (a report), adapters that it records as done are left
    out; a host that it leaves in progress is judged from `evidence` (module
    qxfw_evidence's result; `copyright_lines` as for qxfw_judged), and fails
    when adapters are unproven, unless `unproven_action` is "download".
    Status "planned" in check mode; "succeeded" when no adapter is left
    to get the image (qxfwload is then not run); else it stays "incomplete"
    until the qxfwload runs are judged.
    """
    lost = [
        _failure("the host could not be reached while %s" % step, result.get("msg"))
        for step, result in (staging or {}).items()
        if result.get("unreachable")
    ]
    record = dict(record, done=dict(record["done"], image_copied=not lost))
    if not lost and host_stat:
        record["done"]["image_sha256"] = (host_stat.get("stat") or {}).get("checksum")
    failures = lost or _host_copy_failures(host_stat, image_sha256) or _failed_step(scan, "qxfwscan")
    failures = failures or _evidence_failures(evidence)
    document = {}
    if not failures:
        record["done"]["qxfwscan"] = True
        try:
            document = json.loads(scan.get("stdout") or "")
            record["plan"] = _plan_of(document)
        except ValueError as error:  # json.JSONDecodeError is one
            failures = [_failure("qxfwscan printed no usable plan: %s" % error)]
    if failures:
        return dict(record, status="failed", summary=failures[0]["what"], failures=record["failures"] + failures)
    saw = _what_it_saw(document)
    if saw and allow_no_adapters:
        return dict(record, status="no adapters", summary="%s; qxfw_allow_no_adapters lets the host pass" % saw)
    if saw:
        return dict(record, status="failed", summary=saw, failures=record["failures"] + [_failure(saw)])
    record = _resumed(record, earlier, evidence, copyright_lines, unproven_action)
    plan = record["plan"]
    counts = "%d download%s, %d skip%s" % (
        plan["downloads"],
        "" if plan["downloads"] == 1 else "s",
        plan["skips"],
        "" if plan["skips"] == 1 else "s",
    )
    if check_mode:
        return dict(record, status="planned", summary="check mode: planned %s; nothing was sent" % counts)
    unproven = record["done"]["unproven"]
    if unproven and unproven_action != "download":
        summary = "the cut rollout left node%s %s unproven: nothing was sent; qxfw_resume_unproven: download" % (
            "" if len(unproven) == 1 else "s",
            _nodes_text(unproven),
        )
        summary += " downloads %s again" % ("it" if len(unproven) == 1 else "them")
        failures = record["failures"] + _unproven_failures(record)
        return dict(record, status="failed", summary=summary, to_download=[], failures=failures)
    if plan["downloads"] == 0:
        return dict(
            record, status="succeeded", summary="no adapter is to get the image (%s): qxfwload was not run" % counts
        )
    if not record["to_download"] and record["done"]["recovered"]:
        return dict(
            record,
            status="succeeded",
            summary="every planned download (%d) was done in the earlier rollout, %d of them by the cut one as its "
            "evidence proves: qxfwload was not run" % (plan["downloads"], len(record["done"]["recovered"])),
        )
    if not record["to_download"]:
        return dict(
            record,
            status="succeeded",
            summary="every planned download (%d) was %s: qxfwload was not run" % (plan["downloads"], EARLIER_NOTE),
        )
    return dict(record, summary="planned %s; qxfwload to run" % counts)


def _per_node(record):
    """Whether the host's qxfwload runs one `-a NODE` run per adapter left:
    when adapters were done in an earlier rollout."""
    return bool(record["done"]["earlier"] or record["done"].get("recovered"))


def qxfw_load_runs(record, program, node_options, options, image):
    """The qxfwload command lines for the host: one verbose run for the whole
    plan, or, when adapters were done in an earlier rollout, one `-a NODE`
    run for each adapter that is left."""
    if not _per_node(record):
        return [[program] + list(node_options) + list(options) + [image]]
    return [[program, "-a", str(node)] + list(options) + [image] for node in record["to_download"]]


def _block_end(lines, copyright_lines):
    """The index of the first line after the header lines that a verbose run
    prints (the copyright block last), or None when they are not there."""
    for at, line in enumerate(lines):
        if LOADED_RE.match(line):
            break
    else:
        return None
    if copyright_lines is None:
        return at + 1
    # The copyright block follows the summary line; the text's own lines
    # are counted from the image, never searched for.
    end = at + 1 + 2 + copyright_lines + 1
    if (
        lines[at + 1 : at + 3] != [COPYRIGHT_FIRST, COPYRIGHT_RULE]
        or len(lines) < end
        or lines[end - 1] != COPYRIGHT_RULE
    ):
        return None
    return end


def _outcome(line):
    """(kind, node, detail) of one outcome line: kind "done", "failed", an
    action of SKIPS, "count" (node: the count), or None."""
    for end, pattern in DOWNLOAD_RES.items():
        match = pattern.match(line)
        if match:
            return ("done" if end == "done" else "failed"), int(match.group(2)), end
    for action, pattern in SKIP_RES.items():
        match = pattern.match(line)
        if match:
            return action, int(match.groups()[-1]), None
    match = COUNT_RE.match(line)
    if match and match.group(2) == ("" if match.group(1) == "1" else "s"):
        return "count", int(match.group(1)), None
    return None, None, None


def _judge_run(stdout, adapters, copyright_lines):
    """(downloaded, failed nodes, failures, notes) of one verbose run that was
    to handle `adapters` (entries of the plan)."""
    actions = {a["node"]: a["action"] for a in adapters}
    lines = _output_lines(stdout)
    end = _block_end(lines, copyright_lines)
    if end is None:
        return [], [], [_failure("qxfwload printed no image header and copyright block as the image's")], []
    seen, downloaded, failed, failures, notes, count = {}, [], [], [], [], None
    for line in [line for line in lines[end:] if line.strip()]:
        kind, node, detail = _outcome(line)
        if kind is None or count is not None:
            failures.append(_failure("a line that qxfwload's verbose run does not print after its header", line))
            continue
        if kind == "count":
            count = node
            continue
        seen[node] = seen.get(node, 0) + 1
        planned = actions.get(node, "nothing")
        if seen[node] > 1:
            failures.append(_failure("node %d: qxfwload reported it more than once" % node, line, node))
        elif kind == "done" and planned == "download":
            downloaded.append(node)
        elif kind == "failed" and planned == "download":
            failed.append(node)
            failures.append(_failure("the download to node %d failed" % node, line, node))
        elif kind in ("done", "failed"):
            failures.append(
                _failure("node %d: qxfwload sent it a download, but the plan had %s" % (node, planned), line, node)
            )
        elif kind != planned:
            if planned == "download":
                failed.append(node)
            failures.append(
                _failure("node %d: the plan had %s, but qxfwload reported %s" % (node, planned, kind), line, node)
            )
        elif kind in ("no-ll", "no-adapter"):
            notes.append(_failure("skipped as planned (%s)" % kind, line, node))
    for adapter in adapters:
        if adapter["node"] not in seen:
            node = adapter["node"]
            if adapter["action"] == "download":
                failed.append(node)
                failures.append(_failure("node %d: the plan had a download, qxfwload reported none" % node, None, node))
            else:
                failures.append(
                    _failure(
                        "node %d: the plan had %s, qxfwload reported nothing of it" % (node, adapter["action"]),
                        None,
                        node,
                    )
                )
    if count is None:
        failures.append(_failure("qxfwload printed no count of its successful downloads"))
    elif count != len(downloaded):
        failures.append(
            _failure(
                "qxfwload counted %d successful download%s, but reported %d done"
                % (count, "" if count == 1 else "s", len(downloaded))
            )
        )
    return downloaded, failed, failures, notes


def _runs_of(load):
    """The registered qxfwload step as a list of run results."""
    if isinstance(load, dict) and "results" in load:
        return list(load["results"])
    return [load]


def qxfw_judged(record, load, copyright_lines=None):
    """The record after the qxfwload runs (a registered loop or one result),
    judged against the plan."""
    plan = record["plan"]
    by_node = {a["node"]: a for a in plan["adapters"]}
    failures, notes = list(record["failures"]), list(record["notes"])
    runs = _runs_of(load)
    done = dict(record["done"], qxfwload=any(not r.get("unreachable") and r.get("rc") is not None for r in runs))
    downloaded, failed, unknown = [], [], None
    for run in runs:
        argv = run.get("item") or []
        subject = [by_node[int(argv[2])]] if _per_node(record) and len(argv) > 2 else plan["adapters"]
        step = _failed_step(run, "qxfwload")
        if step:
            # A run that ended early can't say what it did.
            unknown = unknown or step[0]["what"]
            failures += step + [_failure("qxfwload printed this", line) for line in _lines(run.get("stdout"))]
            continue
        got, lost, said, noted = _judge_run(run.get("stdout"), subject, copyright_lines)
        downloaded += got
        failed += lost
        errors = _lines(run.get("stderr"))
        failures += said + [_failure("qxfwload wrote to standard error", line) for line in errors]
        failures = [f for f in failures if not (f["line"] and ABANDONED_RE.match(f["line"]))]
        notes += noted + [_failure(ABANDONED_NOTE, line) for line in errors if ABANDONED_RE.match(line)]
    if unknown:
        done.update(downloaded=None, downloads_failed=None)
        return dict(
            record,
            status="failed",
            summary=unknown + "; what it did is unknown",
            done=done,
            failures=failures,
            notes=notes,
        )
    done.update(downloaded=downloaded, downloads_failed=failed)
    wanted = len(record["to_download"])
    summary = "%d of %d planned downloads succeeded" % (len(downloaded), wanted)
    if done["earlier"]:
        summary += "; %d %s" % (len(done["earlier"]), EARLIER_NOTE)
    if done.get("recovered"):
        summary += "; %d downloaded by the cut rollout, as its evidence proves" % len(done["recovered"])
    ok = not failures and sorted(downloaded) == sorted(record["to_download"])
    return dict(
        record, status="succeeded" if ok else "failed", summary=summary, done=done, failures=failures, notes=notes
    )


def _to_check(record):
    """The adapters that the check after the downloads is for: those that got
    the image now, and those that the cut rollout's evidence proves got it."""
    return sorted((record["done"]["downloaded"] or []) + (record["done"].get("recovered") or []))


def qxfw_to_check(record):
    """The nodes that the check after the downloads is for ([]: no check)."""
    return _to_check(record)


def qxfw_after_failures(record, scan):
    """What the scan after the downloads found changed on the adapters that
    got the image: a failure per node and change, [] when none."""
    step = _failed_step(scan, "qxfwscan after the downloads")
    if step:
        return step
    try:
        adapters = json.loads(scan.get("stdout") or "").get("adapters")
        if not isinstance(adapters, list):
            raise ValueError("no adapters in its document")
    except (ValueError, AttributeError) as error:
        return [_failure("qxfwscan after the downloads printed no usable document: %s" % error)]
    now = {a.get("node"): a for a in adapters}
    before = {a["node"]: a for a in record["plan"]["adapters"]}
    failures = []
    for node in _to_check(record):
        adapter = now.get(node)
        if adapter is None or not adapter.get("answered"):
            failures.append(_failure("node %d no longer answers after its download" % node, None, node))
            continue
        for what, old, new in (
            ("serial number (*SN)", before[node].get("serial"), _serial(adapter)),
            ("LL", before[node].get("ll"), adapter.get("ll")),
        ):
            if old != new:
                failures.append(
                    _failure("node %d's %s changed after its download: %s, was %s" % (node, what, new, old), None, node)
                )
    return failures


def qxfw_after_checked(record, scan, timeout=0):
    """The record after the check of the adapters that got the image."""
    failures = qxfw_after_failures(record, scan)
    nodes = _to_check(record)
    failed_nodes = {f["node"] for f in failures}
    checked = [n for n in nodes if n not in failed_nodes] if all(f["node"] is not None for f in failures) else []
    check = {
        "nodes": nodes,
        "passed": not failures,
        "checked": checked,
        "attempts": int(scan.get("attempts") or 1),
        "timeout": _number(timeout),
        "failures": failures,
    }
    record = dict(record, after_check=check, done=dict(record["done"], checked=checked))
    if not failures:
        return record
    summary = record["summary"] + "; the check after the downloads failed"
    return dict(record, status="failed", summary=summary, failures=record["failures"] + failures)


def qxfw_said_failure(failure):
    """One failure as the host's last task says it: what, then the line."""
    return "%s: %s" % (failure["what"], failure["line"]) if failure.get("line") else failure["what"]


def qxfw_records(hostvars, hosts):
    """The record of each host of `hosts`, None for a host not reached yet.

    A host whose batch started but that has no record of that batch (Ansible
    dropped it mid-turn) is "incomplete"."""
    records = []
    for host in hosts:
        facts = hostvars[host]
        batch, record = facts.get("__qxfw_batch"), facts.get("qxfw_result")
        if batch and not (record and record.get("batch") == batch.get("number")):
            record = qxfw_record(host, batch["number"])
        records.append(record or None)
    return records


def qxfw_rollout_id(hostvars, hosts):
    """The rollout's id, as its first batch made it ("" before): it names the
    scratch folders that keep the evidence on the hosts."""
    for host in hosts:
        batch = hostvars[host].get("__qxfw_batch")
        if batch and batch.get("rollout_id"):
            return batch["rollout_id"]
    return ""


def new_rollout_id():
    """A new rollout's id: the time (UTC) and random digits."""
    now = datetime.datetime.now(datetime.timezone.utc)
    return now.strftime("%Y%m%dT%H%M%SZ") + "-" + secrets.token_hex(3)


def qxfw_batch(records, image_path, aif=False, pinned=None, resume_path="", rollout_id=""):
    """What every host of the batch that starts needs to know, read once on
    the controller: the batch's number (after those that `records` show),
    the rollout's id (`rollout_id`, or a new one for the first batch), the
    image's facts, the earlier report (qxfw_resume_from) and whether the
    rollout is refused."""
    image = qxfw_image_facts(image_path, aif)
    earlier = {}
    if resume_path:
        with open(resume_path, encoding="utf-8") as report:
            earlier = json.load(report)
    return {
        "number": qxfw_next_batch(records),
        "rollout_id": rollout_id or new_rollout_id(),
        "image": image,
        "earlier": earlier,
        "refusal": qxfw_refusal(image, pinned, earlier),
    }


def qxfw_next_batch(records):
    """The number of the batch after those that `records` (None: not reached) show."""
    return max([r["batch"] for r in records if r] or [0]) + 1


# What the report keeps of the programs' output for each host: the lines
# that its failures and notes quote, at most MAX_LINES of them, each cut to
# MAX_LINE_CHARS. The judging has read the whole output before.
MAX_LINES = 200
MAX_LINE_CHARS = 1000


def visible_utf8(text):
    """`text` with each byte that was not valid UTF-8 shown as \\xNN.

    Ansible hands a program's output over with such bytes as lone surrogates
    (U+DC80 to U+DCFF); any other lone surrogate is shown as \\uNNNN. What
    comes back encodes as valid UTF-8."""
    if not isinstance(text, str):
        return text
    return _SURROGATE.sub(_shown_surrogate, text)


_SURROGATE = re.compile("[\ud800-\udfff]")


def _shown_surrogate(match):
    point = ord(match.group(0))
    return "\\x%02x" % (point - 0xDC00) if 0xDC80 <= point <= 0xDCFF else "\\u%04x" % point


def _clean(value):
    """`value` (a report's piece) with every string made valid UTF-8."""
    if isinstance(value, dict):
        return {_clean(key): _clean(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_clean(item) for item in value]
    return visible_utf8(value)


def _bounded(entry):
    """A host's entry with the output lines that it quotes capped, and
    "output_cut" saying how many lines and characters were left out."""
    lists = [entry.get("failures") or [], entry.get("notes") or []]
    if entry.get("after_check"):
        lists.append(entry["after_check"].get("failures") or [])
    kept, cut_lines, cut_chars = 0, 0, 0
    bounded = []
    for items in lists:
        out = []
        for item in items:
            line = item.get("line")
            if isinstance(line, str):
                if kept == MAX_LINES:
                    cut_lines += 1
                    cut_chars += len(line)
                    continue
                kept += 1
                if len(line) > MAX_LINE_CHARS:
                    cut_chars += len(line) - MAX_LINE_CHARS
                    item = dict(item, line=line[:MAX_LINE_CHARS])
            out.append(item)
        bounded.append(out)
    entry = dict(entry, failures=bounded[0], notes=bounded[1])
    if entry.get("after_check"):
        entry["after_check"] = dict(entry["after_check"], failures=bounded[2])
    entry["output_cut"] = {"lines": cut_lines, "characters": cut_chars} if cut_lines or cut_chars else None
    return entry


# Where the hosts keep the evidence of a rollout's runs, as the report says it.
EVIDENCE_FOLDERS = "qxfw.%s.HOST.* in each host's temporary folder, until the host's turn ends"


def _in_progress(record):
    return dict(
        record,
        status="in progress",
        summary="the host's turn is going on: this report was written as its batch started",
    )


def qxfw_report(records, hosts, settings, batch_done=True, refusal=None):
    """The rollout's report: every host of the play, in order.

    `records` lines up with `hosts` (None: never reached). Written as each
    batch starts and again when it is judged, before its failed hosts fail:
    when the batch stops the rollout, Ansible runs nothing after it, so the
    last report written is the final one. A batch stops the rollout as Ansible
    decides it: all of its hosts failed, or more than max_fail_percentage.
    With `refusal` no host was touched: the rollout was refused.
    """
    refusal = refusal or None
    if refusal:
        records = [None] * len(hosts)
    batch = max([r["batch"] for r in records if r] or [0])
    if not batch_done:
        records = [_in_progress(r) if r and r["batch"] == batch and r["status"] == "incomplete" else r for r in records]
    entries = [_bounded(r) if r else {"host": h, "status": "not reached"} for h, r in zip(hosts, records)]
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
    if refusal:
        rollout = "refused"
    elif stops:
        rollout = "stopped"
    elif batch_done and not pending:
        rollout = "finished"
    else:
        rollout = "in progress"
    counts = {state: 0 for state in STATES + ("not reached",)}
    for entry in entries:
        counts[entry["status"]] += 1
    sizes = [sum(1 for r in records if r and r["batch"] == b) for b in range(1, batch + 1)]
    serial = settings.get("serial")
    rollout_id = settings.get("rollout_id") or None
    return _clean(
        {
            "rollout": rollout,
            "rollout_id": rollout_id,
            "evidence": EVIDENCE_FOLDERS % rollout_id if rollout_id else None,
            "refused": refusal,
            "check_mode": bool(settings.get("check_mode")),
            "image": settings.get("image"),
            "image_sha256": settings.get("image_sha256"),
            "pinned_sha256": settings.get("pinned_sha256") or None,
            "resumed_from": settings.get("resume_from") or None,
            "options": {key: settings.get(key) for key in ("node", "force", "aif")},
            "serial": [_number(s) for s in serial] if isinstance(serial, list) else _number(serial),
            "max_fail_percentage": percentage,
            "after_check_timeout": _number(settings.get("after_check_timeout")),
            "allow_no_adapters": settings.get("allow_no_adapters"),
            "busy_timeout": _number(settings.get("busy_timeout")),
            "resume_unproven": settings.get("resume_unproven"),
            "batches": batch,
            "batch_sizes": sizes,
            "stopped": {"batch": batch, "batch_size": len(in_batch), "failed": failed} if stops else None,
            "counts": dict(counts, hosts=len(entries)),
            "failed": [e["host"] for e in entries if e["status"] in FAILED_STATES],
            "not_reached": pending,
            "hosts": entries,
        }
    )


class FilterModule:
    def filters(self):
        return {
            "qxfw_warn_once": qxfw_warn_once,
            "qxfw_record": qxfw_record,
            "qxfw_rollout_id": qxfw_rollout_id,
            "qxfw_to_check": qxfw_to_check,
            "qxfw_failed_step": qxfw_failed_step,
            "qxfw_planned": qxfw_planned,
            "qxfw_load_runs": qxfw_load_runs,
            "qxfw_judged": qxfw_judged,
            "qxfw_after_failures": qxfw_after_failures,
            "qxfw_after_checked": qxfw_after_checked,
            "qxfw_said_failure": qxfw_said_failure,
            "qxfw_records": qxfw_records,
            "qxfw_batch": qxfw_batch,
            "qxfw_report": qxfw_report,
        }
