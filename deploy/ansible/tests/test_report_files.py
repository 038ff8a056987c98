"""The report's files: the JSON document valid UTF-8 under a strict parser
and bounded, whatever the programs printed; the HTML page and the JUnit XML
saying what the JSON says, with every text from a host shown, never obeyed.
Reports are generated at random from hostile text and held to the JSON by
report_files_check, the same check that run-tests applies to real rollouts.

Run: python3 -m unittest discover -s deploy/ansible/tests -p 'test_*.py'
"""

import json
import pathlib
import random
import sys
import tempfile
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "roles/qxfwload/filter_plugins"))
sys.path.insert(0, str(HERE))
import qxfw  # noqa: E402
import qxfw_files  # noqa: E402
import report_example  # noqa: E402
import report_files_check  # noqa: E402

# Text that a host, an adapter or a program may hand over: markup, quotes,
# controls, C1 controls, bytes that were not UTF-8 (as Ansible passes them:
# lone surrogates), and plain text.
HOSTILE = [
    "<script>alert(1)</script>",
    "\"quoted' & <b>bold</b>",
    "\x1b]0;title\x07\x1bc",
    "\r\nsplit\tline\x00",
    "\u009b31m C1",
    "\udcff\udc80 not UTF-8",
    "\ud800 lone",
    "plain text",
    "Ā ü 日本",
    "]]> <![CDATA[",
]
STATES = ["succeeded", "failed", "planned", "no adapters", "incomplete"]


def text(rng):
    return "".join(rng.choice(HOSTILE) for _ in range(rng.randint(1, 3)))


