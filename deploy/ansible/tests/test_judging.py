"""How the role judges a host and when its report says the rollout stops,
with qxfwscan and qxfwload results that the simulated fleet can't produce:
lines the plan did not foresee, output on standard error, runs that end
early, unreachable hosts, Windows line ends.

Run: python3 -m unittest discover -s deploy/ansible/tests -p 'test_*.py'
"""

import json
import pathlib
import random
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "roles/qxfwload/filter_plugins"))
import qxfw  # noqa: E402  (the role's filter plugin, found through the path above)


def adapter(node, action, serial="0000000000"):
    return {
        "node": node,
        "port": 1,
        "route": "node",
        "ll": "1A",
        "partner": action == "skip-partner",
        "answered": action != "no-adapter",
        "keywords": [{"name": "*SN", "value": serial}],
        "action": action,
        "reason": "because",
    }


def scan_result(*adapters, downloads=None, rc=0, stderr=""):
    listed = sum(1 for a in adapters if a["action"] == "download")
    document = {
        "ports": [{"port": 1, "opened": True}],
        "adapters": list(adapters),
        "image": {"file": "fw.L1A", "code_id": "SAMPLE01", "length": 4096, "lrc": 1, "ll": "1A"},
        "plan": {"downloads": listed if downloads is None else downloads, "skips": len(adapters) - listed},
    }
    return {"rc": rc, "stdout": json.dumps(document), "stderr": stderr}


def load_result(stdout="", stderr="", rc=0):
    return {"rc": rc, "stdout": stdout, "stderr": stderr}


FLEET_HOST = (adapter(11, "download"), adapter(12, "download"), adapter(13, "no-ll"), adapter(21, "skip-partner"))


def planned(scan, check_mode=False):
    return qxfw.qxfw_planned(qxfw.qxfw_record("h1", 1), scan, check_mode)


COPYRIGHT = "Sample image.\nNot firmware."
NO_LL = "Unable to determine LL of adapter, node=13"
SKIP_PARTNER = "Skipping partner adapter, node=21"
FAILED_12 = "Downloading SAMPLE01 to adapter, node=12 ... failed"


def done(node):
    return "Downloading SAMPLE01 to adapter, node=%d ... done" % node


# The lines that verbose qxfwload prints for an adapter, by what became of it.
OUTCOME_LINES = {
    "download": lambda n: [done(n)],
    "failed": lambda n: ["Downloading SAMPLE01 to adapter, node=%d ... failed: rc=-5" % n],
    "skip-partner": lambda n: ["Skipping partner adapter, node=%d" % n],
    "skip-ll": lambda n: ["Skipping adapter with LL=2B, node=%d" % n],
    "no-ll": lambda n: ["Unable to determine LL of adapter, node=%d" % n],
    "silent": lambda n: [],
}


def verbose(*lines, copyright=COPYRIGHT, count=None):
    """What verbose qxfwload prints: the header, the copyright block, the
    outcome lines and the count (by default, of the "done" lines)."""
    if count is None:
        count = sum(1 for line in lines if line.endswith("... done"))
    head = [
        "",
        "Ostrel Brivane Adapter Firmware Downloader for Linux, version 1.8",
        "",
        "Loading firmware file: /tmp/qxfw.1/fw.L1A",
        "Loaded firmware file, CodeID=SAMPLE01, length=4096 (0x01000), LRC=0x3c1b9455",
        "Copyright message :-",
        "---",
        copyright,
        "---",
    ]
    tail = ["%d successful download%s performed" % (count, "" if count == 1 else "s")]
    return "\n".join(head + list(lines) + tail) + "\n"


def lines_of(copyright):
    return copyright.count("\n") + 1


def judged(stdout="", stderr="", rc=0, adapters=FLEET_HOST, copyright=COPYRIGHT):
    record = planned(scan_result(*adapters))
    return qxfw.qxfw_judged(record, load_result(stdout, stderr, rc), lines_of(copyright))


