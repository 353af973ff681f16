"""Runs README.md's examples as the README says, on a fresh copy of the tree.

README.md marks what to run with HTML comments (invisible when rendered)
right before a fenced block:

    <!-- readme-test: file DIR/NAME [DIR/NAME...] -->   save the block there
    <!-- readme-test: run DIR -->                       run the console block in DIR

DIR is a directory of a scratch area: `tree` holds a copy of the source tree
(no build directories), `home` is $HOME, others start empty.  In a console
block each `$ ` line is a command; the lines after it, up to the next
command, are what that command must print on stdout, exactly.  Commands
without such lines must only succeed.  The commands of one block run in one
shell, in order, so `cd` and `export` carry on to the next command.  Blocks
run in the order of the README, so later ones find what earlier ones built,
installed or saved.  The only change made to the text: the install prefix
/usr/local becomes a directory of the scratch area.

usage: readme_test.py SOURCE_DIR [WORK_DIR]
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

MARK = re.compile(r"<!--\s*readme-test:\s*(file|run)\s+(.*?)\s*-->")
FENCE = re.compile(r"^(```+)\s*(\S*)\s*$")
PREFIX = "/usr/local"


def blocks(text):
    """(action, argument, language, body) for every marked block, in order."""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        mark = MARK.fullmatch(lines[i].strip())
        i += 1
        if not mark:
            continue
        while i < len(lines) and not lines[i].strip():
            i += 1
        fence = FENCE.match(lines[i]) if i < len(lines) else None
        if not fence:
            raise SystemExit(f"README.md:{i + 1}: a readme-test mark must precede a code block")
        end = i + 1
        while end < len(lines) and lines[end].rstrip() != fence.group(1):
            end += 1
        yield mark.group(1), mark.group(2), fence.group(2), "\n".join(lines[i + 1:end]) + "\n", i + 1
        i = end + 1


def console(body):
    """[(command, expected stdout lines)] of a console block."""
    steps = []
    for line in body.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        elif steps:
            steps[-1][1].append(line)
        elif line.strip():
            raise SystemExit(f"output before any command: {line!r}")
    return steps


def copy_tree(source, target):
    def ignore(directory, names):
        top = pathlib.Path(directory).resolve() == source
        return [n for n in names
                if n in ("__pycache__", ".git") or n.endswith(".egg-info")
                or (top and n.startswith("build"))
                or (pathlib.Path(directory).name == "python" and n == "build")]
    shutil.copytree(source, target, symlinks=True, ignore=ignore)


def main():
    source = pathlib.Path(sys.argv[1]).resolve()
    work = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="readme-"))
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    prefix = work / "prefix"
    copy_tree(source, work / "tree")
    (work / "home").mkdir()
    # A subproject's source tree beside the add_subdirectory example.
    (work / "sub").mkdir()
    os.symlink(work / "tree", work / "sub" / "sampling_kernels")

    env = {k: v for k, v in os.environ.items()
           if k not in ("PKG_CONFIG_PATH", "LD_LIBRARY_PATH", "PYTHONPATH", "CMAKE_PREFIX_PATH",
                        "SAMPLING_KERNELS_LIBRARY", "MAKEFLAGS", "MAKELEVEL")}
    env["HOME"] = str(work / "home")

    text = (source / "README.md").read_text()
    failures = 0
    ran = 0
    for action, argument, language, body, line in blocks(text):
        body = body.replace(PREFIX, str(prefix))
        if action == "file":
            for name in argument.split():
                path = work / name
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(body)
            continue
        if language != "console":
            raise SystemExit(f"README.md:{line}: `run` wants a console block, not {language!r}")
        cwd = work / argument
        cwd.mkdir(parents=True, exist_ok=True)
        steps = console(body)
        script = []
        for n, (command, _) in enumerate(steps):
            script.append(f"printf '@@readme-test {n}\\n'\n{{ {command}\n}}\n"
                          f"s=$?; printf '\\n@@readme-test-end %d\\n' $s; [ $s -eq 0 ] || exit $s\n")
        result = subprocess.run(["bash", "-c", "".join(script)], cwd=cwd, env=env,
                                capture_output=True, text=True)
        outputs = re.findall(r"@@readme-test (\d+)\n(.*?)\n@@readme-test-end (\d+)\n",
                             result.stdout, re.S)
        for (n, out, status), (command, expected) in zip(outputs, steps):
            ran += 1
            shown = command.replace(str(work), "$WORK")
            if status != "0":
                failures += 1
                print(f"FAIL: README.md:{line}: `{shown}` exited with {status}\n"
                      f"--- stdout\n{out}\n--- stderr\n{result.stderr}")
            elif expected and [l.rstrip() for l in out.rstrip("\n").splitlines()] != \
                    [l.rstrip() for l in "\n".join(expected).rstrip("\n").splitlines()]:
                failures += 1
                print(f"FAIL: README.md:{line}: `{shown}` printed\n{out}\n--- the README says\n"
                      + "\n".join(expected))
            else:
                print(f"ok: {shown}" + (" (output as stated)" if expected else ""))
        if len(outputs) < len(steps) and result.returncode == 0:
            failures += 1
            print(f"FAIL: README.md:{line}: the block stopped early\n{result.stderr}")
    if ran == 0:
        failures += 1
        print("FAIL: README.md marks no command to run")
    print(f"{ran} commands, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
