"""Every command the README shows that runs without a screen or a build step (rope-headless, the
example scripts, the Python snippet) runs here, each in a temporary folder: the outputs the README
puts in /tmp or docs/ go there instead. A broken example fails, and so does a script in examples/
that the README does not run."""

import glob
import os
import re
import shlex
import subprocess
import sys
import tempfile

import pytest

import ropesim

SOURCE = os.environ["ROPE_SOURCE_DIR"]
HEADLESS = os.environ["ROPE_HEADLESS"]
PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(ropesim.__file__)))
README = os.path.join(SOURCE, "README.md")

RUNNABLE = re.compile(r"^((build/release/tools/)?rope-headless\s|"
                      r"PYTHONPATH=build/release/python /usr/bin/python3 examples/)")
OUTPUT = re.compile(r"(?<![\w/.])(/tmp/|docs/)([\w.-]+)")
SOURCE_FILE = re.compile(r"(?<![\w/.])((?:examples|models)/[\w.-]+)")


def code_blocks(text):
    """(first line number, lines) of every indented code block."""
    blocks, block, start, blank_before = [], [], 0, True
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("    ") and (block or blank_before):
            start = start if block else number
            block.append(line[4:])
        elif block and not line.strip():
            block.append("")
        else:
            if block:
                blocks.append((start, block))
            block = []
        blank_before = not line.strip()
    if block:
        blocks.append((start, block))
    return blocks


def commands(lines):
    """The block's lines with backslash continuations joined."""
    joined, pending = [], ""
    for line in lines:
        if line.rstrip().endswith("\\"):
            pending += line.rstrip()[:-1] + " "
        else:
            joined.append((pending + line).strip())
            pending = ""
    return [command for command in joined if command]


def readme_examples():
    with open(README, encoding="utf-8") as readme:
        blocks = code_blocks(readme.read())
    examples = []
    for line, block in blocks:
        if block[0].startswith("import ropesim"):
            examples.append(pytest.param("python", "\n".join(block), id=f"README:{line}:python"))
            continue
        runnable = [command for command in commands(block) if RUNNABLE.match(command)]
        if runnable:
            name = runnable[0].split("python3 ")[-1][:40]
            examples.append(pytest.param("shell", runnable, id=f"README:{line}:{name}"))
    return examples


README_EXAMPLES = readme_examples()


def scripts_the_readme_runs():
    return {match for param in README_EXAMPLES if param.values[0] == "shell"
            for command in param.values[1] for match in SOURCE_FILE.findall(command)}


def local_command(command):
    """The command with this build's programs, the source folder's inputs and its outputs in the
    current folder; returns it and the outputs' names."""
    outputs = [name for _, name in OUTPUT.findall(command)]
    command = OUTPUT.sub(lambda match: match.group(2), command)
    command = SOURCE_FILE.sub(lambda match: shlex.quote(os.path.join(SOURCE, match.group(1))),
                              command)
    command = re.sub(r"^(build/release/tools/)?rope-headless", shlex.quote(HEADLESS), command)
    command = command.replace("PYTHONPATH=build/release/python /usr/bin/python3",
                              f"PYTHONPATH={shlex.quote(PACKAGE_DIR)} {shlex.quote(sys.executable)}")
    return command, outputs


def run_in(folder, arguments):
    environment = {**os.environ, "PYTHONPATH": PACKAGE_DIR}
    done = subprocess.run(arguments, cwd=folder, env=environment, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, f"{arguments}\n{done.stdout[-2000:]}\n{done.stderr[-2000:]}"


def assert_written(folder, names):
    for name in names:
        path = os.path.join(folder, name)
        assert os.path.isfile(path) and os.path.getsize(path) > 0, f"{name} not written"


def test_the_readme_shows_every_kind_of_example_and_runs_every_script():
    kinds = [param.values[0] for param in README_EXAMPLES]
    assert kinds.count("python") >= 1 and kinds.count("shell") >= 5
    scripts = {os.path.relpath(script, SOURCE)
               for script in glob.glob(os.path.join(SOURCE, "examples", "*.py"))}
    assert scripts <= scripts_the_readme_runs(), "an example the README does not run"


@pytest.mark.parametrize("kind, example", README_EXAMPLES)
def test_example_runs(kind, example):
    with tempfile.TemporaryDirectory() as folder:
        if kind == "python":
            run_in(folder, [sys.executable, "-c", example])
        else:
            for command in example:  # in order: a later one may read an earlier one's output
                local, outputs = local_command(command)
                run_in(folder, ["bash", "-o", "pipefail", "-c", local])
                assert_written(folder, outputs)