class PlanTest(unittest.TestCase):
    def test_a_plan_decides_what_comes_next(self):
        with_downloads = planned(scan_result(*FLEET_HOST))
        self.assertEqual(with_downloads["status"], "incomplete")  # qxfwload is to run
        self.assertEqual(
            [a["action"] for a in with_downloads["plan"]["adapters"]], ["download", "download", "no-ll", "skip-partner"]
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
        self.assertEqual((record["status"], record["plan"], record["done"]["image_copied"]), ("failed", None, False))
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
    def test_verbose_output_against_the_plan(self):
        # (stdout, status, downloaded, failed nodes, failure whats, note lines)
        cases = {
            "every adapter has its line and the count is right": (
                verbose(done(11), done(12), NO_LL, SKIP_PARTNER),
                "succeeded",
                [11, 12],
                [],
                [],
                [NO_LL],
            ),
            "a failed download": (
                verbose(done(11), FAILED_12 + ", use other downloader", NO_LL, SKIP_PARTNER),
                "failed",
                [11],
                [12],
                ["the download to node 12 failed"],
                [NO_LL],
            ),
            "silence about a planned node": (
                verbose(done(11), NO_LL, SKIP_PARTNER),
                "failed",
                [11],
                [12],
                ["node 12: the plan had a download, qxfwload reported none"],
                [NO_LL],
            ),
            "silence about a planned skip": (
                verbose(done(11), done(12), NO_LL),
                "failed",
                [11, 12],
                [],
                ["node 21: the plan had skip-partner, qxfwload reported nothing of it"],
                [NO_LL],
            ),
            "now a partner": (
                verbose(done(11), "Skipping partner adapter, node=12", NO_LL, SKIP_PARTNER),
                "failed",
                [11],
                [12],
                ["node 12: the plan had download, but qxfwload reported skip-partner"],
                [NO_LL],
            ),
            "now another LL": (
                verbose(done(11), "Skipping adapter with LL=2B, node=12", NO_LL, SKIP_PARTNER),
                "failed",
                [11],
                [12],
                ["node 12: the plan had download, but qxfwload reported skip-ll"],
                [NO_LL],
            ),
            "no LL where the plan said download": (
                verbose(done(11), "Unable to determine LL of adapter, node=12", NO_LL, SKIP_PARTNER),
                "failed",
                [11],
                [12],
                ["node 12: the plan had download, but qxfwload reported no-ll"],
                [NO_LL],
            ),
            "a download the plan did not have": (
                verbose(done(11), done(12), NO_LL, done(21)),
                "failed",
                [11, 12],
                [],
                [
                    "node 21: qxfwload sent it a download, but the plan had skip-partner",
                    "qxfwload counted 3 successful downloads, but reported 2 done",
                ],
                [NO_LL],
            ),
            "a node reported twice": (
                verbose(done(11), done(12), done(12), NO_LL, SKIP_PARTNER, count=2),
                "failed",
                [11, 12],
                [],
                ["node 12: qxfwload reported it more than once"],
                [NO_LL],
            ),
            "a count that is not the lines'": (
                verbose(done(11), done(12), NO_LL, SKIP_PARTNER, count=3),
                "failed",
                [11, 12],
                [],
                ["qxfwload counted 3 successful downloads, but reported 2 done"],
                [NO_LL],
            ),
            "no count": (
                verbose(done(11), done(12), NO_LL, SKIP_PARTNER).replace("2 successful downloads performed\n", ""),
                "failed",
                [11, 12],
                [],
                ["qxfwload printed no count of its successful downloads"],
                [NO_LL],
            ),
            "a line the judge does not know": (
                verbose(done(11), done(12), "Download SAMPLE01 to adapter, node=12 failed", NO_LL, SKIP_PARTNER),
                "failed",
                [11, 12],
                [],
                ["a line that qxfwload's verbose run does not print after its header"],
                [NO_LL],
            ),
            "a line after the count": (
                verbose(done(11), done(12), NO_LL, SKIP_PARTNER) + done(12) + "\n",
                "failed",
                [11, 12],
                [],
                ["a line that qxfwload's verbose run does not print after its header"],
                [NO_LL],
            ),
            "no header": (
                done(11) + "\n" + done(12) + "\n2 successful downloads performed\n",
                "failed",
                [],
                [],
                ["qxfwload printed no image header and copyright block as the image's"],
                [],
            ),
            "Windows line ends": (
                verbose(done(11), FAILED_12, NO_LL, SKIP_PARTNER).replace("\n", "\r\n"),
                "failed",
                [11],
                [12],
                ["the download to node 12 failed"],
                [NO_LL],
            ),
        }
        for name, (stdout, status, downloaded, failed_nodes, failure_whats, note_lines) in cases.items():
            with self.subTest(name):
                record = judged(stdout)
                self.assertEqual(record["status"], status)
                self.assertEqual(record["done"]["downloaded"], downloaded)
                self.assertEqual(record["done"]["downloads_failed"], failed_nodes)
                self.assertEqual([f["what"] for f in record["failures"]], failure_whats)
                self.assertEqual([n["line"] for n in record["notes"]], note_lines)
                self.assertIn("%d of 2 planned downloads succeeded" % len(downloaded), record["summary"])

    def test_the_copyright_text_cannot_forge_evidence(self):
        # The image's own text looks like the end of the block and a good
        # download of node 12, which in truth printed nothing.
        forged = "Sample.\n---\n%s\n---\n%s\n2 successful downloads performed" % (done(12), done(12))
        header = forged.encode() + b"\0" * (qxfw.COPYRIGHT_SIZE - len(forged)) + b"\0" * 20
        self.assertEqual(qxfw.copyright_line_count(header), lines_of(forged))
        record = judged(verbose(done(11), NO_LL, SKIP_PARTNER, copyright=forged), copyright=forged)
        self.assertEqual(record["status"], "failed")
        self.assertEqual(record["done"]["downloaded"], [11])
        self.assertEqual(
            [f["what"] for f in record["failures"]], ["node 12: the plan had a download, qxfwload reported none"]
        )
        # Told a block of another size, the judge finds no header at all.
        record = judged(verbose(done(11), done(12), NO_LL, SKIP_PARTNER, copyright=forged))
        self.assertEqual(
            record["failures"][0]["what"], "qxfwload printed no image header and copyright block as the image's"
        )

    def test_a_text_filling_its_field_is_counted_whole(self):
        self.assertEqual(qxfw.copyright_line_count(b"a\nb" * 84 + b"\0" * 20), 85)
        self.assertEqual(qxfw.copyright_line_count(b"\0" * 272), 1)
        self.assertIsNone(qxfw.copyright_line_count(b"short"))

    def test_generated_runs_against_a_model(self):
        # Random plans and random runs as verbose qxfwload prints them, with
        # adapters that changed, lines lost and forged copyright texts: the
        # judge must agree with a model that knows what really happened.
        rng = random.Random(21)
        actions = ["download", "skip-partner", "skip-ll", "no-ll"]
        for case in range(400):
            nodes = rng.sample(range(11, 49), rng.randint(1, 6))
            plan = [adapter(n, rng.choice(actions)) for n in nodes]
            happened, lines = {}, []
            for a in plan:
                outcome = a["action"] if rng.random() < 0.8 else rng.choice(actions + ["failed", "silent"])
                happened[a["node"]] = outcome
                lines += OUTCOME_LINES[outcome](a["node"])
            good = sum(1 for a in plan if happened[a["node"]] == "download")
            forged = "\n".join(rng.choice([done(n), "---", "x"]) for n in nodes)
            stdout = verbose(*lines, copyright=forged, count=good)
            record = qxfw.qxfw_judged(planned(scan_result(*plan)), load_result(stdout), lines_of(forged))
            planned_nodes = [a["node"] for a in plan if a["action"] == "download"]
            expect_ok = all(happened[a["node"]] == a["action"] for a in plan)
            with self.subTest(case=case, plan=[(a["node"], a["action"]) for a in plan], happened=happened):
                self.assertEqual(record["status"], "succeeded" if expect_ok else "failed")
                self.assertEqual(record["done"]["downloaded"], [n for n in planned_nodes if happened[n] == "download"])
                wrong = sorted(a["node"] for a in plan if happened[a["node"]] != a["action"])
                self.assertEqual(sorted({f["node"] for f in record["failures"]} - {None}), wrong)

    def test_standard_error_fails_a_finished_run(self):
        record = judged(verbose(done(11), done(12), NO_LL, SKIP_PARTNER), stderr="something went wrong\n")
        self.assertEqual(record["status"], "failed")
        self.assertEqual(
            record["failures"],
            [{"what": "qxfwload wrote to standard error", "line": "something went wrong", "node": None}],
        )

    def test_a_run_that_ended_early_leaves_the_downloads_unknown(self):
        cases = {
            "error exit": (
                load_result("Download SAMPLE01 to adapter, node=11 failed\n", "qxfwload: cannot open fw.L1A\n", 1),
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
            qxfw.qxfw_record("h1", 3), "Copy the image to the host", {"msg": "Destination not writable"}
        )
        self.assertEqual((record["status"], record["batch"]), ("failed", 3))
        self.assertEqual(record["failures"][0]["line"], "Destination not writable")


def host(name, batch, status):
    return dict(qxfw.qxfw_record(name, batch), status=status)


class ReportTest(unittest.TestCase):
    HOSTS = ["h1", "h2", "h3", "h4", "h5", "h6", "h7"]

    def report(self, records, percentage, batch_done=True):
        records = records + [None] * (len(self.HOSTS) - len(records))
        settings = {"image": "/fw.L1A", "serial": "3", "max_fail_percentage": percentage, "check_mode": False}
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
            "a host left incomplete counts as failed": (["incomplete", "succeeded", "succeeded"], 0, "stopped"),
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
                    report["stopped"] and report["stopped"]["failed"], failed if rollout == "stopped" else None
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
                "no adapters": 0,
                "incomplete": 0,
                "in progress": 0,
                "not reached": 0,
            },
        )
        self.assertEqual([h["host"] for h in report["hosts"]], self.HOSTS)
        self.assertEqual(report["serial"], 3)

        started = self.report([host("h1", 1, "incomplete")], 0, batch_done=False)
        self.assertEqual(started["rollout"], "in progress")
        # Written as the batch starts: its hosts are in progress.
        self.assertEqual([h["status"] for h in started["hosts"]], ["in progress"] + ["not reached"] * 6)
        self.assertEqual(started["counts"]["in progress"], 1)

    def test_the_next_batch_counts_on(self):
        self.assertEqual(qxfw.qxfw_next_batch([None, None]), 1)
        self.assertEqual(qxfw.qxfw_next_batch([host("h1", 1, "succeeded"), host("h2", 2, "failed"), None]), 3)


