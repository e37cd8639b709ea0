#!/usr/bin/env python3
"""tool_bench.py PBO TREE WORKDIR [RUNS]

Times the whole tool on a folder tree: `pbo -a TREE` (which writes TREE.pbo beside it) and
`pbo -x` of a copy of that archive in WORKDIR, once with PBO_THREADS=1 and once without
the variable (the tool then uses every hardware thread). Each is run RUNS times (5 by
default); the table gives the shortest wall time and the largest peak resident memory of
the runs, as the kernel reports them for the child process. The two settings take turns,
run by run, each run after a sync. The archives packed with either setting must be
byte-identical, and so must the extracted trees.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import time


def run(command, env):
    """Runs command and returns (wall seconds, peak resident memory in bytes)."""
    start = time.perf_counter()
    child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"{' '.join(command)} ended with exit code {code}")
    return seconds, usage.ru_maxrss * 1024  # ru_maxrss is in KiB on Linux


def file_hash(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def tree_hash(root):
    """One hash over every file's relative path and content."""
    digest = hashlib.sha256()
    for folder, folders, files in os.walk(root):
        folders.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            digest.update(os.path.relpath(path, root).encode() + b"\0")
            digest.update(file_hash(path).encode())
    return digest.hexdigest()


def tree_size(root):
    count = total = 0
    for folder, _, files in os.walk(root):
        for name in files:
            if not name.startswith("."):
                count += 1
                total += os.path.getsize(os.path.join(folder, name))
    return count, total


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    pbo, tree, work = (os.path.abspath(arg) for arg in sys.argv[1:4])
    runs = int(sys.argv[4]) if len(sys.argv) == 5 else 5
    tree = tree.rstrip("/")
    archive = tree + ".pbo"
    os.makedirs(work, exist_ok=True)
    copy = os.path.join(work, os.path.basename(archive))
    extracted = os.path.splitext(copy)[0]

    base_env = {k: v for k, v in os.environ.items() if k != "PBO_THREADS"}
    settings = [("PBO_THREADS=1", dict(base_env, PBO_THREADS="1")), ("default", base_env)]
    results = {label: {"pbo -a": [], "pbo -x": []} for label, _ in settings}
    archives = {}
    outputs = {}
    # The settings take turns run by run, and every run starts with the file system's
    # pending writes flushed, so that neither setting pays for the other's writeback.
    for _ in range(runs):
        for label, env in settings:
            os.sync()
            results[label]["pbo -a"].append(run([pbo, "-a", tree], env))
            archives[label] = file_hash(archive)
    shutil.copyfile(archive, copy)
    for _ in range(runs):
        for label, env in settings:
            shutil.rmtree(extracted, ignore_errors=True)
            os.sync()
            results[label]["pbo -x"].append(run([pbo, "-x", copy], env))
            outputs[label] = tree_hash(extracted)
    shutil.rmtree(extracted, ignore_errors=True)

    try:
        threads = len(os.sched_getaffinity(0))
    except AttributeError:
        threads = os.cpu_count()
    count, total = tree_size(tree)
    mib = 1 << 20
    print(f"Whole tool on the tree corpus ({count} files, {total / mib:.1f} MiB; archive "
          f"{os.path.getsize(archive) / mib:.1f} MiB): wall time, shortest of {runs} runs, "
          f"and peak resident memory, largest of the runs.")
    default = f"default ({threads} threads)"
    print(f"{'':8} | {'PBO_THREADS=1':>21} | {default:>21} | {'speed-up':>8}")
    for mode in ("pbo -a", "pbo -x"):
        cells = []
        for label, _ in settings:
            figures = results[label][mode]
            seconds = min(s for s, _ in figures)
            memory = max(m for _, m in figures)
            cells.append((seconds, memory))
        row = " | ".join(f"{s:8.2f} s {m / mib:6.0f} MiB" for s, m in cells)
        print(f"{mode:8} | {row} | {cells[0][0] / cells[1][0]:7.2f}x")
    same_archive = len(set(archives.values())) == 1
    same_output = len(set(outputs.values())) == 1
    print(f"Archives identical for both settings: {'yes' if same_archive else 'NO'}; "
          f"extracted trees identical: {'yes' if same_output else 'NO'}.")
    if not (same_archive and same_output):
        sys.exit(1)


if __name__ == "__main__":
    main()
