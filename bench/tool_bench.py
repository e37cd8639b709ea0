#!/usr/bin/env python3
"""tool_bench.py [--quick] [--only TABLES] [--runs N] [--entries N] PBO CORPUS TREE WORKDIR

Times the whole tool, as a user runs it, in three tables; every figure is the wall time
and the peak resident memory (as /usr/bin/time -f %M reports it) of one call, and the
settings compared take turns run by run, each run after a sync, so that a busy moment of
the machine or the writeback of one setting's files falls on all of them alike. Each table
gives the shortest wall time and the largest peak memory of a setting's runs.

  tree     `pbo -a TREE` (which writes TREE.pbo beside it) and `pbo -x` of a copy of that
           archive, with PBO_THREADS=1 and without the variable (the tool then uses every
           hardware thread); the archives of both settings must be byte-identical, and so
           must the extracted trees. 5 runs each.
  large    one file: the files of CORPUS (the flat corpus) one after the other, 64 MiB,
           and a 1 GiB file made of 16 of them; each packed (`pbo -a` of a folder holding
           just that file) and extracted, with PBO_THREADS=1 and the default, 3 runs each
           for 64 MiB and 2 for 1 GiB. The archives of both settings must be identical,
           and for 64 MiB also those of PBO_THREADS=2, 3 and 8; every extracted file must
           equal its source. Needs about 3 GB of disk under WORKDIR and takes minutes.
  entries  an archive of ENTRIES small stored entries (16-100 bytes, 1000 to a folder),
           written by this script, extracted, and the folder it gives packed again, with
           PBO_THREADS=1, 2, 4 and 8, 2 runs each. The packed archive must equal the
           written one byte for byte, which shows every extracted file right too. In a
           RAM disk (/dev/shm) when it has room for them: 1,000,000 entries, about 5 GB
           of memory; otherwise on disk under WORKDIR, 200,000 entries (about 1 GB),
           which takes longer: on this machine's disk a file costs about 1 ms to create.

--quick runs each setting once, skips the 1 GiB file and uses 100,000 entries: about a
minute in all. --runs N sets the runs of every table (the 1 GiB file gets one less),
--entries N the number of entries (on disk too), --only picks tables (--only large,entries).
Memory figures are marked with * where they exceed 64 MiB + 16 MiB for each thread, beside
the entry table (up to 256 bytes an entry).
Scratch files go under WORKDIR (and /dev/shm) and are removed at the end. Exit status 1
when a setting gives another archive or other files than the rest.
"""

import argparse
import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
GIB = 1 << 30


# The peak memory comes from /usr/bin/time, a small process that starts the tool: the
# kernel counts the memory a process had before it started another program towards that
# program's peak, so a child of this script would show this script's 13 MiB or more.
TIME = "/usr/bin/time"


def run(command, env):
    """Runs command and returns (wall seconds, peak resident memory in bytes)."""
    with tempfile.TemporaryDirectory() as folder:
        report = os.path.join(folder, "peak")
        start = time.perf_counter()
        code = subprocess.run([TIME, "-f", "%M", "-o", report] + command, env=env,
                              stdout=subprocess.DEVNULL).returncode
        seconds = time.perf_counter() - start
        with open(report) as f:
            peak_kib = int(f.read().split()[-1])  # after a line on the exit status, if any
    if code != 0:
        sys.exit(f"{' '.join(command)} ended with exit code {code}")
    return seconds, peak_kib * 1024


def synced_run(command, env):
    """run() after the file system's pending writes are flushed, so that no run pays for
    the writeback of the one before."""
    os.sync()
    return run(command, env)


def remove(path):
    """Removes a file or a folder tree; rm is much faster than shutil on a million files."""
    if os.path.lexists(path):
        subprocess.run(["rm", "-rf", "--", path], check=True)


