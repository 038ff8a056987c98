"""A rollout's report made stable, for the role's example report and its
picture: what differs from run to run or from machine to machine is
replaced, and the rest is kept as the rollout wrote it. Paths in the
repository become relative to it, paths in the test's scratch folder
relative to that folder; rollout ids, the random ends of the hosts' scratch
folders and process ids become placeholders. An absolute path of either
folder that is left anywhere is an error, not an example.

Prints the stable report as JSON (sorted keys, 2 spaces), and with --html
also writes the page that the role's own template makes of it.
Usage: python3 report_example.py REPORT --root REPO --scratch SCRATCH [--html PAGE]
"""

import argparse
import json
import os
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "roles/qxfwload/filter_plugins"))

import qxfw_files  # noqa: E402

ROLLOUT_ID = re.compile(r"\b\d{8}T\d{6}Z-[0-9a-f]{6}\b")
# qxfw.ROLLOUT.HOST. and the 8 characters that the host's mkdtemp added.
FOLDER_END = re.compile(r"(qxfw\.[^/\\\s]+\.)[0-9A-Za-z_]{8}(?=[/\\]|$|\s)")
PROCESS = re.compile(r"\(process \d+\)")


def stable_text(text, folders):
    """`text` with the folders (absolute path, relative form) made relative
    and the ids replaced."""
    for folder, relative in folders:
        text = text.replace(folder + "/", relative)
        if text == folder:
            text = relative or "."
    text = ROLLOUT_ID.sub("YYYYMMDDTHHMMSSZ-XXXXXX", text)
    text = FOLDER_END.sub(r"\1XXXXXXXX", text)
    return PROCESS.sub("(process PID)", text)


def stable(report, root, scratch):
    """The report with stable paths and ids. Raises ValueError when an
    absolute path of the repository or of the scratch folder is left."""
    folders = []
    for folder, relative in ((scratch, ""), (root, "")):
        for form in {str(folder), os.path.realpath(folder)}:
            folders.append((form.rstrip("/"), relative))
    # The longer folder first, should one hold the other.
    folders.sort(key=lambda pair: len(pair[0]), reverse=True)

    def walk(value):
        if isinstance(value, str):
            return stable_text(value, folders)
        if isinstance(value, list):
            return [walk(item) for item in value]
        if isinstance(value, dict):
            return {walk(key): walk(item) for key, item in value.items()}
        return value

    result = walk(report)
    text = json.dumps(result)
    for folder, _ in folders:
        if folder in text:
            raise ValueError(f"the report still holds {folder}")
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("report")
    parser.add_argument("--root", required=True)
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--html")
    args = parser.parse_args()
    report = json.loads(pathlib.Path(args.report).read_text(encoding="utf-8"))
    try:
        result = stable(report, args.root, args.scratch)
    except ValueError as error:
        sys.exit(f"report_example.py: {error}")
    if args.html:
        pathlib.Path(args.html).write_text(qxfw_files.report_html(result), encoding="utf-8")
    print(json.dumps(result, indent=2, sort_keys=True, ensure_ascii=False))


if __name__ == "__main__":
    main()
