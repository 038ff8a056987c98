"""How the role judges a host and when its report says the rollout stops,
with qxfwscan and qxfwload results that the simulated fleet can't produce:
lines the plan did not foresee, output on standard error, runs that end
early, unreachable hosts, Windows line ends.

Run: python3 -m unittest discover -s deploy/ansible/tests -p 'test_*.py'
"""

import json
import pathlib
import sys
import unittest

sys.path.insert(
    0, str(pathlib.Path(__file__).resolve().parents[1] / "roles/qxfwload/filter_plugins")
)
import qxfw  # noqa: E402  (the role's filter plugin, found through the path above)


def adapter(node, action):
    return {
        "node": node,
        "port": 1,
        "route": "node",
        "ll": "1A",
        "partner": action == "skip-partner",
        "keywords": [],
        "action": action,
        "reason": "because",
    }


def scan_result(*adapters, downloads=None, rc=0, stderr=""):
    listed = sum(1 for a in adapters if a["action"] == "download")
    document = {
        "ports": [],
        "adapters": list(adapters),
        "image": {"file": "fw.L1A", "code_id": "SAMPLE01", "length": 4096, "lrc": 1, "ll": "1A"},
        "plan": {
            "downloads": listed if downloads is None else downloads,
            "skips": len(adapters) - listed,
        },
    }
    return {"rc": rc, "stdout": json.dumps(document), "stderr": stderr}


def load_result(stdout="", stderr="", rc=0):
    return {"rc": rc, "stdout": stdout, "stderr": stderr}


FLEET_HOST = (
    adapter(11, "download"),
    adapter(12, "download"),
    adapter(13, "no-ll"),
    adapter(21, "skip-partner"),
)


def planned(scan, check_mode=False):
    return qxfw.qxfw_planned(qxfw.qxfw_record("h1", 1), scan, check_mode)


def judged(stdout="", stderr="", rc=0, adapters=FLEET_HOST):
    return qxfw.qxfw_judged(planned(scan_result(*adapters)), load_result(stdout, stderr, rc))


class PlanTest(unittest.TestCase):
    def test_a_plan_decides_what_comes_next(self):
        with_downloads = planned(scan_result(*FLEET_HOST))
        self.assertEqual(with_downloads["status"], "incomplete")  # qxfwload is to run
        self.assertEqual(
            [a["action"] for a in with_downloads["plan"]["adapters"]],
            ["download", "download", "no-ll", "skip-partner"],
        )
        self.assertNotIn("keywords", with_downloads["plan"]["adapters"][0])

        checked = planned(scan_result(*FLEET_HOST), check_mode=True)
        self.assertEqual(checked["status"], "planned")
        self.assertIn("2 downloads, 2 skips", checked["summary"])

        nothing = planned(scan_result(adapter(11, "skip-ll"), adapter(21, "skip-partner")))
        self.assertEqual(nothing["status"], "succeeded")
        self.assertIn("qxfwload was not run", nothing["summary"])
        self.assertFalse(nothing["done"]["qxfwload"])

    def test_no_plan_fails_the_host_with_what_said_so(self):
        cases = {
            "refused file": (
                {"rc": 1, "stdout": "", "stderr": "qxfwscan: bad LRC\n"},
                "qxfwscan exited with status 1",
                "qxfwscan: bad LRC",
            ),
            "program missing": (
                {"rc": 2, "stdout": "", "stderr": "", "msg": "[Errno 2] No such file"},
                "qxfwscan exited with status 2",
                "[Errno 2] No such file",
            ),
            "unreachable": (
                {"unreachable": True, "msg": "ssh: connection refused"},
                "the host could not be reached while qxfwscan was to run",
                "ssh: connection refused",
            ),
            "not JSON": (
                {"rc": 0, "stdout": "Ports of the driver", "stderr": ""},
                "qxfwscan printed no usable plan",
                None,
            ),
            "no image in the scan": (
                {"rc": 0, "stdout": json.dumps({"adapters": [], "plan": None}), "stderr": ""},
                "qxfwscan printed no usable plan",
                None,
            ),
            "counts against the list": (
                scan_result(adapter(11, "download"), downloads=2),
                "qxfwscan printed no usable plan",
                None,
            ),
        }
        for name, (scan, what, line) in cases.items():
            with self.subTest(name):
                record = planned(scan)
                self.assertEqual(record["status"], "failed")
                self.assertTrue(record["failures"][0]["what"].startswith(what), record["failures"])
                self.assertEqual(record["failures"][0]["line"], line)

    def test_a_host_lost_before_the_scan_fails(self):
        staging = {
            "making the scratch folder": {"path": "/tmp/qxfw.1"},
            "copying the image": {"unreachable": True, "msg": "connection reset"},
        }
        record = qxfw.qxfw_planned(qxfw.qxfw_record("h1", 1), {"skipped": True}, False, staging)
        self.assertEqual(
            (record["status"], record["plan"], record["done"]["image_copied"]),
            ("failed", None, False),
        )
        self.assertEqual(
            record["failures"],
            [
                {
                    "what": "the host could not be reached while copying the image",
                    "line": "connection reset",
                    "node": None,
                }
            ],
        )


