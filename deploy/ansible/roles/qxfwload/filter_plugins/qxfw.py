"""Filters of the qxfwload role: what a host's plan is, how a host is judged,
and the rollout's report.

A host is judged by positive evidence: qxfwload runs in verbose mode, which
gives every adapter of the plan a line of its own and closes with the count
of good downloads, and each planned adapter is matched to its own line, in
both directions. The rules are in the role's README ("How a host is judged").
"""

import hashlib
import json
import re

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
FAILED_STATES = ("failed", "incomplete")
STATES = ("succeeded", "failed", "planned", "no adapters", "incomplete")

EARLIER_NOTE = "done in the earlier rollout"

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


def _failed_step(result, program):
    """The failures of a command step that did not run to completion, or []."""
    if result.get("unreachable"):
        return [_failure("the host could not be reached while %s was to run" % program, result.get("msg"))]
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
            "image_sha256": None,
            "qxfwscan": False,
            "qxfwload": False,
            "downloaded": [],
            "downloads_failed": [],
            "earlier": [],
            "checked": [],
        },
        "to_download": [],
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


def _done_earlier(earlier, host):
    """{node: (serial, ll)} of the adapters that the earlier report `earlier`
    records as downloaded and checked afterwards on `host`."""
    for entry in (earlier or {}).get("hosts") or []:
        if entry.get("host") != host or not entry.get("plan"):
            continue
        done = entry.get("done") or {}
        nodes = set(done.get("checked") or []) | set(done.get("earlier") or [])
        return {a["node"]: (a.get("serial"), a.get("ll")) for a in entry["plan"]["adapters"] if a["node"] in nodes}
    return {}


def _resumed(record, earlier):
    """The record with the adapters done in the earlier rollout taken out of
    what is to be downloaded: the same node, serial and LL."""
    before = _done_earlier(earlier, record["host"])
    skipped, notes = [], list(record["notes"])
    for adapter in record["plan"]["adapters"]:
        seen = before.get(adapter["node"])
        if adapter["action"] == "download" and adapter.get("serial") and seen == (adapter["serial"], adapter["ll"]):
            skipped.append(adapter["node"])
            notes.append(_failure(EARLIER_NOTE, None, adapter["node"]))
    left = [n for n in _nodes(record["plan"], "download") if n not in skipped]
    return dict(record, done=dict(record["done"], earlier=skipped), to_download=left, notes=notes)


def qxfw_planned(
    record,
    scan,
    check_mode=False,
    staging=None,
    host_stat=None,
    image_sha256=None,
    allow_no_adapters=False,
    earlier=None,
):
    """The record after qxfwscan ran: the plan, or the failure to get one.

    `staging` names the results of the steps before the scan (making the
    scratch folder, copying the image); one that found the host unreachable
    fails it, as does a copy whose SHA-256 (`host_stat`, a stat result) is
    not `image_sha256`. A host whose scan opened no port or found no adapter
    fails, unless `allow_no_adapters`: then its status is "no adapters".
    With `earlier` (a report), adapters that it records as done are left
    out. Status "planned" in check mode; "succeeded" when no adapter is left
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
    record = _resumed(record, earlier)
    plan = record["plan"]
    counts = "%d download%s, %d skip%s" % (
        plan["downloads"],
        "" if plan["downloads"] == 1 else "s",
        plan["skips"],
        "" if plan["skips"] == 1 else "s",
    )
    if check_mode:
        return dict(record, status="planned", summary="check mode: planned %s; nothing was sent" % counts)
    if plan["downloads"] == 0:
        return dict(
            record, status="succeeded", summary="no adapter is to get the image (%s): qxfwload was not run" % counts
        )
    if not record["to_download"]:
        return dict(
            record,
            status="succeeded",
            summary="every planned download (%d) was %s: qxfwload was not run" % (plan["downloads"], EARLIER_NOTE),
        )
    return dict(record, summary="planned %s; qxfwload to run" % counts)


def qxfw_load_runs(record, program, node_options, options, image):
    """The qxfwload command lines for the host: one verbose run for the whole
    plan, or, when adapters were done in an earlier rollout, one `-a NODE`
    run for each adapter that is left."""
    if not record["done"]["earlier"]:
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
        subject = [by_node[int(argv[2])]] if record["done"]["earlier"] and len(argv) > 2 else plan["adapters"]
        step = _failed_step(run, "qxfwload")
        if step:
            # A run that ended early can't say what it did.
            unknown = unknown or step[0]["what"]
            failures += step + [_failure("qxfwload printed this", line) for line in _lines(run.get("stdout"))]
            continue
        got, lost, said, noted = _judge_run(run.get("stdout"), subject, copyright_lines)
        downloaded += got
        failed += lost
        failures += said + [_failure("qxfwload wrote to standard error", line) for line in _lines(run.get("stderr"))]
        notes += noted
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
    ok = not failures and sorted(downloaded) == sorted(record["to_download"])
    return dict(
        record, status="succeeded" if ok else "failed", summary=summary, done=done, failures=failures, notes=notes
    )


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
    for node in record["done"]["downloaded"] or []:
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
    nodes = list(record["done"]["downloaded"] or [])
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


def qxfw_batch(records, image_path, aif=False, pinned=None, resume_path=""):
    """What every host of the batch that starts needs to know, read once on
    the controller: the batch's number (after those that `records` show),
    the image's facts, the earlier report (qxfw_resume_from) and whether
    the rollout is refused."""
    image = qxfw_image_facts(image_path, aif)
    earlier = {}
    if resume_path:
        with open(resume_path, encoding="utf-8") as report:
            earlier = json.load(report)
    return {
        "number": qxfw_next_batch(records),
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
    entries = [_bounded(r) if r else {"host": h, "status": "not reached"} for h, r in zip(hosts, records)]
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
    return _clean(
        {
            "rollout": rollout,
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
