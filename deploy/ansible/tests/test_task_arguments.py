"""The role's module arguments, checked against the modules' own
documentation (ansible-doc): the Windows tasks are never run here, and
ansible-lint can't load the PowerShell modules of ansible.windows to check
their arguments, so a wrong win_* argument would only show on a real
Windows host. Also holds the Windows tasks to the POSIX ones, step by step.

Needs ansible-doc and PyYAML (Debian's ansible-core brings both).
Run: python3 -m unittest discover -s deploy/ansible/tests -p 'test_*.py'
"""

import ast
import json
import pathlib
import shutil
import subprocess
import unittest

try:
    import yaml
except ImportError:  # checked below: the test says so rather than passing
    yaml = None

TASKS = pathlib.Path(__file__).resolve().parents[1] / "roles/qxfwload/tasks"
LIBRARY = TASKS.parent / "library"

# Task keywords that are not module arguments.
KEYWORDS = {
    "name",
    "register",
    "when",
    "loop",
    "until",
    "retries",
    "delay",
    "environment",
    "changed_when",
    "failed_when",
    "check_mode",
    "ignore_errors",
    "ignore_unreachable",
    "run_once",
    "delegate_to",
    "become",
    "diff",
    "vars",
    "args",
    "no_log",
    "tags",
}


def tasks_of(path):
    """The tasks of a task file, those inside blocks included, in order."""
    tasks = []
    for task in yaml.safe_load(path.read_text()) or []:
        if "block" in task:
            for part in ("block", "rescue", "always"):
                tasks += task.get(part) or []
        else:
            tasks.append(task)
    return tasks


def module_of(task):
    modules = [key for key in task if key not in KEYWORDS]
    if len(modules) != 1:
        raise AssertionError("task %r: not one module among %s" % (task.get("name"), sorted(task)))
    return modules[0]


def role_documentation(module):
    """The options of one of the role's own modules (library/), from its
    DOCUMENTATION."""
    source = (LIBRARY / (module + ".py")).read_text()
    tree = ast.parse(source)
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["DOCUMENTATION"]:
            return yaml.safe_load(node.value.value).get("options") or {}
    raise AssertionError("%s has no DOCUMENTATION" % module)


def documentation(modules):
    """{module: options} from one ansible-doc run, and the role's own
    modules' from their DOCUMENTATION."""
    own = {m for m in modules if (LIBRARY / (m + ".py")).exists()}
    found = {m: role_documentation(m) for m in own}
    modules = set(modules) - own
    out = subprocess.run(
        ["ansible-doc", "-t", "module", "--json", *sorted(modules)],
        capture_output=True,
        text=True,
        check=True,
        timeout=300,
    ).stdout
    found.update({name: doc["doc"].get("options") or {} for name, doc in json.loads(out).items()})
    return found


@unittest.skipIf(yaml is None or shutil.which("ansible-doc") is None, "needs PyYAML and ansible-doc")
class ArgumentsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.files = [TASKS / "windows.yml", TASKS / "posix.yml"]
        cls.tasks = [(path, task) for path in cls.files for task in tasks_of(path)]
        cls.options = documentation({module_of(task) for _, task in cls.tasks})

    def test_every_argument_is_one_the_module_takes(self):
        for path, task in self.tasks:
            module = module_of(task)
            options = self.options[module]
            known = {alias: name for name, option in options.items() for alias in [name] + option.get("aliases", [])}
            if module == "ansible.builtin.set_fact":
                continue  # its arguments are the facts it sets
            with self.subTest(file=path.name, task=task["name"]):
                self.assertTrue(
                    module.startswith("ansible.windows." if path.stem == "windows" else "ansible.builtin.")
                    or (path.stem == "posix" and (LIBRARY / (module + ".py")).exists()),
                    module,
                )
                given = task[module] or {}
                self.assertEqual(sorted(set(given) - set(known)), [], "%s takes none of these" % module)
                required = {name for name, option in options.items() if option.get("required")}
                self.assertEqual(sorted(required - {known[a] for a in given}), [], "required by %s" % module)
                for arg, value in given.items():
                    choices = options[known[arg]].get("choices")
                    if choices and isinstance(value, str) and "{{" not in value:
                        self.assertIn(value, choices, "%s: %s" % (module, arg))

    def test_the_windows_tasks_follow_the_posix_ones(self):
        posix, windows = tasks_of(TASKS / "posix.yml"), tasks_of(TASKS / "windows.yml")
        for key in ("name", "register", "when", "loop", "until", "environment", "failed_when", "ignore_unreachable"):
            with self.subTest(key):
                self.assertEqual([t.get(key) for t in windows], [t.get(key) for t in posix])


if __name__ == "__main__":
    unittest.main()
