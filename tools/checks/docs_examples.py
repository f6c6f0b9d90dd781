"""The documentation's examples, run: every fenced code block of README.md and of the pages in
docs/, and every example in the docstrings that the API reference shows.

How a fenced block is run depends on its language (docs/develop/documentation.md says the same
for the pages' writers):

- ``python``, ``py``, ``pycon``: run in this process, the blocks of one page in order and in one
  namespace. A block with ``>>>`` prompts is a doctest: every output it shows is compared with
  what the code prints (``...`` stands for any text).
- ``sh``, ``bash``, ``shell``: run by bash with ``-e -o pipefail``; it must exit with status 0.
  What it prints is not compared.
- ``console``: lines starting with ``$ `` are commands (a line ending in a backslash goes on in
  the next), the lines after a command are what it prints, stdout and stderr together, compared
  as in a doctest. A command shown without output must exit with status 0.
- anything else (``text``, ``yaml``, ``bat``, no language, MyST directives): shown, not run.
- ``<!-- example: skip (why) -->`` on the line just before a fence: shown, not run.

Each page runs in a fresh directory of its own that holds links to the top-level entries of the
repository (so ``examples/...`` is found and outputs land in the scratch directory), with
``python3`` on PATH being /usr/bin/python3 and the repository root on PYTHONPATH.

Run: /usr/bin/python3 -m pytest -q tools/checks/docs_examples.py
"""

import contextlib
import doctest
import importlib
import inspect
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import traceback

import pytest
from markdown_it import MarkdownIt

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PYTHON = "/usr/bin/python3"
NOT_PAGES = ("_generated", "_ext", "_static")

PYTHON_LANGUAGES = {"python", "py", "python3", "pycon"}
SHELL_LANGUAGES = {"sh", "bash", "shell"}
CONSOLE_LANGUAGES = {"console", "shell-session"}
DIRECTIVE_WITH_CODE = {"code-block", "code", "sourcecode"}
MARKER = re.compile(r"<!--\s*example:\s*(.*?)\s*-->")
FLAGS = doctest.ELLIPSIS
BLOCK_TIMEOUT_S = 300

sys.path.insert(0, str(ROOT))


# ---------------------------------------------------------------------------------------------
# Pages and their blocks

def pages():
    found = [ROOT / "README.md"]
    for path in sorted(DOCS.rglob("*.md")):
        if not any(part in NOT_PAGES or part.startswith(".") for part in path.relative_to(DOCS).parts):
            found.append(path)
    return found


class Block:
    def __init__(self, page, line, language, text, skip):
        self.page = page            # path relative to the repository root
        self.line = line            # 1-based line of the first line of code
        self.language = language
        self.text = text
        self.skip = skip            # None, or why the block is not run

    @property
    def kind(self):
        if self.language in PYTHON_LANGUAGES:
            return "python"
        if self.language in SHELL_LANGUAGES:
            return "sh"
        if self.language in CONSOLE_LANGUAGES:
            return "console"
        return None

    def __repr__(self):
        return f"{self.page}:{self.line}"


def language_of(info):
    info = info.strip()
    if info.startswith("{"):
        name, _, rest = info[1:].partition("}")
        return rest.split()[0].lower() if name in DIRECTIVE_WITH_CODE and rest.split() else None
    return info.split()[0].lower() if info else None


def blocks(path):
    """The fenced code blocks of the page at ``path``, in order."""
    source = path.read_text(encoding="utf-8")
    lines = source.splitlines()
    page = path.relative_to(ROOT).as_posix()
    found = []
    for token in MarkdownIt("commonmark").parse(source):
        if token.type != "fence":
            continue
        first = token.map[0]
        skip = None
        above = lines[first - 1].strip() if first > 0 else ""
        marker = MARKER.fullmatch(above)
        if marker:
            directive = marker.group(1)
            if not directive.startswith("skip"):
                raise ValueError(f"{page}:{first}: unknown example marker {above!r}; "
                                 "the one marker is <!-- example: skip (why) -->")
            skip = directive[len("skip"):].strip(" ():") or "marked skip"
        found.append(Block(page, first + 2, language_of(token.info), token.content, skip))
    return found