class JudgeTest(unittest.TestCase):
    def test_quiet_output_against_the_plan(self):
        # (stdout, status, downloaded, failed nodes, failure lines, note lines)
        cases = {
            "silence: every download succeeded": ("", "succeeded", [11, 12], [], [], []),
            "a foreseen skip is a note": (
                "Unable to determine LL of adapter, node=13\n",
                "succeeded",
                [11, 12],
                [],
                [],
                ["Unable to determine LL of adapter, node=13"],
            ),
            "a failed download": (
                "Download SAMPLE01 to adapter, node=12 failed, use other downloader\n",
                "failed",
                [11],
                [12],
                ["Download SAMPLE01 to adapter, node=12 failed, use other downloader"],
                [],
            ),
            "every download failed": (
                "Download SAMPLE01 to adapter, node=11 failed: rc=-5\n"
                "Download SAMPLE01 to adapter, node=12 failed\n"
                "Warning: didn't do any downloads\n",
                "failed",
                [],
                [11, 12],
                [
                    "Download SAMPLE01 to adapter, node=11 failed: rc=-5",
                    "Download SAMPLE01 to adapter, node=12 failed",
                    "Warning: didn't do any downloads",
                ],
                [],
            ),
            "no LL where the plan said download": (
                "Unable to determine LL of adapter, node=11\n",
                "failed",
                [12],
                [11],
                ["Unable to determine LL of adapter, node=11"],
                [],
            ),
            "no adapter where the plan said download": (
                "No adapter at node 12\n",
                "failed",
                [11],
                [12],
                ["No adapter at node 12"],
                [],
            ),
            "a download the plan did not have": (
                "Download SAMPLE01 to adapter, node=21 failed\n",
                "failed",
                [11, 12],
                [],
                ["Download SAMPLE01 to adapter, node=21 failed"],
                [],
            ),
            "the warning alone": (
                "Warning: didn't do any downloads\n",
                "failed",
                [11, 12],
                [],
                ["Warning: didn't do any downloads"],
                [],
            ),
            "a line quiet mode does not print": (
                "Downloading SAMPLE01 to adapter, node=11 ... done\n",
                "failed",
                [11, 12],
                [],
                ["Downloading SAMPLE01 to adapter, node=11 ... done"],
                [],
            ),
            "Windows line ends": (
                "Unable to determine LL of adapter, node=13\r\n"
                "Download SAMPLE01 to adapter, node=11 failed\r\n",
                "failed",
                [12],
                [11],
                ["Download SAMPLE01 to adapter, node=11 failed"],
                ["Unable to determine LL of adapter, node=13"],
            ),
        }
        for name, (
            stdout,
            status,
            downloaded,
            failed_nodes,
            failure_lines,
            note_lines,
        ) in cases.items():
            with self.subTest(name):
                record = judged(stdout)
                self.assertEqual(record["status"], status)
                self.assertEqual(record["done"]["downloaded"], downloaded)
                self.assertEqual(record["done"]["downloads_failed"], failed_nodes)
                self.assertEqual([f["line"] for f in record["failures"]], failure_lines)
                self.assertEqual([n["line"] for n in record["notes"]], note_lines)
                self.assertIn(
                    "%d of 2 planned downloads succeeded" % len(downloaded), record["summary"]
                )

    def test_standard_error_fails_a_finished_run(self):
        record = judged(stderr="something went wrong\n")
        self.assertEqual(record["status"], "failed")
        self.assertEqual(
            record["failures"],
            [
                {
                    "what": "qxfwload wrote to standard error",
                    "line": "something went wrong",
                    "node": None,
                }
            ],
        )

    def test_a_run_that_ended_early_leaves_the_downloads_unknown(self):
        cases = {
            "error exit": (
                load_result(
                    "Download SAMPLE01 to adapter, node=11 failed\n",
                    "qxfwload: cannot open fw.L1A\n",
                    1,
                ),
                "qxfwload exited with status 1",
                ["qxfwload: cannot open fw.L1A", "Download SAMPLE01 to adapter, node=11 failed"],
            ),
            "connection lost": (
                {"unreachable": True, "msg": "connection reset"},
                "the host could not be reached while qxfwload was to run",
                ["connection reset"],
            ),
        }
        for name, (load, what, lines) in cases.items():
            with self.subTest(name):
                record = qxfw.qxfw_judged(planned(scan_result(*FLEET_HOST)), load)
                self.assertEqual(record["status"], "failed")
                self.assertTrue(record["summary"].startswith(what))
                self.assertIsNone(record["done"]["downloaded"])
                self.assertEqual([f["line"] for f in record["failures"]], lines)

    def test_a_failed_step_keeps_its_message(self):
        record = qxfw.qxfw_failed_step(
            qxfw.qxfw_record("h1", 3),
            "Copy the image to the host",
            {"msg": "Destination not writable"},
        )
        self.assertEqual((record["status"], record["batch"]), ("failed", 3))
        self.assertEqual(record["failures"][0]["line"], "Destination not writable")