class CutRolloutTest(unittest.TestCase):
    """A host that a cut rollout left in progress, judged on resume from the
    evidence that its runs left on the host (module qxfw_evidence)."""

    ADAPTERS = (adapter(11, "download"), adapter(12, "download"), adapter(21, "skip-partner"))
    EARLIER = {"hosts": [{"host": "h1", "status": "in progress", "batch": 1}]}

    def evidence(self, load_stdout, found=True, rc=None, stderr=""):
        scan = dict(scan_result(*self.ADAPTERS), name="scan", argv=["qxfwscan", "--json", "fw.L1A"], ended=True)
        runs = [scan]
        if load_stdout is not None:
            runs.append(
                {"name": "load", "argv": ["qxfwload", "fw.L1A"], "stdout": load_stdout, "stderr": stderr, "rc": rc}
            )
        return {"found": found, "earlier": [{"rollout": "r1", "folder": "/tmp/x", "runs": runs}] if found else []}

    def resumed(self, evidence, unproven_action="fail"):
        return qxfw.qxfw_planned(
            qxfw.qxfw_record("h1", 1),
            scan_result(*self.ADAPTERS),
            earlier=self.EARLIER,
            evidence=evidence,
            copyright_lines=lines_of(COPYRIGHT),
            unproven_action=unproven_action,
        )

    def test_every_download_proven_is_checked_not_sent_again(self):
        record = self.resumed(self.evidence(verbose(done(11), done(12), SKIP_PARTNER), rc=0))
        self.assertEqual(record["done"]["recovered"], [11, 12])
        self.assertEqual((record["status"], record["to_download"]), ("succeeded", []))
        self.assertEqual(qxfw.qxfw_to_check(record), [11, 12])
        self.assertEqual(qxfw.qxfw_load_runs(record, "qxfwload", [], [], "fw.L1A"), [])

    def test_a_run_interrupted_between_sequences_proves_the_rest_untouched(self):
        stdout = verbose(done(11))  # the closing count, then the interrupt line on standard error
        record = self.resumed(self.evidence(stdout, rc=1, stderr="qxfwload: interrupted after the download sequence"))
        self.assertEqual(
            (record["done"]["recovered"], record["to_download"], record["status"]), ([11], [12], "incomplete")
        )
        self.assertEqual(
            qxfw.qxfw_load_runs(record, "qxfwload", [], [], "fw.L1A"), [["qxfwload", "-a", "12", "fw.L1A"]]
        )

    def test_evidence_that_stops_mid_sequence_fails_the_host_naming_the_node(self):
        stdout = verbose(done(11)).rsplit("\n", 2)[0] + "\nDownloading SAMPLE01 to adapter, node=12 ... "
        record = self.resumed(self.evidence(stdout))
        self.assertEqual((record["done"]["recovered"], record["done"]["unproven"]), ([11], [12]))
        self.assertEqual((record["status"], record["to_download"]), ("failed", []))
        self.assertEqual([f["node"] for f in record["failures"]], [12])
        self.assertTrue(record["summary"].startswith("the cut rollout left node 12 unproven"), record["summary"])
        self.assertEqual(qxfw.qxfw_to_check(record), [11])  # the proven one is checked all the same
        again = self.resumed(self.evidence(stdout), unproven_action="download")
        self.assertEqual((again["status"], again["to_download"]), ("incomplete", [12]))

    def test_no_line_and_no_count_proves_nothing(self):
        stdout = verbose(done(11)).rsplit("\n", 3)[0] + "\n"  # cut after the copyright block: no line, no count
        record = self.resumed(self.evidence(stdout))
        self.assertEqual(record["done"]["unproven"], [11, 12])

    def test_a_cut_before_qxfwload_ran_leaves_every_adapter_to_download(self):
        record = self.resumed(self.evidence(None))
        self.assertEqual((record["done"]["unproven"], record["to_download"]), ([], [11, 12]))

    def test_no_evidence_of_a_host_in_progress_leaves_its_adapters_unproven(self):
        record = self.resumed({"found": False, "earlier": []})
        self.assertEqual((record["status"], record["done"]["unproven"]), ("failed", [11, 12]))
        self.assertIn("no evidence of the cut rollout was found", record["failures"][0]["what"])

    def test_the_unproven_stay_unproven_in_the_next_resume(self):
        stdout = verbose(done(11)).rsplit("\n", 2)[0] + "\nDownloading SAMPLE01 to adapter, node=12 ... "
        record = self.resumed(self.evidence(stdout))
        record = dict(record, done=dict(record["done"], checked=[11]))
        report = qxfw.qxfw_report([record], ["h1"], {"max_fail_percentage": 0})
        again = qxfw.qxfw_planned(qxfw.qxfw_record("h1", 1), scan_result(*self.ADAPTERS), earlier=report)
        self.assertEqual((again["done"]["earlier"], again["done"]["unproven"], again["status"]), ([11], [12], "failed"))

    def test_the_programs_busy_line_fails_the_host_and_their_warning_does_not(self):
        busy = {
            "rc": 1,
            "stdout": "",
            "stderr": "qxfwscan: another run is using the adapters of this machine (process 42)\n",
        }
        record = planned(dict(busy, busy=True, waited=600))
        self.assertEqual(record["status"], "failed")
        self.assertEqual(
            record["failures"][0]["line"], "qxfwscan: another run is using the adapters of this machine (process 42)"
        )
        self.assertIn("qxfw_busy_timeout", record["failures"][0]["what"])
        warning = "qxfwload: warning: a previous run ended without releasing the adapters"
        record = judged(verbose(done(11), done(12), NO_LL, SKIP_PARTNER), stderr=warning + "\n")
        self.assertEqual((record["status"], record["failures"]), ("succeeded", []))
        self.assertEqual(record["notes"][-1]["line"], warning)


if __name__ == "__main__":
    unittest.main()