def runnable(path):
    return [b for b in blocks(path) if b.kind is not None]


# ---------------------------------------------------------------------------------------------
# Where a page runs

class PageRun:
    """The scratch directory, environment and Python namespace one page's blocks share."""

    def __init__(self, directory, shim):
        self.directory = directory
        self.namespace = {"__name__": "__main__"}
        self.env = dict(os.environ)
        self.env.update(PATH=f"{shim}{os.pathsep}{os.environ.get('PATH', '/usr/bin:/bin')}",
                        PYTHONPATH=str(ROOT), PYTHONDONTWRITEBYTECODE="1", PYTHONUNBUFFERED="1",
                        MPLBACKEND="Agg", LC_ALL="C.UTF-8", COLUMNS="100", TZ="UTC")
        for entry in ROOT.iterdir():
            if entry.name.startswith(".") or entry.name.startswith("build") or entry.name == "dist":
                continue
            (directory / entry.name).symlink_to(entry)


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """A directory whose python3 is the interpreter with numpy, to put first on PATH."""
    directory = tmp_path_factory.mktemp("bin")
    for name in ("python3", "python"):
        (directory / name).symlink_to(PYTHON)
    return directory


@contextlib.contextmanager
def working_directory(path):
    before = os.getcwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(before)


# ---------------------------------------------------------------------------------------------
# Running a block

class ExampleFailed(Exception):
    """A block did not run, or did not show what it says; the message says where and how."""


def run_python(block, run):
    with working_directory(run.directory):
        if re.search(r"^\s*>>>", block.text, re.MULTILINE):
            test = doctest.DocTestParser().get_doctest(block.text, run.namespace, repr(block),
                                                       block.page, block.line - 1)
            report = []
            runner = doctest.DocTestRunner(optionflags=FLAGS, verbose=False)
            runner.run(test, out=report.append, clear_globs=False)
            run.namespace.update(test.globs)    # a DocTest runs in a copy of the namespace
            if runner.failures:
                raise ExampleFailed("".join(report))
        else:
            try:
                exec(compile(block.text, repr(block), "exec"), run.namespace)
            except Exception:
                raise ExampleFailed(f"{block} raised:\n{traceback.format_exc()}") from None


def run_bash(script, run):
    return subprocess.run(["bash", "-c", script], cwd=run.directory, env=run.env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=BLOCK_TIMEOUT_S)


def run_sh(block, run):
    done = run_bash("set -eo pipefail\n" + block.text, run)
    if done.returncode != 0:
        raise ExampleFailed(f"{block} exited with status {done.returncode}:\n{done.stdout}")


END = "@@gmms-example-end"


def console_commands(text):
    """(command, expected output, line offset) for each ``$ `` line of a console block."""
    commands = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.startswith("$"):
            raise ValueError(f"line {i + 1} of the block: output before any command: {line!r}")
        start = i
        command = [line[1:].lstrip()]
        while command[-1].endswith("\\") and i + 1 < len(lines):
            i += 1
            command.append(lines[i])
        i += 1
        output = []
        while i < len(lines) and not lines[i].startswith("$"):
            output.append(lines[i])
            i += 1
        if command[0].startswith("#") and len(command) == 1:
            if any(line.strip() for line in output):
                raise ValueError(f"line {start + 1} of the block: output under a comment")
            continue                # a comment, shown as a command: nothing runs
        commands.append(("\n".join(command), "\n".join(output), start))
    return commands


def _normal(text):
    text = "\n".join(line.rstrip() for line in text.splitlines()).strip("\n")
    return text + "\n" if text else ""