def host(name, batch, status):
    return dict(qxfw.qxfw_record(name, batch), status=status)


class ReportTest(unittest.TestCase):
    HOSTS = ["h1", "h2", "h3", "h4", "h5", "h6", "h7"]

    def report(self, records, percentage, batch_done=True):
        records = records + [None] * (len(self.HOSTS) - len(records))
        settings = {
            "image": "/fw.L1A",
            "serial": "3",
            "max_fail_percentage": percentage,
            "check_mode": False,
        }
        return qxfw.qxfw_report(records, self.HOSTS, settings, batch_done)

    def test_the_batch_stops_the_rollout_as_ansible_decides(self):
        first = [host("h1", 1, "succeeded"), host("h2", 1, "succeeded"), host("h3", 1, "succeeded")]
        # (second batch's states, max_fail_percentage, rollout)
        cases = {
            "no failure": (["succeeded", "succeeded", "succeeded"], 0, "in progress"),
            "one failure at 0%": (["succeeded", "failed", "succeeded"], 0, "stopped"),
            "one of three at 50%": (["succeeded", "failed", "succeeded"], 50, "in progress"),
            "one of two at 50%: not more than 50%": (["failed", "succeeded"], 50, "in progress"),
            "two of three at 50%": (["failed", "failed", "succeeded"], "50", "stopped"),
            "one of three at 33%": (["failed", "succeeded", "succeeded"], 33, "stopped"),
            "all failed at 100%": (["failed", "failed", "failed"], 100, "stopped"),
            "a host left incomplete counts as failed": (
                ["incomplete", "succeeded", "succeeded"],
                0,
                "stopped",
            ),
        }
        for name, (states, percentage, rollout) in cases.items():
            with self.subTest(name):
                names = self.HOSTS[3 : 3 + len(states)]
                second = [host(h, 2, s) for h, s in zip(names, states)]
                report = self.report(first + second, percentage)
                self.assertEqual(report["rollout"], rollout)
                self.assertEqual(report["batches"], 2)
                self.assertEqual(report["not_reached"], self.HOSTS[3 + len(states) :])
                failed = [h for h, s in zip(names, states) if s != "succeeded"]
                self.assertEqual(report["failed"], failed)
                self.assertEqual(
                    report["stopped"] and report["stopped"]["failed"],
                    failed if rollout == "stopped" else None,
                )

    def test_every_host_is_listed_in_order(self):
        records = [host(h, 1 + i // 3, "succeeded") for i, h in enumerate(self.HOSTS)]
        report = self.report(records, 0)
        self.assertEqual(report["rollout"], "finished")
        self.assertEqual(
            report["counts"],
            {
                "hosts": 7,
                "succeeded": 7,
                "failed": 0,
                "planned": 0,
                "incomplete": 0,
                "not reached": 0,
            },
        )
        self.assertEqual([h["host"] for h in report["hosts"]], self.HOSTS)
        self.assertEqual(report["serial"], 3)

        started = self.report([host("h1", 1, "incomplete")], 0, batch_done=False)
        self.assertEqual(started["rollout"], "in progress")
        self.assertEqual(
            [h["status"] for h in started["hosts"]], ["incomplete"] + ["not reached"] * 6
        )

    def test_the_next_batch_counts_on(self):
        self.assertEqual(qxfw.qxfw_next_batch([None, None]), 1)
        self.assertEqual(
            qxfw.qxfw_next_batch([host("h1", 1, "succeeded"), host("h2", 2, "failed"), None]), 3
        )


if __name__ == "__main__":
    unittest.main()
