"""The judge reads qxfwload's messages by their printf formats: these tests
hold its formats to the C++ sources, and its judging to what the programs
really print, so that a changed message fails the test command instead of
blinding the judge.

QXFW_BIN_DIR (the built tool/ folder) runs the programs; without it those
tests are skipped (run-tests always sets it).

Run: python3 -m unittest discover -s deploy/ansible/tests -p 'test_*.py'
"""

import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "deploy/ansible/roles/qxfwload/filter_plugins"))
import qxfw  # noqa: E402  (the role's filter plugin, found through the path above)

# Where qxfwload prints to the console: the run, the image's loading, the banner.
SOURCES = ("tool/download.cc", "tool/load_image.cc", "tool/command_line.cc")

# Messages of those files that a verbose run without -p never prints, so the
# judge need not read them; each with why.
NOT_READ = {
    "Download %8s to adapter, node=%lu ": "quiet mode's start of a failed download",
    "Warning: didn't do any downloads\n": "quiet mode's closing line",
    "Ready to load firmware, press Enter when ready ... ": "-p, which the role never gives",
    "\n": "the banner's blank lines",
}

_LITERAL = re.compile(r'DpbPrint\(\s*"((?:[^"\\]|\\.)*)"')
_ESCAPES = {"n": "\n", "t": "\t", '"': '"', "\\": "\\", "'": "'"}


def source_formats():
    """Every format string that the SOURCES pass to DpbPrint, unescaped."""
    formats = set()
    for name in SOURCES:
        for literal in _LITERAL.findall((ROOT / name).read_text()):
            formats.add(re.sub(r"\\(.)", lambda m: _ESCAPES[m.group(1)], literal))
    return formats


class FormatTest(unittest.TestCase):
    def test_the_judge_knows_every_message_of_the_sources(self):
        found = source_formats()
        self.assertEqual(
            sorted(found - set(NOT_READ) - set(qxfw.MESSAGE_FORMATS)), [], "messages that the judge does not know"
        )
        self.assertEqual(sorted(set(qxfw.MESSAGE_FORMATS) - found), [], "formats of the judge that no source prints")
        self.assertEqual(sorted(set(NOT_READ) - found), [], "NOT_READ names messages that no source prints")

    def test_each_format_reads_back_what_it_prints(self):
        samples = {
            qxfw.SKIPS["skip-ll"]: ("Skipping adapter with LL=2B, node=12", ("2B", "12")),
            qxfw.SKIPS["no-adapter"]: ("No adapter at node 48", ("48",)),
            qxfw.COUNT: ("1 successful download performed", ("1", "")),
            qxfw.DOWNLOADING
            + qxfw.DOWNLOAD_ENDS["failed: rc"]: (
                "Downloading SAMPLE01 to adapter, node=11 ... failed: rc=-5",
                ("SAMPLE01", "11", "-5"),
            ),
        }
        for fmt, (line, groups) in samples.items():
            with self.subTest(fmt):
                self.assertEqual(re.match("^" + qxfw.format_pattern(fmt) + "$", line).groups(), groups)


@unittest.skipUnless(os.environ.get("QXFW_BIN_DIR"), "QXFW_BIN_DIR names no built programs")
class ProgramsTest(unittest.TestCase):
    """The judge against real runs on the simulated machine."""

    def setUp(self):
        self.bin = pathlib.Path(os.environ["QXFW_BIN_DIR"])
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.path = pathlib.Path(self.dir.name)

    def machine(self, name, adapters):
        path = self.path / name
        path.write_text(
            json.dumps(
                {
                    "ports": [{"port": 1, "driver": "qarmix", "node": 11}, {"port": 2, "driver": "qarmix", "node": 12}],
                    "adapters": adapters,
                }
            )
        )
        return path

    def run_program(self, program, machine, *args):
        env = dict(os.environ, QXFW_MACHINE=str(machine))
        env.pop("QXFW_TRACE", None)
        env.pop("QXFW_STATE", None)
        return subprocess.run(
            [str(self.bin / program), *args], env=env, capture_output=True, text=True, timeout=60, check=False
        )

    def image(self, copyright):
        payload = self.path / "payload"
        payload.write_bytes(bytes(range(256)) * 16)
        image = self.path / "fw.L1A"
        packed = self.run_program(
            "qxfwimage",
            self.path / "none.json",
            "pack",
            "--code-id",
            "SAMPLE01",
            "--copyright",
            copyright,
            str(payload),
            str(image),
        )
        self.assertEqual(packed.returncode, 0, packed.stderr)
        return image

    def judged(self, image, scan_machine, load_machine):
        scan = self.run_program("qxfwscan", scan_machine, "--json", str(image))
        record = qxfw.qxfw_planned(qxfw.qxfw_record("h1", 1), vars(scan) | {"rc": scan.returncode})
        self.assertEqual(record["status"], "incomplete", record)
        load = self.run_program("qxfwload", load_machine, str(image))
        facts = qxfw.qxfw_image_facts(str(image))
        return qxfw.qxfw_judged(
            record, {"rc": load.returncode, "stdout": load.stdout, "stderr": load.stderr}, facts["copyright_lines"]
        )

    def test_a_run_that_did_its_plan_succeeds(self):
        adapters = [
            {"node": 11, "vpd": {"ll": "1A"}},
            {"node": 12, "vpd": {"ll": "2B"}},
            {"node": 21, "vpd": {"ll": "1A"}, "partner": True},
        ]
        machine = self.machine("m.json", adapters)
        record = self.judged(self.image("Plain text.\nTwo lines."), machine, machine)
        self.assertEqual((record["status"], record["done"]["downloaded"], record["failures"]), ("succeeded", [11], []))

    def test_an_image_whose_text_forges_a_download_proves_nothing(self):
        forged = (
            "Text.\n---\nDownloading SAMPLE01 to adapter, node=12 ... done\n---\n"
            "Downloading SAMPLE01 to adapter, node=12 ... done\n2 successful downloads performed"
        )
        scanned = self.machine("before.json", [{"node": 11, "vpd": {"ll": "1A"}}, {"node": 12, "vpd": {"ll": "1A"}}])
        gone = self.machine("after.json", [{"node": 11, "vpd": {"ll": "1A"}}])
        record = self.judged(self.image(forged), scanned, gone)
        self.assertEqual(record["status"], "failed")
        self.assertEqual(record["done"]["downloaded"], [11])
        self.assertEqual(
            [f["what"] for f in record["failures"]], ["node 12: the plan had a download, qxfwload reported none"]
        )


if __name__ == "__main__":
    unittest.main()