def _split_console_output(stdout, n):
    """The output and exit status of each of ``n`` commands run by run_console."""
    results = []
    rest = stdout
    for _ in range(n):
        head, sep, tail = rest.partition(f"\n{END} ")
        if not sep:
            return results, head
        status, _, rest = tail.partition("\n")
        results.append((head, int(status)))
    return results, rest


def run_console(block, run):
    commands = console_commands(block.text)
    script = ["exec 2>&1"]
    for command, _, _ in commands:
        script += [command, "__status=$?", f"printf '\\n{END} %d\\n' \"$__status\"",
                   "( exit $__status )"]
    done = run_bash("\n".join(script), run)
    results, rest = _split_console_output(done.stdout, len(commands))
    checker = doctest.OutputChecker()
    problems = []
    for (command, want, offset), (got, status) in zip(commands, results):
        want, got = _normal(want), _normal(got)
        where = f"{block.page}:{block.line + offset}"
        if not want and status != 0:
            problems.append(f"{where}: `{command}` exited with status {status}:\n{got}")
        elif not checker.check_output(want, got, FLAGS):
            problems.append(f"{where}: `{command}`\nexpected:\n{textwrap.indent(want, '    ')}"
                            f"got (exit status {status}):\n{textwrap.indent(got, '    ')}")
    if len(results) < len(commands):
        problems.append(f"{block}: the block stopped after {len(results)} of its "
                        f"{len(commands)} commands:\n{rest}")
    if problems:
        raise ExampleFailed("\n\n".join(problems))


RUNNERS = {"python": run_python, "sh": run_sh, "console": run_console}


PAGES_WITH_EXAMPLES = [path for path in pages() if runnable(path)]


@pytest.mark.parametrize("page", PAGES_WITH_EXAMPLES,
                         ids=lambda path: path.relative_to(ROOT).as_posix())
def test_page_examples(page, tmp_path, shim):
    """The page's blocks, in order, in one scratch directory and one Python namespace; every
    failing block is reported, not only the first."""
    run = PageRun(tmp_path, shim)
    failures = []
    blocks_run = 0
    for block in runnable(page):
        if block.skip:
            continue
        try:
            RUNNERS[block.kind](block, run)
        except ExampleFailed as failure:
            failures.append(str(failure))
        blocks_run += 1
    if failures:
        pytest.fail("\n\n".join(failures), pytrace=False)
    if not blocks_run:
        pytest.skip("every example of the page is marked skip")


# ---------------------------------------------------------------------------------------------
# The examples of the docstrings that the API reference shows

AUTODOC = re.compile(r"^\s*\.\. auto(module|function|class|exception|data|method|attribute)::\s*(\S+)"
                     r"((?:\n\s+:[\w-]+:.*)*)", re.MULTILINE)


def documented():
    """{name: members shown} for every object the pages document with autodoc; members is a
    list of names, or None for "every public member defined in the object's module"."""
    found = {}
    for path in pages():
        for kind, name, options in AUTODOC.findall(path.read_text(encoding="utf-8")):
            members = re.search(r":members:(.*)", options)
            listed = [] if members is None else \
                [m.strip() for m in members.group(1).split(",") if m.strip()] or None
            found[name] = listed
    return found


def resolve(name):
    parts = name.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            obj = importlib.import_module(".".join(parts[:cut]))
        except ImportError:
            continue
        for attribute in parts[cut:]:
            obj = getattr(obj, attribute)
        return obj
    raise ImportError(name)


def docstring_tests(name, members):
    """The doctests of the object ``name`` and of the members the page shows of it."""
    sys.path.insert(0, str(resolve("gmms.siblings.STANDIN_DIR")))   # for Morrand and Sellwyn
    obj = resolve(name)
    objects = {name: obj}
    if members is None:
        members = [m for m, value in vars(obj).items() if not m.startswith("_")
                   and getattr(value, "__module__", None) == getattr(obj, "__name__", None)]
    for member in members:
        objects[f"{name}.{member}"] = getattr(obj, member)
    finder = doctest.DocTestFinder(recurse=False)
    tests = []
    for label, value in objects.items():
        if isinstance(value, property):
            value = value.fget
        tests += [test for test in finder.find(value, label, globs={}) if test.examples]
    return tests


