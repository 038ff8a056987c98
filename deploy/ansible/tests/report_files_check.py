"""Holds the rollout's HTML page and JUnit XML to its JSON report: every
host with its status, every failure with its summary and lines, the hosts
never reached skipped; and the page self-contained, with no script.

Run: python3 report_files_check.py REPORT.json [--html PAGE] [--junit XML]
(a page may be a browser's DOM dump). Prints each disagreement; exits 1 on any.
"""

import argparse
import html.parser
import json
import pathlib
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "roles/qxfwload/filter_plugins"))
from qxfw_files import shown  # noqa: E402  (the role's own escaping)

FAILED = ("failed", "incomplete", "in progress")
SKIPPED = ("not reached", "no adapters")


def junit_disagreements(report, xml_text):
    """What the JUnit XML says otherwise than the JSON report."""
    said = []
    root = ET.fromstring(xml_text)
    cases = {}
    for suite in root.iter("testsuite"):
        for case in suite.iter("testcase"):
            cases.setdefault(case.get("name"), []).append((suite.get("name"), case))
    for entry in report["hosts"]:
        host, status = shown(entry["host"]), entry["status"]
        found = cases.pop(host, [])
        if len(found) != 1:
            said.append("%s: %d testcases, not 1" % (host, len(found)))
            continue
        suite, case = found[0]
        want_suite = "not reached" if status == "not reached" else "batch %d" % entry["batch"]
        if suite != want_suite:
            said.append("%s: in testsuite %r, not %r" % (host, suite, want_suite))
        failure, skipped = case.find("failure"), case.find("skipped")
        if (failure is not None) != (status in FAILED) or (skipped is not None) != (status in SKIPPED):
            said.append("%s: status %s, but failure=%s skipped=%s" % (host, status, failure, skipped))
        if failure is not None:
            if failure.get("message") != shown(entry["summary"]):
                said.append("%s: failure message %r, summary %r" % (host, failure.get("message"), entry["summary"]))
            for item in entry.get("failures") or []:
                if shown(item["what"]) not in (failure.text or ""):
                    said.append("%s: the failure text lacks %r" % (host, item["what"]))
    refused = [name for name in cases if name == "the rollout"]
    if bool(refused) != bool(report.get("refused")):
        said.append("the refusal: %s in the XML, %s in the report" % (bool(refused), bool(report.get("refused"))))
    said += ["a testcase %r for no host of the report" % name for name in cases if name != "the rollout"]
    counts = {"tests": len(report["hosts"]) + bool(report.get("refused"))}
    counts["failures"] = sum(e["status"] in FAILED for e in report["hosts"]) + bool(report.get("refused"))
    counts["skipped"] = sum(e["status"] in SKIPPED for e in report["hosts"])
    for key, value in counts.items():
        if root.get(key) != str(value):
            said.append("testsuites %s=%s, not %d" % (key, root.get(key), value))
    return said


class _Page(html.parser.HTMLParser):
    """The rows of the hosts' table, the page's text, and what would make it
    depend on anything beyond itself."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.rows, self.text, self.outside, self.scripts = [], [], [], 0
        self._row = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "script":
            self.scripts += 1
        for key in ("src", "href"):
            if attrs.get(key):
                self.outside.append("<%s %s=%s>" % (tag, key, attrs[key]))
        if tag == "tr" and "data-host" in attrs:
            self._row = {"host": attrs["data-host"], "status": attrs.get("data-status"), "text": []}
            self.rows.append(self._row)

    def handle_data(self, data):
        self.text.append(data)
        if self._row is not None:
            self._row["text"].append(data)


def html_disagreements(report, page_text):
    """What the page (or its DOM) says otherwise than the JSON report."""
    page = _Page()
    page.feed(page_text)
    said = ["a script element"] * page.scripts + ["refers outside itself: " + o for o in page.outside]
    rows = [(row["host"], row["status"]) for row in page.rows]
    want = [(shown(e["host"]), e["status"]) for e in report["hosts"]]
    if rows != want:
        said.append("the hosts' rows are %s, not %s" % (rows, want))
    for row, entry in zip(page.rows, report["hosts"]):
        text = " ".join(" ".join(row["text"]).split())
        for part in (shown(entry["host"]), entry["status"], " ".join(shown(entry.get("summary")).split())):
            if part not in text:
                said.append("%s: the row's text lacks %r" % (entry["host"], part))
    text = " ".join(" ".join(page.text).split())
    if ("Firmware rollout: " + report["rollout"]) not in text:
        said.append("the page does not say that the rollout is %s" % report["rollout"])
    for entry in report["hosts"]:
        for item in entry.get("failures") or []:
            for part in (item["what"], item.get("line")):
                if part is not None and " ".join(shown(part).split()) not in text:
                    said.append("%s: the page lacks the failure text %r" % (entry["host"], part))
    return said


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("report")
    parser.add_argument("--html", action="append", default=[])
    parser.add_argument("--junit")
    args = parser.parse_args()
    raw = pathlib.Path(args.report).read_bytes()
    report = json.loads(raw.decode("utf-8", "strict"))
    said = []
    for path in args.html:
        said += [path + ": " + s for s in html_disagreements(report, pathlib.Path(path).read_text("utf-8"))]
    if args.junit:
        said += [args.junit + ": " + s for s in junit_disagreements(report, pathlib.Path(args.junit).read_bytes())]
    for line in said:
        print(line)
    return 1 if said else 0


if __name__ == "__main__":
    sys.exit(main())