def file_hash(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
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


def hardware_threads():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count()


def environment(threads):
    """The environment for PBO_THREADS=threads, or without the variable for None."""
    base = {k: v for k, v in os.environ.items() if k != "PBO_THREADS"}
    return base if threads is None else dict(base, PBO_THREADS=str(threads))


def take_turns(settings, runs, one_run):
    """Calls one_run(threads) runs times for each setting (a PBO_THREADS value or None),
    the settings taking turns; returns {threads: [what each call returned]}."""
    figures = {threads: [] for threads in settings}
    for _ in range(runs):
        for threads in settings:
            figures[threads].append(one_run(threads))
    return figures


def best(figures):
    """The shortest wall time and the largest peak memory of a setting's runs."""
    return min(s for s, _ in figures), max(m for _, m in figures)


# The bound leaves the entry table aside: an entry's record, its name and its path, and
# the table's room to grow, take up to about this much.
TABLE_BYTES_PER_ENTRY = 256


def memory_bound(threads, entries=0):
    return (64 + 16 * (threads or hardware_threads())) * MIB + TABLE_BYTES_PER_ENTRY * entries


def cell(figures, threads, entries=0):
    seconds, memory = best(figures)
    mark = "*" if memory > memory_bound(threads, entries) else " "
    return f"{seconds:8.2f} s {memory / MIB:6.0f} MiB{mark}"


def setting_name(threads):
    if threads is None:
        return f"default ({hardware_threads()} threads)"
    return f"PBO_THREADS={threads}"


def plural(count, noun):
    return f"{count} {noun}" + ("" if count == 1 else "s")


def yes(flag):
    return "yes" if flag else "NO"


# ---------------------------------------------------------------------------------------

def tree_table(pbo, tree, work, runs):
    """Packs and extracts the tree corpus with one thread and the default; False when the
    settings' archives or extracted trees differ."""
    tree = tree.rstrip("/")
    archive = tree + ".pbo"
    os.makedirs(work, exist_ok=True)
    copy = os.path.join(work, os.path.basename(archive))
    extracted = os.path.splitext(copy)[0]
    settings = [1, None]
    archives, outputs = {}, {}

    def pack(threads):
        figures = synced_run([pbo, "-a", tree], environment(threads))
        archives[threads] = file_hash(archive)
        return figures

    def extract(threads):
        remove(extracted)
        figures = synced_run([pbo, "-x", copy], environment(threads))
        outputs[threads] = tree_hash(extracted)
        return figures

    packed = take_turns(settings, runs, pack)
    shutil.copyfile(archive, copy)
    unpacked = take_turns(settings, runs, extract)
    remove(extracted)
    remove(copy)

    count, total = tree_size(tree)
    print(f"Whole tool on the tree corpus ({count} files, {total / MIB:.1f} MiB; archive "
          f"{os.path.getsize(archive) / MIB:.1f} MiB): wall time, shortest of "
          f"{plural(runs, 'run')}, and peak resident memory, largest of the runs.")
    print(f"{'':8} | {setting_name(1):>22} | {setting_name(None):>22} | {'speed-up':>8}")
    for mode, figures in (("pbo -a", packed), ("pbo -x", unpacked)):
        row = " | ".join(cell(figures[t], t) for t in settings)
        print(f"{mode:8} | {row} | {best(figures[1])[0] / best(figures[None])[0]:7.2f}x")
    same_archive = len(set(archives.values())) == 1
    same_output = len(set(outputs.values())) == 1
    print(f"Archives identical for both settings: {yes(same_archive)}; "
          f"extracted trees identical: {yes(same_output)}.")
    return same_archive and same_output


# ---------------------------------------------------------------------------------------

def concatenate(corpus, target, repeats):
    """Writes the flat corpus's files, in name order, repeats times over into target."""
    names = sorted(n for n in os.listdir(corpus)
                   if n != "MANIFEST.txt" and os.path.isfile(os.path.join(corpus, n)))
    parts = []
    for name in names:
        with open(os.path.join(corpus, name), "rb") as f:
            parts.append(f.read())
    whole = b"".join(parts)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        for _ in range(repeats):
            f.write(whole)
    return len(whole) * repeats


def large_case(pbo, work, label, source_file, runs, also_identical):
    """Packs the folder that holds just source_file, and extracts its archive, with one
    thread and the default, and packs it once more with each of also_identical; returns
    the two rows of the table, whether every setting gave the same archive, whether every
    extraction gave back the source, and the settings whose archives were compared."""
    folder = os.path.dirname(source_file)
    archive = folder + ".pbo"
    unpack_at = os.path.join(work, "unpack-" + os.path.basename(folder))
    copy = os.path.join(unpack_at, os.path.basename(archive))
    extracted_file = os.path.join(os.path.splitext(copy)[0], os.path.basename(source_file))
    settings = [1, None]
    archives = {}
    intact = True

    def pack(threads):
        figures = synced_run([pbo, "-a", folder], environment(threads))
        archives[threads] = file_hash(archive)
        return figures

    def extract(threads):
        nonlocal intact
        remove(os.path.dirname(extracted_file))
        figures = synced_run([pbo, "-x", copy], environment(threads))
        intact = intact and file_hash(extracted_file) == source_hash
        return figures

    packed = take_turns(settings, runs, pack)
    for threads in also_identical:  # untimed: only the archive counts
        run([pbo, "-a", folder], environment(threads))
        archives[threads] = file_hash(archive)
    source_hash = file_hash(source_file)
    os.makedirs(unpack_at, exist_ok=True)
    os.replace(archive, copy)
    unpacked = take_turns(settings, runs, extract)
    remove(unpack_at)
    remove(folder)
    rows = [(label, "pbo -a", packed), (label, "pbo -x", unpacked)]
    return rows, len(set(archives.values())) == 1, intact, sorted(archives, key=str)


def large_table(pbo, corpus, work, runs, with_gigabyte):
    scratch = os.path.join(work, "large")
    remove(scratch)
    cases = [(1, runs)]
    if with_gigabyte:
        free = shutil.disk_usage(work).free
        if free < 3.5e9:
            print(f"The 1 GiB file is left out: it needs about 3.5 GB of disk under {work}, "
                  f"{free / 1e9:.1f} GB are free.")
        else:
            cases.append((16, max(1, runs - 1)))
            print("The 1 GiB file needs about 3 GB of disk and takes a few minutes.",
                  flush=True)
    rows = []
    notes = []
    ok = True
    try:
        for repeats, case_runs in cases:
            source = os.path.join(scratch, f"x{repeats}", "large.dat")
            size = concatenate(corpus, source, repeats)
            label = f"{size / GIB:.0f} GiB" if size >= GIB else f"{size / MIB:.0f} MiB"
            extra = [2, 3, 8] if repeats == 1 else []
            case_rows, same, intact, compared = large_case(
                pbo, scratch, label, source, case_runs, extra)
            rows += [(row, case_runs) for row in case_rows]
            names = ", ".join("default" if t is None else str(t) for t in compared)
            notes.append(f"{label} ({size} bytes, {plural(case_runs, 'run')}): archives "
                         f"identical for PBO_THREADS {names}: {yes(same)}; extracted file "
                         f"equal to the source: {yes(intact)}.")
            ok = ok and same and intact
    finally:
        remove(scratch)
    print("Whole tool on one large file (pbo -a of a folder holding just that file, pbo -x "
          "of its archive): wall time, shortest of the runs, and peak resident memory, "
          "largest of the runs.")
    print(f"{'':15} | {setting_name(1):>22} | {setting_name(None):>22} | {'speed-up':>8}")
    for (label, mode, figures), _ in rows:
        cells = " | ".join(cell(figures[t], t) for t in (1, None))
        print(f"{label + ' ' + mode:15} | {cells} | "
              f"{best(figures[1])[0] / best(figures[None])[0]:7.2f}x")
    for note in notes:
        print(note)
    return ok


# ---------------------------------------------------------------------------------------

PER_FOLDER = 1000


def entry_names(count):
    return [f"d{i // PER_FOLDER:04d}\\e{i:07d}.bin" for i in range(count)]


def write_entries_archive(path, count):
    """Writes an archive of count stored entries of 16 to 100 bytes as the tool itself
    would pack them (names in order, stored because of .bin, no time stamps), and returns
    its SHA-256."""
    draw = random.Random(20240607)
    names = entry_names(count)
    sizes = [16 + draw.randrange(85) for _ in range(count)]
    table = bytearray()
    for name, size in zip(names, sizes):
        table += name.encode() + b"\0" + struct.pack("<5I", 0, 0, 0, 0, size)
    table += b"\0" + b"srpC" + bytes(16)
    data = draw.randbytes(sum(sizes))
    digest = hashlib.sha256(table)
    digest.update(data)
    with open(path, "wb") as f:
        f.write(table)
        f.write(data)
    return digest.hexdigest()


def entries_place(work, count):
    """Where the entries table works, and with how many entries: a RAM disk when it has
    room (a small file there takes a 4 KiB page and about 1 KiB of the kernel's memory),
    else the disk."""
    need = count * 5 * 1024 + 512 * MIB
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        stats = os.statvfs(shm)
        room = stats.f_bavail * stats.f_frsize
        inodes = stats.f_favail if stats.f_files else count * 2
        available = 0
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    available = int(line.split()[1]) * 1024
        if room >= need and inodes >= count * 1.1 and available >= need + 2 * GIB:
            return os.path.join(shm, f"pbo-bench-{os.getpid()}"), "in a RAM disk (/dev/shm)", count
    return os.path.join(work, "entries"), "on disk", min(count, 200000)


def entries_table(pbo, work, runs, count, fixed_count):
    scratch, medium, fallback = entries_place(work, count)
    if not fixed_count:
        count = fallback
    settings = [1, 2, 4, 8]
    remove(scratch)
    source = os.path.join(scratch, "x", "many.pbo")
    extracted = os.path.join(scratch, "x", "many")
    repack = os.path.join(scratch, "p", "many")
    repacked = repack + ".pbo"
    exact = True
    print(f"Writing an archive of {count} entries {medium}...", flush=True)
    try:
        os.makedirs(os.path.dirname(source))
        os.makedirs(os.path.dirname(repack))
        expected = write_entries_archive(source, count)
        archive_size = os.path.getsize(source)

        def extract_and_pack(threads):
            nonlocal exact
            env = environment(threads)
            remove(extracted)
            unpacking = synced_run([pbo, "-x", source], env)
            # Packing from another folder, so that its archive does not replace the source.
            os.replace(extracted, repack)
            packing = synced_run([pbo, "-a", repack], env)
            exact = exact and file_hash(repacked) == expected
            remove(repack)
            remove(repacked)
            print(f"  {setting_name(threads)}: pbo -x {unpacking[0]:.1f} s, pbo -a "
                  f"{packing[0]:.1f} s", file=sys.stderr, flush=True)
            return unpacking, packing

        figures = take_turns(settings, runs, extract_and_pack)
    finally:
        remove(scratch)
    print(f"Whole tool on {count} small entries (16-100 bytes, stored, {PER_FOLDER} to a "
          f"folder; archive {archive_size / MIB:.1f} MiB) {medium}: pbo -x of an archive "
          f"written by the benchmark, then pbo -a of the folder it gave; wall time, shortest "
          f"of {plural(runs, 'run')}, and peak resident memory, largest; ratio: wall time over "
          f"PBO_THREADS=1's.")
    print(f"{'':14} | {'pbo -x':>29} | {'pbo -a':>29}")
    single = [best([f[mode] for f in figures[1]])[0] for mode in (0, 1)]
    for threads in settings:
        cells = []
        for mode in (0, 1):
            runs_of_mode = [f[mode] for f in figures[threads]]
            ratio = best(runs_of_mode)[0] / single[mode]
            cells.append(f"{cell(runs_of_mode, threads, count)} {ratio:5.2f}x")
        print(f"{setting_name(threads):14} | {' | '.join(cells)}")
    print(f"Packed archive equal to the written one for every setting: {yes(exact)}.")
    return exact


# ---------------------------------------------------------------------------------------

TABLES = ("tree", "large", "entries")


def main():
    parser = argparse.ArgumentParser(
        usage=__doc__.splitlines()[0].replace("tool_bench.py", "%(prog)s"),
        description="\n".join(__doc__.splitlines()[2:]),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pbo")
    parser.add_argument("corpus", help="the flat corpus (make_corpus.py OUTDIR)")
    parser.add_argument("tree", help="the tree corpus (make_corpus.py --tree OUTDIR)")
    parser.add_argument("work", help="a folder for scratch files")
    parser.add_argument("--quick", action="store_true",
                        help="one run each, no 1 GiB file, 100,000 entries: about a minute")
    parser.add_argument("--only", default=",".join(TABLES),
                        help="the tables to run, of " + ",".join(TABLES))
    parser.add_argument("--runs", type=int, help="runs of each setting")
    parser.add_argument("--entries", type=int, help="entries of the entries table")
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # each line as it comes, into a log too
    if not os.access(TIME, os.X_OK):
        sys.exit(f"tool_bench.py needs {TIME} (Debian package time) for the peak memory")
    tables = args.only.split(",")
    if any(t not in TABLES for t in tables):
        parser.error("--only takes " + ",".join(TABLES))
    pbo, corpus, tree, work = (os.path.abspath(p) for p in
                               (args.pbo, args.corpus, args.tree, args.work))
    os.makedirs(work, exist_ok=True)
    runs = args.runs or (1 if args.quick else None)
    entries = args.entries or (100000 if args.quick else 1000000)
    ok = True
    started = time.perf_counter()
    for table in tables:
        if table != tables[0]:
            print()
        if table == "tree":
            ok = tree_table(pbo, tree, os.path.join(work, "tree"), runs or 5) and ok
        elif table == "large":
            ok = large_table(pbo, corpus, work, runs or 3, not args.quick) and ok
        else:
            ok = entries_table(pbo, work, runs or 2, entries, args.entries is not None) and ok
    print(f"\n* over 64 MiB + 16 MiB per thread, beside the entry table ({TABLE_BYTES_PER_ENTRY} "
          f"bytes an entry). The tables took "
          f"{time.perf_counter() - started:.0f} s.")
    if not ok:
        sys.exit(1)


if __name__ == "__main__":
    main()