def with_examples():
    """The documented objects whose docstrings (or shown members') have examples, and any that
    cannot be imported: their test says why."""
    names = []
    for name, members in sorted(documented().items()):
        try:
            if docstring_tests(name, members):
                names.append(name)
        except Exception:
            names.append(name)
    return names


@pytest.mark.parametrize("name", with_examples())
def test_docstring_examples(name, tmp_path, shim):
    tests = docstring_tests(name, documented()[name])
    PageRun(tmp_path, shim)     # the links to examples/ and the rest
    report = []
    runner = doctest.DocTestRunner(optionflags=FLAGS, verbose=False)
    with working_directory(tmp_path):
        for test in tests:
            runner.run(test, out=report.append)
    if runner.failures:
        pytest.fail("".join(report), pytrace=False)


# ---------------------------------------------------------------------------------------------
# What the pages say of the models, against the models

KINDS = {"float": "double", "int": "int", "sites": "sites", "object": "object"}


def parameter_table(path):
    """(name, kind) of each row of the page's table headed | parameter | kind | ..."""
    rows = []
    table = False
    for line in path.read_text(encoding="utf-8").splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if cells[:2] == ["parameter", "kind"]:
            table = True
            continue
        if table:
            if not line.startswith("|"):
                break
            if set(cells[0]) <= set("-: "):
                continue
            rows.append((cells[0].strip("`"), cells[1]))
    return rows


def model_names():
    from gmms.models import MODELS

    return list(MODELS)


@pytest.mark.parametrize("name", model_names())
def test_model_page_lists_the_entry_function_s_parameters(name):
    from gmms import models

    model = models.load(name)
    spec = models.MODELS[name]
    page = DOCS / "guide" / f"{name.lower()}.md"
    assert page.is_file(), f"every model has a page of its own: {page.relative_to(ROOT)}"
    rows = parameter_table(page)
    signature = list(inspect.signature(getattr(model, spec.entry)).parameters)
    assert [row[0] for row in rows] == signature, f"{page.relative_to(ROOT)}: the table's parameters"
    assert [KINDS.get(kind, kind) for _, kind in rows] == [p.kind for p in spec.parameters], \
        f"{page.relative_to(ROOT)}: the table's kinds"


# ---------------------------------------------------------------------------------------------
# The public Python API's docstrings: numpydoc, with the sections a user looks for

PUBLIC_FUNCTIONS = ["gmms.catalogue.run", "gmms.hazard.run", "gmms.siblings.use_siblings",
                    "gmms.models.load"]
PUBLIC_CLASSES = ["gmms.hazard.results.Hazard", "gmms.errors.GmmsError", "gmms.errors.InputError",
                  "gmms.errors.ScenarioRefused", "gmms.errors.SetupError",
                  "gmms.hazard.OptionError"]


@pytest.mark.parametrize("name", PUBLIC_FUNCTIONS + PUBLIC_CLASSES)
def test_public_docstring_has_the_numpydoc_sections(name):
    from numpydoc.docscrape import NumpyDocString

    doc = NumpyDocString(inspect.getdoc(resolve(name)) or "")
    needed = ("Parameters", "Returns", "Raises", "Examples") if name in PUBLIC_FUNCTIONS \
        else ("Parameters", "Examples")
    missing = [section for section in needed if not doc[section]]
    assert not missing, f"{name}: no {', '.join(missing)} in its docstring"
    assert doc["Summary"], f"{name}: no summary line"
    for parameter in doc["Parameters"]:
        assert parameter.desc, f"{name}: parameter {parameter.name} is not described"