def record(rng, host, batch):
    entry = dict(qxfw.qxfw_record(host, batch), status=rng.choice(STATES), summary=text(rng))
    nodes = rng.sample(range(1, 40), rng.randint(0, 4))
    entry["plan"] = {
        "image": {"file": text(rng)},
        "downloads": len(nodes),
        "skips": 0,
        "adapters": [
            {
                "node": n,
                "port": rng.randint(0, 3),
                "ll": text(rng)[:2],
                "partner": False,
                "action": "download",
                "reason": text(rng),
                "serial": text(rng),
            }
            for n in nodes
        ],
    }
    entry["done"] = dict(entry["done"], downloaded=nodes[: len(nodes) // 2], downloads_failed=nodes[len(nodes) // 2 :])
    entry["failures"] = [
        {"what": text(rng), "line": rng.choice([None, text(rng), "x" * rng.randint(900, 3000)]), "node": None}
        for _ in range(rng.choice([0, 1, 3, 250]))
    ]
    return entry


def generated_report(rng):
    hosts = ["h%d%s" % (i, rng.choice(["", "<i>", "\x1b", "&"])) for i in range(rng.randint(1, 9))]
    reached = rng.randint(0, len(hosts))
    per_batch = rng.randint(1, 3)
    records = [record(rng, h, 1 + i // per_batch) for i, h in enumerate(hosts[:reached])]
    settings = {"image": text(rng), "image_sha256": "ab" * 32, "serial": per_batch, "max_fail_percentage": 0}
    refusal = {"what": text(rng)} if rng.random() < 0.1 else None
    return qxfw.qxfw_report(records + [None] * (len(hosts) - reached), hosts, settings, True, refusal)


class ReportFilesTest(unittest.TestCase):
    def write(self, report):
        with tempfile.TemporaryDirectory() as folder:
            paths = [str(pathlib.Path(folder) / name) for name in ("r.json", "r.html", "r.xml")]
            self.assertEqual(qxfw_files.qxfw_write_reports(report, *paths), paths)
            return [pathlib.Path(p).read_bytes() for p in paths]

    def test_generated_reports_say_the_same_in_every_file(self):
        rng = random.Random(24)
        for round_ in range(60):
            report = generated_report(rng)
            with self.subTest(round=round_):
                raw_json, raw_html, raw_xml = self.write(report)
                # Valid UTF-8 under a strict parser: no lone surrogates.
                stored = json.loads(raw_json.decode("utf-8", "strict"))
                self.assertEqual(stored, report)
                for entry in stored["hosts"]:
                    lines = [f["line"] for f in entry.get("failures") or [] if f["line"] is not None]
                    self.assertLessEqual(len(lines), qxfw.MAX_LINES)
                    self.assertLessEqual(max(map(len, lines), default=0), qxfw.MAX_LINE_CHARS)
                page = raw_html.decode("utf-8", "strict")
                self.assertEqual(report_files_check.html_disagreements(stored, page), [])
                self.assertEqual(report_files_check.junit_disagreements(stored, raw_xml), [])
                self.assertNotIn("<script>", page)
                self.assertNotIn("\x1b", page + raw_xml.decode("utf-8"))

    def test_output_is_capped_and_the_cut_is_said(self):
        entry = qxfw.qxfw_record("h1", 1)
        entry["failures"] = [{"what": "a line", "line": "y" * 1500, "node": None} for _ in range(205)]
        entry["notes"] = [{"what": "done in the earlier rollout", "line": None, "node": 11}]
        host = qxfw.qxfw_report([entry], ["h1"], {})["hosts"][0]
        self.assertEqual(len(host["failures"]), 200)
        self.assertEqual({len(f["line"]) for f in host["failures"]}, {1000})
        self.assertEqual(host["notes"], entry["notes"])  # no line: nothing to cut
        self.assertEqual(host["output_cut"], {"lines": 5, "characters": 200 * 500 + 5 * 1500})

    def test_bytes_that_were_not_utf8_are_shown(self):
        entry = dict(qxfw.qxfw_record("h1", 1), summary="bad \udcff\udcfe byte", failures=[])
        host = qxfw.qxfw_report([entry], ["h1"], {})["hosts"][0]
        self.assertEqual(host["summary"], "bad \\xff\\xfe byte")
        self.assertIsNone(host["output_cut"])

    def test_hostile_text_is_shown_as_text(self):
        entry = dict(qxfw.qxfw_record("<script>h1", 1), status="failed", summary='"><script>x</script>')
        entry["failures"] = [{"what": "said", "line": "\x1b[2J<img src=x onerror=alert(1)>", "node": None}]
        raw_json, raw_html, raw_xml = self.write(qxfw.qxfw_report([entry], ["<script>h1"], {}))
        page = raw_html.decode()
        self.assertNotIn("<script>", page)
        self.assertNotIn("<img", page)
        self.assertIn("&lt;script&gt;x&lt;/script&gt;", page)
        self.assertIn("\\x1b[2J&lt;img", page)
        failure = report_files_check.ET.fromstring(raw_xml).find(".//failure")
        self.assertEqual(failure.get("message"), '"><script>x</script>')
        self.assertEqual(failure.text, "said: \\x1b[2J<img src=x onerror=alert(1)>")


if __name__ == "__main__":
    unittest.main()


class ReportExampleTest(unittest.TestCase):
    """report_example.py, which makes the role's example report and picture
    stable: nothing of the machine or the run may be left in them."""

    ROOT = "/work/repo"
    SCRATCH = "/tmp/qxfw-ansible.AbC123"

    def stable(self, report):
        return report_example.stable(report, self.ROOT, self.SCRATCH)

    def test_paths_become_relative_and_ids_placeholders(self):
        rollout = "20261211T171500Z-a1b2c3"
        folder = f"{self.SCRATCH}/host-tmp/qxfw.{rollout}.h1.k2_x9zq0"
        report = {
            "image": f"{self.ROOT}/examples/firmware.L1A",
            "resumed_from": f"{self.SCRATCH}/first-report.json",
            "rollout_id": rollout,
            "evidence": f"qxfw.{rollout}.HOST.*",
            "hosts": [
                {
                    "evidence": folder,
                    "plan": {"image": {"file": folder + "/firmware.L1A", "lrc": 1008440405}},
                    "failures": [{"line": f"qxfwscan: another run is using {folder} (process 4242)", "node": 12}],
                    "summary": "1 of 2 planned downloads succeeded",
                }
            ],
        }
        folder_shown = "host-tmp/qxfw.YYYYMMDDTHHMMSSZ-XXXXXX.h1.XXXXXXXX"
        self.assertEqual(
            self.stable(report),
            {
                "image": "examples/firmware.L1A",
                "resumed_from": "first-report.json",
                "rollout_id": "YYYYMMDDTHHMMSSZ-XXXXXX",
                "evidence": "qxfw.YYYYMMDDTHHMMSSZ-XXXXXX.HOST.*",
                "hosts": [
                    {
                        "evidence": folder_shown,
                        "plan": {"image": {"file": folder_shown + "/firmware.L1A", "lrc": 1008440405}},
                        "failures": [
                            {"line": f"qxfwscan: another run is using {folder_shown} (process PID)", "node": 12}
                        ],
                        "summary": "1 of 2 planned downloads succeeded",
                    }
                ],
            },
        )

    def test_a_path_of_the_machine_left_is_refused(self):
        for left in (f"{self.ROOT}2/examples/firmware.L1A", f"copied from {self.SCRATCH}"):
            with self.assertRaisesRegex(ValueError, "still holds"):
                self.stable({"image": left})
