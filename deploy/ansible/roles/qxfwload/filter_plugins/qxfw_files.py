"""The rollout's report as files on the controller: the JSON document, a
self-contained HTML page made from it with the role's template, and JUnit
XML for CI systems. Written by the controller's own Python, once per batch,
each file whole or not at all (a temporary file, then a rename).
"""

import json
import os
import pathlib
import re
import tempfile
import xml.etree.ElementTree as ET

import jinja2

TEMPLATES = pathlib.Path(__file__).resolve().parent.parent / "templates"

# Characters that a terminal, a browser or an XML parser would take for
# something other than text: C0 controls, DEL, C1 controls, and the two
# noncharacters that XML forbids. Shown as \xNN or \uNNNN.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\ufffe\uffff]")


def shown(text):
    """`text` (a host's or an adapter's) with its controls shown as escapes;
    None and numbers as text."""
    if text is None:
        return ""
    text = str(text)
    return _CONTROL.sub(lambda m: ("\\x%02x" if ord(m.group(0)) < 0x100 else "\\u%04x") % ord(m.group(0)), text)


def _write(path, text):
    """Writes `text` (UTF-8) to `path` whole: a reader never sees half a file."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, scratch = tempfile.mkstemp(prefix=".qxfw-report.", dir=folder)
    try:
        with os.fdopen(handle, "w", encoding="utf-8", newline="\n") as out:
            out.write(text)
        os.chmod(scratch, 0o644)
        os.replace(scratch, path)
    except BaseException:
        os.unlink(scratch)
        raise


def report_json(report):
    return json.dumps(report, indent=2, sort_keys=True, ensure_ascii=False) + "\n"


def adapter_outcome(entry, node, action):
    """What became of one adapter of a host's plan, in a word or three."""
    done = entry.get("done") or {}
    if node in (done.get("earlier") or []):
        return "done in the earlier rollout"
    if node in (done.get("recovered") or []):
        return "recovered"
    if node in (done.get("unproven") or []) and node not in (done.get("downloaded") or []):
        return "unproven"
    if action != "download":
        return "skipped"
    if entry.get("status") == "planned":
        return "planned"
    if done.get("downloaded") is None:
        return "unknown"
    if node in done["downloaded"]:
        return "downloaded"
    if node in (done.get("downloads_failed") or []):
        return "download failed"
    return "not sent"


def after_outcome(entry, node):
    """The check after the download of one adapter: passed, failed or ""."""
    check = entry.get("after_check") or {}
    if node not in (check.get("nodes") or []):
        return ""
    return "passed" if node in (check.get("checked") or []) else "failed"


def report_html(report):
    """The report as one HTML page, from the role's template."""
    environment = jinja2.Environment(
        loader=jinja2.FileSystemLoader(str(TEMPLATES)),
        autoescape=True,
        undefined=jinja2.ChainableUndefined,
        trim_blocks=True,
        lstrip_blocks=True,
    )
    environment.filters["shown"] = shown
    environment.globals.update(adapter_outcome=adapter_outcome, after_outcome=after_outcome)
    return environment.get_template("report.html.j2").render(report=report)


def _failure_text(entry):
    lines = []
    for failure in entry.get("failures") or []:
        said = shown(failure.get("what"))
        if failure.get("line") is not None:
            said += ": " + shown(failure["line"])
        lines.append(said)
    return "\n".join(lines)


def _testcase(suite, entry, batch_name):
    case = ET.SubElement(suite, "testcase", name=shown(entry["host"]), classname="rollout." + batch_name)
    status = entry["status"]
    summary = shown(entry.get("summary") or status)
    if status in ("failed", "incomplete", "in progress"):
        ET.SubElement(case, "failure", message=summary, type=status).text = _failure_text(entry)
        return "failures"
    if status == "not reached":
        ET.SubElement(case, "skipped", message="not reached: the rollout stopped or was refused before this host")
        return "skipped"
    if status == "no adapters":
        ET.SubElement(case, "skipped", message="no adapters: " + summary)
        return "skipped"
    ET.SubElement(case, "system-out").text = status + ": " + summary
    return "passed"


def _suite(root, name, entries):
    suite = ET.SubElement(root, "testsuite", name=name)
    counts = {"passed": 0, "failures": 0, "skipped": 0}
    for entry in entries:
        counts[_testcase(suite, entry, name.replace(" ", "-"))] += 1
    suite.set("tests", str(len(entries)))
    suite.set("failures", str(counts["failures"]))
    suite.set("errors", "0")
    suite.set("skipped", str(counts["skipped"]))
    return counts


def report_junit(report):
    """The report as JUnit XML: a testsuite per batch, a testcase per host;
    the hosts never reached in a suite of their own, each skipped. A refused
    rollout is one failed testcase, since no host could pass."""
    root = ET.Element("testsuites", name="qxfwload rollout")
    hosts = report.get("hosts") or []
    totals = {"tests": 0, "failures": 0, "skipped": 0}
    if report.get("refused"):
        suite = ET.SubElement(root, "testsuite", name="rollout", tests="1", failures="1", errors="0", skipped="0")
        case = ET.SubElement(suite, "testcase", name="the rollout", classname="rollout")
        what = shown(report["refused"].get("what"))
        ET.SubElement(case, "failure", message="the rollout is refused", type="refused").text = what
        totals["tests"] += 1
        totals["failures"] += 1
    batches = sorted({entry["batch"] for entry in hosts if "batch" in entry})
    groups = [("batch %d" % b, [e for e in hosts if e.get("batch") == b]) for b in batches]
    groups.append(("not reached", [e for e in hosts if e["status"] == "not reached"]))
    for name, entries in groups:
        if entries:
            counts = _suite(root, name, entries)
            totals["tests"] += len(entries)
            totals["failures"] += counts["failures"]
            totals["skipped"] += counts["skipped"]
    for key, value in totals.items():
        root.set(key, str(value))
    root.set("errors", "0")
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def qxfw_write_reports(report, json_path, html_path="", junit_path=""):
    """Writes the report (qxfw_report's document) to `json_path`, and as a
    page and JUnit XML where their paths are given; returns the paths written."""
    written = []
    for path, render in ((json_path, report_json), (html_path, report_html), (junit_path, report_junit)):
        if path:
            _write(path, render(report))
            written.append(path)
    return written


class FilterModule:
    def filters(self):
        return {"qxfw_write_reports": qxfw_write_reports}
